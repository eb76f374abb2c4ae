// e2e_analyse: the Linux half of the end-to-end suite. It makes the test signals that
// qova-player plays, time-stamps what parec records, and measures the recordings. Each
// check prints one line of figures and ends with "ok" or "FAILED"; the exit code is 0 when
// the check passed, 1 when it failed and 2 on a usage or file error.
//
//   e2e_analyse wav OUT SECONDS LEFT RIGHT
//       A 48000 Hz stereo 32-bit float WAV file. LEFT and RIGHT are "tone:HZ" (a sine at
//       -12 dBFS), "noise:SEED[:CUTOFF_HZ]" (noise low-passed at 15000 Hz or at the cutoff
//       given, the same for the same seed) or "silence".
//   e2e_analyse stamp OUT.raw OUT.times FRAMEBYTES
//       Copies standard input to OUT.raw and writes, for every read, the frames received so
//       far and the monotonic clock in nanoseconds to OUT.times, so that two recordings
//       made side by side can be put on one time line.
//   e2e_analyse stalls OUT MS
//       Until ended, sleeps a millisecond at a time and writes to OUT, for every sleep that
//       took MS or more longer, when it ended (the system clock's seconds and the monotonic
//       clock's) and how long it took in ms: the machine stood still, or was too busy to wake
//       a sleeper for that long.
//   e2e_analyse tones LABEL FILE RATE CHANNELS CHANNEL MINSECONDS HZ:AMPLITUDE...
//       The channel carries exactly these sines at these amplitudes (at the file's rate)
//       for at least MINSECONDS of clean 0.1 s windows, and nothing else.
//   e2e_analyse frequency LABEL FILE RATE CHANNELS CHANNEL HZ AMPLITUDE
//       A lone sine: its frequency to a thousandth of a hertz, its level, and its distortion
//       and noise.
//   e2e_analyse silence LABEL FILE RATE CHANNELS CHANNEL...
//       Nothing at all reached these channels.
//   e2e_analyse delay LABEL FILE RATE CHANNELS FIRST SECOND MS
//       The second channel carries the first channel's signal MS milliseconds later.
//   e2e_analyse joins LABEL A.raw A.times RATE CHANNELS B.raw B.times RATE CHANNELS
//                     FIRST_NEAR FIRST_FAR SECOND_NEAR SECOND_FAR TOLERANCE_MS[/AFTER_MS]
//                     [RESTART... held=AT...]
//       Two joined cards, the first near on A's channel FIRST_NEAR and far on B's FIRST_FAR,
//       the second the other way round: each far half plays its near half's signal at the
//       same moment, within TOLERANCE_MS, once what the sinks themselves add is taken out.
//       Measured every half second and judged per 5 s from 3 s after the start on; the 3 s
//       after a far half started again are left out: after each RESTART (seconds on the
//       recorders' clock, from QOVA's log) and after a far half fell silent while the other
//       card's near half on the same sink went on; windows with moments less than 20 s after
//       those are marked r, and judged as the others. With AFTER_MS, a window less than a minute after a restart or a
//       hold-up (held=AT: the machine loaded from then on) is judged within AFTER_MS instead,
//       marked *. TOLERANCE_MS "-" reports the alignment without judging it.
//
// Recordings are raw interleaved 32-bit little-endian float, as parec writes them with
// --format=float32le.
//
// Contents: recordings; signals (WAV files); recorder time stamps; sine fitting; dropouts;
// tones, frequency, silence; cross-correlation and the delay check; joined cards; main.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

constexpr double kPi = std::numbers::pi;
constexpr std::uint32_t kWavRateHz = 48000;
constexpr double kToneAmplitude = 0.25;   // -12 dBFS
constexpr double kNoiseAmplitude = 0.25;  // peak of the noise before its low-pass
constexpr double kNoiseCutoffHz = 15000;  // below both sinks' Nyquist, so a 44.1 kHz sink carries it whole

// A 0.1 s window: short enough that a lost block spoils little, long enough for a level
// to 0.01 dB and a frequency to a few millihertz over a second of windows.
constexpr double kWindowSeconds = 0.1;
// A window counts as sounding when its RMS is above -40 dBFS; the tones played are -12 or
// -18 dBFS.
constexpr double kActiveRms = 0.01;

enum Exit : int { kPass = 0, kFail = 1, kUsage = 2 };

double dB(double ratio) {
    return ratio > 0.0 ? 20.0 * std::log10(ratio) : -400.0;
}

// --- recordings -------------------------------------------------------------------------------

struct Recording {
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::vector<float> samples;  // interleaved

    std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
    std::vector<double> channel(std::uint32_t index) const {
        std::vector<double> out(frames());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = samples[i * channels + index];
        return out;
    }
};

bool readRecording(const std::string& path, std::uint32_t rate, std::uint32_t channels, Recording& out) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "e2e_analyse: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t frameBytes = std::size_t{channels} * sizeof(float);
    out.rate = rate;
    out.channels = channels;
    out.samples.resize(bytes.size() / frameBytes * channels);
    std::memcpy(out.samples.data(), bytes.data(), out.samples.size() * sizeof(float));
    return true;
}

// One point per read of the recorder's output: frames received so far, and when.
struct Stamp {
    double frames;
    double seconds;
};

bool readStamps(const std::string& path, std::vector<Stamp>& out) {
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "e2e_analyse: cannot read %s\n", path.c_str());
        return false;
    }
    unsigned long long frames = 0;
    long long nanoseconds = 0;
    while (file >> frames >> nanoseconds) out.push_back({static_cast<double>(frames), nanoseconds * 1e-9});
    return true;
}

// --- signals ----------------------------------------------------------------------------------

// Band-limited noise: uniform white noise through a windowed-sinc low-pass.
std::vector<double> makeNoise(std::uint32_t seed, double cutoffHz, std::size_t frames) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(-kNoiseAmplitude, kNoiseAmplitude);
    constexpr int kHalfTaps = 64;
    const double cutoff = cutoffHz / kWavRateHz;  // cycles per sample
    std::vector<double> taps(2 * kHalfTaps + 1);
    double sum = 0.0;
    for (int i = -kHalfTaps; i <= kHalfTaps; ++i) {
        const double sinc = i == 0 ? 2.0 * cutoff : std::sin(2.0 * kPi * cutoff * i) / (kPi * i);
        const double window = 0.42 + 0.5 * std::cos(kPi * i / kHalfTaps) + 0.08 * std::cos(2.0 * kPi * i / kHalfTaps);
        taps[i + kHalfTaps] = sinc * window;
        sum += taps[i + kHalfTaps];
    }
    std::vector<double> white(frames + taps.size());
    for (double& value : white) value = uniform(random);
    std::vector<double> out(frames);
    for (std::size_t n = 0; n < frames; ++n) {
        double acc = 0.0;
        for (std::size_t k = 0; k < taps.size(); ++k) acc += taps[k] * white[n + k];
        out[n] = acc / sum * std::sqrt(kWavRateHz / (2.0 * cutoffHz));  // about the white noise's level
    }
    return out;
}

