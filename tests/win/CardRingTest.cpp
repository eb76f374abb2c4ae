#include "win/ring/CardRing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "RingSignal.h"
#include "RingTestSupport.h"
#include "TestSupport.h"
#include "tools/player/RingProducer.h"
#include "win/base/Text.h"

namespace win {
namespace {

using ring_testing::EventView;
using ring_testing::holdsRingRun;
using ring_testing::holdsSignal;
using ring_testing::isSilent;
using ring_testing::kCloseReasonAt;
using ring_testing::kReadCountAt;
using ring_testing::kReadPosAt;
using ring_testing::kUnderrunAt;
using ring_testing::kWritePosAt;
using ring_testing::read;
using ring_testing::ReadResult;
using ring_testing::ringRequest;
using ring_testing::SectionView;
using ring_testing::StopAndJoin;
using ring_testing::TestRing;
using win_testing::LogCapture;

std::size_t pageBytes() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// The name a ring of kCardId with this number gets in this process, written out as a player
// would expect it.
std::string ringName(std::uint64_t ringNumber) {
    return "Local\\qova-" + std::to_string(GetCurrentProcessId()) + "-0a1b2c3d-" + std::to_string(ringNumber);
}

// Each test starts with one ring of a 480-frame period, and a player's view of it.
class WithRing : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ring.ok()) << ring.result; }

    TestRing ring{480};
};
using CardRingCreate = WithRing;
using CardRingRead = WithRing;
using CardRingClose = WithRing;
using CardRingHostile = WithRing;
using CardRingPeer = WithRing;

// --- sizing and creation ---------------------------------------------------------------

// The sizing itself is tested natively; here the rings made follow it.
TEST(CardRingSizing, RingsMadeFollowTheSizingAndCarryThePeriod) {
    for (const std::uint32_t period : {480u, 4459u, 1u, 9000u}) {
        TestRing ring(period);
        ASSERT_TRUE(ring.ok()) << ring.result;
        const core::RingSizing sizing = core::ringSizing(period);
        EXPECT_EQ(ring.created.targetFrames, sizing.targetFrames);
        EXPECT_EQ(ring.created.capacityFrames, sizing.capacityFrames);
        EXPECT_EQ(ring.created.periodFrames, period);
        EXPECT_EQ(ring.section->u32(16), sizing.capacityFrames);
        EXPECT_EQ(ring.section->u32(20), sizing.targetFrames);
        EXPECT_EQ(ring.section->u32(24), period);
        const std::size_t sectionBytes = std::size_t{sizing.capacityFrames} * 8 + 256;
        const std::size_t page = pageBytes();
        EXPECT_EQ(ring.section->viewBytes(), (sectionBytes + page - 1) / page * page) << "period " << period;
    }
}

