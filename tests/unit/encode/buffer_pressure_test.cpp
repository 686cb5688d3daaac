#include <gtest/gtest.h>

#include "common/clock.h"
#include "encode/buffer_pressure.h"
#include "encode_test_util.h"

namespace kvd {
namespace {

TEST(BufferPressure, LevelsAndCapsFromAFreshController) {
    struct Case {
        uint64_t bytes;
        PressureLevel level;
        uint32_t kbpsFrom4000;
        uint32_t kbpsFrom300;
    };
    const Case cases[] = {
        {0, PressureLevel::High, 4000, 300},
        {51'199, PressureLevel::High, 4000, 300},
        {51'200, PressureLevel::Medium, 1500, 300},
        {153'599, PressureLevel::Medium, 1500, 300},
        {153'600, PressureLevel::Low, 500, 300},
        {307'199, PressureLevel::Low, 500, 300},
        {307'200, PressureLevel::Critical, 200, 200},
        {1'023'999, PressureLevel::Critical, 200, 200},
        {1'024'000, PressureLevel::Emergency, 200, 200},
        {uint64_t{1} << 40, PressureLevel::Emergency, 200, 200},
    };
    ManualClock clock;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        BufferPressureController a(4000, clock), b(300, clock);
        const AbrDecision d = a.tick(c.bytes);
        EXPECT_EQ(a.level(), c.level);
        EXPECT_EQ(d.bitrateKbps, c.kbpsFrom4000);
        EXPECT_EQ(d.bitrateChanged, c.level != PressureLevel::High);
        EXPECT_EQ(b.tick(c.bytes).bitrateKbps, c.kbpsFrom300);
    }
}

// Worse goes at once; better goes one level per 3 s, so EMERGENCY back to
// HIGH takes 12 s at the earliest.
TEST(BufferPressure, StepsDownImmediatelyAndRampsUpOneLevelPerThreeSeconds) {
    ManualClock clock;
    BufferPressureController ctl(4000, clock);
    test::LogRecorder log;
    AbrDecision d = ctl.tick(2'000'000);
    EXPECT_EQ(ctl.level(), PressureLevel::Emergency);
    EXPECT_EQ(d.bitrateKbps, 200u);
    EXPECT_TRUE(log.has("[ABR] HIGH -> EMERGENCY (buffered=1953KB, bitrate=200kbps)"));

    const struct {
        int64_t atMs;
        PressureLevel level;
        uint32_t kbps;
        bool changed;
    } steps[] = {
        {1, PressureLevel::Emergency, 200, false},   {2999, PressureLevel::Emergency, 200, false},
        {3000, PressureLevel::Critical, 200, true},  {5999, PressureLevel::Critical, 200, false},
        {6000, PressureLevel::Low, 500, true},       {9000, PressureLevel::Medium, 1500, true},
        {11999, PressureLevel::Medium, 1500, false}, {12000, PressureLevel::High, 4000, true},
        {20000, PressureLevel::High, 4000, false},
    };
    const int64_t start = clock.nowMs();
    for (const auto& s : steps) {
        SCOPED_TRACE(s.atMs);
        clock.setMs(start + s.atMs);
        d = ctl.tick(0);
        EXPECT_EQ(ctl.level(), s.level);
        EXPECT_EQ(d.bitrateKbps, s.kbps);
        EXPECT_EQ(d.bitrateChanged, s.changed);
    }
    EXPECT_TRUE(
        log.has("[ABR] ramp up -> CRITICAL (buffered=0KB, bitrate=200kbps, stable=3000ms)"));
    EXPECT_TRUE(log.has("[ABR] ramp up -> HIGH (buffered=0KB, bitrate=4000kbps, stable=3000ms)"));

    // A worse reading during a ramp restarts the 3 s wait.
    ctl.tick(200'000);  // LOW
    clock.advanceMs(2000);
    ctl.tick(60'000);  // MEDIUM-level reading, too soon
    EXPECT_EQ(ctl.level(), PressureLevel::Low);
    ctl.tick(400'000);  // CRITICAL
    clock.advanceMs(2000);
    ctl.tick(0);
    EXPECT_EQ(ctl.level(), PressureLevel::Critical);
}

TEST(BufferPressure, DropPatternsAndKeyframeSuppressionPerLevel) {
    struct Case {
        uint64_t bytes;
        const char* drops;  // one char per tick: d = dropFrame
        bool suppress, hard;
    };
    const Case cases[] = {
        {0, "........", false, false},       {60'000, "........", false, false},
        {200'000, ".d.d.d.d", false, false}, {500'000, ".ddd.ddd", true, false},
        {2'000'000, "dddddddd", true, true},
    };
    ManualClock clock;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        BufferPressureController ctl(4000, clock);
        std::string got;
        for (int i = 0; i < 8; ++i) {
            const AbrDecision d = ctl.tick(c.bytes);
            got += d.dropFrame ? 'd' : '.';
            EXPECT_EQ(d.suppressKeyframe, c.suppress);
            EXPECT_EQ(d.hardDrop, c.hard);
        }
        EXPECT_EQ(got, c.drops);
    }
    // Leaving LOW for HIGH/MEDIUM clears the counter: the pattern restarts.
    BufferPressureController ctl(4000, clock);
    ctl.tick(200'000);
    ctl.tick(200'000);
    ctl.tick(200'000);  // counter now odd
    clock.advanceMs(3000);
    ctl.tick(0);                                // MEDIUM, counter reset
    EXPECT_FALSE(ctl.tick(400'000).dropFrame);  // CRITICAL pattern starts at its kept frame
    EXPECT_TRUE(ctl.tick(400'000).dropFrame);
}

TEST(BufferPressure, ResetStartsOverAtTheNewBitrate) {
    ManualClock clock;
    BufferPressureController ctl(4000, clock);
    ctl.tick(500'000);
    ctl.reset(1000);
    EXPECT_EQ(ctl.level(), PressureLevel::High);
    EXPECT_EQ(ctl.currentBitrate(), 1000u);
    const AbrDecision d = ctl.tick(60'000);
    EXPECT_EQ(d.bitrateKbps, 1000u);  // MEDIUM caps at 1500: base is lower
    EXPECT_TRUE(d.bitrateChanged);
    EXPECT_FALSE(d.dropFrame);
}

TEST(BufferPressure, PeriodicSummaryEvery120Ticks) {
    ManualClock clock;
    BufferPressureController ctl(4000, clock);
    test::LogRecorder log;
    for (int i = 0; i < 240; ++i) ctl.tick(2048);
    EXPECT_EQ(log.count("[ABR] level=HIGH bitrate=4000kbps buffered=2KB"), 2);
    EXPECT_STREQ(pressureLevelName(7), "?");
}

}  // namespace
}  // namespace kvd