bool makeSignal(std::string_view recipe, std::size_t frames, std::vector<double>& out) {
    if (recipe == "silence") {
        out.assign(frames, 0.0);
        return true;
    }
    const std::size_t colon = recipe.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string kind(recipe.substr(0, colon));
    const std::string value(recipe.substr(colon + 1));
    if (kind == "tone") {
        const double hz = std::atof(value.c_str());
        if (hz <= 0.0 || hz >= kWavRateHz / 2.0) return false;
        out.resize(frames);
        for (std::size_t n = 0; n < frames; ++n)
            out[n] = kToneAmplitude * std::sin(2.0 * kPi * hz * static_cast<double>(n) / kWavRateHz);
        return true;
    }
    if (kind == "noise") {
        char* end = nullptr;
        const auto seed = static_cast<std::uint32_t>(std::strtoul(value.c_str(), &end, 10));
        const double cutoffHz = *end == ':' ? std::atof(end + 1) : kNoiseCutoffHz;
        if (cutoffHz <= 0.0 || cutoffHz >= kWavRateHz / 2.0) return false;
        out = makeNoise(seed, cutoffHz, frames);
        return true;
    }
    return false;
}

void put16(std::string& out, std::uint16_t value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>(value >> 8);
}

void put32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

int writeWav(int argc, char** argv) {
    if (argc != 6) return kUsage;
    const double seconds = std::atof(argv[3]);
    const auto frames = static_cast<std::size_t>(std::llround(seconds * kWavRateHz));
    std::vector<double> left;
    std::vector<double> right;
    if (frames == 0 || !makeSignal(argv[4], frames, left) || !makeSignal(argv[5], frames, right)) return kUsage;

    const std::uint32_t dataBytes = static_cast<std::uint32_t>(frames * 2 * sizeof(float));
    std::string out;
    out += "RIFF";
    put32(out, 36 + dataBytes);
    out += "WAVEfmt ";
    put32(out, 16);
    put16(out, 3);  // IEEE float
    put16(out, 2);
    put32(out, kWavRateHz);
    put32(out, kWavRateHz * 8);
    put16(out, 8);
    put16(out, 32);
    out += "data";
    put32(out, dataBytes);
    for (std::size_t n = 0; n < frames; ++n) {
        for (const double sample : {left[n], right[n]}) {
            const float value = static_cast<float>(sample);
            std::uint32_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            put32(out, bits);
        }
    }
    std::ofstream file(argv[2], std::ios::binary);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    return file ? kPass : kUsage;
}

// --- recorder time stamps ---------------------------------------------------------------------

int stamp(int argc, char** argv) {
    if (argc != 5) return kUsage;
    const long frameBytes = std::atol(argv[4]);
    std::FILE* data = std::fopen(argv[2], "wb");
    std::FILE* times = std::fopen(argv[3], "w");
    if (data == nullptr || times == nullptr || frameBytes <= 0) return kUsage;
    std::vector<char> buffer(1 << 16);
    unsigned long long bytes = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), data);
        bytes += static_cast<unsigned long long>(got);
        std::fprintf(times, "%llu %lld\n", bytes / static_cast<unsigned long long>(frameBytes),
                     static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    }
    std::fclose(data);
    std::fclose(times);
    return kPass;
}

// A virtual machine can stop for tens or hundreds of milliseconds, both cores at once, with no
// steal time counted: every stream of Wine's and PulseAudio's waits, and they come back
// unequally late. Only a program that looks at the clock all the time sees it.
int stalls(int argc, char** argv) {
    if (argc != 4) return kUsage;
    const double limitMs = std::atof(argv[3]);
    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr || !(limitMs > 0.0)) return kUsage;
    auto seconds = [](clockid_t clock) {
        timespec now{};
        clock_gettime(clock, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    };
    const timespec sleep{0, 1000000};
    double last = seconds(CLOCK_MONOTONIC);
    for (;;) {
        nanosleep(&sleep, nullptr);
        const double now = seconds(CLOCK_MONOTONIC);
        const double tookMs = (now - last) * 1000.0;
        if (tookMs - 1.0 >= limitMs) {
            std::fprintf(out, "%.3f %.3f %.1f\n", seconds(CLOCK_REALTIME), now, tookMs);
            std::fflush(out);
        }
        last = now;
    }
}

// --- sine fitting -----------------------------------------------------------------------------

// Solves the small dense system a x = b in place (Gaussian elimination with pivoting).
bool solve(std::vector<std::vector<double>>& a, std::vector<double>& b) {
    const std::size_t n = b.size();
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        for (std::size_t row = col + 1; row < n; ++row)
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
        if (std::fabs(a[pivot][col]) < 1e-12) return false;
        std::swap(a[pivot], a[col]);
        std::swap(b[pivot], b[col]);
        for (std::size_t row = col + 1; row < n; ++row) {
            const double factor = a[row][col] / a[col][col];
            for (std::size_t k = col; k < n; ++k) a[row][k] -= factor * a[col][k];
            b[row] -= factor * b[col];
        }
    }
    for (std::size_t col = n; col-- > 0;) {
        for (std::size_t k = col + 1; k < n; ++k) b[col] -= a[col][k] * b[k];
        b[col] /= a[col][col];
    }
    return true;
}

struct SineFit {
    std::vector<double> amplitudes;  // per frequency
    std::vector<double> phases;      // radians, of cos(w n + phase) with n from the window start
    double signalRms = 0.0;          // of the fitted sines
    double residualRms = 0.0;        // of what is left
    double totalRms = 0.0;
};

// Least-squares fit of sines of known frequencies to x[start, start + length).
SineFit fitSines(const std::vector<double>& x, std::size_t start, std::size_t length, const std::vector<double>& hz,
                 double rate) {
    const std::size_t k = hz.size();
    const std::size_t unknowns = 2 * k;
    std::vector<std::vector<double>> normal(unknowns, std::vector<double>(unknowns, 0.0));
    std::vector<double> rhs(unknowns, 0.0);
    // Each sine as a turning phasor: one complex product a sample instead of cos and sin.
    std::vector<std::complex<double>> step(k);
    for (std::size_t i = 0; i < k; ++i) step[i] = std::polar(1.0, 2.0 * kPi * hz[i] / rate);
    std::vector<std::complex<double>> phasor(k, std::complex<double>(1.0, 0.0));
    std::vector<double> basis(unknowns);
    std::vector<double> bases(length * unknowns);
    for (std::size_t n = 0; n < length; ++n) {
        for (std::size_t i = 0; i < k; ++i) {
            basis[2 * i] = phasor[i].real();
            basis[2 * i + 1] = phasor[i].imag();
            phasor[i] *= step[i];
        }
        std::copy(basis.begin(), basis.end(), bases.begin() + static_cast<std::ptrdiff_t>(n * unknowns));
        const double value = x[start + n];
        for (std::size_t r = 0; r < unknowns; ++r) {
            rhs[r] += basis[r] * value;
            for (std::size_t c = 0; c < unknowns; ++c) normal[r][c] += basis[r] * basis[c];
        }
    }
    SineFit fit;
    fit.amplitudes.assign(k, 0.0);
    fit.phases.assign(k, 0.0);
    if (!solve(normal, rhs)) return fit;
    double signal = 0.0;
    double residual = 0.0;
    double total = 0.0;
    for (std::size_t n = 0; n < length; ++n) {
        double model = 0.0;
        for (std::size_t r = 0; r < unknowns; ++r) model += rhs[r] * bases[n * unknowns + r];
        const double value = x[start + n];
        signal += model * model;
        residual += (value - model) * (value - model);
        total += value * value;
    }
    for (std::size_t i = 0; i < k; ++i) {
        fit.amplitudes[i] = std::hypot(rhs[2 * i], rhs[2 * i + 1]);
        fit.phases[i] = std::atan2(-rhs[2 * i + 1], rhs[2 * i]);
    }
    fit.signalRms = std::sqrt(signal / static_cast<double>(length));
    fit.residualRms = std::sqrt(residual / static_cast<double>(length));
    fit.totalRms = std::sqrt(total / static_cast<double>(length));
    return fit;
}

