// The output for an ASIO driver. Until it drives real drivers it never opens, so the router
// marks ASIO devices as failed with the reason below and carries on with the others.

#include <string>

#include "win/Output.h"

namespace win {

namespace {

class AsioOutput final : public Output {
public:
    bool open(const DeviceInfo&, const core::DeviceSettings&, RenderFunction, void*, std::string& error) override {
        error = "this version of QOVA cannot play through ASIO drivers yet";
        return false;
    }
    bool start(std::string& error) override {
        error = "not open";
        return false;
    }
    void close() override {}
    std::uint32_t sampleRate() const override { return 0; }
    std::uint32_t channels() const override { return 0; }
    std::uint32_t periodFrames() const override { return 0; }
    std::uint32_t latencyFrames() const override { return 0; }
    bool stoppedUnexpectedly() const override { return false; }
    std::string describe() const override { return {}; }
    void showControlPanel() override {}
};

}  // namespace

std::unique_ptr<Output> makeAsioOutput() {
    return std::make_unique<AsioOutput>();
}

}  // namespace win
