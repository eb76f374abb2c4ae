#pragma once

// What the test ASIO driver (qova_test_asio.dll) and the tests that load it agree on: its
// class ids, the environment variables that shape the driver a test gets, and the record it
// keeps in a shared section so that a test can check what the host wrote into its buffers.
//
// The driver reads its environment when its object is created, so a test sets the variables
// before the output opens. Unset variables give the defaults in brackets:
//   QOVA_TEST_ASIO_OUTPUTS        output channels [2]
//   QOVA_TEST_ASIO_TYPES          sample type of each channel, comma-separated; the last one
//                                 repeats for the channels after it [18, Int32LSB]
//   QOVA_TEST_ASIO_BUFFER         "min,max,preferred,granularity", or "fail" [64,2048,256,-1]
//   QOVA_TEST_ASIO_RATES          rates it accepts; it starts at the first [48000,44100]
//   QOVA_TEST_ASIO_LATENCY        output latency in frames [buffer size + 32]
//   QOVA_TEST_ASIO_NOT_CONNECTED  "1": every channel is named "Not Connected <n>"
//   QOVA_TEST_ASIO_LONG_NAMES     "1": channel names fill all 32 bytes, unterminated
//   QOVA_TEST_ASIO_REFUSE_BUFFERS how many createBuffers calls it refuses first [0]
//   QOVA_TEST_ASIO_REFUSE_START   "1": start fails
//   QOVA_TEST_ASIO_INIT_ERROR     init fails, and getErrorMessage gives this text
//   QOVA_TEST_ASIO_OUTPUT_READY   "1": outputReady answers ASE_OK (else ASE_NotPresent)
//   QOVA_TEST_ASIO_TIME_INFO      "1": switches buffers through bufferSwitchTimeInfo
//   QOVA_TEST_ASIO_EVENT          "reset:<n>" or "rate:<n>": after n buffer switches, asks the
//                                 host for a reset, or tells it the rate changed
//   QOVA_TEST_ASIO_RECORD         name of the section (TestAsioRecord) a test made for it

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace test_asio {

// The two drivers the DLL serves, and a class registered for it that it refuses to make.
inline constexpr GUID kClassA = {0x5b0c6e3e, 0x4d7a, 0x4f41, {0x9c, 0x1e, 0x61, 0x2a, 0x7d, 0x0b, 0x33, 0x01}};
inline constexpr GUID kClassB = {0x5b0c6e3e, 0x4d7a, 0x4f41, {0x9c, 0x1e, 0x61, 0x2a, 0x7d, 0x0b, 0x33, 0x02}};
inline constexpr GUID kClassRefused = {0x5b0c6e3e, 0x4d7a, 0x4f41, {0x9c, 0x1e, 0x61, 0x2a, 0x7d, 0x0b, 0x33, 0x03}};

inline constexpr std::uint32_t kMaxChannels = 80;
inline constexpr std::size_t kHeaderBytes = 4096;
inline constexpr std::size_t kChannelBytes = 384 * 1024;  // recorded bytes per channel; then it stops
inline constexpr std::size_t kRecordBytes = kHeaderBytes + kMaxChannels * kChannelBytes;
inline constexpr std::uint32_t kSelectors = 16;

// The section's head. The driver's objects and its buffer-switch thread write it; the test
// reads it. Channel c's recorded bytes start at kHeaderBytes + c * kChannelBytes, in the
// driver's sample type, period after period; `recordedFrames` is stored (release) after the
// bytes of those frames.
struct TestAsioRecord {
    std::atomic<std::int32_t> liveObjects;     // driver objects now alive
    std::atomic<std::int32_t> mostLiveObjects;  // the highest liveObjects has been
    std::atomic<std::uint32_t> createdObjects;
    std::atomic<std::int32_t> lastCreatedClass;  // 0 for kClassA, 1 for kClassB
    std::atomic<std::uint32_t> initCalls;
    std::atomic<std::uint32_t> createBuffersCalls;  // refused ones included
    std::atomic<std::uint32_t> startCalls;
    std::atomic<std::uint32_t> stopCalls;
    std::atomic<std::uint32_t> disposeCalls;
    std::atomic<std::uint32_t> outputReadyCalls;
    std::atomic<std::uint32_t> controlPanelCalls;
    std::atomic<std::int32_t> bufferFrames;     // of the buffers created last
    std::atomic<std::int32_t> bufferChannels;   // likewise
    std::atomic<std::int32_t> sampleRateHz;     // the rate it runs at
    std::atomic<std::uint64_t> bufferSwitches;
    std::atomic<std::uint32_t> recordedFrames;
    std::atomic<std::uint32_t> eventSent;        // the reset request or rate change went out
    std::atomic<std::int32_t> eventAnswer;       // what the host answered a reset request
    // Asked once the buffers exist: asioMessage(1, s) for every s, and asioMessage(s, 0) for
    // the selectors that have no effect (every one but 3, the reset request).
    std::atomic<std::int32_t> supportedAnswers[kSelectors];
    std::atomic<std::int32_t> messageAnswers[kSelectors];
};

static_assert(sizeof(TestAsioRecord) <= kHeaderBytes);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

inline unsigned char* recordedChannel(TestAsioRecord* record, std::uint32_t channel) {
    return reinterpret_cast<unsigned char*>(record) + kHeaderBytes + channel * kChannelBytes;
}

}  // namespace test_asio
