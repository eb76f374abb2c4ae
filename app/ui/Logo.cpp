#include "app/ui/Logo.h"

#include <wincodec.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "win/base/Log.h"

namespace app {

using Microsoft::WRL::ComPtr;

namespace {

LogoTexture failed(int resourceId, const char* step, HRESULT result) {
    win::logLine("logo %d: %s failed (0x%08lx)", resourceId, step, static_cast<unsigned long>(result));
    return {};
}

HRESULT lastErrorResult() {
    return HRESULT_FROM_WIN32(GetLastError());
}

}  // namespace

LogoTexture loadLogo(ID3D11Device* device, HMODULE module, int resourceId, int targetHeight) {
    if (device == nullptr || targetHeight <= 0) return {};

    // Resource memory lives as long as the module and needs no release.
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(resourceId), RT_RCDATA);
    if (found == nullptr) return failed(resourceId, "FindResource", lastErrorResult());
    const HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) return failed(resourceId, "FindResource", lastErrorResult());
    const void* bytes = LockResource(loaded);
    if (bytes == nullptr) return failed(resourceId, "FindResource", lastErrorResult());
    const DWORD sizeBytes = SizeofResource(module, found);
    if (sizeBytes == 0) return failed(resourceId, "FindResource", lastErrorResult());

    ComPtr<IWICImagingFactory> factory;
    HRESULT result = CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
    if (FAILED(result)) return failed(resourceId, "WIC", result);

    // The stream reads the resource in place; WIC never writes through the pointer.
    ComPtr<IWICStream> stream;
    result = factory->CreateStream(&stream);
    if (SUCCEEDED(result))
        result = stream->InitializeFromMemory(static_cast<BYTE*>(const_cast<void*>(bytes)), sizeBytes);
    if (FAILED(result)) return failed(resourceId, "stream", result);

    ComPtr<IWICBitmapDecoder> decoder;
    result = factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnLoad, &decoder);
    if (FAILED(result)) return failed(resourceId, "decode", result);

    ComPtr<IWICBitmapFrameDecode> frame;
    result = decoder->GetFrame(0, &frame);
    if (FAILED(result)) return failed(resourceId, "frame", result);

    UINT sourceWidth = 0;
    UINT sourceHeight = 0;
    if (FAILED(frame->GetSize(&sourceWidth, &sourceHeight)) || sourceWidth == 0 || sourceHeight == 0)
        return failed(resourceId, "size", E_FAIL);

    // Scaling straight alpha would pull the colour of transparent pixels into the edges, so
    // the scaler works on premultiplied pixels and the texture gets straight ones back.
    ComPtr<IWICFormatConverter> premultiplied;
    result = factory->CreateFormatConverter(&premultiplied);
    if (SUCCEEDED(result))
        result = premultiplied->Initialize(frame.Get(), GUID_WICPixelFormat32bppPRGBA, WICBitmapDitherTypeNone, nullptr,
                                           0.0, WICBitmapPaletteTypeCustom);
    if (FAILED(result)) return failed(resourceId, "premultiply", result);

    const UINT height = std::min(sourceHeight, static_cast<UINT>(targetHeight));
    const UINT width =
        std::max<UINT>(1, static_cast<UINT>(std::lround(static_cast<double>(height) * sourceWidth / sourceHeight)));
    ComPtr<IWICBitmapScaler> scaler;
    result = factory->CreateBitmapScaler(&scaler);
    if (SUCCEEDED(result))
        result = scaler->Initialize(premultiplied.Get(), width, height, WICBitmapInterpolationModeFant);
    if (FAILED(result)) return failed(resourceId, "scale", result);

    ComPtr<IWICFormatConverter> straight;
    result = factory->CreateFormatConverter(&straight);
    if (SUCCEEDED(result))
        result = straight->Initialize(scaler.Get(), GUID_WICPixelFormat32bppRGBA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                      WICBitmapPaletteTypeCustom);
    if (FAILED(result)) return failed(resourceId, "unpremultiply", result);

    const UINT rowBytes = width * 4;
    std::vector<BYTE> pixels(static_cast<std::size_t>(rowBytes) * height, 0);
    const WICRect whole{0, 0, static_cast<INT>(width), static_cast<INT>(height)};
    result = straight->CopyPixels(&whole, rowBytes, static_cast<UINT>(pixels.size()), pixels.data());
    if (FAILED(result)) return failed(resourceId, "pixels", result);

    D3D11_TEXTURE2D_DESC description{};
    description.Width = width;
    description.Height = height;
    description.MipLevels = 1;
    description.ArraySize = 1;
    description.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    description.SampleDesc.Count = 1;
    description.Usage = D3D11_USAGE_IMMUTABLE;
    description.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    const D3D11_SUBRESOURCE_DATA initial{pixels.data(), rowBytes, 0};
    ComPtr<ID3D11Texture2D> texture;
    result = device->CreateTexture2D(&description, &initial, &texture);
    if (FAILED(result)) return failed(resourceId, "texture", result);

    LogoTexture logo;
    result = device->CreateShaderResourceView(texture.Get(), nullptr, &logo.view);
    if (FAILED(result)) return failed(resourceId, "view", result);
    logo.width = static_cast<std::int32_t>(width);
    logo.height = static_cast<std::int32_t>(height);
    return logo;  // the view keeps the texture alive
}

}  // namespace app
