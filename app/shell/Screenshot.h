#pragma once

// Screenshot mode: the window is drawn without being shown and, after a fixed number of
// frames, its back buffer is saved as a 32-bit top-down BMP. UI thread.

#include <d3d11.h>
#include <dxgi.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

inline constexpr int kScreenshotFrame = 60;         // the frame whose picture is saved
inline constexpr unsigned kScreenshotFrameMs = 16;  // pause after each frame
inline constexpr std::size_t kBmpHeaderBytes = 54;  // file header and BITMAPINFOHEADER

// A BMP file of 32-bit pixels, rows from the top: from RGBA rows `rowPitchBytes` apart,
// blue, green, red of each pixel and 255 for alpha.
std::string encodeBmp(std::uint32_t width, std::uint32_t height, const std::uint8_t* rgba, std::size_t rowPitchBytes);

// Copies buffer 0 of the swap chain to the CPU and writes it to `path` atomically. False
// when any step fails.
bool saveBackBuffer(ID3D11Device* device, ID3D11DeviceContext* context, IDXGISwapChain* swapChain,
                    const std::wstring& path);

// saveBackBuffer, then the log line "screenshot <path>: saved" or "...: FAILED".
void takeScreenshot(ID3D11Device* device, ID3D11DeviceContext* context, IDXGISwapChain* swapChain,
                    const std::wstring& path);

}  // namespace app
