#include "TestDevice.h"

namespace testing_support {

Microsoft::WRL::ComPtr<ID3D11Device> createTestDevice(HRESULT& result) {
    Microsoft::WRL::ComPtr<ID3D11Device> device;
    result = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                               nullptr, nullptr);
    if (result == DXGI_ERROR_UNSUPPORTED) {
        result = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                                   nullptr, nullptr);
    }
    return SUCCEEDED(result) ? device : nullptr;
}

}  // namespace testing_support
