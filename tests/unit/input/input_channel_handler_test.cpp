#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "fakes.h"
#include "input/input_channel_handler.h"
#include "support/log_capture.h"

namespace kvd {
namespace {

using test::LogCapture;
using test::RecordingInjector;
using Bytes = std::vector<uint8_t>;

Bytes keyMsg(bool down, uint16_t sc, uint8_t flags, uint16_t vk) {
    return {static_cast<uint8_t>(down ? 0x05 : 0x06),
            static_cast<uint8_t>(sc & 0xff),
            static_cast<uint8_t>(sc >> 8),
            flags,
            static_cast<uint8_t>(vk & 0xff),
            static_cast<uint8_t>(vk >> 8)};
}

Bytes syncMsg(const std::vector<std::string>& codes) {
    Bytes b{0x07, static_cast<uint8_t>(codes.size())};
    for (const auto& c : codes) {
        b.push_back(static_cast<uint8_t>(c.size()));
        b.insert(b.end(), c.begin(), c.end());
    }
    return b;
}

class HandlerTest : public ::testing::Test {
  protected:
    HandlerTest() {
        auto inj = std::make_unique<RecordingInjector>();
        injector = inj.get();
        handler = std::make_unique<InputChannelHandler>(std::move(inj), clock);
    }
    void send(const Bytes& b) { handler->handleMessage(b.data(), b.size()); }
    std::vector<std::string> calls() { return injector->calls(); }

    LogCapture log;
    ManualClock clock{50'000};
    RecordingInjector* injector = nullptr;
    std::unique_ptr<InputChannelHandler> handler;
};

TEST_F(HandlerTest, DispatchesEachMessageToTheInjector) {
    send({0x01, 0xff, 0xff, 0x00, 0x80, 0, 0});
    send({0x02, 1, 0, 0});
    send({0x03, 1, 0, 0});
    send({0x04, 0x88, 0xff, 0x00, 0x00, 0});
    send(keyMsg(true, 0x1e, 0, 0x41));
    send(keyMsg(false, 0x1e, 0, 0x41));
    EXPECT_EQ(calls(), (std::vector<std::string>{"mouseMove(65535,32768)", "mouseDown(1)",
                                                 "mouseUp(1)", "mouseWheel(-120,0)",
                                                 "keyDown(30,65,0)", "keyUp(30,65,0)"}));
    EXPECT_TRUE(log.has("info|[input] mouse_move #1 x=65535 y=32768"));
    EXPECT_TRUE(log.has("info|[input] recv type=0x02 len=4"));
    EXPECT_TRUE(log.has("info|[input] mouse_button down button=1"));
    EXPECT_TRUE(log.has("info|[input] mouse_button up button=1"));
    EXPECT_TRUE(log.has("info|[input] recv type=0x04 len=6"));
    EXPECT_FALSE(log.contains("recv type=0x01"));
    EXPECT_TRUE(handler->heldKeyIds().empty());
}

TEST_F(HandlerTest, MalformedAndUnknownMessagesHaveNoEffect) {
    send({0x01, 1, 2, 3, 4, 5});
    send({0x05, 0x1d, 0, 1, 0x11});
    send({0x09, 1, 2});
    send({0x00});
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(handler->heldKeyIds().empty());
    EXPECT_TRUE(log.has("warning|[input] dropped malformed frame type=0x01 len=6"));
    EXPECT_TRUE(log.has("warning|[input] dropped malformed frame type=0x05 len=5"));
    EXPECT_TRUE(log.has("warning|Unknown input message type: 0x09"));
    EXPECT_TRUE(log.has("warning|Unknown input message type: 0x00"));
}

TEST_F(HandlerTest, MoveLoggingIsThinned) {
    for (int i = 0; i < 200; ++i) send({0x01, 1, 0, 2, 0, 0, 0});
    size_t moveLines = 0;
    for (const auto& l : log.lines()) moveLines += l.find("mouse_move #") != std::string::npos;
    EXPECT_EQ(moveLines, 5u);  // #1..#3, #100, #200
    EXPECT_TRUE(log.has("info|[input] mouse_move #200 x=1 y=2"));
    EXPECT_EQ(calls().size(), 200u);
}

TEST_F(HandlerTest, ViewOnlyIgnoresEverythingSilently) {
    handler->applyAccessMode("VIEW_ONLY", false);
    EXPECT_TRUE(log.has("info|[input] access mode 'VIEW_ONLY' → injection DISABLED (view-only)"));
    const size_t linesBefore = log.lines().size();
    send({0x01, 1, 0, 2, 0, 0, 0});
    send(keyMsg(true, 0x1d, 1, 0x11));
    send({0x10});
    send({0x01});
    send({0x42});
    send(syncMsg({}));
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(handler->heldKeyIds().empty());
    EXPECT_EQ(log.lines().size(), linesBefore);

    handler->applyAccessMode("FULL_CONTROL", true);
    EXPECT_TRUE(log.has("info|[input] IPC access mode 'FULL_CONTROL' → injection ENABLED"));
    send({0x02, 0, 0, 0});
    EXPECT_EQ(calls(), std::vector<std::string>{"mouseDown(0)"});
}

TEST_F(HandlerTest, KeyStateSyncKeepsListedKeysAndReleasesTheRest) {
    send(keyMsg(true, 0x1d, 1, 0x11));  // ControlRight
    send(keyMsg(true, 0x1e, 0, 0x41));  // KeyA
    send(syncMsg({"ControlRight", "Numpad1"}));
    auto c = calls();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[2], "keyUp(30,65,0)");
    EXPECT_TRUE(
        log.has("warning|stuck-key release id=sc:0x1e reason=KeyStateSync_reconcile sc=0x1e"));
    EXPECT_EQ(handler->heldKeyIds(), std::vector<std::string>{"sc:0x1d:ext"});

