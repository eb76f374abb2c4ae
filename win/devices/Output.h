#pragma once

// One real sound card that the router plays on. The router opens it with the card's scanned
// description and the user's settings for it, starts it, and from then on the output calls
// the router's render function on a real-time thread of its own, asking for interleaved
// 32-bit float samples.
//
// Render contract, which the router's render path relies on:
//  1. The render function is called only between a successful start() and the return of
//     close() (or the destructor), on one thread per output that belongs to the driver or to
//     miniaudio, never on the caller's thread.
//  2. Every call passes the channel count that channels() reports.
//  3. An ASIO output always passes periodFrames() frames; a miniaudio output passes whatever
//     its backend asks for, normally one period but sometimes several short calls in a row.
//  4. The buffer holds frames x channels floats, interleaved frame by frame (channel c of
//     frame f is element f * channels + c), all zero on entry; what the function leaves there
//     is played, clipped to -1.0..+1.0.
//  5. Calls of one output never overlap; calls of different outputs run concurrently.
//
// Everything but the render function runs on the thread that builds the router (the UI
// thread), never concurrently for one output. No operation throws; open and start return
// false with a short lower-case reason, queries never fail.

#include <cstdint>
#include <memory>
#include <string>

#include "core/settings/Settings.h"
#include "win/devices/DeviceScan.h"

namespace win {

// Render thread: no locks, no allocation, no logging, no exception may leave it.
// (context, interleaved samples, frames, channels)
using RenderFunction = void (*)(void* context, float* samples, std::uint32_t frames, std::uint32_t channels);

// The order of the virtual functions is fixed: it is the output's slot order.
class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Every implementation closes the output here if it is open.
    virtual ~Output() = default;

    // Opens the sound card named by device.key with the sample rate, buffer size, period count
    // and share mode of `settings` (0 in a number leaves the choice to the driver), closing
    // this output first if it is open. `context` is handed back unchanged to every `render`
    // call. On failure the output is closed, nothing is held and `error` holds the reason.
    virtual bool open(const DeviceInfo& device, const core::DeviceSettings& settings, RenderFunction render,
                      void* context, std::string& error) = 0;

    // Makes the device play; the render function may be called before this returns.
    // Fails with "not open" unless open succeeded.
    virtual bool start(std::string& error) = 0;

    // Stops the device so that the render function is no longer called once this returns,
    // and releases the driver. Harmless when already closed.
    virtual void close() = 0;

    // Valid after a successful open; what the router sizes its buffers and resamplers by.
    virtual std::uint32_t sampleRate() const = 0;     // Hz of the render calls
    virtual std::uint32_t channels() const = 0;       // channels of the render calls
    virtual std::uint32_t periodFrames() const = 0;   // frames in one device period
    virtual std::uint32_t latencyFrames() const = 0;  // output latency, at sampleRate()

    // True once the device has stopped by itself (set on the driver's thread). Any thread.
    virtual bool stoppedUnexpectedly() const = 0;

    // One line describing the running format, for the log; empty while closed.
    virtual std::string describe() const = 0;

    // Opens the driver's own settings window; only an ASIO driver has one.
    virtual void showControlPanel() = 0;
};

// Each returns a closed output; destroying it closes it. The router picks makeAsioOutput for
// family Asio and makeMiniaudioOutput for every other family.
std::unique_ptr<Output> makeMiniaudioOutput();
std::unique_ptr<Output> makeAsioOutput();

}  // namespace win
