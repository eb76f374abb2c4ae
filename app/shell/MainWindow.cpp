// The main window and the tray icon.
//
// Index: the shell record; creating the window (Direct3D, Dear ImGui and its look); showing;
// the tray icon and its menu; the quit request; the window procedure.

#include "app/shell/MainWindow.h"

#include <imgui.h>
#include <objbase.h>
#include <imgui_impl_dx11.h>
#include <imgui_impl_win32.h>
#include <shellapi.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "app/shell/SingleInstance.h"
#include "app/shell/StartWithWindows.h"
#include "app/ui/Ui.h"
#include "win/base/Log.h"
#include "win/base/RegistryKey.h"
#include "win/base/Text.h"
#include "win/router/Router.h"

// The backend leaves this declaration to the program, so that its header needs no windows.h.
extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

namespace app {
namespace {

constexpr D3D_FEATURE_LEVEL kFeatureLevels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
constexpr float kFontPixels = 17.0f;

ImVec4 colour(float red, float green, float blue, float alpha) {
    return ImVec4(red, green, blue, alpha);
}

HRESULT createDevice(D3D_DRIVER_TYPE driverType) {
    ShellState& state = shellState();
    DXGI_SWAP_CHAIN_DESC description{};
    description.BufferDesc.Width = 0;  // both taken from the window
    description.BufferDesc.Height = 0;
    description.BufferDesc.RefreshRate.Numerator = 60;
    description.BufferDesc.RefreshRate.Denominator = 1;
    description.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    description.SampleDesc.Count = 1;
    description.SampleDesc.Quality = 0;
    description.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    description.BufferCount = 2;
    description.OutputWindow = state.window;
    description.Windowed = TRUE;
    description.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    description.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;
    D3D_FEATURE_LEVEL level{};
    return D3D11CreateDeviceAndSwapChain(nullptr, driverType, nullptr, 0, kFeatureLevels,
                                         static_cast<UINT>(std::size(kFeatureLevels)), D3D11_SDK_VERSION, &description,
                                         state.swapChain.ReleaseAndGetAddressOf(),
                                         state.device.ReleaseAndGetAddressOf(), &level,
                                         state.context.ReleaseAndGetAddressOf());
}

// Hardware first; a machine without Direct3D 11 hardware says so with DXGI_ERROR_UNSUPPORTED,
// and then the software rasteriser still draws the window.
bool createDirect3D() {
    HRESULT result = createDevice(D3D_DRIVER_TYPE_HARDWARE);
    if (result == DXGI_ERROR_UNSUPPORTED) result = createDevice(D3D_DRIVER_TYPE_WARP);
    return SUCCEEDED(result);
}

}  // namespace

void applyStyle(float scale) {
    ImGui::StyleColorsDark();
    ImGuiStyle& style = ImGui::GetStyle();
    style.WindowRounding = 0.0f;
    style.FrameRounding = 5.0f;
    style.GrabRounding = 5.0f;
    style.TabRounding = 5.0f;
    style.FramePadding = ImVec2(8.0f, 5.0f);
    style.ItemSpacing = ImVec2(10.0f, 7.0f);
    style.CellPadding = ImVec2(6.0f, 5.0f);

    ImVec4* colours = style.Colors;
    const ImVec4 background = colour(kClearColour[0], kClearColour[1], kClearColour[2], kClearColour[3]);
    const ImVec4 field = colour(0.05f, 0.08f, 0.22f, 1.0f);
    const ImVec4 accent = colour(0.13f, 0.83f, 0.99f, 1.0f);
    const ImVec4 button = colour(0.07f, 0.30f, 0.45f, 1.0f);
    const ImVec4 hovered = colour(0.09f, 0.45f, 0.62f, 1.0f);
    const ImVec4 active = colour(0.11f, 0.58f, 0.78f, 1.0f);
    colours[ImGuiCol_WindowBg] = background;
    colours[ImGuiCol_ChildBg] = background;
    colours[ImGuiCol_PopupBg] = field;
    colours[ImGuiCol_FrameBg] = field;
    colours[ImGuiCol_Tab] = field;
    colours[ImGuiCol_TableHeaderBg] = field;
    colours[ImGuiCol_FrameBgHovered] = colour(0.09f, 0.16f, 0.36f, 1.0f);
    colours[ImGuiCol_FrameBgActive] = colour(0.11f, 0.22f, 0.45f, 1.0f);
    colours[ImGuiCol_CheckMark] = accent;
    colours[ImGuiCol_SliderGrab] = accent;
    colours[ImGuiCol_PlotHistogram] = accent;
    colours[ImGuiCol_Button] = button;
    colours[ImGuiCol_ButtonHovered] = hovered;
    colours[ImGuiCol_TabHovered] = hovered;
    colours[ImGuiCol_ButtonActive] = active;
    colours[ImGuiCol_HeaderActive] = active;
    colours[ImGuiCol_Header] = colour(0.07f, 0.30f, 0.45f, 0.8f);
    colours[ImGuiCol_HeaderHovered] = colour(0.09f, 0.45f, 0.62f, 0.8f);
    colours[ImGuiCol_TabSelected] = colour(0.07f, 0.36f, 0.54f, 1.0f);
    colours[ImGuiCol_TableRowBgAlt] = colour(1.0f, 1.0f, 1.0f, 0.03f);

    style.ScaleAllSizes(scale);
    style.FontScaleDpi = scale;
}

namespace {

// Segoe UI where Windows has it; otherwise Dear ImGui's own font, which also covers the
// accented letters of the three languages.
void addFont() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    const std::wstring path = std::wstring(folder, length) + L"\\Fonts\\segoeui.ttf";
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    ImGui::GetIO().Fonts->AddFontFromFileTTF(win::toUtf8(path).c_str(), kFontPixels);
}

void setUpImGui(float scale) {
    ShellState& state = shellState();
    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
    io.IniFilename = nullptr;  // the layout is fixed; nothing to remember between runs
    applyStyle(scale);
    addFont();
    ImGui_ImplWin32_Init(state.window);
    ImGui_ImplDX11_Init(state.device.Get(), state.context.Get());
}

}  // namespace

