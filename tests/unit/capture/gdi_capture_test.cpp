#include <gtest/gtest.h>

#include "capture/gdi_capture.h"
#include "capture_fakes.h"

namespace kvd {
namespace {

using namespace kvd::test;

struct GdiFixture : ::testing::Test {
    std::shared_ptr<DisplaysState> displays = std::make_shared<DisplaysState>();
    std::shared_ptr<PointerState> pointer = std::make_shared<PointerState>();
    std::shared_ptr<ProbeState> probe = std::make_shared<ProbeState>();
    std::shared_ptr<GrabberState> grabber = std::make_shared<GrabberState>();
    ManualClock clock;
    LogRecorder log;

    GdiFixture() {
        // Primary 1920 x 1080 at the origin, a second monitor to its left.
        displays->monitors = {{"DP-1", 0, 0, 1920, 1080, true},
                              {"HDMI-1", -1280, 0, 1280, 720, false}};
        displays->primaryWidth = 1920;
        displays->primaryHeight = 1080;
        probe->script = {desktopOk()};
        pointer->ok = false;
    }

    std::unique_ptr<GdiCapture> make() {
        return std::make_unique<GdiCapture>(GdiCapture::Platform{
            std::make_unique<FakeGrabber>(grabber), std::make_unique<FakeDisplays>(displays),
            std::make_unique<FakePointer>(pointer), std::make_unique<FakeProbe>(probe), &clock});
    }
};

TEST_F(GdiFixture, PrimaryOrOutOfRangeIndexCapturesThePrimaryScreenAtTheOrigin) {
    for (int32_t index : {-1, 2, 7}) {
        auto cap = make();
        ASSERT_TRUE(cap->init(index));
        EXPECT_EQ(cap->width(), 1920);
        EXPECT_EQ(cap->height(), 1080);
        EXPECT_EQ(cap->originX(), 0);
        EXPECT_EQ(cap->originY(), 0);
        const auto f = cap->captureFrame();
        EXPECT_TRUE(f.valid);
        EXPECT_EQ(f.stride, 1920 * 4);
        EXPECT_EQ(f.timestampUs, clock.nowUs());
        EXPECT_TRUE(f.dirtyRects.empty());
    }
    EXPECT_TRUE(log.has("[gdi-capture] initialized: 1920x1080 (fallback mode)"));
}

TEST_F(GdiFixture, MonitorLeftOfPrimaryGrabsFromNegativeOriginAndDrawsPointerAtHotspot) {
    auto cap = make();
    ASSERT_TRUE(cap->init(1));
    EXPECT_EQ(cap->originX(), -1280);
    EXPECT_EQ(cap->width(), 1280);
    // Pointer at desktop (-1000, 100) with hotspot (2, 3): its top-left lands
    // at (-1000 - 2 + 1280, 100 - 3) = (278, 97) in the captured image.
    pointer->ok = true;
    pointer->x = -1000;
    pointer->y = 100;
    pointer->image = solidPointer(4, 4, 2, 3, 0xFFFF0000);
    grabber->fill = 0xFF000000;
    const auto f = cap->captureFrame();
    ASSERT_TRUE(f.valid);
    ASSERT_EQ(grabber->grabbedAt.back(), (std::pair<int32_t, int32_t>{-1280, 0}));
    auto px = [&](int x, int y) { return f.data + y * f.stride + x * 4; };
    EXPECT_EQ(px(278, 97)[2], 255);  // red
    EXPECT_EQ(px(281, 100)[2], 255);
    EXPECT_EQ(px(277, 97)[2], 0);
    EXPECT_EQ(px(278, 96)[2], 0);
    EXPECT_EQ(px(282, 100)[2], 0);
}

TEST_F(GdiFixture, AGrabEqualToThePreviousOneIsMarkedUnchanged) {
    auto cap = make();
    ASSERT_TRUE(cap->init(-1));
    EXPECT_FALSE(cap->captureFrame().unchanged);
    EXPECT_TRUE(cap->captureFrame().unchanged);
    grabber->fill = 0xFF000001;
    EXPECT_FALSE(cap->captureFrame().unchanged);
    EXPECT_TRUE(cap->captureFrame().unchanged);
    // Same screen, the pointer drawn elsewhere: changed.
    pointer->ok = true;
    pointer->image = solidPointer(4, 4, 0, 0, 0xFFFF0000);
    pointer->x = 500;
    EXPECT_FALSE(cap->captureFrame().unchanged);
    EXPECT_TRUE(cap->captureFrame().unchanged);
    pointer->y = 1079;  // only the last row differs
    EXPECT_FALSE(cap->captureFrame().unchanged);
}

TEST_F(GdiFixture, InaccessibleInputDesktopFailsInitHonestly) {
    probe->script = {desktopFailed(5)};
    auto cap = make();
    EXPECT_FALSE(cap->init(-1));
    EXPECT_TRUE(cap->isDead());
    EXPECT_TRUE(log.has("[gdi-capture] input desktop inaccessible (err=5)"));
    EXPECT_TRUE(log.has("failing init honestly"));
}

TEST_F(GdiFixture, InitFailuresOfEachStep) {
    {
        grabber->connectOk = false;
        auto cap = make();
        EXPECT_FALSE(cap->init(-1));
        EXPECT_TRUE(cap->isDead());
        EXPECT_TRUE(log.has("[gdi-capture] GetDC(NULL) failed: 6"));
        grabber->connectOk = true;
    }
    {
        displays->monitors.clear();
        displays->primaryWidth = 0;
        auto cap = make();
        EXPECT_FALSE(cap->init(-1));
        EXPECT_TRUE(log.has("[gdi-capture] invalid screen dimensions 0x0"));
        displays->primaryWidth = 1920;
    }
    {
        grabber->allocateOk = false;
        auto cap = make();
        EXPECT_FALSE(cap->init(-1));
        EXPECT_TRUE(log.has("[gdi-capture] CreateDIBSection failed: 6"));
    }
}

TEST_F(GdiFixture, CaptureBeforeInitIsEmptyAndCountsNothing) {
    auto cap = make();
    const auto f = cap->captureFrame();
    EXPECT_FALSE(f.valid);
    EXPECT_EQ(f.data, nullptr);
    EXPECT_EQ(cap->consecutiveFailures(), 0);
    EXPECT_FALSE(cap->isDead());
    EXPECT_TRUE(cap->cursorShape().empty());
    EXPECT_FALSE(cap->takeCursorShapeChanged());
}

TEST_F(GdiFixture, NinetyConsecutiveFailuresKillAndOneGoodFrameResets) {
    auto cap = make();
    ASSERT_TRUE(cap->init(-1));
    // Attach failures and grab failures count together.
    probe->script = {desktopFailed(5), desktopFailed(5), desktopFailed(5), desktopOk()};
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(cap->captureFrame().valid);
    for (int i = 0; i < 86; ++i) grabber->grabScript.push_back(false);
    for (int i = 0; i < 86; ++i) EXPECT_FALSE(cap->captureFrame().valid);
    EXPECT_EQ(cap->consecutiveFailures(), 89);
    EXPECT_FALSE(cap->isDead());
    EXPECT_TRUE(cap->captureFrame().valid);
    EXPECT_TRUE(log.has("[gdi-capture] capture recovered after 89 dropped frames"));
    EXPECT_EQ(cap->consecutiveFailures(), 0);

    for (int i = 0; i < 90; ++i) grabber->grabScript.push_back(false);
    for (int i = 0; i < 89; ++i) cap->captureFrame();
    EXPECT_FALSE(cap->isDead());
    cap->captureFrame();
    EXPECT_TRUE(cap->isDead());
    // Failure lines for 1, 30, 60 and 90 of the second run only.
    for (int n : {1, 30, 60, 90})
        EXPECT_EQ(log.count("consecutive=" + std::to_string(n) + ")"), n == 90 ? 1 : 2) << n;
    EXPECT_EQ(log.count("[gdi-capture] input desktop attach failed (err=5, consecutive=1)"), 1);
    EXPECT_EQ(log.count("consecutive=2)"), 0);
    EXPECT_EQ(log.count("consecutive=89)"), 0);
}

}  // namespace
}  // namespace kvd
