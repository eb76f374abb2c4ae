#include "app/ui/Logo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "TestDevice.h"
#include "TestSupport.h"

namespace app {
namespace {

using Microsoft::WRL::ComPtr;

// Real WIC on a COM apartment of this thread and a real Direct3D device, as at start-up.
class Logo : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        comReady_ = true;
        HRESULT result = S_OK;
        device_ = testing_support::createTestDevice(result);
        ASSERT_NE(device_, nullptr) << std::hex << result;
    }
    void TearDown() override {
        device_.Reset();
        if (comReady_) CoUninitialize();
    }

    // This test program carries the logo as resource 2, like QOVA.exe.
    LogoTexture load(int targetHeight) {
        return loadLogo(device_.Get(), GetModuleHandleW(nullptr), kLogoResourceId, targetHeight);
    }

    D3D11_TEXTURE2D_DESC describe(const LogoTexture& logo) {
        ComPtr<ID3D11Resource> resource;
        logo.view->GetResource(&resource);
        ComPtr<ID3D11Texture2D> texture;
        D3D11_TEXTURE2D_DESC description{};
        if (SUCCEEDED(resource.As(&texture))) texture->GetDesc(&description);
        return description;
    }

    // The texture's RGBA bytes, row after row, through a staging copy.
    std::vector<std::uint8_t> readBack(const LogoTexture& logo) {
        ComPtr<ID3D11Resource> resource;
        logo.view->GetResource(&resource);
        D3D11_TEXTURE2D_DESC description = describe(logo);
        description.Usage = D3D11_USAGE_STAGING;
        description.BindFlags = 0;
        description.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        ComPtr<ID3D11Texture2D> staging;
        if (FAILED(device_->CreateTexture2D(&description, nullptr, &staging))) return {};
        ComPtr<ID3D11DeviceContext> context;
        device_->GetImmediateContext(&context);
        context->CopyResource(staging.Get(), resource.Get());
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return {};
        std::vector<std::uint8_t> pixels;
        const std::size_t rowBytes = description.Width * 4;
        for (UINT y = 0; y < description.Height; ++y) {
            const auto* row = static_cast<const std::uint8_t*>(mapped.pData) + y * mapped.RowPitch;
            pixels.insert(pixels.end(), row, row + rowBytes);
        }
        context->Unmap(staging.Get(), 0);
        return pixels;
    }

    ComPtr<ID3D11Device> device_;

private:
    bool comReady_ = false;
};

void expectEmpty(const LogoTexture& logo) {
    EXPECT_EQ(logo.view, nullptr);
    EXPECT_EQ(logo.width, 0);
    EXPECT_EQ(logo.height, 0);
}

TEST_F(Logo, ScalesToTheTargetHeightKeepingItsProportions) {
    const struct {
        int targetHeight;
        int width;
        int height;
    } cases[] = {
        {56, 88, 56},     // 100 % display scale: 452 x 56 / 288 = 87.9
        {112, 176, 112},  // 200 %
        {1, 2, 1},        // 1.57 rounds up
        {288, 452, 288},  // the picture's own size
        {400, 452, 288},  // never above it
    };
    for (const auto& c : cases) {
        const LogoTexture logo = load(c.targetHeight);
        ASSERT_NE(logo.view, nullptr) << c.targetHeight;
        EXPECT_EQ(logo.width, c.width) << c.targetHeight;
        EXPECT_EQ(logo.height, c.height) << c.targetHeight;

        const D3D11_TEXTURE2D_DESC description = describe(logo);
        EXPECT_EQ(description.Width, static_cast<UINT>(c.width));
        EXPECT_EQ(description.Height, static_cast<UINT>(c.height));
        EXPECT_EQ(description.MipLevels, 1u);
        EXPECT_EQ(description.ArraySize, 1u);
        EXPECT_EQ(description.Format, DXGI_FORMAT_R8G8B8A8_UNORM);
        EXPECT_EQ(description.SampleDesc.Count, 1u);
        EXPECT_EQ(description.Usage, D3D11_USAGE_IMMUTABLE);
        EXPECT_EQ(description.BindFlags, static_cast<UINT>(D3D11_BIND_SHADER_RESOURCE));
        EXPECT_EQ(description.CPUAccessFlags, 0u);
        EXPECT_EQ(description.MiscFlags, 0u);
    }
}

// The picture is white on transparent. Scaling must not pull the colour of transparent pixels
// into the soft edges, and the texture holds straight alpha: an edge pixel is white with
// partial alpha, not grey.
TEST_F(Logo, ScaledPictureStaysWhiteOnTransparent) {
    for (int targetHeight : {56, 288}) {
        const LogoTexture logo = load(targetHeight);
        ASSERT_NE(logo.view, nullptr);
        const std::vector<std::uint8_t> pixels = readBack(logo);
        ASSERT_EQ(pixels.size(), static_cast<std::size_t>(logo.width) * logo.height * 4);
        int transparent = 0;
        int opaque = 0;
        int edge = 0;
        for (std::size_t i = 0; i < pixels.size(); i += 4) {
            const std::uint8_t alpha = pixels[i + 3];
            if (alpha == 0) {
                ++transparent;
                continue;
            }
            alpha == 255 ? ++opaque : ++edge;
            // Below a few steps of alpha the colour is rounding noise.
            if (alpha < 16) continue;
            for (int channel = 0; channel < 3; ++channel)
                ASSERT_GE(pixels[i + channel], 250)
                    << "pixel " << i / 4 << " alpha " << int(alpha) << " at height " << targetHeight;
        }
        EXPECT_GT(transparent, 0) << targetHeight;
        EXPECT_GT(opaque, 0) << targetHeight;
        EXPECT_GT(edge, 0) << targetHeight;
    }
}

// QOVA.exe itself, opened as data, carries the same picture as resource 2.
TEST_F(Logo, ProgramCarriesThePictureAsResourceTwo) {
    const std::wstring path = testing_support::binaryFolder() + L"\\QOVA.exe";
    const HMODULE program =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(program, nullptr) << GetLastError();
    const LogoTexture logo = loadLogo(device_.Get(), program, kLogoResourceId, 56);
    FreeLibrary(program);
    EXPECT_NE(logo.view, nullptr);
    EXPECT_EQ(logo.width, 88);
    EXPECT_EQ(logo.height, 56);
}

TEST_F(Logo, NothingToDrawGivesTheEmptyResult) {
    const HMODULE self = GetModuleHandleW(nullptr);
    expectEmpty(loadLogo(nullptr, self, kLogoResourceId, 56));
    expectEmpty(loadLogo(device_.Get(), self, kLogoResourceId, 0));
    expectEmpty(loadLogo(device_.Get(), self, kLogoResourceId, -56));
    expectEmpty(loadLogo(device_.Get(), self, 99, 56));  // no such resource
}

// The failure lines come from a second process, which opens its own log and has no logo.
TEST(LogoLog, NamesTheStepThatFailed) {
    testing_support::TempFolder folder;
    const auto result = testing_support::runProgram(L"shell_probe.exe", L"logo \"" + folder.path() + L"\"");
    ASSERT_EQ(result.exitCode, 0u) << "3: no Direct3D device in the probe";
    const std::string log = testing_support::readFile(folder.file(L"qova.log"));
    // HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND)
    EXPECT_NE(log.find("] logo 2: FindResource failed (0x80070716)\n"), std::string::npos) << log;
    // Resource 1 exists but is not a picture: WINCODEC_ERR_COMPONENTNOTFOUND, no decoder for it.
    EXPECT_NE(log.find("] logo 1: decode failed (0x88982f50)\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

}  // namespace
}  // namespace app