struct WindowResult {
    std::size_t start;
    SineFit fit;
};

// The sounding windows of a channel, without the first and the last one (a player's start
// and end fall there), each fitted with the given sines.
std::vector<WindowResult> soundingWindows(const std::vector<double>& x, double rate, const std::vector<double>& hz) {
    const auto length = static_cast<std::size_t>(std::llround(rate * kWindowSeconds));
    std::vector<WindowResult> out;
    for (std::size_t start = 0; start + length <= x.size(); start += length) {
        double power = 0.0;
        for (std::size_t n = 0; n < length; ++n) power += x[start + n] * x[start + n];
        if (std::sqrt(power / static_cast<double>(length)) < kActiveRms) continue;
        out.push_back({start, fitSines(x, start, length, hz, rate)});
    }
    if (out.size() >= 2) {
        out.erase(out.begin());
        out.pop_back();
    }
    return out;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// --- dropouts ---------------------------------------------------------------------------------

// A dropout: PulseAudio played silence because Wine was late with a block (a busy machine
// does that now and then), or a far half re-primed. Noise never holds a millisecond of exact
// zeros, so such a run in the middle of a noise signal is one. Pieces with a dropout are not
// measured: a dropout shifts everything after it, and a piece across it matches at two lags.
bool hasDropout(const std::vector<double>& x, double fromFrame, double toFrame, double rate) {
    const auto minRun = static_cast<std::size_t>(rate / 1000.0);
    const auto from = static_cast<std::size_t>(std::max(0.0, fromFrame));
    const auto to = std::min(x.size(), static_cast<std::size_t>(std::max(0.0, toFrame)));
    std::size_t run = 0;
    for (std::size_t n = from; n < to; ++n) {
        run = x[n] == 0.0 ? run + 1 : 0;
        if (run >= minRun) return true;
    }
    return false;
}

// --- tones, frequency, silence ----------------------------------------------------------------

// A clean window holds the expected sines with less than this much of anything else. The
// 48 kHz paths copy samples exactly, so what is left there is float rounding (about -140
// dB); through the 44.1 kHz converter it is its own noise (about -100 dB). A lost block, a
// tone on the wrong channel or a second card mixed in lands far above.
constexpr double kCleanResidualDb = -70.0;
// Levels within this of what was played: a mono mix, a channel swap or a second card in
// the same channel is off by 3 dB or more.
constexpr double kLevelToleranceDb = 0.1;

bool parseExpectation(const char* text, double& hz, double& amplitude) {
    return std::sscanf(text, "%lf:%lf", &hz, &amplitude) == 2 && hz > 0.0 && amplitude > 0.0;
}

int checkTones(int argc, char** argv) {
    if (argc < 9) return kUsage;
    const std::string label = argv[2];
    Recording recording;
    const auto rate = static_cast<std::uint32_t>(std::atol(argv[4]));
    const auto channels = static_cast<std::uint32_t>(std::atol(argv[5]));
    const auto channel = static_cast<std::uint32_t>(std::atol(argv[6]));
    const double minSeconds = std::atof(argv[7]);
    std::vector<double> hz;
    std::vector<double> amplitudes;
    for (int i = 8; i < argc; ++i) {
        double f = 0.0;
        double a = 0.0;
        if (!parseExpectation(argv[i], f, a)) return kUsage;
        hz.push_back(f);
        amplitudes.push_back(a);
    }
    if (channel >= channels || !readRecording(argv[3], rate, channels, recording)) return kUsage;

    const std::vector<double> x = recording.channel(channel);
    const std::vector<WindowResult> windows = soundingWindows(x, rate, hz);
    std::vector<std::vector<double>> levels(hz.size());
    std::vector<double> residuals;
    std::size_t clean = 0;
    for (const WindowResult& window : windows) {
        const double residualDb = dB(window.fit.residualRms / std::max(window.fit.signalRms, 1e-30));
        if (residualDb > kCleanResidualDb) continue;
        ++clean;
        residuals.push_back(residualDb);
        for (std::size_t i = 0; i < hz.size(); ++i) levels[i].push_back(window.fit.amplitudes[i]);
    }
    // With no clean window at all, the levels of every sounding window tell what went wrong.
    if (clean == 0) {
        for (const WindowResult& window : windows) {
            residuals.push_back(dB(window.fit.residualRms / std::max(window.fit.signalRms, 1e-30)));
            for (std::size_t i = 0; i < hz.size(); ++i) levels[i].push_back(window.fit.amplitudes[i]);
        }
    }
    const double cleanSeconds = static_cast<double>(clean) * kWindowSeconds;
    bool pass = cleanSeconds + 1e-9 >= minSeconds;
    std::string figures;
    char part[160];
    for (std::size_t i = 0; i < hz.size(); ++i) {
        const double measured = dB(median(levels[i]));
        const double expected = dB(amplitudes[i]);
        const bool levelOk = clean > 0 && std::fabs(measured - expected) <= kLevelToleranceDb;
        pass = pass && levelOk;
        std::snprintf(part, sizeof part, "%s%g Hz %.2f dBFS (played %.2f)%s", i == 0 ? "" : ", ", hz[i], measured,
                      expected, levelOk ? "" : " WRONG");
        figures += part;
    }
    std::printf(
        "e2e: %-28s %s; the rest %.1f dB below them (median), %.1f s clean of %.1f s "
        "sounding (need %.1f s): %s\n",
        (label + ":").c_str(), figures.c_str(), -median(residuals), cleanSeconds,
        static_cast<double>(windows.size()) * kWindowSeconds, minSeconds, pass ? "ok" : "FAILED");
    return pass ? kPass : kFail;
}

// The frequency follows from how the fitted phase moves from window to window, over the
// longest run of consecutive windows in which the tone stands out and nothing dropped out;
// the distortion and the level come from a second fit at the measured frequency. A phase
// can be followed from window to window while the frequency is off by less than 5 Hz.
constexpr double kTrackableDb = -10.0;
constexpr double kFrequencyToleranceHz = 0.01;
constexpr double kDistortionLimitDb = -80.0;  // THD+N below the tone
constexpr double kMinFrequencyRunSeconds = 1.0;

int checkFrequency(int argc, char** argv) {
    if (argc != 9) return kUsage;
    const std::string label = argv[2];
    const auto rate = static_cast<std::uint32_t>(std::atol(argv[4]));
    const auto channels = static_cast<std::uint32_t>(std::atol(argv[5]));
    const auto channel = static_cast<std::uint32_t>(std::atol(argv[6]));
    const double hz = std::atof(argv[7]);
    const double amplitude = std::atof(argv[8]);
    Recording recording;
    if (channel >= channels || hz <= 0.0 || !readRecording(argv[3], rate, channels, recording)) return kUsage;

    const std::vector<double> x = recording.channel(channel);
    const std::vector<WindowResult> windows = soundingWindows(x, rate, {hz});
    const auto length = static_cast<std::size_t>(std::llround(rate * kWindowSeconds));
    // Longest run of clean windows that follow each other without a gap.
    std::size_t bestBegin = 0;
    std::size_t bestLength = 0;
    for (std::size_t i = 0; i < windows.size();) {
        std::size_t j = i;
        auto clean = [&](std::size_t w) {
            return dB(windows[w].fit.residualRms / std::max(windows[w].fit.signalRms, 1e-30)) <= kTrackableDb &&
                   !hasDropout(x, static_cast<double>(windows[w].start), static_cast<double>(windows[w].start + length),
                               rate);
        };
        if (!clean(i)) {
            ++i;
            continue;
        }
        while (j + 1 < windows.size() && clean(j + 1) && windows[j + 1].start == windows[j].start + length) ++j;
        if (j - i + 1 > bestLength) {
            bestBegin = i;
            bestLength = j - i + 1;
        }
        i = j + 1;
    }
    const double runSeconds = static_cast<double>(bestLength) * kWindowSeconds;
    if (runSeconds + 1e-9 < kMinFrequencyRunSeconds) {
        std::printf("e2e: %-28s only %.1f s of steady tone in a row (need %.1f s): FAILED\n", (label + ":").c_str(),
                    runSeconds, kMinFrequencyRunSeconds);
        return kFail;
    }
    // Unwrapped phases against window start times; the slope is the frequency error.
    std::vector<double> times;
    std::vector<double> phases;
    std::vector<double> levels;
    std::vector<double> residuals;
    double previous = 0.0;
    double unwrap = 0.0;
    for (std::size_t w = bestBegin; w < bestBegin + bestLength; ++w) {
        const double startSeconds = static_cast<double>(windows[w].start) / rate;
        // The phase the nominal sine gathers up to the window's start, taken out so that
        // only the frequency error is left to grow.
        double phase = windows[w].fit.phases[0] - 2.0 * kPi * hz * startSeconds;
        phase = std::remainder(phase, 2.0 * kPi);
        if (!phases.empty()) {
            double step = phase + unwrap - previous;
            while (step > kPi) {
                unwrap -= 2.0 * kPi;
                step -= 2.0 * kPi;
            }
            while (step < -kPi) {
                unwrap += 2.0 * kPi;
                step += 2.0 * kPi;
            }
        }
        previous = phase + unwrap;
        times.push_back(startSeconds);
        phases.push_back(previous);
    }
    const double n = static_cast<double>(times.size());
    double meanT = 0.0;
    double meanP = 0.0;
    for (std::size_t i = 0; i < times.size(); ++i) {
        meanT += times[i] / n;
        meanP += phases[i] / n;
    }
    double covariance = 0.0;
    double variance = 0.0;
    for (std::size_t i = 0; i < times.size(); ++i) {
        covariance += (times[i] - meanT) * (phases[i] - meanP);
        variance += (times[i] - meanT) * (times[i] - meanT);
    }
    // The fit uses cos(w n + phase) over the window; a higher real frequency makes the
    // window-start phase grow with time.
    const double measuredHz = hz + covariance / variance / (2.0 * kPi);
    for (std::size_t w = bestBegin; w < bestBegin + bestLength; ++w) {
        const SineFit fit = fitSines(x, windows[w].start, length, {measuredHz}, rate);
        levels.push_back(fit.amplitudes[0]);
        residuals.push_back(fit.residualRms / std::max(fit.signalRms, 1e-30));
    }
    const double levelDb = dB(median(levels));
    const double distortionDb = dB(median(residuals));
    const bool frequencyOk = std::fabs(measuredHz - hz) <= kFrequencyToleranceHz;
    const bool levelOk = std::fabs(levelDb - dB(amplitude)) <= kLevelToleranceDb;
    const bool distortionOk = distortionDb <= kDistortionLimitDb;
    const bool pass = frequencyOk && levelOk && distortionOk;
    std::printf(
        "e2e: %-28s %.4f Hz (played %g Hz, within %.2f Hz)%s, %.3f dBFS (played %.2f)%s, THD+N %.1f dB "
        "(limit %.0f)%s, over %.1f s: %s\n",
        (label + ":").c_str(), measuredHz, hz, kFrequencyToleranceHz, frequencyOk ? "" : " WRONG", levelDb,
        dB(amplitude), levelOk ? "" : " WRONG", distortionDb, kDistortionLimitDb, distortionOk ? "" : " TOO HIGH",
        runSeconds, pass ? "ok" : "FAILED");
    return pass ? kPass : kFail;
}

// Nothing may leak: a channel without a card stays at zero, bar float dust.
constexpr double kSilencePeakDb = -100.0;

int checkSilence(int argc, char** argv) {
    if (argc < 7) return kUsage;
    const std::string label = argv[2];
    const auto rate = static_cast<std::uint32_t>(std::atol(argv[4]));
    const auto channels = static_cast<std::uint32_t>(std::atol(argv[5]));
    Recording recording;
    if (!readRecording(argv[3], rate, channels, recording)) return kUsage;
    bool pass = recording.frames() > 0;
    std::string figures;
    for (int i = 6; i < argc; ++i) {
        const auto channel = static_cast<std::uint32_t>(std::atol(argv[i]));
        if (channel >= channels) return kUsage;
        double peak = 0.0;
        for (std::size_t n = 0; n < recording.frames(); ++n)
            peak = std::max(peak, std::fabs(static_cast<double>(recording.samples[n * channels + channel])));
        const bool ok = dB(peak) <= kSilencePeakDb;
        pass = pass && ok;
        char part[96];
        std::snprintf(part, sizeof part, "%sch %u peak %s%s", i == 6 ? "" : ", ", channel,
                      peak == 0.0 ? "0 (digital silence)" : (std::to_string(dB(peak)).substr(0, 7) + " dBFS").c_str(),
                      ok ? "" : " NOT SILENT");
        figures += part;
    }
    std::printf("e2e: %-28s %s over %.1f s (limit %.0f dBFS): %s\n", (label + ":").c_str(), figures.c_str(),
                static_cast<double>(recording.frames()) / rate, kSilencePeakDb, pass ? "ok" : "FAILED");
    return pass ? kPass : kFail;
}

// --- cross-correlation and the delay check --------------------------------------------------

void fft(std::vector<std::complex<double>>& a, bool inverse) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const double angle = 2.0 * kPi / static_cast<double>(length) * (inverse ? 1.0 : -1.0);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (std::size_t i = 0; i < n; i += length) {
            std::complex<double> w(1.0, 0.0);
            for (std::size_t j = 0; j < length / 2; ++j) {
                const std::complex<double> u = a[i + j];
                const std::complex<double> v = a[i + j + length / 2] * w;
                a[i + j] = u + v;
                a[i + j + length / 2] = u - v;
                w *= step;
            }
        }
    }
    if (inverse)
        for (std::complex<double>& value : a) value /= static_cast<double>(n);
}