TEST_F(CardRingCreate, HeaderBytesAtEveryOffset) {
    const SectionView& s = *ring.section;
    const std::uint8_t* bytes = s.bytes();
    const std::size_t sectionBytes = 8192 * 8 + 256;
    ASSERT_GE(s.viewBytes(), sectionBytes);

    EXPECT_EQ(std::memcmp(bytes, "QOVA", 4), 0);
    struct Field {
        std::size_t offset;
        std::uint32_t value;
    };
    const Field fields[] = {{4, 1}, {8, 48000}, {12, 2}, {16, 8192}, {20, 1216}, {24, 480}, {28, 256}};
    for (const Field& f : fields) EXPECT_EQ(s.u32(f.offset), f.value) << "offset " << f.offset;
    // Little-endian, byte by byte, for one field.
    EXPECT_EQ(bytes[8], 0x80);
    EXPECT_EQ(bytes[9], 0xbb);
    EXPECT_EQ(bytes[10], 0x00);

    // Every byte QOVA did not set is zero: positions, counters, reserved bytes and samples.
    auto zeroOutside = [&](std::initializer_list<std::pair<std::size_t, std::size_t>> used) {
        for (std::size_t i = 32; i < sectionBytes; ++i) {
            bool isUsed = false;
            for (const auto& [from, to] : used) isUsed = isUsed || (i >= from && i < to);
            if (!isUsed && bytes[i] != 0)
                return ::testing::AssertionFailure() << "byte " << i << " is " << int{bytes[i]};
        }
        return ::testing::AssertionSuccess();
    };
    EXPECT_TRUE(zeroOutside({}));

    // The positions and counters sit where a player looks for them.
    ring.produce(0, 300);
    EXPECT_EQ(s.u64(kWritePosAt), 300u);
    ReadResult first = read(ring.slot, 100);
    EXPECT_EQ(first.taken, 100u);
    EXPECT_EQ(s.u64(kReadPosAt), 100u);
    EXPECT_EQ(s.u32(kReadCountAt), 1u);
    EXPECT_EQ(s.u64(kUnderrunAt), 0u);
    ReadResult second = read(ring.slot, 250);
    EXPECT_EQ(second.taken, 200u);
    EXPECT_EQ(s.u64(kReadPosAt), 300u);
    EXPECT_EQ(s.u32(kReadCountAt), 2u);
    EXPECT_EQ(s.u64(kUnderrunAt), 50u);
    EXPECT_EQ(s.u32(kCloseReasonAt), 0u);
    closeRing(ring.slot, core::RingCloseReason::ByPlayer);
    EXPECT_EQ(s.u32(kCloseReasonAt), 2u);

    // Reads and the close changed nothing but their own fields (and the samples written).
    EXPECT_TRUE(zeroOutside({{kWritePosAt, kWritePosAt + 8},
                             {kReadPosAt, kReadPosAt + 8},
                             {kUnderrunAt, kUnderrunAt + 8},
                             {kCloseReasonAt, kCloseReasonAt + 4},
                             {kReadCountAt, kReadCountAt + 4},
                             {256, 256 + 300 * 8}}));
    EXPECT_EQ(s.u32(16), 8192u);
}

TEST_F(CardRingCreate, NamesCarryPrefixProcessCardAndNumber) {
    const std::string expected = ringName(ring.request.ringNumber);
    EXPECT_EQ(ring.created.mapping, expected);
    EXPECT_EQ(ring.created.event, expected + "-need");
    EXPECT_EQ(ring.created.capacityFrames, 8192u);
    EXPECT_EQ(ring.created.targetFrames, 1216u);
    EXPECT_EQ(ring.created.periodFrames, 480u);

    ASSERT_NE(ring.slot.owner, nullptr);
    EXPECT_EQ(ring.slot.live.load(), ring.slot.owner.get());
    EXPECT_EQ(ring.slot.owner->clientId, 7u);
    EXPECT_EQ(ring.slot.owner->clientName, "test player");
    EXPECT_EQ(ring.slot.owner->capacityFrames, 8192u);

    // The event starts unsignalled and resets itself once a waiter has seen it.
    EXPECT_FALSE(ring.event->signalled());
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, toWide(ring.created.event).c_str()));
    ASSERT_TRUE(event);
    SetEvent(event.get());
    EXPECT_TRUE(ring.event->signalled());
    EXPECT_FALSE(ring.event->signalled());

    // A name with characters outside ASCII survives the trip to Windows and back.
    RingSlot slot;
    RingRequest request = ringRequest(480);
    request.namePrefix = "Local\\qova-\xc3\xa9";
    CreatedRing created;
    ASSERT_EQ(createRing(slot, request, created), "");
    EXPECT_TRUE(SectionView(created.mapping).ok());
    EXPECT_TRUE(created.mapping.starts_with("Local\\qova-\xc3\xa9-"));
}

TEST_F(CardRingCreate, ReopenGivesFreshNamesAndWithdrawsTheOldRing) {
    RingSlot& slot = ring.slot;
    // As the router does it: close, then open again with the next number.
    closeRing(slot, core::RingCloseReason::ByQova);
    CreatedRing second;
    ASSERT_EQ(createRing(slot, ringRequest(480), second), "");
    EXPECT_NE(second.mapping, ring.created.mapping);
    EXPECT_NE(second.event, ring.created.event);
    EXPECT_EQ(ring.section->u32(kCloseReasonAt), 1u);
    EXPECT_TRUE(ring.event->signalled());
    SectionView secondView(second.mapping);
    ASSERT_TRUE(secondView.ok());
    EXPECT_EQ(secondView.u32(kCloseReasonAt), 0u);

    // A slot asked for a new ring while it still holds one withdraws the old one itself.
    CreatedRing third;
    ASSERT_EQ(createRing(slot, ringRequest(480), third), "");
    EXPECT_EQ(secondView.u32(kCloseReasonAt), 1u);
    EXPECT_EQ(SectionView(third.mapping).u32(kCloseReasonAt), 0u);
    EXPECT_EQ(slot.live.load(), slot.owner.get());
}

