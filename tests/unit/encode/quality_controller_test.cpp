#include <gtest/gtest.h>

#include "common/clock.h"
#include "encode/quality_controller.h"
#include "encode_test_util.h"

namespace kvd {
namespace {

QualityConfig q1080(uint32_t fps = 30, uint32_t kbps = 4000) {
    return makeBaseQuality(fps, kbps, 1920, 1080);
}

QualityFeedback fb(float loss, uint32_t rtt = 0) {
    QualityFeedback f;
    f.packetLoss = loss;
    f.rttMs = rtt;
    return f;
}

struct Recorder {
    std::vector<QualityConfig> configs;
    std::vector<DegradationLevel> levels;
    void attach(QualityController& c) {
        c.setOnConfigChanged([this](const QualityConfig& q) { configs.push_back(q); });
        c.setOnLevelChanged([this](DegradationLevel l) { levels.push_back(l); });
    }
};

TEST(QualityConfig, NormaliseAndNames) {
    struct Case {
        QualityConfig in, out;
    };
    const Case cases[] = {
        {{0, 100, 200, 0, 0, 0}, {5, 200, 200, 15, 640, 480}},
        {{30, 4000, 200, 1, 1920, 1080}, {30, 4000, 200, 60, 1920, 1080}},
        {{7, 300, 150, 99, 1365, 767}, {7, 300, 150, 15, 1364, 766}},
    };
    for (const auto& c : cases) {
        QualityConfig q = c.in;
        normalise(q);
        EXPECT_EQ(q, c.out);
    }
    const std::pair<int, const char*> levels[] = {
        {0, "normal"},   {1, "reduced"},       {2, "low_bandwidth"}, {3, "critical"},
        {4, "survival"}, {5, "terminal_only"}, {6, "unknown"},       {255, "unknown"}};
    for (const auto& [v, name] : levels)
        EXPECT_STREQ(degradationLevelName(static_cast<DegradationLevel>(v)), name);
    const std::pair<uint32_t, const char*> presets[] = {{0, "best_quality"},  {1, "balanced"},
                                                        {2, "low_bandwidth"}, {3, "custom"},
                                                        {4, "responsive"},    {9, "custom"}};
    for (const auto& [v, name] : presets) EXPECT_STREQ(qualityPresetName(v), name);
    EXPECT_EQ(makeBaseQuality(30, 4000, 0, 0).height, 1080u);  // no capture yet
}

TEST(QualityController, HeavyLossStepsDownOncePerInterval) {
    ManualClock clock;
    QualityController ctl(q1080(), clock);
    Recorder rec;
    rec.attach(ctl);
    test::LogRecorder log;

    EXPECT_TRUE(ctl.update(fb(0.2f)));
    QualityConfig c = ctl.current();
    EXPECT_EQ(c.height, 900u);
    EXPECT_EQ(c.width, 1600u);
    EXPECT_EQ(c.bitrateKbps, 3200u);
    EXPECT_EQ(c.fps, 30u);
    EXPECT_EQ(ctl.level(), DegradationLevel::LowBandwidth);
    EXPECT_TRUE(log.has("[ABR] loss 20.0% >= 15.0% -> 900p"));
    EXPECT_TRUE(log.has("[ABR] loss 20.0% >= 5.0% -> 3200 kbps"));

    clock.advanceMs(4999);
    EXPECT_FALSE(ctl.update(fb(0.2f)));
    EXPECT_EQ(ctl.current(), c);
    ASSERT_EQ(rec.configs.size(), 1u);
    EXPECT_EQ(rec.configs[0], c);
    EXPECT_EQ(rec.levels, std::vector<DegradationLevel>{DegradationLevel::LowBandwidth});

    clock.advanceMs(1);
    EXPECT_TRUE(ctl.update(fb(0.0f, 200)));
    EXPECT_EQ(ctl.current().fps, 15u);
    EXPECT_EQ(ctl.current().keyframeIntervalFrames, 30u);
    EXPECT_TRUE(log.has("[ABR] rtt 200ms >= 150ms -> 15 fps"));
    EXPECT_EQ(ctl.level(), DegradationLevel::Reduced);
}

TEST(QualityController, LossRuleStopsAtThePresetsMinimumHeight) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"best_quality", 720}, {"balanced", 480}, {"custom", 360}};
    for (const auto& [preset, floor] : cases) {
        SCOPED_TRACE(preset);
        ManualClock clock;
        QualityController ctl(q1080(), clock);
        ASSERT_TRUE(ctl.setPreset(preset));
        for (int i = 0; i < 20; ++i) {
            ctl.update(fb(0.5f));
            clock.advanceMs(5000);
        }
        EXPECT_EQ(ctl.current().height, floor);
        EXPECT_EQ(ctl.current().bitrateKbps, 200u);  // the floor
    }
}

