// A player for the card ring tests, run as a real second process: attaches to a ring by
// the names QOVA gave and writes the known test signal, topping the ring up to its target
// each time QOVA's "-need" event wakes it.
//
// Usage: ring_peer <mapping> <event> stream
//          writes until QOVA closes the ring; prints "closed <reason> written <frames>"
//        ring_peer <mapping> <event> frames <count>
//          writes <count> frames, waits until QOVA has read them all, gives the ring up;
//          prints "gave up written <frames>"
// Exit codes: 0 done, 2 bad usage, 3 no end within 10 s, 4 the ring cannot be opened.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "RingSignal.h"
#include "app/Log.h"
#include "tools/RingProducer.h"

namespace {

constexpr std::uint32_t kChunkFrames = 1024;
constexpr ULONGLONG kDeadlineMs = 10000;  // a test that forgets to close the ring still ends

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    const std::wstring mode = argv[3];
    const bool stream = mode == L"stream";
    std::uint64_t total = UINT64_MAX;
    if (!stream) {
        if (mode != L"frames" || argc < 5) return 2;
        total = std::wcstoull(argv[4], nullptr, 10);
    }

    tools::RingProducer producer;
    const std::string failure = producer.open(app::toUtf8(argv[1]), app::toUtf8(argv[2]));
    if (!failure.empty()) {
        std::printf("open failed: %s\n", failure.c_str());
        return 4;
    }

    float chunk[kChunkFrames * 2];
    const ULONGLONG deadline = GetTickCount64() + kDeadlineMs;
    while (producer.closeReason() == 0) {
        if (GetTickCount64() > deadline) {
            std::printf("no end written %llu\n", static_cast<unsigned long long>(producer.writtenFrames()));
            return 3;
        }
        std::uint64_t wanted = producer.framesBelowTarget();
        if (wanted > total - producer.writtenFrames()) wanted = total - producer.writtenFrames();
        while (wanted > 0) {
            const auto frames = static_cast<std::uint32_t>(wanted < kChunkFrames ? wanted : kChunkFrames);
            ring_signal::fill(chunk, producer.writtenFrames(), frames);
            const std::uint32_t written = producer.write(chunk, frames);
            wanted -= written;
            if (written < frames) break;
        }
        if (!stream && producer.writtenFrames() == total && producer.fillFrames() == 0) {
            producer.giveUp();
            std::printf("gave up written %llu\n", static_cast<unsigned long long>(producer.writtenFrames()));
            return 0;
        }
        producer.waitForNeed(100);
    }
    std::printf("closed %u written %llu\n", producer.closeReason(),
                static_cast<unsigned long long>(producer.writtenFrames()));
    return 0;
}
