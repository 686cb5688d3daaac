#include <gtest/gtest.h>

#include <cstdlib>

#include "capture/dxgi_capture.h"
#include "capture_fakes.h"

namespace kvd {
namespace {

using namespace kvd::test;
using platform::AcquireStatus;

struct DxgiFixture : ::testing::Test {
    std::shared_ptr<DuplicationState> dup = std::make_shared<DuplicationState>();
    std::shared_ptr<DisplaysState> displays = std::make_shared<DisplaysState>();
    std::shared_ptr<PointerState> pointer = std::make_shared<PointerState>();
    std::shared_ptr<GrabberState> grabber = std::make_shared<GrabberState>();
    ManualClock clock;
    std::vector<int64_t> sleeps;
    LogRecorder log;

    DxgiFixture() {
        displays->monitors = {{"DP-1", 0, 0, 64, 32, true}, {"DP-2", 64, 0, 32, 16, false}};
        dup->outputs = {{"DP-1", 0, 0, 64, 32, 1}, {"DP-2", 64, 0, 96, 16, 1}};
        dup->onWait = [this](int ms) { clock.advanceMs(ms); };
        pointer->ok = false;
    }

    std::unique_ptr<DxgiCapture> make() {
        DxgiCapture::Platform p;
        p.duplication = std::make_unique<FakeDuplication>(dup);
        p.displays = std::make_unique<FakeDisplays>(displays);
        p.pointer = std::make_unique<FakePointer>(pointer);
        p.grabber = std::make_unique<FakeGrabber>(grabber);
        p.clock = &clock;
        p.sleepMs = [this](int64_t ms) {
            sleeps.push_back(ms);
            clock.advanceMs(ms);
        };
        return std::make_unique<DxgiCapture>(std::move(p));
    }