TEST(QualityController, RecoveryRaisesStepByStepAfterTenStableSeconds) {
    ManualClock clock;
    QualityController ctl(q1080(), clock);
    const int64_t t0 = clock.nowMs();
    ctl.update(fb(0.2f, 200));  // 900p, 3200, 15 fps
    clock.setMs(t0 + 5000);
    ctl.update(fb(0.2f, 200));  // 720p, 2560
    ASSERT_EQ(ctl.current().height, 720u);
    ASSERT_EQ(ctl.current().bitrateKbps, 2560u);

    struct Step {
        int64_t at;
        bool changed;
        uint32_t kbps, fps, width, height;
    };
    const Step steps[] = {
        {10000, false, 2560, 15, 1280, 720},  // only 5 s without bad feedback
        {15000, true, 2944, 20, 1600, 900},  {17000, false, 2944, 20, 1600, 900},
        {20000, true, 3385, 25, 1920, 1080}, {25000, true, 3892, 30, 1920, 1080},
        {30000, true, 4000, 30, 1920, 1080}, {35000, false, 4000, 30, 1920, 1080},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.at);
        clock.setMs(t0 + s.at);
        EXPECT_EQ(ctl.update(fb(0.0f)), s.changed);
        const QualityConfig c = ctl.current();
        EXPECT_EQ(c.bitrateKbps, s.kbps);
        EXPECT_EQ(c.fps, s.fps);
        EXPECT_EQ(c.width, s.width);
        EXPECT_EQ(c.height, s.height);
    }
    EXPECT_EQ(ctl.level(), DegradationLevel::Normal);
}

// 768 lines is not on the ladder: the last step up lands on it instead of
// stopping at 720 for good.
TEST(QualityController, StepUpReachesABaseHeightOffTheLadder) {
    ManualClock clock;
    QualityController ctl(makeBaseQuality(30, 4000, 1366, 768), clock);
    const int64_t t0 = clock.nowMs();
    ctl.update(fb(0.2f));
    clock.setMs(t0 + 5000);
    ctl.update(fb(0.2f));
    ASSERT_EQ(ctl.current().height, 600u);
    clock.setMs(t0 + 15000);
    ctl.update(fb(0.0f));
    EXPECT_EQ(ctl.current().height, 720u);
    clock.setMs(t0 + 20000);
    ctl.update(fb(0.0f));
    EXPECT_EQ(ctl.current().height, 768u);
    EXPECT_EQ(ctl.current().width, 1366u);
}

TEST(QualityController, LowBandwidthPresetNeverStepsUp) {
    ManualClock clock;
    QualityController ctl(q1080(), clock);
    ASSERT_TRUE(ctl.setPreset("low_bandwidth"));
    const QualityConfig c = ctl.current();
    clock.advanceMs(60000);
    EXPECT_FALSE(ctl.update(fb(0.0f)));
    EXPECT_EQ(ctl.current(), c);
}

