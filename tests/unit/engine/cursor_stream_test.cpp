#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/cursor_stream.h"

namespace kvd {
namespace {

struct CursorHarness {
    std::shared_ptr<CursorShared> shared = std::make_shared<CursorShared>();
    ManualClock clock{0x1'2345'6789};
    std::optional<std::pair<int32_t, int32_t>> pointer{{0, 0}};
    bool controlOpen = true, inputOpen = true;
    std::vector<CursorStream::Bytes> control, input;
    std::atomic<bool> running{true};

    CursorStream::Deps deps() {
        CursorStream::Deps d;
        d.shared = shared;
        d.pointerPosition = [this] { return pointer; };
        d.controlChannelOpen = [this] { return controlOpen; };
        d.inputChannelOpen = [this] { return inputOpen; };
        d.sendControlBinary = [this](const CursorStream::Bytes& b) { control.push_back(b); };
        d.sendInputBinary = [this](const CursorStream::Bytes& b) { input.push_back(b); };
        d.running = &running;
        d.clock = &clock;
        return d;
    }
    void geometry(int32_t x, int32_t y, int32_t w, int32_t h) {
        shared->originX = x;
        shared->originY = y;
        shared->width = w;
        shared->height = h;
    }
};

TEST(CursorStream, PositionMessageIsLittleEndian) {
    const auto m = cursorPositionMessage(0x11223344u, 0xABCD, 0x0102);
    const std::array<uint8_t, 9> expected{0x10, 0x44, 0x33, 0x22, 0x11, 0xCD, 0xAB, 0x02, 0x01};
    EXPECT_EQ(m, expected);
}

TEST(CursorStream, MapsThePointerOntoTheCapturedMonitor) {
    CursorHarness h;
    h.geometry(1920, 100, 1280, 720);  // a second monitor right of the first
    h.shared->cursorOverlay = true;
    CursorStream cs(h.deps());

    struct Case {
        int32_t x, y;
        bool sent;
        uint16_t nx, ny;
    };
    const std::vector<Case> cases = {
        {1920, 100, true, 0, 0},
        {1920 + 640, 100 + 360, true, 32767, 32767},
        {1920 + 640, 100 + 360, false, 0, 0},  // unchanged: nothing
        {1920 + 1279, 100 + 719, true, 65483, 65443},
        {1919, 200, false, 0, 0},         // left of the monitor
        {1920 + 1280, 200, false, 0, 0},  // one past the right edge
        {2000, 99, false, 0, 0},
        {2000, 100 + 720, false, 0, 0},
    };
    for (const auto& c : cases) {
        h.pointer = std::make_pair(c.x, c.y);
        const size_t before = h.control.size();
        EXPECT_EQ(cs.tick(), c.sent) << c.x << "," << c.y;
        if (!c.sent) {
            EXPECT_EQ(h.control.size(), before);
            continue;
        }
        const auto& m = h.control.back();
        ASSERT_EQ(m.size(), 9u);
        EXPECT_EQ(m[0], 0x10);
        const uint32_t ms = m[1] | m[2] << 8 | m[3] << 16 | uint32_t{m[4]} << 24;
        EXPECT_EQ(ms, static_cast<uint32_t>(h.clock.nowMs()));
        EXPECT_EQ(m[5] | m[6] << 8, c.nx);
        EXPECT_EQ(m[7] | m[8] << 8, c.ny);
    }
    EXPECT_TRUE(h.input.empty());
}

TEST(CursorStream, SendsOnlyWithOverlayAnOpenChannelAndAGeometry) {
    CursorHarness h;
    h.geometry(0, 0, 100, 100);
    h.pointer = std::make_pair(50, 50);
    CursorStream cs(h.deps());

    EXPECT_FALSE(cs.tick());  // no overlay
    h.shared->cursorOverlay = true;
    h.controlOpen = false;
    EXPECT_FALSE(cs.tick());
    h.controlOpen = true;
    h.pointer.reset();  // unreadable pointer
    EXPECT_FALSE(cs.tick());
    h.pointer = std::make_pair(50, 50);
    h.shared->width = 0;
    EXPECT_FALSE(cs.tick());
    h.shared->width = 100;
    EXPECT_TRUE(cs.tick());
    EXPECT_FALSE(cs.tick());

    // Overlay off forgets the last position: the same spot goes out again.
    h.shared->cursorOverlay = false;
    EXPECT_FALSE(cs.tick());
    h.shared->cursorOverlay = true;
    h.shared->cursorOnInputChannel = true;
    EXPECT_TRUE(cs.tick());
    EXPECT_EQ(h.control.size(), 1u);
    EXPECT_EQ(h.input.size(), 1u);
    h.inputOpen = false;
    h.pointer = std::make_pair(10, 10);
    EXPECT_FALSE(cs.tick());
}

TEST(CursorStream, ThreadRunsUntilJoinedOrStopped) {
    CursorHarness h;
    h.geometry(0, 0, 100, 100);
    h.shared->cursorOverlay = true;
    std::atomic<int> ticks{0};
    auto d = h.deps();
    d.pointerPosition = [&ticks]() -> std::optional<std::pair<int32_t, int32_t>> {
        const int n = ++ticks;
        return std::make_pair(n % 100, 0);
    };
    d.controlChannelOpen = [] { return true; };
    d.sendControlBinary = [](const CursorStream::Bytes&) {};
    d.sleepMs = [](int64_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    CursorStream cs(std::move(d));
    cs.start();
    while (ticks.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(cs.join(1000));

    // A cleared running flag ends the thread by itself.
    CursorHarness h2;
    h2.running = false;
    CursorStream cs2(h2.deps());
    cs2.start();
    EXPECT_TRUE(cs2.join(1000));
}

}  // namespace
}  // namespace kvd