    // A capture whose priming acquire delivered a frame of `fill` bytes.
    std::unique_ptr<DxgiCapture> primed(int32_t index = -1, uint8_t fill = 0x11) {
        dup->script.push_back(imageFrame(fill));
        auto cap = make();
        EXPECT_TRUE(cap->init(index));
        return cap;
    }
};

TEST_F(DxgiFixture, InitPrimesTheCacheFromTheFirstFrame) {
    auto cap = primed(-1, 0x42);
    EXPECT_EQ(cap->width(), 64);
    EXPECT_EQ(cap->height(), 32);
    EXPECT_EQ(dup->timeouts.front(), 2000);
    EXPECT_TRUE(log.has("Initial desktop frame captured into cache"));
    EXPECT_TRUE(log.has("DXGI capture initialized: 64x32 (attempt 1)"));
    // The next tick times out and serves the cached image.
    const auto f = cap->captureFrame();
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.data[0], 0x42);
    EXPECT_EQ(f.stride, 64 * 4);
    EXPECT_TRUE(f.dirtyRects.empty());
    EXPECT_EQ(dup->timeouts.back(), 33);
    cap->setCursorOverlay(true);
    cap->captureFrame();
    EXPECT_EQ(dup->timeouts.back(), 8);
}

TEST_F(DxgiFixture, UnknownMonitorIndexFailsAfterFiveAttempts) {
    auto cap = make();
    EXPECT_FALSE(cap->init(2));
    EXPECT_TRUE(cap->isDead());
    EXPECT_FALSE(cap->diedStarved());
    EXPECT_EQ(log.count("Monitor index 2 not found via EnumDisplayMonitors"), 5);
    EXPECT_EQ(log.count("DXGI init attempt"), 4);
    EXPECT_TRUE(log.has("DXGI init failed after 5 attempts"));
    // 200 ms nudge, then 1000 + 200 ms between attempts.
    EXPECT_EQ(sleeps, (std::vector<int64_t>{200, 1000, 200, 1000, 200, 1000, 200, 1000, 200}));
    EXPECT_FALSE(cap->captureFrame().valid);
}

TEST_F(DxgiFixture, NoFirstFrameWithinFiveSecondsStarves) {
    auto cap = make();
    ASSERT_TRUE(cap->init(-1));  // priming timed out: still initialised
    EXPECT_FALSE(log.has("Initial desktop frame"));
    // Each timeout advances 33 ms; 5 s pass after about 152 ticks.
    int ticks = 0;
    while (!cap->isDead() && ticks < 200) {
        EXPECT_FALSE(cap->captureFrame().valid);
        ++ticks;
    }
    EXPECT_TRUE(cap->isDead());
    EXPECT_TRUE(cap->diedStarved());
    EXPECT_GE(ticks * 33, 5000);
    EXPECT_LE(ticks * 33, 5100);
    EXPECT_EQ(log.count("delivered no first frame within 5s of init"), 1);
}

TEST_F(DxgiFixture, PointerIsDrawnIntoACopyNeverIntoTheCache) {
    pointer->ok = true;
    pointer->x = 10;
    pointer->y = 10;
    pointer->image = solidPointer(2, 2, 1, 1, 0xFFFFFFFF);
    auto cap = primed(-1, 0x00);
    // Non-overlay mode needs a stored shape: deliver it with a frame.
    auto shaped = imageFrame(0x00);
    shaped.info.hasPointerShape = true;
    shaped.info.pointerShape = {2, 2, 2, 8, 1, 1, std::vector<uint8_t>(16, 0xFF)};
    shaped.info.pointerUpdated = true;
    shaped.info.pointerVisible = true;
    shaped.info.pointerX = 10;
    shaped.info.pointerY = 10;
    dup->script.push_back(shaped);
    auto px = [](const CapturedFrame& f, int x, int y) { return f.data[y * f.stride + x * 4]; };
    auto f = cap->captureFrame();
    EXPECT_EQ(px(f, 9, 9), 255);  // at position minus hotspot
    EXPECT_EQ(px(f, 10, 10), 255);
    EXPECT_EQ(px(f, 11, 11), 0);
    // Static screen, pointer moved: the old spot must be clean again.
    pointer->x = 30;
    pointer->y = 20;
    f = cap->captureFrame();
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(px(f, 9, 9), 0);
    EXPECT_EQ(px(f, 29, 19), 255);
    // With the overlay the viewer draws it: the image is untouched.
    cap->setCursorOverlay(true);
    f = cap->captureFrame();
    EXPECT_EQ(px(f, 29, 19), 0);
}

TEST_F(DxgiFixture, TimeoutAndPointerOnlyFramesAreUnchangedUnlessTheDrawnPointerMoved) {
    auto cap = primed(-1, 0x00);
    cap->setCursorOverlay(true);
    auto f = cap->captureFrame();
    EXPECT_FALSE(f.unchanged);  // the first image since set-up is news
    EXPECT_TRUE(f.dirtyRects.empty());
    f = cap->captureFrame();
    EXPECT_TRUE(f.unchanged);
    Acquire pointerOnly = statusOnly(AcquireStatus::Ok);
    pointerOnly.info.pointerUpdated = true;
    pointerOnly.info.pointerVisible = true;
    pointerOnly.info.pointerX = 20;
    dup->script.push_back(pointerOnly);
    EXPECT_TRUE(cap->captureFrame().unchanged);  // the viewer draws the pointer
    // A damaged region: only that region of the cache is refreshed.
    dup->script.push_back(imageFrame(0x33, {{0, 0, 4, 2}}));
    f = cap->captureFrame();
    EXPECT_FALSE(f.unchanged);
    ASSERT_EQ(f.dirtyRects.size(), 1u);
    EXPECT_EQ(f.data[0], 0x33);
    EXPECT_EQ(f.data[1 * f.stride + 3 * 4], 0x33);
    EXPECT_EQ(f.data[2 * f.stride], 0x00);
    EXPECT_EQ(f.data[4 * 4], 0x00);

    // The pointer drawn into the image: a move changes two small regions.
    pointer->ok = true;
    pointer->x = 10;
    pointer->y = 10;
    auto shaped = imageFrame(0x00);
    shaped.info.hasPointerShape = true;
    shaped.info.pointerShape = {2, 2, 2, 8, 1, 1, std::vector<uint8_t>(16, 0xFF)};
    shaped.info.pointerUpdated = true;
    shaped.info.pointerVisible = true;
    shaped.info.pointerX = 10;
    shaped.info.pointerY = 10;
    dup->script.push_back(shaped);
    cap->setCursorOverlay(false);
    f = cap->captureFrame();
    EXPECT_FALSE(f.unchanged);
    EXPECT_TRUE(f.dirtyRects.empty());  // handed over from the overlay: not known
    f = cap->captureFrame();
    EXPECT_TRUE(f.unchanged);
    pointer->x = 30;
    pointer->y = 20;
    f = cap->captureFrame();
    EXPECT_FALSE(f.unchanged);
    EXPECT_EQ(f.dirtyRects, (std::vector<DirtyRect>{{9, 9, 2, 2}, {29, 19, 2, 2}}));
    EXPECT_EQ(f.data[9 * f.stride + 9 * 4], 0x00);
    EXPECT_EQ(f.data[19 * f.stride + 29 * 4], 0xFF);
    // Damage under the pointer: the region is refreshed and the pointer stays on top.
    dup->script.push_back(imageFrame(0x44, {{28, 18, 32, 22}}));
    f = cap->captureFrame();
    EXPECT_EQ(f.dirtyRects, (std::vector<DirtyRect>{{28, 18, 4, 4}}));  // the pointer did not move
    EXPECT_EQ(f.data[18 * f.stride + 28 * 4], 0x44);
    EXPECT_EQ(f.data[19 * f.stride + 29 * 4], 0xFF);
    EXPECT_EQ(f.data[0], 0x00);
}

TEST_F(DxgiFixture, DirtyRectanglesFollowTheRotationAndFallBackToFullFrame) {
    dup->outputs[0].rotation = 2;  // 90 degrees: 64 x 32 logical, 32 x 64 native
    auto cap = primed();
    EXPECT_EQ(cap->nativeWidth(), 32);
    EXPECT_EQ(cap->nativeHeight(), 64);
    EXPECT_TRUE(log.has("DXGI output rotated by 90 degrees — native 32x64, logical 64x32"));
    cap->captureFrame();  // the first frame says nothing of what changed
    dup->script.push_back(imageFrame(0x22, {{0, 0, 10, 5}}));
    auto f = cap->captureFrame();
    ASSERT_EQ(f.dirtyRects.size(), 1u);
    EXPECT_EQ(f.dirtyRects[0], (DirtyRect{59, 0, 5, 10}));
    EXPECT_TRUE(log.has("[dirty] active (rects=1)"));

    auto broken = imageFrame(0x22, {{0, 0, 1, 1}});
    broken.dirtyFails = true;
    dup->script.push_back(broken);
    f = cap->captureFrame();
    ASSERT_EQ(f.dirtyRects.size(), 1u);
    EXPECT_EQ(f.dirtyRects[0], (DirtyRect{0, 0, 64, 32}));

    auto noMeta = imageFrame(0x22);
    noMeta.info.hasMetadata = false;
    dup->script.push_back(noMeta);
    f = cap->captureFrame();
    EXPECT_TRUE(f.valid);
    EXPECT_TRUE(f.dirtyRects.empty());
    EXPECT_TRUE(log.has("[dirty] static (rects=0)"));
}

TEST_F(DxgiFixture, AccessLossReinitialisesWithSpacingAndFallsBackToPrimary) {
    auto cap = primed(1);
    EXPECT_EQ(cap->width(), 32);
    // Monitor 1 is unplugged: set-up for it fails, the primary takes over.
    displays->monitors.pop_back();
    dup->outputs.pop_back();
    dup->script.push_back(statusOnly(AcquireStatus::AccessLost));
    dup->script.push_back(imageFrame(0x33));  // primes the new set-up
    EXPECT_FALSE(cap->captureFrame().valid);
    EXPECT_TRUE(log.has("DXGI access lost, reinitializing (attempt 1/8, monitor 1)..."));
    EXPECT_TRUE(log.has("DXGI re-acquired after access loss: 64x32"));
    EXPECT_EQ(cap->width(), 64);
    EXPECT_FALSE(cap->isDead());
    // A second loss within 250 ms is ignored.
    dup->script.push_back(statusOnly(AcquireStatus::AccessLost));
    const int before = dup->duplicates;
    EXPECT_FALSE(cap->captureFrame().valid);
    EXPECT_EQ(dup->duplicates, before);
    const auto f = cap->captureFrame();
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.data[0], 0x33);
}