TEST(QualityController, PresetsSetCurrentAndFloor) {
    struct Case {
        const char* name;
        QualityConfig expected;
        uint32_t minHeight;
    };
    const Case cases[] = {
        {"best_quality", {30, 4000, 200, 60, 1920, 1080}, 720},
        {"balanced", {30, 4000, 200, 60, 1920, 1080}, 480},
        {"low_bandwidth", {15, 500, 150, 30, 1280, 720}, 480},
        {"custom", {30, 4000, 200, 60, 1920, 1080}, 360},
        {"responsive", {60, 6000, 200, 120, 1920, 1080}, 480},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ManualClock clock;
        QualityController ctl(q1080(), clock);
        Recorder rec;
        rec.attach(ctl);
        ctl.setPreset("best_quality");  // start from a known preset
        rec.configs.clear();
        test::LogRecorder log;
        ASSERT_TRUE(ctl.setPreset(c.name));
        EXPECT_TRUE(log.has(std::string("[ABR] preset -> ") + c.name));
        EXPECT_EQ(ctl.current(), c.expected);
        EXPECT_EQ(ctl.minHeight(), c.minHeight);
        EXPECT_EQ(rec.configs.size(), ctl.current() == q1080() ? 0u : 1u);
        EXPECT_TRUE(rec.levels.empty());
    }
    // The responsive bitrate is capped at 8000.
    ManualClock clock;
    QualityController big(q1080(30, 6000), clock);
    big.setPreset("responsive");
    EXPECT_EQ(big.current().bitrateKbps, 8000u);
}

TEST(QualityController, PresetMessages) {
    ManualClock clock;
    QualityController ctl(q1080(), clock);
    Recorder rec;
    rec.attach(ctl);
    ctl.setPreset("low_bandwidth");
    const QualityConfig before = ctl.current();
    rec.configs.clear();

    EXPECT_FALSE(applyQualityPresetMessage(ctl, Json{{"preset", "ultra"}}));
    EXPECT_EQ(ctl.current(), before);
    EXPECT_EQ(ctl.preset(), QualityPreset::LowBandwidth);
    EXPECT_TRUE(rec.configs.empty());

    // "custom" without limits: 30 fps, 8000 kbps, 1920 x 1080.
    EXPECT_TRUE(applyQualityPresetMessage(ctl, Json{{"preset", "custom"}}));
    EXPECT_EQ(ctl.customLimits().fps, 30u);
    EXPECT_EQ(ctl.customLimits().bitrateKbps, 8000u);
    EXPECT_EQ(ctl.customLimits().width, 1920u);
    EXPECT_EQ(ctl.customLimits().height, 1080u);
    EXPECT_EQ(ctl.current().bitrateKbps, 4000u);  // never above the base
    EXPECT_EQ(ctl.preset(), QualityPreset::Custom);

    // Viewer limits beyond what can be encoded are clamped: fps to 120, the
    // size to the capture; fields of the wrong type take their defaults.
    EXPECT_TRUE(applyQualityPresetMessage(ctl, Json{{"preset", "custom"},
                                                    {"maxFps", 500},
                                                    {"maxHeight", 4320},
                                                    {"maxWidth", 7680},
                                                    {"maxBitrateKbps", "lots"}}));
    EXPECT_EQ(ctl.customLimits().fps, 120u);
    EXPECT_EQ(ctl.customLimits().height, 1080u);
    EXPECT_EQ(ctl.customLimits().width, 1920u);
    EXPECT_EQ(ctl.customLimits().bitrateKbps, 8000u);

    EXPECT_TRUE(applyQualityPresetMessage(
        ctl, Json{{"preset", "custom"}, {"maxHeight", 720}, {"maxFps", 24}}));
    EXPECT_EQ(ctl.current().height, 720u);
    EXPECT_EQ(ctl.current().fps, 24u);

    EXPECT_TRUE(applyQualityPresetMessage(ctl, Json{{"preset", 3}}));  // wrong type: balanced
    EXPECT_EQ(ctl.preset(), QualityPreset::Balanced);
}

TEST(QualityController, LevelRules) {
    struct Case {
        const char* what;
        QualityFeedback feedback;
        bool survival, terminal;
        float loadA;
        DegradationLevel level;
    };
    const Case cases[] = {
        {"clean", fb(0.0f, 20), false, false, 0, DegradationLevel::Normal},
        {"loss 5%", fb(0.05f), false, false, 0, DegradationLevel::Reduced},
        {"rtt 150", fb(0.0f, 150), false, false, 0, DegradationLevel::Reduced},
        {"loss 15%", fb(0.15f), false, false, 0, DegradationLevel::LowBandwidth},
        {"load", fb(0.0f), false, false, 0.8f, DegradationLevel::Critical},
        {"survival off", fb(0.0f, 400), false, false, 0, DegradationLevel::Reduced},
        {"survival", fb(0.0f, 300), true, false, 0, DegradationLevel::Survival},
        {"terminal", fb(0.0f, 300), true, true, 0, DegradationLevel::TerminalOnly},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ManualClock clock;
        QualityController ctl(q1080(), clock);
        ctl.setSurvivalEnabled(c.survival);
        ctl.setTerminalOnly(c.terminal);
        ctl.setLoad(c.loadA, 0.0f);
        ctl.update(c.feedback);
        EXPECT_EQ(ctl.level(), c.level);
        if (c.level == DegradationLevel::Survival) {
            const QualityConfig q = ctl.current();
            EXPECT_EQ(q.height, 480u);
            EXPECT_EQ(q.width, 852u);
            EXPECT_EQ(q.fps, 5u);
            EXPECT_EQ(q.bitrateKbps, 300u);
        }
    }
}