// Someone who guesses the next name and makes an object under it first must not get a
// ring QOVA writes into or reads from.
TEST_F(CardRingCreate, NameTakenBySomeoneElseFailsAndLeavesTheSlotAlone) {
    enum class Plant { SectionAtSectionName, EventAtEventName, EventAtSectionName };
    for (const Plant plant : {Plant::SectionAtSectionName, Plant::EventAtEventName, Plant::EventAtSectionName}) {
        SCOPED_TRACE(static_cast<int>(plant));
        TestRing existing(480);
        ASSERT_TRUE(existing.ok());
        CardRing* before = existing.slot.owner.get();

        const RingRequest request = ringRequest(480);
        const std::string name = ringName(request.ringNumber);
        UniqueHandle planted;
        win::MappedView plantedView;
        constexpr std::size_t kPlantedBytes = 8192 * 8 + 256;  // just what the ring needs
        if (plant == Plant::SectionAtSectionName) {
            planted.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kPlantedBytes,
                                             toWide(name).c_str()));
            ASSERT_TRUE(planted);
            plantedView.reset(MapViewOfFile(planted.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
            ASSERT_TRUE(plantedView);
            std::memset(plantedView.get(), 0x5a, kPlantedBytes);
        } else {
            const std::string eventName = plant == Plant::EventAtEventName ? name + "-need" : name;
            planted.reset(CreateEventW(nullptr, FALSE, FALSE, toWide(eventName).c_str()));
            ASSERT_TRUE(planted);
        }

        CreatedRing created;
        created.mapping = "untouched";
        created.capacityFrames = 3;
        EXPECT_EQ(createRing(existing.slot, request, created), "internal");
        EXPECT_EQ(created.mapping, "untouched");
        EXPECT_EQ(created.capacityFrames, 3u);
        EXPECT_EQ(existing.slot.owner.get(), before);
        EXPECT_EQ(existing.slot.live.load(), before);
        EXPECT_EQ(existing.section->u32(kCloseReasonAt), 0u);

        if (plant == Plant::SectionAtSectionName) {
            // Not zeroed, not given a header: QOVA never mapped it.
            const auto* bytes = static_cast<const std::uint8_t*>(plantedView.get());
            EXPECT_TRUE(std::all_of(bytes, bytes + kPlantedBytes, [](std::uint8_t b) { return b == 0x5a; }));
        } else {
            // Everything made before the failure was released again.
            SetLastError(ERROR_SUCCESS);
            UniqueHandle left(OpenFileMappingW(FILE_MAP_READ, FALSE, toWide(name).c_str()));
            EXPECT_FALSE(left);
        }
    }
}