// --- the shell record -----------------------------------------------------------------------

ShellState& shellState() {
    static ShellState state;
    return state;
}

UiLanguage shellLanguage() {
    const ShellState& state = shellState();
    return state.ui != nullptr ? state.ui->language() : UiLanguage::English;
}

// --- creating the window --------------------------------------------------------------------

bool createMainWindow() {
    ShellState& state = shellState();
    state.bigIcon = LoadIconW(state.instance, MAKEINTRESOURCEW(kProgramIconId));
    state.smallIcon =
        static_cast<HICON>(LoadImageW(state.instance, MAKEINTRESOURCEW(kProgramIconId), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_CLASSDC;
    windowClass.lpfnWndProc = mainWindowProcedure;
    windowClass.hInstance = state.instance;
    windowClass.hIcon = state.bigIcon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kMainWindowClass;
    windowClass.hIconSm = state.smallIcon;
    RegisterClassExW(&windowClass);

    const std::wstring title = win::toWide(uiText(shellLanguage(), UiText::WindowTitle));
    state.window =
        CreateWindowExW(0, kMainWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        kWindowWidth, kWindowHeight, nullptr, nullptr, state.instance, nullptr);
    if (state.window == nullptr) {
        // Without a window there is nothing to draw on either; the caller reports it as such.
        win::logLine("window: %s", win::systemErrorText(GetLastError()).c_str());
        return false;
    }

    const float scale = ImGui_ImplWin32_GetDpiScaleForHwnd(state.window);
    SetWindowPos(state.window, nullptr, 0, 0, static_cast<int>(kWindowWidth * scale),
                 static_cast<int>(kWindowHeight * scale), SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);

    if (!createDirect3D()) return false;
    createRenderTarget();
    setUpImGui(scale);
    return true;
}

void createRenderTarget() {
    ShellState& state = shellState();
    Microsoft::WRL::ComPtr<ID3D11Texture2D> buffer;
    if (FAILED(state.swapChain->GetBuffer(0, IID_PPV_ARGS(&buffer)))) return;
    state.device->CreateRenderTargetView(buffer.Get(), nullptr, state.renderTarget.ReleaseAndGetAddressOf());
}

// --- showing --------------------------------------------------------------------------------

void showMainWindow() {
    ShellState& state = shellState();
    ShowWindow(state.window, IsIconic(state.window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(state.window);
    state.shown = true;
    state.minimised = false;
}

// --- tray -----------------------------------------------------------------------------------

void addTrayIcon() {
    const ShellState& state = shellState();
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = state.window;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = state.smallIcon != nullptr ? state.smallIcon : state.bigIcon;
    const std::wstring_view tooltip = kTrayTooltip;
    const std::size_t length = std::min(tooltip.size(), std::size(data.szTip) - 1);
    tooltip.copy(data.szTip, length);
    data.szTip[length] = L'\0';
    Shell_NotifyIconW(NIM_ADD, &data);
}

void removeTrayIcon() {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = shellState().window;
    data.uID = kTrayIconId;
    Shell_NotifyIconW(NIM_DELETE, &data);
}

void showTrayMenu() {
    const ShellState& state = shellState();
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return;
    const UiLanguage language = shellLanguage();
    auto text = [language](UiText id) { return win::toWide(uiText(language, id)); };
    AppendMenuW(menu, MF_STRING, kOpenCommand, text(UiText::OpenApp).c_str());
    AppendMenuW(menu, MF_STRING | (isStartWithWindowsOn() ? MF_CHECKED : MF_UNCHECKED), kStartWithWindowsCommand,
                text(UiText::StartWithWindows).c_str());
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kQuitCommand, text(UiText::QuitApp).c_str());
    SetMenuDefaultItem(menu, kOpenCommand, FALSE);

    POINT cursor{};
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(state.window);
    TrackPopupMenu(menu, TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, state.window, nullptr);
    // A message after the menu lets the next click on the tray icon open it again at once.
    PostMessageW(state.window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

namespace {

// The first time the window is closed, a balloon from the tray icon says that QOVA runs on: a
// new user would otherwise believe it has quit, and its cards with it.
void tellOnceThatQovaRunsOn() {
    DWORD shown = 0;
    DWORD bytes = sizeof shown;
    if (RegGetValueW(HKEY_CURRENT_USER, kQovaKeyPath, kTrayNoticeValue, RRF_RT_REG_DWORD, nullptr, &shown, &bytes) ==
            ERROR_SUCCESS &&
        shown != 0)
        return;
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = shellState().window;
    data.uID = kTrayIconId;
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_INFO;
    const std::wstring text = win::toWide(uiText(shellLanguage(), UiText::StillRunningInTray));
    const std::size_t length = std::min(text.size(), std::size(data.szInfo) - 1);
    text.copy(data.szInfo, length);
    std::wstring_view(L"QOVA").copy(data.szInfoTitle, 4);
    if (!Shell_NotifyIconW(NIM_MODIFY, &data)) return;  // no notification area: the next close tries again
    win::RegistryKey key;
    shown = 1;
    const bool remembered = RegCreateKeyExW(HKEY_CURRENT_USER, kQovaKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                            key.receive(), nullptr) == ERROR_SUCCESS &&
                            RegSetValueExW(key.get(), kTrayNoticeValue, 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&shown), sizeof shown) == ERROR_SUCCESS;
    win::logLine("window closed: told the user once that QOVA runs on in the notification area%s",
                 remembered ? "" : " (could not remember it)");
}

}  // namespace

// --- quit -----------------------------------------------------------------------------------

void requestQuit() {
    ShellState& state = shellState();
    // The question's message loop dispatches further quit requests (the tray's Quit chosen
    // again, an installer asking QOVA to close). The open question answers those too: a second
    // quit inside it would destroy the window under the first and carry on after its end.
    static bool asking = false;
    if (asking || state.quitRequested) return;
    if (state.router != nullptr && state.router->anyCardPlaying()) {
        const UiLanguage language = shellLanguage();
        const std::wstring caption = win::toWide(uiText(language, UiText::QuitAppQuestion));
        const std::wstring text = win::toWide(uiText(language, UiText::QuitWhilePlaying));
        asking = true;
        const int answer =
            MessageBoxW(state.window, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
        asking = false;
        // The session may have ended meanwhile, and taken the window with it.
        if (answer != IDYES || state.quitRequested) return;
    }
    removeTrayIcon();
    state.quitRequested = true;
    DestroyWindow(state.window);  // its WM_DESTROY posts the WM_QUIT that ends the loop
}

// --- window procedure -----------------------------------------------------------------------

// UI thread. Nothing here may throw: the system calls it.
LRESULT CALLBACK mainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (ImGui_ImplWin32_WndProcHandler(window, message, wParam, lParam)) return 1;
    ShellState& state = shellState();

    // Explorer restarted: its new taskbar knows no icons.
    if (state.taskbarCreatedMessage != 0 && message == state.taskbarCreatedMessage) {
        addTrayIcon();
        return 0;
    }
    switch (message) {
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_SIZE:
        state.minimised = wParam == SIZE_MINIMIZED;
        if (!state.minimised) {
            // Resized on the next drawing pass, not here inside a possibly long drag.
            state.pendingWidth = LOWORD(lParam);
            state.pendingHeight = HIWORD(lParam);
        }
        return 0;
    case WM_CLOSE:
        ShowWindow(window, SW_HIDE);
        state.shown = false;
        tellOnceThatQovaRunsOn();
        return 0;
    case WM_ENDSESSION:
        // Windows is going away: no question, whatever plays.
        if (wParam != 0) {
            removeTrayIcon();
            state.quitRequested = true;
            DestroyWindow(window);
        }
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case kOpenCommand: showMainWindow(); break;
        case kStartWithWindowsCommand: setStartWithWindows(!isStartWithWindowsOn()); break;
        case kQuitCommand: requestQuit(); break;
        default: break;
        }
        return 0;
    case kShowRequestMessage: showMainWindow(); return 0;
    case WM_TIMER:
        if (wParam == kHealthTimerId && state.router != nullptr) {
            state.router->checkHealth();
        }
        return 0;
    case WM_DPICHANGED: {
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        // Only the text follows the new monitor; spacings keep the scale they started with.
        if (ImGui::GetCurrentContext() != nullptr) ImGui::GetStyle().FontScaleDpi = HIWORD(wParam) / 96.0f;
        return 0;
    }
    case kTrayCallbackMessage:
        switch (LOWORD(lParam)) {
        case WM_CONTEXTMENU:
        case WM_RBUTTONUP: showTrayMenu(); break;
        case WM_LBUTTONUP:
        case WM_LBUTTONDBLCLK: showMainWindow(); break;
        default: break;
        }
        return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace app
