// Draws one tab of the real Ui, at a chosen size and in a chosen language, into a picture,
// for people to look at. The window's own screenshot mode has a fixed size and no one to
// press a test button; here the size is free and one channel plays its test tone, so the
// meters show what they look like with sound.
//
// The Ui runs on a real router whose sound cards are test outputs on miniaudio's null
// backend, plus an ASIO driver that is not installed (an error state) and a WASAPI card
// that is not plugged in; two outputs run, cards sit on some of their channels, and the
// first channel of the first output plays its tone. Dear ImGui draws through its Direct3D 11
// backend alone into a texture of the chosen size, which is read back and written as a BMP.
//
// The written file is read back and checked, so that a run which drew nothing, or drew the
// Sound cards tab without a lit meter, fails:
//   - its header names the chosen width and height, 32 bits a pixel, rows from the top;
//   - it holds at least kMinColours distinct colours (a blank or cleared picture has one);
//   - on the Sound cards tab: at least kMinLitRows pixel rows carry an unbroken run of at
//     least kMinLitRun pixels in the meter colour (a lit bar; text in that colour never
//     makes runs that long).
//
// Usage: ui_pictures <out.bmp> <width> <height> <en|nl|de> <tab 0-3> [<font.ttf> [<pixels>]]
// Without a font file Dear ImGui's own font is used, as the program does where Windows has
// no Segoe UI (under Wine). Exit codes: 0 written and checked, 1 usage, 2 no Direct3D 11,
// 3 not written, 4 the check failed.

#include <windows.h>

#include <d3d11.h>
#include <imgui.h>
#include <imgui_impl_dx11.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/SettingsBuilders.h"
#include "app/shell/ConfigFile.h"
#include "app/shell/MainWindow.h"
#include "app/shell/Screenshot.h"
#include "app/shell/Shell.h"
#include "app/ui/Logo.h"
#include "app/ui/Ui.h"
#include "core/settings/Settings.h"
#include "core/settings/Validation.h"
#include "win/base/Text.h"
#include "win/devices/DeviceScan.h"
#include "win/router/Router.h"

namespace {

using Microsoft::WRL::ComPtr;

constexpr int kFrames = 30;
constexpr DWORD kFrameMs = 20;
constexpr std::size_t kMinColours = 16;  // the plainest, the Status tab with no player, has about twenty
constexpr int kMinLitRun = 40;
constexpr int kMinLitRows = 5;
constexpr int kColourTolerance = 3;

const win::DeviceInfo kStereo = win::makeTestOutput(0, 2, 48000);
const win::DeviceInfo kEight = win::makeTestOutput(1, 8, 44100);
const win::DeviceInfo kSpare = win::makeTestOutput(2, 2, 48000);
constexpr std::uint32_t kToneChannel = 0;

win::DeviceInfo missingAsioDriver() {
    win::DeviceInfo device;
    device.key = "asio:Studio Desk";
    device.name = "Studio Desk";
    device.family = win::DeviceFamily::Asio;
    return device;
}

core::DeviceSettings deviceSettings(const std::string& key, const std::string& name) {
    core::DeviceSettings settings;
    settings.key = key;
    settings.name = name;
    settings.enabled = true;
    return settings;
}

using test_support::card;

// Every kind of row the tab has: two running outputs with choices made, an ASIO driver that
// fails, an exclusive WASAPI card that is not connected (which also brings up the warning),
// and an output that is not in use.
core::Settings pictureSettings(const std::string& language) {
    core::Settings settings;
    settings.language = language;
    core::DeviceSettings stereo = deviceSettings(kStereo.key, kStereo.name);
    stereo.bufferFrames = 256;
    stereo.periods = 3;
    core::DeviceSettings eight = deviceSettings(kEight.key, kEight.name);
    eight.sampleRate = 44100;
    core::DeviceSettings asio = deviceSettings("asio:Studio Desk", "Studio Desk");
    asio.api = core::DeviceApi::Asio;
    core::DeviceSettings gone =
        deviceSettings("wasapi:{0.0.0.00000000}.{5d0f3c2e-0000-4000-8000-00000000dead}", "Living room speakers");
    gone.api = core::DeviceApi::Exclusive;
    settings.devices = {stereo, eight, asio, gone};
    // A card of every kind: stereo, two mono cards split from a pair, mono from one side, and
    // one joined from both outputs with a delay on its near half.
    settings.cards = {card("0000000a", "Lounge", {{kEight.key, 4, 0.0}, {kEight.key, 5, 0.0}}),
                      card("0000000b", "Kitchen", {{kEight.key, 0, 0.0}}),
                      card("0000000c", "Porch", {{kEight.key, 1, 0.0}}),
                      card("0000000d", "Patio (left)", {{kEight.key, 2, 0.0}}),
                      card("0000000e", "Terrace", {{kStereo.key, 0, 12.5}, {kEight.key, 3, 0.0}})};
    settings.cards[3].mono = core::MonoMode::Left;
    return settings;
}

// Hardware first, as the program does; under Wine that is the OpenGL renderer.
bool createDevice(ComPtr<ID3D11Device>& device, ComPtr<ID3D11DeviceContext>& context) {
    constexpr D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
    for (const D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
        D3D_FEATURE_LEVEL level{};
        if (SUCCEEDED(
                D3D11CreateDevice(nullptr, type, nullptr, 0, levels, 2, D3D11_SDK_VERSION, &device, &level, &context)))
            return true;
    }
    return false;
}

struct Picture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> bgra;  // rows from the top
};

