// Start-up, the main loop and shutdown.
//
// Index: the null test devices; the fatal start failures; one drawing pass; the main loop;
// runShell (start-up, then the loop, then shutdown).

#include "app/shell/Shell.h"

#include <imgui.h>
#include <imgui_impl_dx11.h>
#include <imgui_impl_win32.h>
#include <objbase.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/shell/ConfigFile.h"
#include "app/shell/Folders.h"
#include "app/shell/MainWindow.h"
#include "app/shell/Screenshot.h"
#include "app/ui/Logo.h"
#include "app/ui/Ui.h"
#include "core/Version.h"
#include "core/pacing/FramePacer.h"
#include "core/settings/Validation.h"
#include "win/base/ComApartment.h"
#include "win/base/Log.h"
#include "win/base/Session.h"
#include "win/base/Text.h"
#include "win/base/UniqueHandle.h"
#include "win/control/ControlServer.h"
#include "win/devices/DeviceScan.h"
#include "win/router/Router.h"

namespace app {
namespace {

// Even indexes stereo at 48 kHz, odd ones 8 channels at 44.1 kHz: two clocks and two widths
// to try cards on without sound cards.
std::vector<win::DeviceInfo> nullDevices(int count) {
    std::vector<win::DeviceInfo> devices;
    for (int index = 0; index < count && index < kMaxNullDevices; ++index) {
        const bool odd = index % 2 != 0;
        devices.push_back(win::makeTestOutput(static_cast<std::uint32_t>(index), odd ? 8 : 2, odd ? 44100 : 48000));
    }
    return devices;
}

// What must be let go before a fatal error's message box, so that the sound cards play for
// other programs and a new copy can start while the box is still up.
struct Claims {
    win::UniqueHandle running;
    SingleInstance& instance;
};

// The shutdown's two halves, shared by a quit and a failed start. Nothing may reach the
// router once it has let go of the sound cards, so the pipe goes first.
void releaseSoundCards(win::ControlServer& server, win::Router& router) {
    server.stop();
    router.closeAll();
    ShellState& state = shellState();
    state.router = nullptr;
    state.ui = nullptr;
}

// The Direct3D objects, then the window they draw into, then its class.
void destroyWindowObjects() {
    ShellState& state = shellState();
    state.renderTarget.Reset();
    state.swapChain.Reset();
    state.context.Reset();
    state.device.Reset();
    if (state.window != nullptr && IsWindow(state.window)) DestroyWindow(state.window);
    state.window = nullptr;
    UnregisterClassW(kMainWindowClass, state.instance);
}

int failStart(win::ControlServer& server, win::Router& router, Claims& claims, const std::wstring& text) {
    releaseSoundCards(server, router);
    win::logLine("released every sound card; showing the error");
    claims.running.reset();
    claims.instance.release();
    MessageBoxW(nullptr, text.c_str(), L"QOVA", MB_ICONERROR);
    destroyWindowObjects();
    return 1;
}

// Resizes the swap chain to the size the last WM_SIZE asked for.
void applyPendingResize() {
    ShellState& state = shellState();
    if (state.pendingWidth == 0 || state.pendingHeight == 0) return;
    state.renderTarget.Reset();
    state.swapChain->ResizeBuffers(0, state.pendingWidth, state.pendingHeight, DXGI_FORMAT_UNKNOWN, 0);
    state.pendingWidth = 0;
    state.pendingHeight = 0;
    createRenderTarget();
}

void drawFrame(Ui& ui) {
    ShellState& state = shellState();
    applyPendingResize();
    ImGui_ImplDX11_NewFrame();
    ImGui_ImplWin32_NewFrame();
    ImGui::NewFrame();
    ui.draw();
    ImGui::Render();
    // A failed resize leaves no target until the next size message; the frame is then dropped.
    if (state.renderTarget) {
        ID3D11RenderTargetView* target = state.renderTarget.Get();
        state.context->OMSetRenderTargets(1, &target, nullptr);
        state.context->ClearRenderTargetView(target, kClearColour);
        ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
    }
}

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double displayRefreshHz() {
    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    if (!EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode)) return 0.0;
    return mode.dmDisplayFrequency;
}

bool isUserInput(UINT message) {
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) || (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) ||
           (message >= WM_NCMOUSEMOVE && message <= WM_NCXBUTTONDBLCLK);
}

