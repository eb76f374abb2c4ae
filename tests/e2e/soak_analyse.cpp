// soak_analyse: the Linux half of bench/soak.sh. It records the sinks' monitors in pieces a
// few minutes long, so that an hour of eight channels never lies on disk or in memory at once,
// and finds the gaps in what each card played while its player was playing.
//
//   soak_analyse record PREFIX FRAMEBYTES SEGMENT_SECONDS
//       Copies standard input (parec's raw frames) to PREFIX.N.raw, N being the monotonic
//       clock's seconds divided by SEGMENT_SECONDS when a read arrives, so that every sink's
//       piece N covers the same stretch of time. Beside each, PREFIX.N.times as e2e_analyse
//       stamp writes it: per read, the frames so far in that piece and the monotonic clock in
//       nanoseconds. Piece N is complete once a later piece exists or the input has ended.
//   soak_analyse gaps RAW TIMES RATE CHANNELS PLAN
//       The gaps on each channel the plan names, while its player played steadily. PLAN holds
//       lines (times in seconds on the monotonic clock):
//         channel CH tone HZ     the card on CH plays a sine of HZ (at the file's rate)
//         channel CH noise       the card on CH plays noise
//         steady CH FROM TO      CH's player played from FROM to TO (start and end left out)
//         fault FROM TO          a fault window: gaps in it are counted apart
//         blind FROM TO          not judged at all (a recorder starting)
//       Prints, tab-separated, one "capture" line, one "channel" line per channel and one
//       "gap" line per gap (see printGaps).
//   soak_analyse recovery RAW TIMES RATE CHANNELS SINCE CHANNEL...
//       For each channel, how long after SINCE it sounds again for a whole second.
//
// Exit code 0 when the files could be read, 2 otherwise.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

enum Exit : int { kPass = 0, kUsage = 2 };

// A 10 ms window is quiet below -40 dBFS; every card plays at -12 dBFS or about.
constexpr double kQuietWindowSeconds = 0.01;
constexpr double kActiveRms = 0.01;
// A sine of known frequency satisfies x[n] = 2 cos(w) x[n-1] - x[n-2] exactly. Float rounding
// leaves about 1e-7 of it, the 44.1 kHz converter about 1e-5; a skipped, repeated or silenced
// block leaves at least a tenth of the amplitude times w at its edges, far above this.
constexpr double kToneErrorLimit = 2e-3;
// Neither a tone nor noise holds a millisecond of exact zeros: such a run is a block of silence
// that PulseAudio or QOVA put in.
constexpr double kZeroRunSeconds = 0.001;
// Marks closer than this belong to one gap.
constexpr double kMergeSeconds = 0.02;
// A step in the recording's lower time envelope of more than this is a capture loss.
constexpr double kCaptureStepSeconds = 0.003;

long long monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// --- recording in pieces ----------------------------------------------------------------------

int record(int argc, char** argv) {
    if (argc != 5) return kUsage;
    const std::string prefix = argv[2];
    const long frameBytes = std::atol(argv[3]);
    const long long segmentNs = std::atoll(argv[4]) * 1000000000LL;
    if (frameBytes <= 0 || segmentNs <= 0) return kUsage;
    std::vector<char> buffer(1 << 16);
    std::size_t carried = 0;  // bytes of an incomplete frame, kept for the next read
    long long segment = -1;
    std::FILE* data = nullptr;
    std::FILE* times = nullptr;
    unsigned long long frames = 0;
    auto close = [&] {
        if (data != nullptr) std::fclose(data);
        if (times != nullptr) std::fclose(times);
        data = times = nullptr;
    };
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer.data() + carried, buffer.size() - carried);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const long long now = monotonicNs();
        if (now / segmentNs != segment) {
            close();
            segment = now / segmentNs;
            const std::string name = prefix + "." + std::to_string(segment);
            data = std::fopen((name + ".raw").c_str(), "wb");
            times = std::fopen((name + ".times").c_str(), "w");
            if (data == nullptr || times == nullptr) return kUsage;
            frames = 0;
        }
        const std::size_t bytes = carried + static_cast<std::size_t>(got);
        const std::size_t whole = bytes / static_cast<std::size_t>(frameBytes) * static_cast<std::size_t>(frameBytes);
        std::fwrite(buffer.data(), 1, whole, data);
        carried = bytes - whole;
        std::memmove(buffer.data(), buffer.data() + whole, carried);
        frames += whole / static_cast<std::size_t>(frameBytes);
        std::fprintf(times, "%llu %lld\n", frames, now);
    }
    close();
    return kPass;
}

