#include "tools/player/RingProducer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "RingSignal.h"
#include "RingTestSupport.h"
#include "win/base/Text.h"
#include "win/ring/CardRing.h"

namespace tools {
namespace {

using ring_testing::holdsSignal;
using ring_testing::kCloseReasonAt;
using ring_testing::kReadPosAt;
using ring_testing::kWritePosAt;
using ring_testing::read;
using ring_testing::TestRing;

std::vector<float> signal(std::uint64_t position, std::uint32_t frames) {
    std::vector<float> samples(std::size_t{frames} * 2);
    ring_signal::fill(samples.data(), position, frames);
    return samples;
}

// A section made to look like a ring (or almost), to see what the producer accepts.
struct FakeRing {
    FakeRing(std::size_t sectionBytes, bool withEvent) {
        static int counter = 0;
        mapping = "Local\\qova-fake-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        event = mapping + "-need";
        section.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         static_cast<DWORD>(sectionBytes), win::toWide(mapping).c_str()));
        view.reset(MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (withEvent) needEvent.reset(CreateEventW(nullptr, FALSE, FALSE, win::toWide(event).c_str()));
        if (!view) return;
        auto* header = static_cast<core::RingHeader*>(view.get());
        std::memcpy(header->magic, "QOVA", 4);
        header->version = 1;
        header->rate = 48000;
        header->channels = 2;
        header->capacity = 8192;
        header->target = 1216;
        header->period = 480;
        header->dataOffset = 256;
    }
    core::RingHeader& header() const { return *static_cast<core::RingHeader*>(view.get()); }

    std::string mapping;
    std::string event;
    win::UniqueHandle section;
    win::MappedView view;
    win::UniqueHandle needEvent;
};

// The write, wait and give-up tests start from a producer attached to a ring of a 480-frame
// period.
class ProducerOnRing : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ring.ok()) << ring.result;
        ASSERT_EQ(producer.open(ring.created.mapping, ring.created.event), "");
    }

    TestRing ring{480};
    RingProducer producer;
};
using RingProducerWrite = ProducerOnRing;
using RingProducerWait = ProducerOnRing;
using RingProducerGiveUp = ProducerOnRing;

TEST(RingProducerOpen, AcceptsARingMadeByQova) {
    TestRing ring(4459);
    ASSERT_TRUE(ring.ok());
    RingProducer producer;
    EXPECT_EQ(producer.closeReason(), 1u);  // nothing open yet counts as closed
    ASSERT_EQ(producer.open(ring.created.mapping, ring.created.event), "");
    EXPECT_TRUE(producer.isOpen());
    EXPECT_EQ(producer.capacityFrames(), 65536u);
    EXPECT_EQ(producer.targetFrames(), 9174u);
    EXPECT_EQ(producer.periodFrames(), 4459u);
    EXPECT_EQ(producer.writtenFrames(), 0u);
    EXPECT_EQ(producer.fillFrames(), 0u);
    EXPECT_EQ(producer.spaceFrames(), 65536u);
    EXPECT_EQ(producer.framesBelowTarget(), 9174u);
    EXPECT_EQ(producer.closeReason(), 0u);
}