// Hidden or minimised, the loop sleeps in GetMessageW and draws nothing; shown it draws paced by
// Present and by the frame pacer, whose waits any message ends at once. A screenshot draws its
// frames at a fixed pace of its own.
void runMainLoop(Ui& ui, const std::wstring& screenshotPath) {
    ShellState& state = shellState();
    const bool screenshotMode = !screenshotPath.empty();
    core::FramePacer pacer(displayRefreshHz());
    int frames = 0;
    while (!state.quitRequested) {
        MSG message;
        if (!screenshotMode && (!state.shown || state.minimised)) {
            if (GetMessageW(&message, nullptr, 0, 0) <= 0) break;
            TranslateMessage(&message);
            DispatchMessageW(&message);
            continue;
        }

        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) state.quitRequested = true;
            if (isUserInput(message.message)) pacer.noteInput(steadyNowNs());
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (state.quitRequested) break;
        if (!screenshotMode && (!state.shown || state.minimised)) continue;
        if (!screenshotMode) {
            const std::int64_t waitNs = pacer.waitNs(steadyNowNs());
            if (waitNs > 0) {
                MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>((waitNs + 999'999) / 1'000'000), QS_ALLINPUT,
                                            MWMO_INPUTAVAILABLE);
                continue;
            }
            pacer.frameStarted(steadyNowNs());
        }

        drawFrame(ui);
        if (screenshotMode) {
            Sleep(kScreenshotFrameMs);
            if (++frames == kScreenshotFrame) {
                takeScreenshot(state.device.Get(), state.context.Get(), state.swapChain.Get(), screenshotPath);
                state.quitRequested = true;
            }
        }
        state.swapChain->Present(1, 0);
    }
}

}  // namespace

int runShell(HINSTANCE module, const LaunchOptions& options, SingleInstance& instance) {
    Claims claims{win::UniqueHandle(CreateMutexW(nullptr, FALSE, kRunningMutexName)), instance};
    const win::ComApartment com(COINIT_APARTMENTTHREADED);
    ImGui_ImplWin32_EnableDpiAwareness();
    win::openLog(logFolder());
    win::logLine("QOVA %s starting (session %lu)", QOVA_VERSION_TEXT, static_cast<unsigned long>(win::sessionId()));

    core::Settings settings = loadSettings();
    // "--tray" hides the window only once there is something to route; a first run shows it.
    const bool hasSoundCards = !settings.devices.empty();

    win::RouterOptions routerOptions;
    routerOptions.scanDevices = true;
    routerOptions.extraDevices = nullDevices(options.nullDevices);
    routerOptions.ringPrefix = L"Local\\qova";
    win::Router router(std::move(routerOptions));
    ShellState& state = shellState();
    state.instance = module;
    state.router = &router;
    router.rescan();
    // Settings with issues are refused as a whole: nothing opens, and the window shows why.
    for (const core::ValidationIssue& issue : router.apply(settings)) {
        win::logLine("config problem: %s (%s)", core::issueCodeText(issue.code), issue.subject.c_str());
    }

    win::ControlServer server(router, [&router](std::uint64_t clientId) { router.clientGone(clientId); });
    std::string error;
    if (!server.start(options.pipeName.empty() ? win::defaultPipeName() : options.pipeName, error)) {
        win::logLine("cannot start: %s", error.c_str());
        return failStart(server, router, claims, win::toWide(error));
    }

    Ui ui(&router, std::move(settings));
    state.ui = &ui;

    if (!createMainWindow()) {
        win::logLine("Direct3D 11 is not available; the window cannot be drawn");
        return failStart(server, router, claims, L"Direct3D 11 is not available.");
    }

    const float scale = ImGui_ImplWin32_GetDpiScaleForHwnd(state.window);
    LogoTexture logo =
        loadLogo(state.device.Get(), module, kLogoResourceId, static_cast<int>(std::lround(scale * kLogoSidePerScale)));
    if (logo.view) ui.setLogo(logo.view.Get(), logo.width, logo.height);

    state.taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    addTrayIcon();
    SetTimer(state.window, kHealthTimerId, kHealthTimerMs, nullptr);
    if (options.tab >= 0) ui.requestTab(options.tab);
    const bool screenshotMode = !options.screenshotPath.empty();
    if (!screenshotMode && !(options.tray && hasSoundCards)) showMainWindow();

    runMainLoop(ui, options.screenshotPath);

    // Shutdown: the timer first, so that no health check reaches a router that has let go of
    // the sound cards; the window objects last.
    win::logLine("QOVA quitting");
    KillTimer(state.window, kHealthTimerId);
    removeTrayIcon();
    releaseSoundCards(server, router);
    ImGui_ImplDX11_Shutdown();
    ImGui_ImplWin32_Shutdown();
    ImGui::DestroyContext();
    ui.setLogo(nullptr, 0, 0);
    logo.view.Reset();
    destroyWindowObjects();
    claims.running.reset();
    instance.release();
    // The Ui, the pipe server and the router go in that order as this returns, then the COM
    // apartment, which outlives every object of the router's.
    return 0;
}

}  // namespace app