struct Lag {
    double frames = 0.0;    // how much later `late` carries `early`'s signal, sub-frame
    double strength = 0.0;  // normalised correlation at the peak, 1 for a perfect copy
};

// Finds where a segment of `late` (from `start`, `length` frames) sits in `early`, for lags
// from minLag to maxLag frames (late[n] ~ early[n - lag]).
std::optional<Lag> findLag(const std::vector<double>& early, const std::vector<double>& late, std::size_t start,
                           std::size_t length, long minLag, long maxLag) {
    const long from = static_cast<long>(start) - maxLag;  // first frame of `early` used
    const long to = static_cast<long>(start + length) - minLag;
    if (from < 0 || to > static_cast<long>(early.size()) || start + length > late.size() || minLag >= maxLag)
        return std::nullopt;
    const std::size_t span = static_cast<std::size_t>(to - from);
    std::size_t size = 1;
    while (size < span + length) size <<= 1;
    std::vector<std::complex<double>> a(size);
    std::vector<std::complex<double>> b(size);
    for (std::size_t n = 0; n < span; ++n) a[n] = early[static_cast<std::size_t>(from) + n];
    for (std::size_t n = 0; n < length; ++n) b[n] = late[start + n];
    fft(a, false);
    fft(b, false);
    for (std::size_t i = 0; i < size; ++i) a[i] *= std::conj(b[i]);
    fft(a, true);
    // a[m] = sum_n early[from + m + n] * late[start + n]: lag = start - from - m.
    double lateEnergy = 0.0;
    for (std::size_t n = 0; n < length; ++n) lateEnergy += late[start + n] * late[start + n];
    long bestM = -1;
    double best = 0.0;
    std::vector<double> score(span - length + 1);
    for (std::size_t m = 0; m + length <= span; ++m) {
        score[m] = a[m].real();
        if (score[m] > best) {
            best = score[m];
            bestM = static_cast<long>(m);
        }
    }
    if (bestM < 0) return std::nullopt;
    double earlyEnergy = 0.0;
    for (std::size_t n = 0; n < length; ++n) {
        const double value = early[static_cast<std::size_t>(from + bestM) + n];
        earlyEnergy += value * value;
    }
    double offset = 0.0;
    if (bestM > 0 && bestM + 1 < static_cast<long>(score.size())) {
        const double left = score[bestM - 1];
        const double right = score[bestM + 1];
        const double curvature = left - 2.0 * best + right;
        if (curvature < 0.0) offset = 0.5 * (left - right) / curvature;
    }
    Lag lag;
    lag.frames = static_cast<double>(static_cast<long>(start) - from - bestM) - offset;
    lag.strength = best / std::sqrt(std::max(lateEnergy * earlyEnergy, 1e-300));
    return lag;
}