TEST(CardRingLog, OpenCloseAndFailureLines) {
    REQUIRE_OUR_LOG();
    const std::size_t from = LogCapture::instance().mark();
    std::vector<std::string> expected;

    {
        RingSlot slot;
        CreatedRing created;
        ASSERT_EQ(createRing(slot, ringRequest(480, "Player \xc3\xa9"), created), "");
        expected.push_back("card 0a1b2c3d opened by client 7 (Player \xc3\xa9), target 1216, capacity 8192");
        closeRing(slot, core::RingCloseReason::ByPlayer);
        expected.push_back("card ring closed (client 7, by the player)");
        closeRing(slot, core::RingCloseReason::ByPlayer);  // nothing left to close: no line

        RingRequest request = ringRequest(4459);
        request.clientId = 18446744073709551615ull;
        ASSERT_EQ(createRing(slot, request, created), "");
        expected.push_back(
            "card 0a1b2c3d opened by client 18446744073709551615 (test player), target 9174, capacity 65536");
        closeRing(slot, core::RingCloseReason::ByQova);
        expected.push_back("card ring closed (client 18446744073709551615, by QOVA)");

        // A section already there: logged. An event already there: only the result says so.
        request = ringRequest(480);
        const std::string name = ringName(request.ringNumber);
        {
            UniqueHandle planted(
                CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, toWide(name).c_str()));
            ASSERT_TRUE(planted);
            EXPECT_EQ(createRing(slot, request, created), "internal");
            expected.push_back("open 0a1b2c3d: CreateFileMapping " + systemErrorText(ERROR_ALREADY_EXISTS));
        }
        {
            UniqueHandle planted(CreateEventW(nullptr, FALSE, FALSE, toWide(name + "-need").c_str()));
            ASSERT_TRUE(planted);
            EXPECT_EQ(createRing(slot, request, created), "internal");
        }
        ASSERT_EQ(createRing(slot, ringRequest(480), created), "");
        expected.push_back("card 0a1b2c3d opened by client 7 (test player), target 1216, capacity 8192");
    }  // the slot withdraws its ring when it goes
    expected.push_back("card ring closed (client 7, by QOVA)");
    EXPECT_EQ(LogCapture::instance().messagesSince(from), expected);
}

// --- reading ---------------------------------------------------------------------------

TEST_F(CardRingRead, NeverWrittenPlaysSilenceWithoutCountingUnderruns) {
    for (int i = 0; i < 3; ++i) {
        ReadResult r = read(ring.slot, 480);
        EXPECT_EQ(r.taken, 0u);
        EXPECT_TRUE(isSilent(r.samples.data(), 480));
    }
    EXPECT_EQ(ring.section->u64(kUnderrunAt), 0u);
    EXPECT_EQ(ring.section->u64(kReadPosAt), 0u);
    EXPECT_EQ(ring.section->u32(kReadCountAt), 3u);

    // From the first write on, every frame short is counted, and playing resumes where the
    // data is, without skipping.
    ring.produce(0, 100);
    ReadResult r = read(ring.slot, 480);
    EXPECT_EQ(r.taken, 100u);
    EXPECT_TRUE(holdsSignal(r.samples.data(), 100, 0));
    EXPECT_TRUE(isSilent(r.samples.data() + 200, 380));
    EXPECT_EQ(ring.section->u64(kUnderrunAt), 380u);
    r = read(ring.slot, 480);
    EXPECT_EQ(r.taken, 0u);
    EXPECT_EQ(ring.section->u64(kUnderrunAt), 860u);
    ring.produce(100, 1000);
    r = read(ring.slot, 480);
    EXPECT_EQ(r.taken, 480u);
    EXPECT_TRUE(holdsSignal(r.samples.data(), 480, 100));
    EXPECT_EQ(ring.section->u64(kUnderrunAt), 860u);
    EXPECT_EQ(ring.section->u64(kReadPosAt), 580u);
}

TEST_F(CardRingRead, ReadStraddlingTheEndTakesTailThenHead) {
    struct Case {
        std::uint64_t startPosition;  // where reading starts in the stream
        std::uint32_t frames;
    };
    const Case cases[] = {
        {8189, 7},                // 3 from the tail, 4 from the head
        {8191, 2},                // the last frame, then the first
        {4096, 4096},             // ends exactly at the end: no second part
        {0, 8192},                // the whole ring from index 0
        {8192 * 2 - 1000, 8192},  // the whole ring from near the end
        {12345, 5001},            // odd sizes, second lap
        {8192 * 5 + 8191, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.startPosition << " frames " << c.frames);
        TestRing ring(480);
        ASSERT_TRUE(ring.ok());
        // Get there the way a real stream does, a chunk at a time.
        for (std::uint64_t position = 0; position < c.startPosition;) {
            const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(4000, c.startPosition - position));
            ring.produce(position, chunk);
            ASSERT_EQ(read(ring.slot, chunk).taken, chunk);
            position += chunk;
        }
        ring.produce(c.startPosition, c.frames);
        ReadResult r = read(ring.slot, c.frames);
        EXPECT_EQ(r.taken, c.frames);
        EXPECT_TRUE(holdsSignal(r.samples.data(), c.frames, c.startPosition));
        EXPECT_EQ(ring.section->u64(kReadPosAt), c.startPosition + c.frames);
        EXPECT_EQ(ring.section->u64(kUnderrunAt), 0u);
    }
}