// --- a piece and its time line ----------------------------------------------------------------

struct Piece {
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::vector<float> samples;  // interleaved
    std::vector<double> stampFrames;
    std::vector<double> stampSeconds;
    double origin = 0.0;  // seconds at frame 0, on the lower edge of the arrivals
    double secondsPerFrame = 0.0;

    std::size_t frames() const { return samples.size() / channels; }
    float at(std::size_t frame, std::uint32_t channel) const { return samples[frame * channels + channel]; }
    double timeOf(double frame) const { return origin + frame * secondsPerFrame; }
};

bool readPiece(const char* raw, const char* times, const char* rate, const char* channels, Piece& piece) {
    piece.rate = static_cast<std::uint32_t>(std::atol(rate));
    piece.channels = static_cast<std::uint32_t>(std::atol(channels));
    std::ifstream data(raw, std::ios::binary | std::ios::ate);
    std::ifstream stamps(times);
    if (!data || !stamps || piece.rate == 0 || piece.channels == 0) {
        std::fprintf(stderr, "soak_analyse: cannot read %s or %s\n", raw, times);
        return false;
    }
    const auto bytes = static_cast<std::size_t>(data.tellg());
    piece.samples.resize(bytes / (sizeof(float) * piece.channels) * piece.channels);
    data.seekg(0);
    data.read(reinterpret_cast<char*>(piece.samples.data()),
              static_cast<std::streamsize>(piece.samples.size() * sizeof(float)));
    unsigned long long frames = 0;
    long long ns = 0;
    while (stamps >> frames >> ns) {
        piece.stampFrames.push_back(static_cast<double>(frames));
        piece.stampSeconds.push_back(static_cast<double>(ns) * 1e-9);
    }
    if (piece.stampFrames.size() < 10) {
        std::fprintf(stderr, "soak_analyse: too few time stamps in %s\n", times);
        return false;
    }
    // The sink's clock, fitted over all reads; frame 0 on the earliest arrivals, since a read
    // can come late but never early.
    const double n = static_cast<double>(piece.stampFrames.size());
    double meanF = 0.0;
    double meanS = 0.0;
    for (std::size_t i = 0; i < piece.stampFrames.size(); ++i) {
        meanF += piece.stampFrames[i] / n;
        meanS += piece.stampSeconds[i] / n;
    }
    double covariance = 0.0;
    double variance = 0.0;
    for (std::size_t i = 0; i < piece.stampFrames.size(); ++i) {
        covariance += (piece.stampFrames[i] - meanF) * (piece.stampSeconds[i] - meanS);
        variance += (piece.stampFrames[i] - meanF) * (piece.stampFrames[i] - meanF);
    }
    piece.secondsPerFrame = variance > 0.0 ? covariance / variance : 1.0 / piece.rate;
    if (piece.secondsPerFrame <= 0.5 / piece.rate || piece.secondsPerFrame >= 2.0 / piece.rate)
        piece.secondsPerFrame = 1.0 / piece.rate;
    double lowest = 1e300;
    for (std::size_t i = 0; i < piece.stampFrames.size(); ++i)
        lowest = std::min(lowest, piece.stampSeconds[i] - piece.stampFrames[i] * piece.secondsPerFrame);
    piece.origin = lowest;
    return true;
}

// --- gaps ---------------------------------------------------------------------------------------

struct Span {
    double from;
    double to;
};