// First and last frame of the part of a channel that sounds, judged in 0.1 s windows.
bool soundingSpan(const std::vector<double>& x, double rate, std::size_t& first, std::size_t& last) {
    const auto length = static_cast<std::size_t>(std::llround(rate * kWindowSeconds));
    bool any = false;
    for (std::size_t start = 0; start + length <= x.size(); start += length) {
        double power = 0.0;
        for (std::size_t n = 0; n < length; ++n) power += x[start + n] * x[start + n];
        if (std::sqrt(power / static_cast<double>(length)) < kActiveRms) continue;
        if (!any) first = start;
        last = start + length;
        any = true;
    }
    return any;
}

// Two members of one card on one sound card share one clock and one render call, so their
// delay difference is exact to the frame; a millisecond would be 48 frames.
constexpr double kDelayToleranceMs = 0.05;
constexpr double kMinCorrelation = 0.9;

int checkDelay(int argc, char** argv) {
    if (argc != 9) return kUsage;
    const std::string label = argv[2];
    const auto rate = static_cast<std::uint32_t>(std::atol(argv[4]));
    const auto channels = static_cast<std::uint32_t>(std::atol(argv[5]));
    const auto first = static_cast<std::uint32_t>(std::atol(argv[6]));
    const auto second = static_cast<std::uint32_t>(std::atol(argv[7]));
    const double expectedMs = std::atof(argv[8]);
    Recording recording;
    if (first >= channels || second >= channels || !readRecording(argv[3], rate, channels, recording)) return kUsage;
    const std::vector<double> a = recording.channel(first);
    const std::vector<double> b = recording.channel(second);
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t beginB = 0;
    std::size_t endB = 0;
    if (!soundingSpan(a, rate, begin, end) || !soundingSpan(b, rate, beginB, endB)) {
        std::printf("e2e: %-28s nothing sounds on channels %u and %u: FAILED\n", (label + ":").c_str(), first, second);
        return kFail;
    }
    // Pieces of the later channel, searched for in the earlier one up to 150 ms either way.
    const auto length = static_cast<std::size_t>(rate / 5);
    const long maxLag = static_cast<long>(rate * 15 / 100);
    std::vector<double> lagsMs;
    double weakest = 1.0;
    int dropouts = 0;
    const std::size_t lo = std::max(begin, beginB) + static_cast<std::size_t>(maxLag);
    const std::size_t hi = std::min(end, endB) - std::min(std::min(end, endB), static_cast<std::size_t>(maxLag));
    constexpr int kPoints = 7;
    for (int k = 0; k < kPoints && hi > lo + length; ++k) {
        const std::size_t start = lo + (hi - lo - length) * static_cast<std::size_t>(k) / (kPoints - 1);
        const double from = static_cast<double>(start);
        if (hasDropout(b, from, from + static_cast<double>(length), rate) ||
            hasDropout(a, from - static_cast<double>(maxLag), from + static_cast<double>(length + maxLag), rate)) {
            ++dropouts;
            continue;
        }
        const std::optional<Lag> lag = findLag(a, b, start, length, -maxLag, maxLag);
        if (!lag) continue;
        lagsMs.push_back(lag->frames * 1000.0 / rate);
        weakest = std::min(weakest, lag->strength);
    }
    bool pass = lagsMs.size() >= 3 && weakest >= kMinCorrelation;
    std::string figures;
    for (const double ms : lagsMs) {
        pass = pass && std::fabs(ms - expectedMs) <= kDelayToleranceMs;
        char part[64];
        std::snprintf(part, sizeof part, "%s%.3f ms (%.2f frames)", figures.empty() ? "" : ", ", ms,
                      ms * rate / 1000.0);
        figures += part;
    }
    std::printf(
        "e2e: %-28s channel %u behind channel %u by %s (set %.1f ms, within %.2f ms), correlation %.4f; "
        "%d of %d points skipped for a dropout: %s\n",
        (label + ":").c_str(), second, first, figures.empty() ? "nothing" : figures.c_str(), expectedMs,
        kDelayToleranceMs, weakest, dropouts, kPoints, pass ? "ok" : "FAILED");
    return pass ? kPass : kFail;
}