// A player's NaN or infinity must not reach the converters, the mix or the sound card.
TEST_F(CardRingRead, NonFiniteSamplesPlayAsSilence) {
    ring.produce(0, 8);
    auto* samples = reinterpret_cast<float*>(ring.section->bytes() + core::kRingHeaderBytes);
    const std::size_t bad[] = {2, 5, 9, 12};
    samples[2] = std::numeric_limits<float>::quiet_NaN();
    samples[5] = std::numeric_limits<float>::infinity();
    samples[9] = -std::numeric_limits<float>::infinity();
    samples[12] = -std::numeric_limits<float>::signaling_NaN();
    const std::vector<float> written(samples, samples + 16);
    const ReadResult r = read(ring.slot, 8);
    ASSERT_EQ(r.taken, 8u);
    for (std::size_t i = 0; i < 16; ++i) {
        const bool replaced = std::find(std::begin(bad), std::end(bad), i) != std::end(bad);
        EXPECT_EQ(r.samples[i], replaced ? 0.0f : written[i]) << "sample " << i;
    }
}

TEST_F(CardRingRead, TakesAtMostCapacity) {
    ring.produce(0, 8192);
    ReadResult r = read(ring.slot, 8192 + 100);
    EXPECT_EQ(r.taken, 8192u);
    EXPECT_TRUE(holdsSignal(r.samples.data(), 8192, 0));
    EXPECT_TRUE(isSilent(r.samples.data() + 2 * 8192, 100));
    EXPECT_EQ(ring.section->u64(kUnderrunAt), 100u);

    // A producer that writes too far ahead (against its rules) still never makes QOVA take
    // more than a ring's worth in one read.
    ring.section->setU64(kWritePosAt, 8192 + 3 * 8192);
    r = read(ring.slot, 20000);
    EXPECT_EQ(r.taken, 8192u);
    EXPECT_EQ(ring.section->u64(kReadPosAt), 2u * 8192);
}

TEST_F(CardRingRead, WritePosBehindReadPosCountsAsEmpty) {
    ring.produce(0, 100);
    ASSERT_EQ(read(ring.slot, 100).taken, 100u);
    ring.section->setU64(kWritePosAt, 50);
    ReadResult r = read(ring.slot, 10);
    EXPECT_EQ(r.taken, 0u);
    EXPECT_TRUE(isSilent(r.samples.data(), 10));
    EXPECT_EQ(ring.section->u64(kReadPosAt), 100u);
    EXPECT_EQ(ring.section->u64(kUnderrunAt), 10u);
}

TEST_F(CardRingRead, EventIsSetAfterEveryRead) {
    EXPECT_FALSE(ring.event->signalled());
    ring.produce(0, 500);
    for (const std::uint32_t frames : {0u, 480u, 480u, 480u}) {  // a part, then empty ones
        read(ring.slot, frames);
        EXPECT_TRUE(ring.event->signalled()) << frames;
        EXPECT_FALSE(ring.event->signalled()) << frames;  // once per read
    }
    EXPECT_EQ(ring.section->u32(kReadCountAt), 4u);
}

// --- closing ---------------------------------------------------------------------------