std::string readWholeFile(const std::wstring& path) {
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) return bytes;
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.append(buffer, got);
    std::fclose(file);
    return bytes;
}

std::uint32_t get32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

// The picture as the file holds it; false when the file is not the BMP that was asked for.
bool readBmp(const std::wstring& path, std::uint32_t width, std::uint32_t height, Picture& picture) {
    const std::string bytes = readWholeFile(path);
    const std::size_t pixelBytes = std::size_t{width} * height * 4;
    if (bytes.size() != app::kBmpHeaderBytes + pixelBytes || bytes.compare(0, 2, "BM") != 0) {
        std::printf("the file holds %zu bytes, not a BMP of %u x %u\n", bytes.size(), width, height);
        return false;
    }
    const auto shownHeight = static_cast<std::int32_t>(get32(bytes, 22));
    const std::uint32_t bits = get32(bytes, 28) & 0xffff;
    if (get32(bytes, 10) != app::kBmpHeaderBytes || get32(bytes, 18) != width ||
        shownHeight != -static_cast<std::int32_t>(height) || bits != 32) {
        std::printf("the header names %u x %d at %u bits\n", get32(bytes, 18), shownHeight, bits);
        return false;
    }
    picture.width = width;
    picture.height = height;
    picture.bgra.assign(bytes.begin() + static_cast<std::ptrdiff_t>(app::kBmpHeaderBytes), bytes.end());
    return true;
}

std::size_t distinctColours(const Picture& picture) {
    std::set<std::uint32_t> colours;
    for (std::size_t i = 0; i + 3 < picture.bgra.size(); i += 4) {
        colours.insert(picture.bgra[i] | (picture.bgra[i + 1] << 8) | (picture.bgra[i + 2] << 16));
    }
    return colours.size();
}

