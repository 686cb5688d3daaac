#include <gtest/gtest.h>

#include "features/connection_indicator.h"
#include "support/log_capture.h"
#include "unit/features/fake_windows.h"

namespace kvd {
namespace {

TEST(ConnectionIndicator, GlowAlongTheEdges) {
    EXPECT_EQ(ConnectionIndicator::glowThickness(1.0), 36);
    EXPECT_EQ(ConnectionIndicator::glowThickness(1.5), 54);
    EXPECT_EQ(ConnectionIndicator::glowThickness(0), 36);
    const int w = 1920, h = 1080;
    const auto px = ConnectionIndicator::paintGlow(w, h, 36);
    ASSERT_EQ(px.size(), size_t(w) * h);
    auto at = [&](int x, int y) { return px[size_t(y) * w + x]; };
    // premultiplied RGB(80,170,255) at 110/255 at the very edge, on all four
    const uint32_t edge = (110u << 24) | (34u << 16) | (73u << 8) | 110u;
    for (auto [x, y] : {std::pair{0, 500}, {w - 1, 500}, {900, 0}, {900, h - 1}, {0, 0}})
        EXPECT_EQ(at(x, y), edge) << x << "," << y;
    // fades quadratically: d=18 gives trunc(0.25*110)=27
    EXPECT_EQ(at(18, 500) >> 24, 27u);
    EXPECT_EQ(at(w - 19, 500) >> 24, 27u);
    // the last glowing pixel rounds to nothing; from T on nothing at all
    EXPECT_EQ(at(35, 500), 0u);
    EXPECT_EQ(at(36, 500), 0u);
    EXPECT_EQ(at(960, 540), 0u);
    size_t lit = 0;
    for (uint32_t p : px) lit += p != 0;
    // every lit pixel lies within the band
    size_t band = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            band += std::min({x, y, w - 1 - x, h - 1 - y}) < 36 && at(x, y) != 0;
    EXPECT_EQ(lit, band);
}

TEST(ConnectionIndicator, MessagesAndThread) {
    test::OverlayProbe probe;
    ConnectionIndicator ind(test::fakeOverlays(probe), 1.0);
    std::vector<IndicatorConfig> seen;
    ind.setObserver([&](const IndicatorConfig& c) { seen.push_back(c); });

    struct Case {
        const char* json;
        bool ok;
        IndicatorConfig::Mode mode;
        const char* op;
    };
    const Case cases[] = {
        {R"({"type":"connection_indicator","mode":"view_only","operatorName":"Ann","mspName":"Acme"})",
         true, IndicatorConfig::Mode::ViewOnly, "Ann"},
        {R"({"type":"connection_indicator","mode":"privacy"})", true,
         IndicatorConfig::Mode::Privacy, "Ann"},
        {R"({"type":"connection_indicator","mode":"weird","operatorName":5})", true,
         IndicatorConfig::Mode::FullControl, "Ann"},
        {R"({"type":"connection_indicator"})", true, IndicatorConfig::Mode::FullControl, "Ann"},
        {R"({"type":"annotation_clear"})", false, IndicatorConfig::Mode::FullControl, "Ann"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ind.updateFromJson(Json::parse(c.json)), c.ok) << c.json;
        EXPECT_EQ(ind.config().mode, c.mode) << c.json;
        EXPECT_EQ(ind.config().operatorName, c.op);
        EXPECT_EQ(ind.config().mspName, "Acme");
        EXPECT_TRUE(ind.config().visible);
    }
    EXPECT_FALSE(ind.updateFromJson(std::string_view("nope")));
    EXPECT_EQ(seen.size(), 4u);

    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard<std::mutex> lk(probe.mu);
        return probe.visible && !probe.lastPixels.empty();
    }));
    {
        std::lock_guard<std::mutex> lk(probe.mu);
        EXPECT_EQ(probe.created, 1);
        EXPECT_EQ(probe.options.name, "KelvandrumConnectionIndicator");
        EXPECT_EQ(probe.lastPixels, ConnectionIndicator::paintGlow(64, 48, 36));
    }
    IndicatorConfig hidden = ind.config();
    hidden.visible = false;
    ind.show(hidden);
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard<std::mutex> lk(probe.mu);
        return !probe.visible;
    }));
    ind.stop();
    EXPECT_FALSE(ind.running());
    // Shown again after a stop (a viewer that comes back): a new window.
    hidden.visible = true;
    ind.show(hidden);
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard<std::mutex> lk(probe.mu);
        return probe.created == 2 && probe.visible;
    }));
}

TEST(ConnectionIndicator, WindowFailureEndsTheThread) {
    test::OverlayProbe probe;
    test::LogCapture logs;
    ConnectionIndicator ind(test::fakeOverlays(probe, true), 1.0);
    IndicatorConfig c;
    c.visible = true;
    ind.show(c);
    ASSERT_TRUE(test::eventually(
        [&] { return logs.has("error|CreateWindowExW(border) failed: no display"); }));
    ASSERT_TRUE(test::eventually([&] { return !ind.running(); }));
}

}  // namespace
}  // namespace kvd