TEST_F(CardRingClose, ReasonReachesThePlayerAndWakesIt) {
    for (const core::RingCloseReason reason : {core::RingCloseReason::ByQova, core::RingCloseReason::ByPlayer}) {
        const auto value = static_cast<std::uint32_t>(reason);
        SCOPED_TRACE(value);
        TestRing ring(480);
        ASSERT_TRUE(ring.ok());
        ring.produce(0, 1000);
        ASSERT_EQ(read(ring.slot, 10).taken, 10u);
        ASSERT_TRUE(ring.event->signalled());

        closeRing(ring.slot, reason);
        EXPECT_EQ(ring.section->u32(kCloseReasonAt), value);
        EXPECT_TRUE(ring.event->signalled());
        EXPECT_EQ(ring.slot.live.load(), nullptr);
        EXPECT_EQ(ring.slot.owner, nullptr);

        // A render thread still holding the slot gets silence, and nothing in the section moves.
        ReadResult r = read(ring.slot, 480);
        EXPECT_EQ(r.taken, 0u);
        EXPECT_TRUE(isSilent(r.samples.data(), 480));
        EXPECT_EQ(ring.section->u64(kReadPosAt), 10u);
        EXPECT_EQ(ring.section->u32(kReadCountAt), 1u);
        EXPECT_FALSE(ring.event->signalled());

        // QOVA holds nothing of it any more: the player's handles are the last ones.
        ring.section.reset();
        ring.event.reset();
        EXPECT_FALSE(SectionView(ring.created.mapping).ok());
        EXPECT_FALSE(EventView(ring.created.event).ok());
    }
}

TEST_F(CardRingClose, PlayerGivingUpSilencesTheRing) {
    ring.produce(0, 1000);
    ring.section->setU32(kCloseReasonAt, 2);
    ReadResult r = read(ring.slot, 480);
    EXPECT_EQ(r.taken, 0u);
    EXPECT_TRUE(isSilent(r.samples.data(), 480));
    EXPECT_EQ(ring.section->u64(kReadPosAt), 0u);
    EXPECT_EQ(ring.section->u64(kUnderrunAt), 0u);
    EXPECT_EQ(ring.slot.live.load(), ring.slot.owner.get());  // still QOVA's to close
    closeRing(ring.slot, core::RingCloseReason::ByPlayer);
    EXPECT_EQ(ring.section->u32(kCloseReasonAt), 2u);
}

TEST_F(CardRingClose, WaitsWhileAReaderIsInside) {
    // Stand in for a render thread that has counted itself in and is copying.
    ring.slot.readersInside.fetch_add(1);
    const CardRing* held = ring.slot.live.load();
    ASSERT_NE(held, nullptr);

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        closeRing(ring.slot, core::RingCloseReason::ByQova);
        closed = true;
    });
    Sleep(300);
    const bool closedUnderTheReader = closed.load();
    EXPECT_FALSE(closedUnderTheReader);
    EXPECT_EQ(ring.slot.live.load(), nullptr);  // no new reader can find it
    if (!closedUnderTheReader) {
        // Still mapped: the held reader can finish its copy.
        EXPECT_EQ(held->header->closeReason.load(), 0u);
        EXPECT_EQ(held->samples[0], 0.0f);
    }

    ring.slot.readersInside.fetch_sub(1);
    closer.join();
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(ring.section->u32(kCloseReasonAt), 1u);
}

TEST_F(CardRingClose, CloseWhileAnotherThreadReadsNeverFaults) {
    constexpr std::uint32_t kCapacity = 65536;  // the largest ring: the longest copies
    RingSlot slot;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> fullReads{0};
    std::atomic<std::uint64_t> badReads{0};
    std::atomic<std::uint64_t> loops{0};
    std::thread reader([&] {
        std::vector<float> buffer(kCapacity * 2);
        for (; !stop.load(std::memory_order_relaxed); ++loops) {
            const std::uint32_t taken = readRing(slot, buffer.data(), kCapacity);
            if (taken == kCapacity) ++fullReads;
            // Checking every read also keeps this thread out of readRing part of the time,
            // as the gaps between device callbacks do.
            if (!holdsRingRun(buffer.data(), taken, kCapacity) ||
                !isSilent(buffer.data() + 2 * taken, kCapacity - taken))
                ++badReads;
        }
    });
    StopAndJoin joinReader(stop, reader);

    // A fault shows within the first few rings; the time limit keeps a loaded machine from
    // dragging this out.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (int i = 0; i < 1000 && std::chrono::steady_clock::now() < end; ++i) {
        CreatedRing created;
        ASSERT_EQ(createRing(slot, ringRequest(9000), created), "");
        ASSERT_EQ(created.capacityFrames, kCapacity);
        // Fill the ring through QOVA's own view and claim far more than it holds, so that
        // every read copies a whole ring's worth out of the view.
        core::RingHeader* header = slot.owner->header;
        auto* samples = reinterpret_cast<float*>(reinterpret_cast<std::uint8_t*>(header) + core::kRingHeaderBytes);
        ring_signal::fill(samples, 0, kCapacity);
        header->writePos.store(std::uint64_t{1} << 40, std::memory_order_release);
        // Close while the reader is inside a read of this ring, mostly in the middle of a copy.
        for (int spin = 0; spin < 100000 && (header->readCount.load() == 0 || slot.readersInside.load() == 0); ++spin)
            if (spin % 64 == 63) SwitchToThread();
        closeRing(slot, i % 2 == 0 ? core::RingCloseReason::ByQova : core::RingCloseReason::ByPlayer);
        // Let the reader run on before the next ring can take the old one's addresses, so
        // that a read still inside the old view would fault rather than find a new one there.
        const std::uint64_t loopsAtClose = loops.load();
        for (int spin = 0; spin < 1000 && loops.load() < loopsAtClose + 2; ++spin) SwitchToThread();
    }
    joinReader.join();
    EXPECT_GT(fullReads.load(), 0u);
    EXPECT_EQ(badReads.load(), 0u);
}