bool inside(const std::vector<Span>& spans, double t) {
    return std::any_of(spans.begin(), spans.end(), [t](const Span& s) { return t >= s.from && t < s.to; });
}

bool overlaps(const std::vector<Span>& spans, double from, double to) {
    return std::any_of(spans.begin(), spans.end(), [=](const Span& s) { return from < s.to && to > s.from; });
}

struct Channel {
    std::uint32_t index = 0;
    double toneHz = 0.0;  // 0 for noise
    std::vector<Span> steady;
};

struct Gap {
    std::uint32_t channel;
    double from;  // seconds, monotonic
    double to;
    bool silence;  // a run of zeros or a quiet window in it; otherwise a glitch in the signal
    bool capture = false;
    bool sinkWide = false;
    bool inFault = false;
};

struct Plan {
    std::vector<Channel> channels;
    std::vector<Span> faults;
    std::vector<Span> blind;
};

bool readPlan(const char* path, std::uint32_t channelCount, Plan& plan) {
    std::ifstream file(path);
    if (!file) return false;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "channel") {
            Channel channel;
            std::string signal;
            words >> channel.index >> signal;
            if (signal == "tone") words >> channel.toneHz;
            if (!words || channel.index >= channelCount || (signal != "tone" && signal != "noise")) return false;
            plan.channels.push_back(channel);
        } else if (kind == "steady") {
            std::uint32_t index = 0;
            Span span{};
            words >> index >> span.from >> span.to;
            if (!words) return false;
            for (Channel& channel : plan.channels)
                if (channel.index == index) channel.steady.push_back(span);
        } else if (kind == "fault" || kind == "blind") {
            Span span{};
            words >> span.from >> span.to;
            if (!words) return false;
            (kind == "fault" ? plan.faults : plan.blind).push_back(span);
        } else if (!kind.empty()) {
            return false;
        }
    }
    return true;
}

// Where the recording itself lost frames. Placed by the sink's nominal clock, the arrivals'
// lower edge (the lowest from each read on to the end) stays level, drifting by at most a few
// hundred ppm, while a late read only lifts single points; frames lost on the way make it step
// up by what was lost, for good, at the last read before the loss.
std::vector<Span> captureLosses(const Piece& piece, double& lostSeconds) {
    const std::size_t n = piece.stampFrames.size();
    std::vector<double> residual(n);
    std::vector<double> edge(n);
    double lowest = 1e300;
    for (std::size_t i = n; i-- > 0;) {
        residual[i] = piece.stampSeconds[i] - piece.stampFrames[i] / piece.rate;
        lowest = std::min(lowest, residual[i]);
        edge[i] = lowest;
    }
    std::vector<Span> losses;
    lostSeconds = 0.0;
    const double end = piece.stampSeconds.back();
    for (std::size_t k = 0; k + 1 < n && end - piece.stampSeconds[k + 1] >= 2.0; ++k) {
        const double step = edge[k + 1] - edge[k];
        if (step <= kCaptureStepSeconds) continue;
        std::size_t m = k + 1;  // the first read on the new edge: the loss lies before its frames
        while (residual[m] > edge[k + 1]) ++m;
        losses.push_back(
            {piece.timeOf(piece.stampFrames[k]) - kMergeSeconds, piece.timeOf(piece.stampFrames[m]) + kMergeSeconds});
        lostSeconds += step;
    }
    return losses;
}

