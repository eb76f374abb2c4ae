; QOVA's installer: per user, without administrator rights. Everything it writes lives in the
; user's own folders and under HKEY_CURRENT_USER, the same places QOVA itself uses.
;
; Built by the "installer" target of packaging/CMakeLists.txt, which passes:
;   VERSION    the program version (the CMake project version)
;   STAGE_DIR  the folder holding the four files to install
;   ICON       the program's icon
;   OUTFILE    the installer to write
;
; Command line of the result: /S installs silently, /D=FOLDER picks the folder (last, unquoted).
; Exit codes: 0 done, 1 cancelled by the user, 2 stopped because QOVA kept running.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!ifndef VERSION
  !error "VERSION must be defined (-DVERSION=...)"
!endif
!ifndef STAGE_DIR
  !error "STAGE_DIR must be defined"
!endif
!ifndef ICON
  !error "ICON must be defined"
!endif
!ifndef OUTFILE
  !error "OUTFILE must be defined"
!endif

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define PRODUCT "QOVA"
!define PUBLISHER "Tavimor"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QOVA"
; QOVA's start-with-Windows value: "<full path of QOVA.exe>" --tray.
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "QOVA"
; QOVA holds this mutex from start to quit; its window class and the tray menu's quit command
; come from app/shell/MainWindow.h and app/shell/SingleInstance.h.
!define RUNNING_MUTEX "QOVA-running"
!define WINDOW_CLASS "QOVAWindow"
!define QUIT_COMMAND 102
!define SHORTCUT "$SMPROGRAMS\QOVA.lnk"
!define UNINSTALLER "uninstall.exe"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
; The user's own programs folder (FOLDERID_UserProgramFiles); an earlier install's folder wins.
InstallDir "$LOCALAPPDATA\Programs\QOVA"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 the QOVA developers"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\QOVA.exe"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The same three languages as the program; Windows' display language picks one.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Dutch"
!insertmacro MUI_LANGUAGE "German"

LangString QovaRunning ${LANG_ENGLISH} "QOVA is running. It will be closed first."
LangString QovaRunning ${LANG_DUTCH} "QOVA draait. Het wordt eerst afgesloten."
LangString QovaRunning ${LANG_GERMAN} "QOVA läuft. Es wird zuerst beendet."
LangString QovaStillRunning ${LANG_ENGLISH} "QOVA is still running; it may be asking whether to quit while a player uses it. Quit QOVA, then choose Retry."
LangString QovaStillRunning ${LANG_DUTCH} "QOVA draait nog; misschien vraagt het of het moet afsluiten terwijl een speler het gebruikt. Sluit QOVA af en kies dan Opnieuw."
LangString QovaStillRunning ${LANG_GERMAN} "QOVA läuft noch; vielleicht fragt es, ob es beendet werden soll, während ein Player es nutzt. Beenden Sie QOVA und wählen Sie dann Wiederholen."
LangString QovaKeptRunning ${LANG_ENGLISH} "QOVA kept running; nothing was changed."
LangString QovaKeptRunning ${LANG_DUTCH} "QOVA bleef draaien; er is niets gewijzigd."
LangString QovaKeptRunning ${LANG_GERMAN} "QOVA läuft weiter; es wurde nichts geändert."

; --- a running QOVA -------------------------------------------------------------------------
;
; A running QOVA.exe cannot be replaced or deleted, so both the installer and the uninstaller
; first ask every running copy to quit, exactly as its tray menu's quit command does. While a
; player is using one of its cards QOVA asks its user before it quits, so it may stay; then
; the user is asked to quit it by hand and retry, and a silent run gives up with exit code 2.

!macro QOVA_RUNNING_FUNCTIONS un

; $0 = 1 while some copy of QOVA runs in this session, else 0.
Function ${un}isQovaRunning
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${RUNNING_MUTEX}") p .r0'
  ${If} $0 P<> 0
    System::Call 'kernel32::CloseHandle(p r0)'
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
FunctionEnd