// --- a hostile player ------------------------------------------------------------------

// The player can rewrite the header at any moment. Whatever it writes, QOVA copies only
// whole frames from inside the sample area (each read a run of consecutive frames of the
// ring) and never touches memory outside the section.
TEST_F(CardRingHostile, ScribbledHeaderNeverLeadsOutsideTheSection) {
    constexpr std::uint32_t kCapacity = 8192;
    // Frame index k holds the signal's stream position k, so left = k + 1.
    ring.produce(0, kCapacity);

    std::atomic<bool> stop{false};
    std::thread scribbler([&] {
        std::mt19937_64 random(12345);
        const SectionView& s = *ring.section;
        while (!stop.load(std::memory_order_relaxed)) {
            for (std::size_t offset = 0; offset < core::kRingHeaderBytes; offset += 8) s.setU64(offset, random());
            // Mostly leave the ring looking open, or QOVA would just play silence.
            if (random() % 4 != 0) s.setU32(kCloseReasonAt, 0);
            // Sometimes positions a short step apart, as a confused producer might leave them.
            if (random() % 2 == 0) s.setU64(kWritePosAt, s.u64(kReadPosAt) + random() % 20000);
        }
    });
    StopAndJoin joinScribbler(stop, scribbler);

    std::mt19937 random(777);
    std::vector<float> buffer((kCapacity + 300) * 2);
    std::uint64_t copying = 0;
    std::uint64_t wrapping = 0;
    std::uint64_t silent = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
    while (std::chrono::steady_clock::now() < end) {
        const std::uint32_t frames = random() % (kCapacity + 300);
        const std::uint32_t taken = readRing(ring.slot, buffer.data(), frames);
        ASSERT_LE(taken, std::min(frames, kCapacity));
        if (taken == 0) ++silent;
        else ++copying;
        ASSERT_TRUE(holdsRingRun(buffer.data(), taken, kCapacity));
        if (taken > 0 && static_cast<std::uint32_t>(buffer[0]) - 1 + taken > kCapacity) ++wrapping;
        ASSERT_TRUE(isSilent(buffer.data() + 2 * std::size_t{taken}, frames - taken));
    }
    joinScribbler.join();
    // The run went through every path: copies with and without a wrap, and silence.
    EXPECT_GT(copying, 0u);
    EXPECT_GT(wrapping, 0u);
    EXPECT_GT(silent, 0u);
    closeRing(ring.slot, core::RingCloseReason::ByQova);
    EXPECT_EQ(ring.section->u32(kCloseReasonAt), 1u);
}

// --- a player in another process -------------------------------------------------------

std::wstring peerArguments(const CreatedRing& created, const wchar_t* mode) {
    return L"\"" + toWide(created.mapping) + L"\" \"" + toWide(created.event) + L"\" " + mode;
}

// Reads the ring in 10 ms chunks at the ring's rate, as an output would, and checks that
// the frames taken continue the stream exactly.
struct RealTimeReader {
    RingSlot& slot;
    std::uint64_t received = 0;
    std::uint64_t askedFrames = 0;
    std::uint64_t askedSinceFirstFrame = 0;  // the player's start-up not counted
    bool inOrder = true;