// --- joined cards -----------------------------------------------------------------------------

// Where on the monotonic clock each frame of a recording arrived. parec hands the recorder
// blocks as the sink renders them, so arrival time grows with the frame count at the sink's
// real rate, plus scheduling delays that are never negative. A straight line through all
// points gives the rate; shifted down to the earliest arrivals (the 5th percentile, so that
// one odd early point cannot pull it) it gives the moment each frame left the sink.
struct TimeLine {
    double origin = 0.0;  // seconds at frame 0
    double secondsPerFrame = 0.0;
    double spreadMs = 0.0;  // 5th to 95th percentile of arrival around the line
    double ppm = 0.0;       // the sink's clock against its nominal rate

    double timeOf(double frame) const { return origin + frame * secondsPerFrame; }
    double frameAt(double seconds) const { return (seconds - origin) / secondsPerFrame; }
};

std::optional<TimeLine> fitTimeLine(const std::vector<Stamp>& stamps, double rate) {
    // The first half second holds parec's start-up: a burst of whatever the sink had.
    std::vector<Stamp> points;
    for (const Stamp& stamp : stamps)
        if (stamp.frames > rate * 0.5) points.push_back(stamp);
    if (points.size() < 20) return std::nullopt;
    const double n = static_cast<double>(points.size());
    double meanF = 0.0;
    double meanS = 0.0;
    for (const Stamp& p : points) {
        meanF += p.frames / n;
        meanS += p.seconds / n;
    }
    double covariance = 0.0;
    double variance = 0.0;
    for (const Stamp& p : points) {
        covariance += (p.frames - meanF) * (p.seconds - meanS);
        variance += (p.frames - meanF) * (p.frames - meanF);
    }
    TimeLine line;
    line.secondsPerFrame = covariance / variance;
    std::vector<double> residuals;
    for (const Stamp& p : points) residuals.push_back(p.seconds - meanS - (p.frames - meanF) * line.secondsPerFrame);
    std::sort(residuals.begin(), residuals.end());
    const double low = residuals[residuals.size() / 20];
    const double high = residuals[residuals.size() * 19 / 20];
    line.origin = meanS - meanF * line.secondsPerFrame + low;
    line.spreadMs = (high - low) * 1000.0;
    line.ppm = (1.0 / line.secondsPerFrame / rate - 1.0) * 1e6;
    return line;
}

// Band-limited interpolation of x at a fractional frame (a Blackman-windowed sinc).
double interpolate(const std::vector<double>& x, double position) {
    constexpr int kHalf = 32;
    const auto centre = static_cast<long>(std::floor(position));
    const double fraction = position - static_cast<double>(centre);
    double acc = 0.0;
    for (int i = -kHalf + 1; i <= kHalf; ++i) {
        const long index = centre + i;
        if (index < 0 || index >= static_cast<long>(x.size())) continue;
        const double t = static_cast<double>(i) - fraction;
        const double sinc = std::fabs(t) < 1e-12 ? 1.0 : std::sin(kPi * t) / (kPi * t);
        const double u = (t + kHalf) / (2.0 * kHalf);
        const double window = 0.42 - 0.5 * std::cos(2.0 * kPi * u) + 0.08 * std::cos(4.0 * kPi * u);
        acc += x[static_cast<std::size_t>(index)] * sinc * window;
    }
    return acc;
}

// The offset is measured in 0.1 s pieces at several moments. Inside a piece the halves may
// slide by up to 0.1 ms (1000 ppm, the most the far half's converter corrects), so the
// joined cards' noise stays below 3 kHz, where a tenth of a millisecond costs little
// correlation.
constexpr double kJoinStepSeconds = 0.5;
constexpr double kJoinWindowSeconds = 5.0;
constexpr double kJoinSettleSeconds = 3.0;  // after the start, and after a far half starts again
// Windows with moments less than this long after a far half started again are marked r. They
// were once reported but not judged: one run was 2.15, 1.58, 0.91 and 0.60 ms off in the 5 s
// windows from 3 s after such a start on, won back at the controller's pace. Most of that was
// Wine's render threads stalling every few seconds and catching up in a burst, which the far
// halves read as streams that had moved on; since they no longer do, the windows after a
// restart stay within some tenths of a millisecond, and are judged.
constexpr double kJoinRecoverSeconds = 20.0;
// ... and from there on until this long after it they may still be some tenths of a
// millisecond off: one start that landed 3.6 ms off was 0.97 ms off 20 to 25 s after it,
// and at 15 s per e-fold such a start is within 0.5 ms some 30 s after it.
constexpr double kJoinDisturbedSeconds = 60.0;
constexpr int kJoinPointsNeeded = 5;
constexpr double kJoinPieceSeconds = 0.1;
constexpr double kJoinSearchSeconds = 0.4;  // offsets up to 400 ms either way are found

// One sink's recording with its time line.
struct TimedRecording {
    Recording recording;
    std::vector<Stamp> stamps;
    TimeLine line;
};

bool readTimedRecording(const char* raw, const char* times, const char* rate, const char* channels,
                        TimedRecording& out) {
    if (!readRecording(raw, static_cast<std::uint32_t>(std::atol(rate)),
                       static_cast<std::uint32_t>(std::atol(channels)), out.recording) ||
        !readStamps(times, out.stamps))
        return false;
    const std::optional<TimeLine> line = fitTimeLine(out.stamps, out.recording.rate);
    if (!line) {
        std::fprintf(stderr, "e2e_analyse: too few time stamps in %s\n", times);
        return false;
    }
    out.line = *line;
    return true;
}

// When (monotonic seconds) a channel starts and stops sounding.
bool soundingTimes(const TimedRecording& timed, const std::vector<double>& x, double& from, double& to) {
    std::size_t first = 0;
    std::size_t last = 0;
    if (!soundingSpan(x, timed.recording.rate, first, last)) return false;
    from = timed.line.timeOf(static_cast<double>(first));
    to = timed.line.timeOf(static_cast<double>(last));
    return true;
}

// How much later the far half plays the near half's signal at monotonic time `at`: the far
// recording is put onto the near recording's frames through the two time lines, then the
// near piece starting at `at` is looked for in it.
std::optional<Lag> joinOffsetAt(const TimedRecording& nearSide, const std::vector<double>& nearSignal,
                                const TimedRecording& farSide, const std::vector<double>& farSignal, double at) {
    const double rate = nearSide.recording.rate;
    const auto length = static_cast<std::size_t>(rate * kJoinPieceSeconds);
    const auto search = static_cast<long>(rate * kJoinSearchSeconds);
    const double startFrame = std::floor(nearSide.line.frameAt(at));
    if (startFrame < static_cast<double>(search)) return std::nullopt;
    const auto start = static_cast<std::size_t>(startFrame);
    if (start + length + static_cast<std::size_t>(search) > nearSignal.size()) return std::nullopt;
    // Only the piece is read; the buffer is made once for a whole recording, which a minute
    // long would otherwise cost tens of megabytes a moment.
    static std::vector<double> farOnNear;
    farOnNear.resize(nearSignal.size());
    for (std::size_t n = start; n < start + length; ++n)
        farOnNear[n] = interpolate(farSignal, farSide.line.frameAt(nearSide.line.timeOf(static_cast<double>(n))));
    // late = far, early = near: the far half's piece searched for in the near recording.
    std::optional<Lag> lag = findLag(nearSignal, farOnNear, start, length, -search, search);
    if (lag) lag->frames *= 1000.0 / rate;  // milliseconds from here on
    return lag;
}