; Posts the quit command to every QOVA window and gives the copies up to ten seconds to end.
; $0 = 1 when one still runs.
Function ${un}askQovaToQuit
  Push "."  ; ends the process handles pushed below
  StrCpy $1 0
  ${Do}
    FindWindow $1 "${WINDOW_CLASS}" "" 0 $1
    ${If} $1 P= 0
      ${Break}
    ${EndIf}
    ; A disabled window is showing a question of its own, most likely the quit question of
    ; an earlier request: another request would only stack a second question on it.
    System::Call 'user32::IsWindowEnabled(p r1) i .r2'
    ${If} $2 <> 0
      System::Call 'user32::GetWindowThreadProcessId(p r1, *i .r3)'
      System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i r3) p .r4'
      Push $4
      System::Call 'user32::PostMessageW(p r1, i 0x0111, p ${QUIT_COMMAND}, p 0)'
    ${EndIf}
  ${Loop}
  StrCpy $2 0
  ${Do}
    Call ${un}isQovaRunning
    ${If} $0 = 0
    ${OrIf} $2 >= 40
      ${Break}
    ${EndIf}
    Sleep 250
    IntOp $2 $2 + 1
  ${Loop}
  ; QOVA lets go of its mutex a moment before its process ends, and until then QOVA.exe is
  ; in use: wait for the processes that were asked to quit.
  ${Do}
    Pop $4
    ${If} $4 == "."
      ${Break}
    ${EndIf}
    ${If} $4 P<> 0
      ${If} $0 = 0
        System::Call 'kernel32::WaitForSingleObject(p r4, i 5000)'
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r4)'
    ${EndIf}
  ${Loop}
FunctionEnd

Function ${un}closeQova
  Call ${un}isQovaRunning
  ${If} $0 = 0
    Return
  ${EndIf}
  DetailPrint "$(QovaRunning)"
  ${IfNot} ${Silent}
    MessageBox MB_OKCANCEL|MB_ICONINFORMATION "$(QovaRunning)" IDOK +3
    SetErrorLevel 1
    Quit
  ${EndIf}
  ${Do}
    Call ${un}askQovaToQuit
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    ${If} ${Silent}
      DetailPrint "$(QovaKeptRunning)"
      SetErrorLevel 2
      Quit
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(QovaStillRunning)" IDRETRY +3
    SetErrorLevel 1
    Quit
  ${Loop}
FunctionEnd

!macroend

!insertmacro QOVA_RUNNING_FUNCTIONS ""
!insertmacro QOVA_RUNNING_FUNCTIONS "un."

; --- install --------------------------------------------------------------------------------

Function .onInit
  SetShellVarContext current
FunctionEnd

Section "QOVA"
  Call closeQova

  SetOutPath "$INSTDIR"
  File "${STAGE_DIR}/QOVA.exe"
  File "${STAGE_DIR}/qova-player.exe"
  File "${STAGE_DIR}/LICENSE.txt"
  File "${STAGE_DIR}/THIRD-PARTY-NOTICES.txt"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  CreateShortCut "${SHORTCUT}" "$INSTDIR\QOVA.exe" "" "$INSTDIR\QOVA.exe" 0 SW_SHOWNORMAL "" \
    "QOVA audio router"

  ; Apps & features: this user's own uninstall entry.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\QOVA.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; --- uninstall ------------------------------------------------------------------------------
;
; Removes exactly what the installer put in place. The settings (%APPDATA%\QOVA) and the log
; (%LOCALAPPDATA%\QOVA) are the user's and stay; so does anything else in the program folder.

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Uninstall"
  Call un.closeQova

  ; Start with Windows, only when the value starts this copy: one left by a copy elsewhere
  ; is not ours to remove. Paths compare without regard to case, as Windows does.
  ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
  StrCpy $1 '"$INSTDIR\QOVA.exe"'
  StrLen $2 $1
  StrCpy $3 $0 $2
  ${If} $3 == $1
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${EndIf}

  Delete "${SHORTCUT}"
  Delete "$INSTDIR\QOVA.exe"
  Delete "$INSTDIR\qova-player.exe"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\THIRD-PARTY-NOTICES.txt"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"

  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
