#pragma once

// A Direct3D 11 device for tests that make textures: the hardware one (under Wine, Mesa in
// the test X server), or WARP where there is no hardware.

#include <d3d11.h>
#include <wrl/client.h>

namespace testing_support {

// Null when neither kind can be made; `result` then holds the last failure.
Microsoft::WRL::ComPtr<ID3D11Device> createTestDevice(HRESULT& result);

}  // namespace testing_support
