#include "tools/player/SoundSources.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "tools/player/PlayerConsole.h"
#include "tools/player/WavReader.h"
#include "win/base/Text.h"

namespace player {

namespace {

constexpr double kToneAmplitude = 0.25;  // -12 dBFS: clearly audible, far from clipping

class ToneSource final : public SoundSource {
public:
    explicit ToneSource(double hz) : hz_(hz) {}

    std::uint32_t read(float* stereo, std::uint32_t frames) override {
        for (std::uint32_t i = 0; i < frames; ++i) {
            const auto sample = static_cast<float>(kToneAmplitude * std::sin(6.283185307179586 * phaseCycles_));
            stereo[2 * i] = sample;
            stereo[2 * i + 1] = sample;
            // Kept within one cycle, so that the sine stays as clean after an hour as at the start.
            phaseCycles_ += hz_ / kRateHz;
            if (phaseCycles_ >= 1.0) phaseCycles_ -= 1.0;
        }
        return frames;
    }

    std::string describe() const override { return formatText("a %g Hz tone", hz_); }

private:
    double hz_;
    double phaseCycles_ = 0.0;
};

class WavSource final : public SoundSource {
public:
    // "" when the file can be played, else why not.
    std::string open(const std::wstring& path) {
        path_ = win::toUtf8(path);
        file_.reset(_wfopen(path.c_str(), L"rb"));
        if (!file_) return "cannot open " + path_;
        WIN32_FILE_ATTRIBUTE_DATA attributes{};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) return "cannot read " + path_;
        const std::uint64_t bytes = (std::uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
        const std::string problem = readWavHeader(file_.get(), bytes, format_);
        if (!problem.empty()) return path_ + " cannot be played: " + problem;
        if (_fseeki64(file_.get(), static_cast<long long>(format_.dataOffset), SEEK_SET) != 0)
            return "cannot read " + path_;
        framesLeft_ = format_.dataBytes / format_.blockBytes;
        raw_.resize(std::size_t{kChunkFrames} * format_.blockBytes);
        return {};
    }

    std::uint32_t read(float* stereo, std::uint32_t frames) override {
        frames = static_cast<std::uint32_t>(std::min<std::uint64_t>({frames, framesLeft_, kChunkFrames}));
        const std::size_t got = std::fread(raw_.data(), format_.blockBytes, frames, file_.get());
        const unsigned sampleBytes = format_.bits / 8u;
        for (std::size_t i = 0; i < got; ++i) {
            const unsigned char* frame = raw_.data() + i * format_.blockBytes;
            const float left = sampleAt(frame, format_);
            stereo[2 * i] = left;
            stereo[2 * i + 1] = format_.channels == 2 ? sampleAt(frame + sampleBytes, format_) : left;
        }
        framesLeft_ = got < frames ? 0 : framesLeft_ - got;
        return static_cast<std::uint32_t>(got);
    }

    std::string describe() const override {
        return path_ + formatText(" (%u-bit %s, %s)", unsigned{format_.bits}, format_.isFloat ? "float" : "PCM",
                                  format_.channels == 2 ? "stereo" : "mono");
    }

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    std::string path_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    WavFormat format_;
    std::uint64_t framesLeft_ = 0;
    std::vector<unsigned char> raw_;
};

}  // namespace

int openSource(const Options& options, std::unique_ptr<SoundSource>& source) {
    if (options.toneHz) {
        source = std::make_unique<ToneSource>(*options.toneHz);
        return kExitDone;
    }
    auto wav = std::make_unique<WavSource>();
    const std::string problem = wav->open(options.wavPath);
    if (!problem.empty()) {
        complain(problem);
        return kExitBadSound;
    }
    source = std::move(wav);
    return kExitDone;
}

}  // namespace player