    template <class Until>
    void run(std::chrono::milliseconds limit, Until until) {
        constexpr std::uint32_t kChunk = 480;
        float buffer[kChunk * 2];
        const auto start = std::chrono::steady_clock::now();
        while (!until()) {
            const auto elapsed = std::chrono::steady_clock::now() - start;
            if (elapsed > limit) break;
            const auto due = static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() * 48 / 1000);
            while (askedFrames + kChunk <= due) {
                const std::uint32_t taken = readRing(slot, buffer, kChunk);
                askedFrames += kChunk;
                if (received + taken > 0) askedSinceFirstFrame += kChunk;
                if (inOrder && !holdsSignal(buffer, taken, received)) {
                    ADD_FAILURE() << holdsSignal(buffer, taken, received).message();
                    inOrder = false;
                }
                received += taken;
            }
            Sleep(2);
        }
    }
};

TEST_F(CardRingPeer, EveryFrameArrivesOnceAndInOrder) {
    ring_testing::AsyncProgram peer(L"ring_peer.exe", peerArguments(ring.created, L"stream"));
    ASSERT_TRUE(peer.started());

    RealTimeReader reader{ring.slot};
    reader.run(std::chrono::milliseconds(2000), [] { return false; });
    closeRing(ring.slot, core::RingCloseReason::ByQova);  // the peer wakes on the event and stops

    const testing_support::ProcessResult result = peer.finish(5000);
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    unsigned reason = 0;
    unsigned long long written = 0;
    ASSERT_EQ(std::sscanf(result.output.c_str(), "closed %u written %llu", &reason, &written), 2) << result.output;
    EXPECT_EQ(reason, 1u);
    EXPECT_TRUE(reader.inOrder);
    EXPECT_EQ(ring.section->u64(kReadPosAt), reader.received);
    EXPECT_EQ(ring.section->u64(kWritePosAt), written);
    // It kept close to its target and never ran further ahead than the ring holds.
    EXPECT_GE(written, reader.received);
    EXPECT_LE(written - reader.received, ring.capacity());
    // Most of what the output asked for came from the player (dropouts under a loaded Wine
    // are allowed; a stalled stream is not).
    EXPECT_GT(reader.received, reader.askedSinceFirstFrame / 2);
    std::printf("peer stream: %llu frames asked since the first arrived, %llu received, %llu underrun frames\n",
                static_cast<unsigned long long>(reader.askedSinceFirstFrame),
                static_cast<unsigned long long>(reader.received),
                static_cast<unsigned long long>(ring.section->u64(kUnderrunAt)));
}

TEST_F(CardRingPeer, PeerGivesUpAfterItsLastFrame) {
    constexpr std::uint64_t kFrames = 20000;  // about 0.4 s, several laps of the target
    ring_testing::AsyncProgram peer(L"ring_peer.exe",
                                    peerArguments(ring.created, (L"frames " + std::to_wstring(kFrames)).c_str()));
    ASSERT_TRUE(peer.started());

    RealTimeReader reader{ring.slot};
    reader.run(std::chrono::milliseconds(3000), [&] { return ring.section->u32(kCloseReasonAt) != 0; });
    EXPECT_EQ(ring.section->u32(kCloseReasonAt), 2u);
    EXPECT_TRUE(reader.inOrder);
    EXPECT_EQ(reader.received, kFrames);
    // From now on the ring plays silence until QOVA closes it for the player.
    float buffer[2 * 16];
    EXPECT_EQ(readRing(ring.slot, buffer, 16), 0u);
    closeRing(ring.slot, core::RingCloseReason::ByPlayer);
    EXPECT_EQ(ring.section->u32(kCloseReasonAt), 2u);

    const testing_support::ProcessResult result = peer.finish(5000);
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    unsigned long long written = 0;
    EXPECT_EQ(std::sscanf(result.output.c_str(), "gave up written %llu", &written), 1) << result.output;
    EXPECT_EQ(written, kFrames);
}

}  // namespace
}  // namespace win
