#pragma once

// The program's one window, drawn by Dear ImGui on Direct3D 11, and its icon in the
// notification area. Closing the window only hides it: the program keeps routing from the
// notification area until the tray menu's quit command or the end of the Windows session.
// Everything here runs on the UI thread.

#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <cstdint>

#include "app/ui/Localisation.h"

namespace win {
class Router;
}  // namespace win

namespace app {

class Ui;

inline constexpr int kProgramIconId = 1;
inline constexpr UINT kTrayIconId = 1;
inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;
inline constexpr UINT_PTR kHealthTimerId = 1;
inline constexpr UINT kHealthTimerMs = 500;

// Tray menu commands; they reach the window as WM_COMMAND.
inline constexpr UINT kOpenCommand = 100;
inline constexpr UINT kStartWithWindowsCommand = 101;
inline constexpr UINT kQuitCommand = 102;

inline constexpr int kWindowWidth = 1100;  // before the DPI scale
inline constexpr int kWindowHeight = 720;
inline constexpr wchar_t kTrayTooltip[] = L"QOVA - Tavimor Audio Router";
// Set under the user's own key once the balloon that says QOVA runs on after its window was
// closed has been shown: it is shown once per user, and config.json stays as it is.
inline constexpr wchar_t kQovaKeyPath[] = L"Software\\QOVA";
inline constexpr wchar_t kTrayNoticeValue[] = L"TrayNoticeShown";

// Behind the window and the frames: the same dark blue as the Ui's WindowBg.
inline constexpr float kClearColour[4] = {0.008f, 0.027f, 0.169f, 1.0f};

// The process-wide record shared by the main loop, the window procedure and the tray.
// UI thread only, so no lock.
struct ShellState {
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    Microsoft::WRL::ComPtr<ID3D11Device> device;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
    Microsoft::WRL::ComPtr<IDXGISwapChain> swapChain;
    Microsoft::WRL::ComPtr<ID3D11RenderTargetView> renderTarget;  // recreated on resize
    std::uint32_t pendingWidth = 0;                               // client size waiting for a swap-chain resize; 0 none
    std::uint32_t pendingHeight = 0;
    bool shown = false;      // visible, not hidden to the tray
    bool minimised = false;  // as the last WM_SIZE said
    bool quitRequested = false;
    UINT taskbarCreatedMessage = 0;  // "TaskbarCreated"; 0 until registered
    // Null before they exist and from the start of shutdown on; the window procedure copes.
    win::Router* router = nullptr;
    Ui* ui = nullptr;
};

ShellState& shellState();

// The Ui's language, English while there is no Ui.
UiLanguage shellLanguage();

// Registers the class, creates the window (not shown), sizes it for its DPI, creates the
// Direct3D device and swap chain and sets up Dear ImGui. False when Direct3D 11 could not
// be had; the window may then exist, never shown, and Dear ImGui is not set up.
bool createMainWindow();

// Creates the render target view over buffer 0 of the swap chain; it stays null on failure.
void createRenderTarget();

// The window's look (rounding, spacing, colours) on the current Dear ImGui context, scaled
// for a DPI scale.
void applyStyle(float scale);

void showMainWindow();
void addTrayIcon();
void removeTrayIcon();
void showTrayMenu();

// The tray menu's quit command: asks first while a player has a card open, then removes
// the tray icon and destroys the window, which ends the main loop.
void requestQuit();

LRESULT CALLBACK mainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace app
