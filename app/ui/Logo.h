#pragma once

// The logo picture of the Sound cards and About tabs: a PNG in the program's resources,
// decoded and scaled once at start-up into a Direct3D texture of about its drawn size.

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>

namespace app {

inline constexpr int kLogoResourceId = 2;  // RT_RCDATA

// An empty result (no view, sizes 0) means no picture: the tabs draw their text alone.
struct LogoTexture {
    Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> view;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// UI thread, with COM initialised on it. Decodes resource `resourceId` of `module` through
// WIC and scales it to `targetHeight` pixels (never above the picture's own height), keeping
// its proportions. Without a device or a positive height it returns the empty result
// quietly; any other failure logs "logo <id>: <step> failed (0x........)" and returns it.
LogoTexture loadLogo(ID3D11Device* device, HMODULE module, int resourceId, int targetHeight);

}  // namespace app