// Both callbacks run without the lock: they may read the controller.
TEST(QualityController, CallbacksMayCallBackIn) {
    ManualClock clock;
    QualityController ctl(q1080(), clock);
    QualityConfig seen;
    DegradationLevel seenLevel = DegradationLevel::Normal;
    ctl.setOnConfigChanged([&](const QualityConfig&) { seen = ctl.current(); });
    ctl.setOnLevelChanged([&](DegradationLevel) { seenLevel = ctl.level(); });
    ctl.update(fb(0.3f));
    EXPECT_EQ(seen.height, 900u);
    EXPECT_EQ(seenLevel, DegradationLevel::LowBandwidth);
    ctl.setPreset("responsive");
    EXPECT_EQ(seen.fps, 60u);
}

TEST(QualityMessages, FeedbackFieldsAreToleratedAndClamped) {
    struct Case {
        Json msg;
        float loss;
        uint32_t rtt, jitter;
    };
    const Case cases[] = {
        {Json::object(), 0.0f, 0, 0},
        {Json{{"packetLoss", 0.2}, {"rttMs", 120.7}, {"jitterMs", 3}}, 0.2f, 120, 3},
        {Json{{"packetLoss", "0.5"}, {"rttMs", "x"}, {"jitterMs", nullptr}}, 0.0f, 0, 0},
        {Json{{"packetLoss", -1}, {"rttMs", -5}}, 0.0f, 0, 0},
        {Json{{"packetLoss", 7}, {"rttMs", 1e12}}, 1.0f, 4294967295u, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.msg.dump());
        const QualityFeedback f = qualityFeedbackFromJson(c.msg);
        EXPECT_FLOAT_EQ(f.packetLoss, c.loss);
        EXPECT_EQ(f.rttMs, c.rtt);
        EXPECT_EQ(f.jitterMs, c.jitter);
    }
}

TEST(QualityPlans, ViewerRequestsAreCappedToTheCapture) {
    struct Case {
        int64_t maxHeight, fps;
        int32_t capW, capH, curFps, kbps;
        EncodePlan want;
    };
    const Case cases[] = {
        {480, 0, 1920, 1080, 30, 10000, {852, 480, 30, 400}},
        {0, 0, 1920, 1080, 30, 10000, {1920, 1080, 30, 10000}},
        {5000, 500, 1920, 1080, 30, 10000, {1920, 1080, 120, 10000}},
        {720, -3, 1280, 720, 25, 3000, {1280, 720, 25, 1000}},
        {0, 60, 1366, 767, 30, 800, {1366, 766, 60, 800}},
        {1, 0, 1920, 1080, 30, 5000, {2, 2, 30, 400}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maxHeight);
        const EncodePlan p =
            planViewerQuality(c.maxHeight, c.fps, c.capW, c.capH, c.curFps, c.kbps);
        EXPECT_EQ(p.width, c.want.width);
        EXPECT_EQ(p.height, c.want.height);
        EXPECT_EQ(p.fps, c.want.fps);
        EXPECT_EQ(p.bitrateKbps, c.want.bitrateKbps);
    }
    QualityConfig q = q1080();
    q.height = 2160;
    EncodePlan p = planAdaptiveQuality(q, 1280, 720);
    EXPECT_EQ(p.width, 1280);
    EXPECT_EQ(p.height, 720);
    q.height = 900;
    p = planAdaptiveQuality(q, 1920, 1080);
    EXPECT_EQ(p.width, 1600);
    EXPECT_EQ(p.height, 900);
}

}  // namespace
}  // namespace kvd