// Marks the frames of one channel that break its signal, then joins nearby marks into gaps.
std::vector<Gap> findGaps(const Piece& piece, const Channel& channel) {
    const std::size_t frames = piece.frames();
    std::vector<std::uint8_t> mark(frames, 0);  // 1 glitch, 2 silence
    if (channel.toneHz > 0.0) {
        const double c = 2.0 * std::cos(2.0 * std::numbers::pi * channel.toneHz / piece.rate);
        for (std::size_t n = 2; n < frames; ++n) {
            const double error = piece.at(n, channel.index) - c * piece.at(n - 1, channel.index) +
                                 static_cast<double>(piece.at(n - 2, channel.index));
            if (std::fabs(error) > kToneErrorLimit) mark[n] = 1;
        }
    }
    const auto minRun = static_cast<std::size_t>(piece.rate * kZeroRunSeconds);
    for (std::size_t n = 0, run = 0; n < frames; ++n) {
        run = piece.at(n, channel.index) == 0.0f ? run + 1 : 0;
        if (run == minRun)
            std::fill(mark.begin() + static_cast<std::ptrdiff_t>(n + 1 - run),
                      mark.begin() + static_cast<std::ptrdiff_t>(n + 1), 2);
        else if (run > minRun) mark[n] = 2;
    }
    const auto window = static_cast<std::size_t>(piece.rate * kQuietWindowSeconds);
    for (std::size_t start = 0; start + window <= frames; start += window) {
        double power = 0.0;
        for (std::size_t n = start; n < start + window; ++n)
            power += double{piece.at(n, channel.index)} * piece.at(n, channel.index);
        if (std::sqrt(power / static_cast<double>(window)) < kActiveRms)
            std::fill(mark.begin() + static_cast<std::ptrdiff_t>(start),
                      mark.begin() + static_cast<std::ptrdiff_t>(start + window), 2);
    }

    std::vector<Gap> gaps;
    const auto merge = static_cast<std::size_t>(piece.rate * kMergeSeconds);
    std::size_t last = 0;
    for (std::size_t n = 0; n < frames; ++n) {
        if (mark[n] == 0) continue;
        const double t = piece.timeOf(static_cast<double>(n));
        if (!inside(channel.steady, t)) continue;
        if (!gaps.empty() && n - last <= merge) {
            gaps.back().to = t;
            gaps.back().silence = gaps.back().silence || mark[n] == 2;
        } else {
            gaps.push_back({channel.index, t, t, mark[n] == 2});
        }
        last = n;
    }
    for (Gap& gap : gaps) gap.to += 1.0 / piece.rate;
    return gaps;
}

// Seconds of steady play of a channel, outside and inside the fault windows, in 10 ms steps.
void steadySeconds(const Piece& piece, const Channel& channel, const Plan& plan, double& outside, double& inFault) {
    outside = inFault = 0.0;
    const double from = piece.timeOf(0.0);
    const double to = piece.timeOf(static_cast<double>(piece.frames()));
    for (double t = from; t < to; t += kQuietWindowSeconds) {
        if (!inside(channel.steady, t) || inside(plan.blind, t)) continue;
        (inside(plan.faults, t) ? inFault : outside) += kQuietWindowSeconds;
    }
}