// Rows holding an unbroken run of at least kMinLitRun pixels in the meter colour.
int litRows(const Picture& picture) {
    const ImU32 meter = ImGui::ColorConvertFloat4ToU32(app::kAccentColour);
    const int red = static_cast<int>(meter & 0xff);
    const int green = static_cast<int>((meter >> 8) & 0xff);
    const int blue = static_cast<int>((meter >> 16) & 0xff);
    int rows = 0;
    for (std::uint32_t y = 0; y < picture.height; ++y) {
        int run = 0;
        int longest = 0;
        for (std::uint32_t x = 0; x < picture.width; ++x) {
            const std::uint8_t* pixel = &picture.bgra[(std::size_t{y} * picture.width + x) * 4];
            const bool lit = std::abs(pixel[0] - blue) <= kColourTolerance &&
                             std::abs(pixel[1] - green) <= kColourTolerance &&
                             std::abs(pixel[2] - red) <= kColourTolerance;
            run = lit ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        if (longest >= kMinLitRun) ++rows;
    }
    return rows;
}

class Renderer {
public:
    bool start(std::uint32_t width, std::uint32_t height) {
        if (!createDevice(device_, context_)) return false;
        D3D11_TEXTURE2D_DESC description{};
        description.Width = width;
        description.Height = height;
        description.MipLevels = 1;
        description.ArraySize = 1;
        description.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        description.SampleDesc.Count = 1;
        description.Usage = D3D11_USAGE_DEFAULT;
        description.BindFlags = D3D11_BIND_RENDER_TARGET;
        if (FAILED(device_->CreateTexture2D(&description, nullptr, &target_))) return false;
        if (FAILED(device_->CreateRenderTargetView(target_.Get(), nullptr, &targetView_))) return false;
        description.Usage = D3D11_USAGE_STAGING;
        description.BindFlags = 0;
        description.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        return SUCCEEDED(device_->CreateTexture2D(&description, nullptr, &staging_));
    }

    ID3D11Device* device() const { return device_.Get(); }
    ID3D11DeviceContext* context() const { return context_.Get(); }

    void draw() {
        ID3D11RenderTargetView* view = targetView_.Get();
        context_->OMSetRenderTargets(1, &view, nullptr);
        context_->ClearRenderTargetView(view, app::kClearColour);
        ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
    }

    // The last drawn frame as a BMP file.
    std::string bmp(std::uint32_t width, std::uint32_t height) {
        context_->CopyResource(staging_.Get(), target_.Get());
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (FAILED(context_->Map(staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return {};
        std::string bytes =
            app::encodeBmp(width, height, static_cast<const std::uint8_t*>(mapped.pData), mapped.RowPitch);
        context_->Unmap(staging_.Get(), 0);
        return bytes;
    }

private:
    ComPtr<ID3D11Device> device_;
    ComPtr<ID3D11DeviceContext> context_;
    ComPtr<ID3D11Texture2D> target_;
    ComPtr<ID3D11RenderTargetView> targetView_;
    ComPtr<ID3D11Texture2D> staging_;
};

int usage() {
    std::printf("usage: ui_pictures <out.bmp> <width> <height> <en|nl|de> <tab 0-3> [<font.ttf> [<pixels>]]\n");
    return 1;
}

int run(int argc, wchar_t** argv) {
    if (argc < 6) return usage();
    const std::wstring path = argv[1];
    const long width = std::wcstol(argv[2], nullptr, 10);
    const long height = std::wcstol(argv[3], nullptr, 10);
    const std::string language = win::toUtf8(argv[4]);
    const long tab = std::wcstol(argv[5], nullptr, 10);
    const std::string font = argc > 6 ? win::toUtf8(argv[6]) : std::string();
    const float fontPixels = argc > 7 ? std::wcstof(argv[7], nullptr) : 17.0f;
    if (width < 64 || height < 64 || width > 8192 || height > 8192 || tab < 0 || tab >= app::kTabCount ||
        (language != "en" && language != "nl" && language != "de") || fontPixels < 6.0f) {
        return usage();
    }
    const auto pictureWidth = static_cast<std::uint32_t>(width);
    const auto pictureHeight = static_cast<std::uint32_t>(height);

    Renderer renderer;
    if (!renderer.start(pictureWidth, pictureHeight)) {
        std::printf("Direct3D 11 is not available\n");
        return 2;
    }

    win::RouterOptions options;
    options.scanDevices = false;
    options.extraDevices = {kStereo, kEight, kSpare, missingAsioDriver()};
    options.ringPrefix = L"Local\\qova-pictures";
    win::Router router(std::move(options));
    router.rescan();
    core::Settings settings = pictureSettings(language);
    for (const core::ValidationIssue& issue : router.apply(settings)) {
        std::printf("settings refused: %s (%s)\n", core::issueCodeText(issue.code), issue.subject.c_str());
        return 4;
    }
    router.setTestTone(kStereo.key, kToneChannel, true);

    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.LogFilename = nullptr;
    io.DisplaySize = ImVec2(static_cast<float>(width), static_cast<float>(height));
    app::applyStyle(1.0f);
    if (!font.empty() && io.Fonts->AddFontFromFileTTF(font.c_str(), fontPixels) == nullptr) {
        std::printf("cannot load the font %s\n", font.c_str());
        return usage();
    }
    ImGui_ImplDX11_Init(renderer.device(), renderer.context());

    int exitCode = 0;
    {
        app::Ui ui(&router, std::move(settings));
        const app::LogoTexture logo = app::loadLogo(renderer.device(), GetModuleHandleW(nullptr), app::kLogoResourceId,
                                                    static_cast<int>(std::lround(app::kLogoSidePerScale)));
        if (logo.view) ui.setLogo(logo.view.Get(), logo.width, logo.height);
        ui.requestTab(static_cast<int>(tab));

        for (int frame = 0; frame < kFrames; ++frame) {
            io.DeltaTime = static_cast<float>(kFrameMs) / 1000.0f;
            ImGui_ImplDX11_NewFrame();
            ImGui::NewFrame();
            ui.draw();
            ImGui::Render();
            renderer.draw();
            Sleep(kFrameMs);
        }
        const auto meters = ui.meters().find(kStereo.key);
        const float toneLevel =
            meters != ui.meters().end() && meters->second.size() > kToneChannel ? meters->second[kToneChannel] : 0.0f;

        const std::string bytes = renderer.bmp(pictureWidth, pictureHeight);
        if (bytes.empty() || !app::writeFileAtomically(path, bytes)) {
            std::printf("cannot write %s\n", win::toUtf8(path).c_str());
            exitCode = 3;
        } else {
            Picture picture;
            if (!readBmp(path, pictureWidth, pictureHeight, picture)) {
                exitCode = 4;
            } else {
                const std::size_t colours = distinctColours(picture);
                const int rows = litRows(picture);
                std::printf("%s: %ld x %ld, %s, tab %ld; %zu colours; meter of the tone at %.2f, %d lit rows\n",
                            win::toUtf8(path).c_str(), width, height, language.c_str(), tab, colours, toneLevel, rows);
                if (colours < kMinColours) {
                    std::printf("FAILED: fewer than %zu colours: nothing was drawn\n", kMinColours);
                    exitCode = 4;
                }
                if (tab == app::kSoundCardsTab && rows < kMinLitRows) {
                    std::printf("FAILED: no lit meter (fewer than %d rows with a run of %d pixels)\n", kMinLitRows,
                                kMinLitRun);
                    exitCode = 4;
                }
            }
        }
        ui.setLogo(nullptr, 0, 0);
    }

    ImGui_ImplDX11_Shutdown();
    ImGui::DestroyContext();
    router.closeAll();
    return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool comReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    const int exitCode = run(argc, argv);
    if (comReady) CoUninitialize();
    return exitCode;
}
