#include "app/shell/Screenshot.h"

#include <windows.h>

#include <wrl/client.h>

#include "app/shell/ConfigFile.h"
#include "win/base/Log.h"
#include "win/base/Text.h"

namespace app {
namespace {

void put16(std::string& out, std::uint16_t value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>(value >> 8);
}

void put32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xff);
}

}  // namespace

std::string encodeBmp(std::uint32_t width, std::uint32_t height, const std::uint8_t* rgba, std::size_t rowPitchBytes) {
    const std::uint32_t pixelBytes = width * height * 4;
    std::string out;
    out.reserve(kBmpHeaderBytes + pixelBytes);
    // File header.
    out += "BM";
    put32(out, pixelBytes + static_cast<std::uint32_t>(kBmpHeaderBytes));
    put16(out, 0);
    put16(out, 0);
    put32(out, static_cast<std::uint32_t>(kBmpHeaderBytes));
    // BITMAPINFOHEADER; a negative height puts the first row at the top.
    put32(out, 40);
    put32(out, width);
    put32(out, static_cast<std::uint32_t>(-static_cast<std::int64_t>(height)));
    put16(out, 1);   // planes
    put16(out, 32);  // bits a pixel
    put32(out, BI_RGB);
    for (int field = 0; field < 5; ++field) put32(out, 0);  // size, resolutions, palette counts

    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* row = rgba + y * rowPitchBytes;
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint8_t* pixel = row + std::size_t{x} * 4;
            out += static_cast<char>(pixel[2]);
            out += static_cast<char>(pixel[1]);
            out += static_cast<char>(pixel[0]);
            out += static_cast<char>(0xff);
        }
    }
    return out;
}

bool saveBackBuffer(ID3D11Device* device, ID3D11DeviceContext* context, IDXGISwapChain* swapChain,
                    const std::wstring& path) {
    if (device == nullptr || context == nullptr || swapChain == nullptr) return false;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> backBuffer;
    if (FAILED(swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer)))) return false;

    D3D11_TEXTURE2D_DESC description{};
    backBuffer->GetDesc(&description);
    description.Usage = D3D11_USAGE_STAGING;
    description.BindFlags = 0;
    description.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    description.MiscFlags = 0;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> copy;
    if (FAILED(device->CreateTexture2D(&description, nullptr, &copy))) return false;
    context->CopyResource(copy.Get(), backBuffer.Get());

    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(copy.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return false;
    const std::string bytes = encodeBmp(description.Width, description.Height,
                                        static_cast<const std::uint8_t*>(mapped.pData), mapped.RowPitch);
    context->Unmap(copy.Get(), 0);
    return writeFileAtomically(path, bytes);
}

void takeScreenshot(ID3D11Device* device, ID3D11DeviceContext* context, IDXGISwapChain* swapChain,
                    const std::wstring& path) {
    const bool saved = saveBackBuffer(device, context, swapChain, path);
    win::logLine("screenshot %s: %s", win::toUtf8(path).c_str(), saved ? "saved" : "FAILED");
}

}  // namespace app