// Prints, tab-separated:
//   capture LOSSES LOST_MS
//   channel CH STEADY_OUTSIDE_S STEADY_INSIDE_S GAPS_OUTSIDE GAPS_INSIDE SINK_WIDE_OUTSIDE
//           GLITCHES_OUTSIDE LONGEST_OUTSIDE_MS
//   gap CH TIME MS silence|glitch sink|card inside|outside
// A gap on every channel of the sink that was playing at that moment is the sink's (PulseAudio
// played silence because Wine, or QOVA's output, was late); one on some channels only is the
// card's own. Gaps where the recording lost frames are left out and counted on the capture line.
int gaps(int argc, char** argv) {
    if (argc != 7) return kUsage;
    Piece piece;
    Plan plan;
    if (!readPiece(argv[2], argv[3], argv[4], argv[5], piece)) return kUsage;
    if (!readPlan(argv[6], piece.channels, plan)) {
        std::fprintf(stderr, "soak_analyse: cannot read the plan %s\n", argv[6]);
        return kUsage;
    }
    double lostSeconds = 0.0;
    const std::vector<Span> losses = captureLosses(piece, lostSeconds);
    std::printf("capture\t%zu\t%.1f\n", losses.size(), lostSeconds * 1000.0);

    std::vector<std::vector<Gap>> found;
    for (const Channel& channel : plan.channels) found.push_back(findGaps(piece, channel));
    for (std::size_t c = 0; c < found.size(); ++c) {
        for (Gap& gap : found[c]) {
            gap.capture = overlaps(losses, gap.from - kMergeSeconds, gap.to + kMergeSeconds);
            gap.inFault = overlaps(plan.faults, gap.from, gap.to);
            int others = 0;
            int alike = 0;
            for (std::size_t d = 0; d < found.size(); ++d) {
                if (d == c || !inside(plan.channels[d].steady, gap.from)) continue;
                ++others;
                alike += std::any_of(found[d].begin(), found[d].end(), [&](const Gap& other) {
                    return other.from < gap.to + 0.005 && other.to > gap.from - 0.005;
                });
            }
            gap.sinkWide = others > 0 && alike == others;
        }
    }
    for (std::size_t c = 0; c < found.size(); ++c) {
        const Channel& channel = plan.channels[c];
        double steadyOutside = 0.0;
        double steadyInside = 0.0;
        steadySeconds(piece, channel, plan, steadyOutside, steadyInside);
        int outside = 0;
        int inFault = 0;
        int sinkWide = 0;
        int glitches = 0;
        double longestMs = 0.0;
        for (const Gap& gap : found[c]) {
            if (gap.capture || inside(plan.blind, gap.from)) continue;
            if (gap.inFault) {
                ++inFault;
                continue;
            }
            ++outside;
            sinkWide += gap.sinkWide;
            glitches += !gap.silence;
            longestMs = std::max(longestMs, (gap.to - gap.from) * 1000.0);
        }
        std::printf("channel\t%u\t%.2f\t%.2f\t%d\t%d\t%d\t%d\t%.1f\n", channel.index, steadyOutside, steadyInside,
                    outside, inFault, sinkWide, glitches, longestMs);
    }
    for (const std::vector<Gap>& list : found) {
        for (const Gap& gap : list) {
            if (gap.capture || inside(plan.blind, gap.from)) continue;
            std::printf("gap\t%u\t%.3f\t%.1f\t%s\t%s\t%s\n", gap.channel, gap.from, (gap.to - gap.from) * 1000.0,
                        gap.silence ? "silence" : "glitch", gap.sinkWide ? "sink" : "card",
                        gap.inFault ? "inside" : "outside");
        }
    }
    return kPass;
}

// --- recovery after a sink came back ------------------------------------------------------------

int recovery(int argc, char** argv) {
    if (argc < 8) return kUsage;
    Piece piece;
    if (!readPiece(argv[2], argv[3], argv[4], argv[5], piece)) return kUsage;
    const double since = std::atof(argv[6]);
    const auto window = static_cast<std::size_t>(piece.rate * kQuietWindowSeconds);
    const auto needed = static_cast<std::size_t>(1.0 / kQuietWindowSeconds);  // a whole second
    for (int i = 7; i < argc; ++i) {
        const auto channel = static_cast<std::uint32_t>(std::atol(argv[i]));
        if (channel >= piece.channels) return kUsage;
        std::size_t run = 0;
        double runStart = -1.0;
        for (std::size_t start = 0; start + window <= piece.frames() && run < needed; start += window) {
            double power = 0.0;
            for (std::size_t n = start; n < start + window; ++n)
                power += double{piece.at(n, channel)} * piece.at(n, channel);
            const double t = piece.timeOf(static_cast<double>(start));
            if (t < since || std::sqrt(power / static_cast<double>(window)) < kActiveRms) {
                run = 0;
                continue;
            }
            if (run++ == 0) runStart = t;
        }
        if (run >= needed) std::printf("recovery\t%u\t%.2f\n", channel, runStart - since);
        else std::printf("recovery\t%u\tnone\n", channel);
    }
    return kPass;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc >= 2 ? argv[1] : "";
    int result = kUsage;
    if (command == "record") result = record(argc, argv);
    else if (command == "gaps") result = gaps(argc, argv);
    else if (command == "recovery") result = recovery(argc, argv);
    if (result == kUsage)
        std::fprintf(stderr, "usage: soak_analyse record|gaps|recovery ... (see the top of soak_analyse.cpp)\n");
    return result;
}