    // ControlLeft is a different key from ControlRight.
    send(syncMsg({"ControlLeft"}));
    c = calls();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[3], "keyUp(29,17,1)");
    EXPECT_TRUE(handler->heldKeyIds().empty());
}

TEST_F(HandlerTest, MalformedKeyStateSyncReleasesNothing) {
    send(keyMsg(true, 0x1e, 0, 0x41));
    send({0x07, 2, 4, 'K', 'e', 'y', 'S', 9, 'T'});
    send({0x07, 2, 4, 'K', 'e', 'y', 'S'});
    EXPECT_TRUE(log.has("warning|KeyStateSync truncated code at key 1"));
    EXPECT_TRUE(log.has("warning|KeyStateSync truncated at key 1"));
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_EQ(handler->heldKeyIds().size(), 1u);
}

TEST_F(HandlerTest, StuckKeySweepReleasesOnlyKeysOlderThanTenSeconds) {
    send(keyMsg(true, 0x2a, 0, 0x10));  // held and never refreshed
    send(keyMsg(true, 0x1e, 0, 0x41));  // auto-repeats every 500 ms
    for (int i = 0; i < 21; ++i) {
        clock.advanceMs(500);
        send(keyMsg(true, 0x1e, 0, 0x41));
        handler->sweepStuckKeys(clock.nowMs());
    }
    // 10 000 ms exactly is not yet "older than".
    auto ups = [&] {
        size_t n = 0;
        for (const auto& c : calls()) n += c.rfind("keyUp", 0) == 0;
        return n;
    };
    EXPECT_EQ(ups(), 1u);
    EXPECT_TRUE(log.has("warning|stuck-key release id=sc:0x2a reason=timeout_10s sc=0x2a"));
    EXPECT_EQ(handler->heldKeyIds(), std::vector<std::string>{"sc:0x1e"});

    send(keyMsg(true, 0x1c, 0, 0x0d));
    clock.advanceMs(10'000);
    handler->sweepStuckKeys(clock.nowMs());
    EXPECT_EQ(handler->heldKeyIds().size(), 2u);
    clock.advanceMs(1);
    handler->sweepStuckKeys(clock.nowMs());
    EXPECT_TRUE(handler->heldKeyIds().empty());
}

TEST_F(HandlerTest, WatchdogThreadSweepsOnItsOwnClock) {
    send(keyMsg(true, 0x38, 1, 0x12));
    clock.advanceMs(10'500);
    // The thread wakes within its 1 s tick of the (manual) clock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    // The key leaves the held set before its release is injected: wait for both.
    while ((!handler->heldKeyIds().empty() || calls().back() != "keyUp(56,18,1)") &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(handler->heldKeyIds().empty());
    EXPECT_EQ(calls().back(), "keyUp(56,18,1)");
    EXPECT_TRUE(log.has("warning|stuck-key release id=sc:0x38:ext reason=timeout_10s sc=0x38"));
}

TEST_F(HandlerTest, ReleaseAllKeysReleasesEveryHeldKey) {
    send(keyMsg(true, 0x1d, 1, 0x11));
    send(keyMsg(true, 0x0, 0, 0x56));
    EXPECT_TRUE(handler->releaseAllKeys());
    auto c = calls();
    ASSERT_EQ(c.size(), 4u);
    std::sort(c.begin() + 2, c.end());
    EXPECT_EQ(c[2], "keyUp(0,86,0)");
    EXPECT_EQ(c[3], "keyUp(29,17,1)");
    EXPECT_TRUE(
        log.has("warning|stuck-key release id=sc:0x0 reason=KeyStateSync_reconcile sc=0x0"));
    EXPECT_TRUE(handler->releaseAllKeys());
    EXPECT_EQ(calls().size(), 4u);
}

TEST_F(HandlerTest, SasGoesToCallbackWhenInstalledElseToInjector) {
    send({0x10});
    EXPECT_EQ(calls(), std::vector<std::string>{"sendSas()"});
    EXPECT_TRUE(log.has("warning|Received SEND_SAS message"));
    EXPECT_TRUE(log.has("info|[input] recv type=0x10 len=1"));

    int callbackCalls = 0;
    handler->setSasCallback([&] { ++callbackCalls; });
    send({0x10});
    EXPECT_EQ(callbackCalls, 1);
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_TRUE(log.has("info|[input] SAS routed to service via callback"));

    // A failing callback must not escape into the channel thread.
    handler->setSasCallback([] { throw std::runtime_error("relay down"); });
    EXPECT_NO_THROW(send({0x10}));
}

TEST(HandlerLifecycle, DestructionIsPromptAndDestroysTheInjector) {
    struct Tracked : test::RecordingInjector {
        explicit Tracked(bool& flag) : flag_(flag) {}
        ~Tracked() override { flag_ = true; }
        bool& flag_;
    };
    bool destroyed = false;
    const auto start = std::chrono::steady_clock::now();
    {
        InputChannelHandler h(std::make_unique<Tracked>(destroyed));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(destroyed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    // Without an injector every message is ignored.
    InputChannelHandler empty(nullptr);
    const Bytes b{0x05, 1, 0, 0, 0, 0};
    empty.handleMessage(b.data(), b.size());
    EXPECT_TRUE(empty.heldKeyIds().empty());
}

}  // namespace
}  // namespace kvd