// Two joined cards on the same two sinks, each near on one sink and far on the other. The
// recorders place each sink's frames on the monotonic clock to a fraction of a millisecond,
// but what happens between Wine and the sinks is beyond QOVA: Wine writes on the system clock
// while the 44.1 kHz null sink runs some 200 ppm fast, and on a busy machine PulseAudio plays
// silence when Wine is late, which shifts everything on that sink for good. Such a shift
// moves the two cards' offsets by the same amount in opposite directions, so their mean is
// QOVA's own alignment and half their difference is the sinks' skew.
int checkJoins(int argc, char** argv) {
    if (argc < 16) return kUsage;
    const std::string label = argv[2];
    TimedRecording a;
    TimedRecording b;
    if (!readTimedRecording(argv[3], argv[4], argv[5], argv[6], a) ||
        !readTimedRecording(argv[7], argv[8], argv[9], argv[10], b))
        return kUsage;
    const auto firstNear = static_cast<std::uint32_t>(std::atol(argv[11]));   // on A
    const auto firstFar = static_cast<std::uint32_t>(std::atol(argv[12]));    // on B
    const auto secondNear = static_cast<std::uint32_t>(std::atol(argv[13]));  // on B
    const auto secondFar = static_cast<std::uint32_t>(std::atol(argv[14]));   // on A
    const bool judged = std::string_view(argv[15]) != "-";
    const double toleranceMs = judged ? std::atof(argv[15]) : 0.0;
    const char* after = std::strchr(argv[15], '/');
    const double disturbedToleranceMs = judged && after ? std::atof(after + 1) : toleranceMs;
    std::vector<double> restartTimes;
    std::vector<double> disturbances;  // restarts and hold-ups
    for (int i = 16; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("held=")) {
            disturbances.push_back(std::atof(argv[i] + 5));
        } else {
            restartTimes.push_back(std::atof(argv[i]));
            disturbances.push_back(restartTimes.back());
        }
    }
    if (judged && !(toleranceMs > 0.0 && disturbedToleranceMs >= toleranceMs)) return kUsage;
    if (firstNear >= a.recording.channels || secondFar >= a.recording.channels || firstFar >= b.recording.channels ||
        secondNear >= b.recording.channels)
        return kUsage;
    std::printf(
        "e2e: %-28s A %+.0f ppm against its nominal rate, arrivals spread %.2f ms; B %+.0f ppm, spread "
        "%.2f ms\n",
        (label + ", recorders:").c_str(), a.line.ppm, a.line.spreadMs, b.line.ppm, b.line.spreadMs);

    const std::vector<double> signals[4] = {a.recording.channel(firstNear), b.recording.channel(firstFar),
                                            b.recording.channel(secondNear), a.recording.channel(secondFar)};
    const TimedRecording* sides[4] = {&a, &b, &b, &a};
    double from = -1e300;
    double to = 1e300;
    std::string spans;
    for (int i = 0; i < 4; ++i) {
        double begin = 0.0;
        double end = 0.0;
        if (!soundingTimes(*sides[i], signals[i], begin, end)) {
            // Which half, and whether its recording holds anything at all: a recorder that
            // caught nothing is not a card that played nothing.
            static const char* const halves[4] = {"first card's near half (A)", "first card's far half (B)",
                                                  "second card's near half (B)", "second card's far half (A)"};
            double peak = 0.0;
            for (double sample : signals[i]) peak = std::max(peak, std::fabs(sample));
            std::printf("e2e: %-28s the %s stays silent (peak %.4f over %.1f s recorded): FAILED\n",
                        (label + ":").c_str(), halves[i], peak,
                        static_cast<double>(signals[i].size()) / sides[i]->recording.rate);
            return kFail;
        }
        from = std::max(from, begin);
        to = std::min(to, end);
        char span[48];
        std::snprintf(span, sizeof span, "%s%.1f..%.1f s", i == 0 ? "" : ", ", begin, end);
        spans += span;
    }
    // Half a second in from both ends: the players' starts and ends, and the search room.
    from += 0.5 + kJoinSearchSeconds;
    to -= 0.5 + kJoinSearchSeconds + kJoinPieceSeconds;
    if (to - from < 1.0) {
        std::printf("e2e: %-28s the cards sound together for too short a time (%s): FAILED\n", (label + ":").c_str(),
                    spans.c_str());
        return kFail;
    }

    double weakest = 1.0;
    double skewLow = 1e9;
    double skewHigh = -1e9;
    bool pass = true;
    int dropouts = 0;
    int measured = 0;
    int restarts = 0;
    int weak = 0;
    double settledFrom = from + kJoinSettleSeconds - (0.5 + kJoinSearchSeconds);
    double recoveredFrom = settledFrom;  // not marked r from here on
    double disturbedUntil = -1e300;      // judged within disturbedToleranceMs until then
    // A dropout in the near piece, or in the far piece it was matched with (10 ms either side).
    auto droppedOut = [&](int signal, double fromSeconds, double toSeconds) {
        const TimedRecording& side = *sides[signal];
        return hasDropout(signals[signal], side.line.frameAt(fromSeconds - 0.01), side.line.frameAt(toSeconds + 0.01),
                          side.recording.rate);
    };
    // Every 5 s window: the median of QOVA's alignment at the moments measured in it; judged
    // within disturbedToleranceMs when any of those is disturbed.
    struct WindowFigures {
        std::vector<double> own;
        std::vector<double> skew;
        bool recovering = false;
        bool disturbed = false;
    };
    std::vector<WindowFigures> windows(static_cast<std::size_t>((to - from) / kJoinWindowSeconds) + 1);
    for (double at = from; at <= to; at += kJoinStepSeconds) {
        const std::optional<Lag> first = joinOffsetAt(a, signals[0], b, signals[1], at);
        const std::optional<Lag> second = joinOffsetAt(b, signals[2], a, signals[3], at);
        if (!first || !second) {
            ++dropouts;  // too near the recordings' ends to search
            continue;
        }
        const double end = at + kJoinPieceSeconds;
        const bool firstFarOut = droppedOut(1, at + first->frames / 1000.0, end + first->frames / 1000.0);
        const bool secondFarOut = droppedOut(3, at + second->frames / 1000.0, end + second->frames / 1000.0);
        const bool firstNearOut = droppedOut(0, at, end);
        const bool secondNearOut = droppedOut(2, at, end);
        // A far half silent while the near half that shares its sink sounds is that far half
        // priming again, not the recording.
        if ((firstFarOut && !secondNearOut) || (secondFarOut && !firstNearOut)) {
            ++restarts;
            settledFrom = std::max(settledFrom, at + kJoinSettleSeconds);
            recoveredFrom = std::max(recoveredFrom, at + kJoinRecoverSeconds);
            disturbedUntil = std::max(disturbedUntil, at + kJoinDisturbedSeconds);
        }
        if (firstNearOut || secondNearOut || firstFarOut || secondFarOut) {
            ++dropouts;
            continue;
        }
        if (at < settledFrom) continue;
        // The log tells of a start at the next health check, up to half a second after it,
        // and the far half ran dry before it started again.
        if (std::any_of(restartTimes.begin(), restartTimes.end(),
                        [at](double restart) { return at >= restart - 1.0 && at < restart + kJoinSettleSeconds; }))
            continue;
        // A piece that matches only weakly has a glitch in it that left no silence: a sink
        // that skipped or repeated a few frames on a busy machine. Skipped like a dropout; a
        // wrong signal matches weakly everywhere and fails on their share below.
        if (std::min(first->strength, second->strength) < kMinCorrelation) {
            ++weak;
            continue;
        }
        ++measured;
        weakest = std::min({weakest, first->strength, second->strength});
        const double skew = (first->frames - second->frames) / 2.0;
        skewLow = std::min(skewLow, skew);
        skewHigh = std::max(skewHigh, skew);
        WindowFigures& window = windows[static_cast<std::size_t>((at - from) / kJoinWindowSeconds)];
        window.own.push_back((first->frames + second->frames) / 2.0);
        window.skew.push_back(skew);
        window.recovering = window.recovering || at < recoveredFrom ||
                            std::any_of(restartTimes.begin(), restartTimes.end(), [at](double restart) {
                                return at >= restart && at < restart + kJoinRecoverSeconds;
                            });
        window.disturbed = window.disturbed || at < disturbedUntil ||
                           std::any_of(disturbances.begin(), disturbances.end(), [at](double disturbance) {
                               return at >= disturbance && at < disturbance + kJoinDisturbedSeconds;
                           });
    }
    // Restarts from the log that bear on this span: those in the minute before it as well.
    const auto loggedRestarts = std::count_if(restartTimes.begin(), restartTimes.end(), [&](double restart) {
        return restart >= from - kJoinDisturbedSeconds && restart <= to;
    });
    // A run that is only reported (a machine loaded on purpose) may leave nothing to measure
    // between its restarts; the judged run of the same cards tells a wrong signal.
    if (measured == 0) {
        std::printf(
            "e2e: %-28s nothing measured: %d moment(s) had a dropout, %d matched weakly, the rest were within %.0f s "
            "of a restart (%td in the log, %d seen in the recording): %s\n",
            (label + ":").c_str(), dropouts, weak, kJoinSettleSeconds, loggedRestarts, restarts,
            judged ? "FAILED" : "reported, not judged");
        return judged ? kFail : kPass;
    }
    std::string ownFigures;
    std::string skewFigures;
    double worstOwn = 0.0;
    double worstJudged = 0.0;
    double worstDisturbed = 0.0;
    bool anyDisturbed = false;
    for (WindowFigures& window : windows) {
        if (window.own.empty()) {
            ownFigures += " -";
            skewFigures += " -";
            continue;
        }
        std::sort(window.skew.begin(), window.skew.end());
        char skewPart[32];
        std::snprintf(skewPart, sizeof skewPart, " %+.2f", window.skew[window.skew.size() / 2]);
        skewFigures += skewPart;
        std::sort(window.own.begin(), window.own.end());
        const double median = window.own[window.own.size() / 2];
        worstOwn = std::max(worstOwn, std::fabs(median));
        // Only a tolerance apart from the other marks a window judged within it.
        const bool disturbed = window.disturbed && disturbedToleranceMs > toleranceMs;
        double& worst = disturbed ? worstDisturbed : worstJudged;
        worst = std::max(worst, std::fabs(median));
        anyDisturbed = anyDisturbed || disturbed;
        char part[32];
        // Marked r: a window with moments of a far half that started again less than
        // kJoinRecoverSeconds before; *: judged within disturbedToleranceMs.
        std::snprintf(part, sizeof part, " %+.2f%s%s", median, window.recovering ? "r" : "", disturbed ? "*" : "");
        ownFigures += part;
    }
    pass = pass && (!judged || (measured >= kJoinPointsNeeded && weak * 4 <= measured && worstJudged <= toleranceMs &&
                                worstDisturbed <= disturbedToleranceMs));
    std::printf(
        "e2e: %-28s %d moments over %.1f s, every %.1f s (%d skipped for a dropout, %d for a weak match, at most "
        "a quarter of those measured; the %.0f s after %td restart(s) in the log from a minute before on and %d seen "
        "in the recording left out, and windows less than %.0f s after them marked r); correlation at least %.3f; the "
        "sinks' own skew from %+.2f to %+.2f ms\n",
        (label + ", measured:").c_str(), measured, to - from, kJoinStepSeconds, dropouts, weak, kJoinSettleSeconds,
        loggedRestarts, restarts, kJoinRecoverSeconds, weakest, skewLow, skewHigh);
    // The skew is the sinks' latencies apart plus half of what the two far halves are each off
    // in opposite directions, which their mean above cancels: a jump in it at a restart is each
    // far half lined up anew to the distance it read, after Wine's streams moved apart.
    std::printf("e2e: %-28s per %.0f s%s ms (reported, not judged)\n", (label + ", sinks' skew:").c_str(),
                kJoinWindowSeconds, skewFigures.c_str());
    char limit[200] = "reported, not judged";
    if (judged && anyDisturbed)
        std::snprintf(limit, sizeof limit,
                      "%.2f ms where judged within %.2f ms, %.2f ms where judged within %.2f ms (*: less than %.0f s "
                      "after a restart or a hold-up)",
                      worstJudged, toleranceMs, worstDisturbed, disturbedToleranceMs, kJoinDisturbedSeconds);
    else if (judged) std::snprintf(limit, sizeof limit, "within %.2f ms", toleranceMs);
    std::printf("e2e: %-28s QOVA's alignment per %.0f s%s ms (worst %.2f ms = %.0f frames at %u Hz, %s): %s\n",
                (label + ":").c_str(), kJoinWindowSeconds, ownFigures.c_str(), worstOwn,
                worstOwn * a.recording.rate / 1000.0, a.recording.rate, limit, pass ? "ok" : "FAILED");
    return pass ? kPass : kFail;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: e2e_analyse wav|stamp|stalls|tones|frequency|silence|delay|joins ... (see the top of analyse.cpp)\n");
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string_view command = argv[1];
    int result = kUsage;
    if (command == "wav") result = writeWav(argc, argv);
    else if (command == "stamp") result = stamp(argc, argv);
    else if (command == "stalls") result = stalls(argc, argv);
    else if (command == "tones") result = checkTones(argc, argv);
    else if (command == "frequency") result = checkFrequency(argc, argv);
    else if (command == "silence") result = checkSilence(argc, argv);
    else if (command == "delay") result = checkDelay(argc, argv);
    else if (command == "joins") result = checkJoins(argc, argv);
    return result == kUsage ? usage() : result;
}