TEST_F(DxgiFixture, EightFailedReinitsExhaustTheBudget) {
    auto cap = primed();
    dup->duplicateOk = false;
    for (int i = 0; i < 10; ++i) {
        dup->script.push_back(statusOnly(AcquireStatus::AccessLost));
        cap->captureFrame();
        EXPECT_EQ(cap->isDead(), i >= 7) << i;
        clock.advanceMs(300);
    }
    EXPECT_FALSE(cap->diedStarved());
    EXPECT_EQ(log.count("DXGI re-init budget exhausted (8 attempts) — capture marked dead"), 1);
    EXPECT_EQ(log.count("DXGI access lost, reinitializing"), 8);
}

TEST_F(DxgiFixture, FiveFramelessReinitsStarve) {
    auto cap = make();
    ASSERT_TRUE(cap->init(-1));  // no first frame
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(cap->diedStarved()) << i;
        dup->script.push_back(statusOnly(AcquireStatus::AccessLost));
        cap->captureFrame();
        clock.advanceMs(300);
    }
    EXPECT_TRUE(cap->isDead());
    EXPECT_TRUE(cap->diedStarved());
    EXPECT_TRUE(log.has("DXGI cycled 5 ACCESS_LOST reinits without delivering a single frame"));
}

TEST_F(DxgiFixture, NinetyAcquireFailuresStarveAndAFrameResetsTheCount) {
    auto cap = primed();
    for (int i = 0; i < 89; ++i) dup->script.push_back(statusOnly(AcquireStatus::Failed));
    dup->script.push_back(imageFrame(1));
    for (int i = 0; i < 90; ++i) cap->captureFrame();
    EXPECT_FALSE(cap->isDead());
    for (int i = 0; i < 90; ++i) dup->script.push_back(statusOnly(AcquireStatus::Failed));
    for (int i = 0; i < 89; ++i) cap->captureFrame();
    EXPECT_FALSE(cap->isDead());
    cap->captureFrame();
    EXPECT_TRUE(cap->isDead());
    EXPECT_TRUE(cap->diedStarved());
    EXPECT_EQ(log.count("DXGI AcquireNextFrame failing: 0x887a0027 (consecutive=1)"), 2);
    EXPECT_EQ(log.count("(consecutive=90)"), 1);
    EXPECT_EQ(log.count("DXGI AcquireNextFrame failed 90 times in a row (last 0x887a0027)"), 1);
}