TEST(RingProducerOpen, RefusesWhatItCannotFillSafely) {
    constexpr std::size_t kSectionBytes = 256 + 8192 * 8;
    struct Case {
        const char* what;
        std::function<void(FakeRing&)> change;
        const char* expected;
        bool withEvent = true;
        std::size_t sectionBytes = kSectionBytes;
    };
    const Case cases[] = {
        {"a good fake", [](FakeRing&) {}, ""},
        {"no section", [](FakeRing& f) { f.mapping += "-missing"; }, "cannot open the section"},
        {"no event", [](FakeRing&) {}, "cannot open the event", false},
        {"magic", [](FakeRing& f) { f.header().magic[3] = 'B'; }, "not a card ring"},
        {"version", [](FakeRing& f) { f.header().version = 2; }, "unsupported version"},
        {"rate", [](FakeRing& f) { f.header().rate = 44100; }, "unsupported format"},
        {"channels", [](FakeRing& f) { f.header().channels = 1; }, "unsupported format"},
        {"capacity zero", [](FakeRing& f) { f.header().capacity = 0; }, "bad ring size"},
        {"capacity not a power of two", [](FakeRing& f) { f.header().capacity = 6000; }, "bad ring size"},
        {"capacity beyond the section", [](FakeRing& f) { f.header().capacity = 16384; }, "bad ring size"},
        {"capacity huge", [](FakeRing& f) { f.header().capacity = 0x80000000u; }, "bad ring size"},
        {"data inside the header", [](FakeRing& f) { f.header().dataOffset = 128; }, "bad ring size"},
        {"data misaligned", [](FakeRing& f) { f.header().dataOffset = 258; }, "bad ring size"},
        {"data beyond the section", [](FakeRing& f) { f.header().dataOffset = 8192; }, "bad ring size"},
        {"section too small", [](FakeRing&) {}, "bad ring size", true, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeRing fake(c.sectionBytes, c.withEvent);
        ASSERT_TRUE(fake.view);
        c.change(fake);
        RingProducer producer;
        EXPECT_EQ(producer.open(fake.mapping, fake.event), c.expected);
        EXPECT_EQ(producer.isOpen(), std::string(c.expected).empty());
    }
}

TEST_F(RingProducerWrite, NeverOverwritesUnreadFrames) {
    EXPECT_EQ(producer.write(signal(0, 10000).data(), 10000), 8192u);
    EXPECT_EQ(producer.spaceFrames(), 0u);
    EXPECT_EQ(producer.framesBelowTarget(), 0u);
    EXPECT_EQ(producer.write(signal(8192, 10).data(), 10), 0u);
    ASSERT_EQ(read(ring.slot, 100).taken, 100u);
    EXPECT_EQ(producer.spaceFrames(), 100u);
    EXPECT_EQ(producer.write(signal(8192, 150).data(), 150), 100u);
    EXPECT_EQ(producer.writtenFrames(), 8292u);
    EXPECT_EQ(ring.section->u64(kWritePosAt), 8292u);

    // What QOVA reads is the stream, unbroken across the wrap.
    ring_testing::ReadResult rest = read(ring.slot, 8192);
    EXPECT_EQ(rest.taken, 8192u);
    EXPECT_TRUE(holdsSignal(rest.samples.data(), 8192, 100));

    // A read position that makes no sense never opens up more than a ring's worth of space.
    ring.section->setU64(kReadPosAt, 0);  // far behind: the ring looks over-full
    EXPECT_EQ(producer.spaceFrames(), 0u);
    ring.section->setU64(kReadPosAt, std::uint64_t{1} << 40);  // ahead of the writer: looks empty
    EXPECT_EQ(producer.fillFrames(), 0u);
    EXPECT_EQ(producer.spaceFrames(), 8192u);
}

TEST_F(RingProducerWrite, WrapsAtCapacityAndKeepsItsOwnPosition) {
    ASSERT_EQ(producer.write(signal(0, 8189).data(), 8189), 8189u);
    ASSERT_EQ(read(ring.slot, 8189).taken, 8189u);

    EXPECT_EQ(producer.write(signal(8189, 7).data(), 7), 7u);
    EXPECT_EQ(ring.section->u64(kWritePosAt), 8196u);
    EXPECT_EQ(producer.fillFrames(), 7u);
    EXPECT_EQ(producer.framesBelowTarget(), 1216u - 7);
    for (std::uint32_t index : {8189u, 8190u, 8191u}) {
        EXPECT_EQ(ring.section->sample(index, 0), ring_signal::left(index)) << index;
        EXPECT_EQ(ring.section->sample(index, 1), ring_signal::right(index)) << index;
    }
    for (std::uint32_t index : {0u, 1u, 2u, 3u}) {
        EXPECT_EQ(ring.section->sample(index, 0), ring_signal::left(8192 + index)) << index;
        EXPECT_EQ(ring.section->sample(index, 1), ring_signal::right(8192 + index)) << index;
    }
    EXPECT_EQ(ring.section->sample(4, 0), ring_signal::left(4));  // the old lap, untouched

    // Someone else rewriting writePos does not move where the producer writes next.
    ring.section->setU64(kWritePosAt, 123456789);
    EXPECT_EQ(producer.write(signal(8196, 2).data(), 2), 2u);
    EXPECT_EQ(ring.section->u64(kWritePosAt), 8198u);
    EXPECT_EQ(ring.section->sample(4, 0), ring_signal::left(8196));
    EXPECT_EQ(ring.section->sample(5, 0), ring_signal::left(8197));
}

TEST_F(RingProducerWait, WakesAfterEachReadAndAtClose) {
    EXPECT_FALSE(producer.waitForNeed(0));
    read(ring.slot, 480);
    EXPECT_TRUE(producer.waitForNeed(0));
    EXPECT_FALSE(producer.waitForNeed(20));
    read(ring.slot, 480);
    read(ring.slot, 480);
    EXPECT_TRUE(producer.waitForNeed(0));  // one wake for any number of reads since the last
    EXPECT_FALSE(producer.waitForNeed(0));

    win::closeRing(ring.slot, core::RingCloseReason::ByQova);
    EXPECT_TRUE(producer.waitForNeed(0));
    EXPECT_EQ(producer.closeReason(), 1u);
    EXPECT_EQ(producer.write(signal(0, 10).data(), 10), 0u);
    EXPECT_EQ(ring.section->u64(kWritePosAt), 0u);
    producer.giveUp();  // too late: QOVA's reason stays
    EXPECT_EQ(ring.section->u32(kCloseReasonAt), 1u);
}

TEST_F(RingProducerGiveUp, StoresTwoAndQovaPlaysSilence) {
    ASSERT_EQ(producer.write(signal(0, 1000).data(), 1000), 1000u);
    producer.giveUp();
    EXPECT_EQ(ring.section->u32(kCloseReasonAt), 2u);
    EXPECT_EQ(producer.closeReason(), 2u);
    EXPECT_EQ(read(ring.slot, 480).taken, 0u);
    EXPECT_EQ(producer.write(signal(1000, 10).data(), 10), 0u);
}

}  // namespace
}  // namespace tools