TEST_F(DxgiFixture, OversizedColourCursorIsRejectedAndThePreviousShapeStays) {
    auto cap = primed();
    auto good = imageFrame(0);
    good.info.hasPointerShape = true;
    good.info.pointerShape = {2, 2, 3, 8, 0, 0, std::vector<uint8_t>(24, 0x7F)};
    dup->script.push_back(good);
    cap->captureFrame();
    EXPECT_TRUE(cap->takeCursorShapeChanged());
    EXPECT_FALSE(cap->takeCursorShapeChanged());
    auto huge = imageFrame(0);
    huge.info.hasPointerShape = true;
    huge.info.pointerShape = {2, 513, 32, 513 * 4, 0, 0, std::vector<uint8_t>(513 * 32 * 4, 1)};
    dup->script.push_back(huge);
    cap->captureFrame();
    EXPECT_TRUE(log.has("[dxgi] rejecting color cursor with unreasonable size 513x32 (cap 512)"));
    EXPECT_FALSE(cap->takeCursorShapeChanged());
    EXPECT_EQ(cap->cursorWidth(), 2);
    EXPECT_EQ(cap->cursorHeight(), 3);
    EXPECT_EQ(cap->cursorShape(), std::vector<uint8_t>(24, 0x7F));
}

TEST_F(DxgiFixture, OverlayModeReadsTheShapeOnlyWhenItChanges) {
    pointer->image = solidPointer(3, 2, 1, 0, 0x80000080, 5);  // half-transparent blue
    pointer->ok = true;
    auto cap = primed();
    cap->setCursorOverlay(true);
    dup->script.push_back(imageFrame(0));
    dup->script.push_back(imageFrame(0));
    cap->captureFrame();
    EXPECT_TRUE(cap->takeCursorShapeChanged());
    EXPECT_EQ(cap->cursorWidth(), 3);
    EXPECT_EQ(cap->cursorHotspotX(), 1);
    EXPECT_EQ(cap->cursorShape()[0], 255);  // straight alpha
    EXPECT_EQ(cap->cursorShape()[3], 0x80);
    cap->captureFrame();
    EXPECT_FALSE(cap->takeCursorShapeChanged());
}

TEST_F(DxgiFixture, CursorPositionIsNormalisedAcrossTheOutput) {
    auto cap = primed(1);  // x 64..96, 32 wide
    uint16_t x = 1, y = 1;
    pointer->ok = true;
    pointer->x = 96;  // right edge
    pointer->y = 8;
    cap->cursorPosition(x, y);
    EXPECT_EQ(x, 65535);
    EXPECT_EQ(y, 32767);
    pointer->x = 10;  // left of the output
    cap->cursorPosition(x, y);
    EXPECT_EQ(x, 0);
}

TEST_F(DxgiFixture, BasicAdapterCanBeDeclinedAndIsCrossChecked) {
    dup->description = "Microsoft Basic Render Driver";
    setenv("KELVANDRUM_DECLINE_DXGI_ON_BASIC", "0", 1);
    auto kept = primed();
    EXPECT_TRUE(kept->onBasicAdapter());
    EXPECT_TRUE(DxgiCapture::anyOnBasicAdapter());
    setenv("KELVANDRUM_DECLINE_DXGI_ON_BASIC", "1", 1);
    auto declined = make();
    EXPECT_FALSE(declined->init(-1));
    EXPECT_TRUE(log.has("DXGI declined on the Microsoft Basic display adapter"));
    unsetenv("KELVANDRUM_DECLINE_DXGI_ON_BASIC");

    // No new frame for 3 s while the screen's thumbnail changes: stalled.
    grabber->thumb.assign(4096, 1);
    for (int i = 0; i < 100 && !kept->isDead(); ++i) {
        if (i == 95) grabber->thumb.assign(4096, 2);
        kept->captureFrame();
    }
    EXPECT_FALSE(kept->isDead());  // same thumbnail so far
    for (int i = 0; i < 200 && !kept->isDead(); ++i) kept->captureFrame();
    EXPECT_TRUE(kept->isDead());
    EXPECT_TRUE(kept->diedStarved());
    EXPECT_TRUE(log.has("duplication is stalled on this adapter"));
}

}  // namespace
}  // namespace kvd
