// The helper's command execution, hello check, capture and bridge handling
// and idle exit, and the whole helper loop against the real pipe client.
#include "helper/input_helper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "input/input_pipe_client.h"
#include "unit/helper/pipe_test_support.h"
#include "unit/input/fakes.h"

namespace kvd {
namespace {

using test::RecordingInjector;
using test::waitUntil;
using Calls = std::vector<std::string>;

class FakeProducer final : public ProducerControl {
  public:
    explicit FakeProducer(std::shared_ptr<std::vector<std::string>> log, std::string tag)
        : log_(std::move(log)), tag_(std::move(tag)) {}
    bool start(const std::string& display, const std::string& sid) override {
        log_->push_back(tag_ + " start " + display + " " + sid);
        running_ = true;
        return true;
    }
    void stop() override {
        log_->push_back(tag_ + " stop");
        running_ = false;
    }
    bool running() override { return running_; }

  private:
    std::shared_ptr<std::vector<std::string>> log_;
    std::string tag_;
    bool running_ = false;
};

struct HelperRig {
    ManualClock clock;
    std::shared_ptr<std::vector<std::string>> producerLog =
        std::make_shared<std::vector<std::string>>();
    std::unique_ptr<InputHelper> helper;

    explicit HelperRig(bool shmV2 = true, bool bridge = true, bool withV1 = true,
                       std::string token = "tok") {
        InputHelperOptions o;
        o.sessionId = "sess-1";
        o.token = std::move(token);
        o.shmV2 = shmV2;
        o.transitionBridge = bridge;
        o.mainDisplay = ":1";
        o.secureDisplay = ":2";
        InputHelperSeams s;
        s.clock = &clock;
        s.wallNowMs = [] { return int64_t{777}; };
        s.desktopName = [] { return std::string("Winlogon"); };
        auto log = producerLog;
        if (withV1)
            s.makeV1Producer = [log](const std::string&, const std::string&) {
                return std::make_unique<FakeProducer>(log, "v1");
            };
        s.makeV2Producer = [log](const std::string&, const std::string&) {
            return std::make_unique<FakeProducer>(log, "v2");
        };
        helper = std::make_unique<InputHelper>(o, s);
        helper->initProducers();
    }
    Calls run(const std::string& line, std::string* reply = nullptr) {
        RecordingInjector inj;
        helper->executeCommand(line, inj, [&](const std::string& r) {
            if (reply) *reply += r;
        });
        return inj.calls();
    }
};

TEST(InputHelperCommands, ExecutesEachCommandOnTheInjector) {
    HelperRig rig;
    struct Case {
        const char* line;
        Calls calls;
    } cases[] = {
        {R"({"t":"mm","x":100,"y":65535})", {"mouseMove(100,65535)"}},
        {R"({"t":"mm","x":70000,"y":-5})", {"mouseMove(65535,0)"}},
        {R"({"t":"mm"})", {"mouseMove(0,0)"}},
        {R"({"t":"mc","b":1,"d":1})", {"mouseDown(1)"}},
        {R"({"t":"mc","b":2,"d":0})", {"mouseUp(2)"}},
        {R"({"t":"mc","b":0,"d":2})", {"mouseDown(0)", "mouseUp(0)", "mouseDown(0)", "mouseUp(0)"}},
        {R"({"t":"mc","b":0,"d":7})", {}},
        {R"({"t":"mc","b":256,"d":1})", {}},  // would wrap to a left click
        {R"({"t":"mw","dy":-120,"dx":0})", {"mouseWheel(-120,0)"}},
        {R"({"t":"mw","dy":99999,"dx":-99999})", {"mouseWheel(32767,-32768)"}},
        {R"({"t":"kd","vk":17,"sc":29,"ext":1})", {"keyDown(29,17,1)"}},
        {R"({"t":"ku","vk":65,"sc":30})", {"keyUp(30,65,0)"}},
        {R"({"t":"kd","vk":17,"sc":65565})", {}},
        {R"({"t":"type","s":"hé","d":5})", {"typeText(hé,5)"}},
        {R"({"t":"type","s":"x"})", {"typeText(x,25)"}},
        {R"({"t":"type","s":""})", {}},
        {R"({"t":"sas"})", {"sendSas()"}},
        {R"({"t":"smb","l":-1280,"tt":0,"w":1280,"h":1024})", {"bounds(-1280,0,1280,1024)"}},
        {R"({"t":"smb","l":1e12})", {"bounds(2147483647,0,0,0)"}},
        // Malformed, hostile or unknown lines are skipped.
        {"not json", {}},
        {"[1,2]", {}},
        {R"({"x":1})", {}},
        {R"({"t":5})", {}},
        {R"({"t":"warp"})", {}},
        {R"({"t":"shm2","op":"other"})", {}},
        {R"({"t":"mm","x":"12"})", {"mouseMove(0,0)"}},
    };
    for (const auto& c : cases) EXPECT_EQ(rig.run(c.line), c.calls) << c.line;

    // Deep nesting is refused before the JSON library builds it.
    EXPECT_EQ(rig.run(std::string(200000, '[')), Calls{});
}

TEST(InputHelperCommands, SasReattachesFirst) {
    HelperRig rig;
    std::vector<std::string> order;
    rig.helper->setReattach([&] { order.push_back("reattach"); });
    RecordingInjector inj;
    rig.helper->executeCommand(R"({"t":"sas"})", inj, nullptr);
    rig.helper->executeCommand(R"({"t":"mm","x":1,"y":1})", inj, nullptr);
    EXPECT_EQ(order, (std::vector<std::string>{"reattach"}));
    EXPECT_EQ(inj.calls(), (Calls{"sendSas()", "mouseMove(1,1)"}));
}

TEST(InputHelperCommands, PingIsAnsweredWithDesktopAndTimestamp) {
    HelperRig rig;
    struct Case {
        const char* line;
        const char* reply;
    } cases[] = {
        {R"({"t":"ping","ts":1700000000123})",
         "{\"desktop\":\"Winlogon\",\"t\":\"pong\",\"ts\":1700000000123}\n"},
        {R"({"t":"ping"})", "{\"desktop\":\"Winlogon\",\"t\":\"pong\",\"ts\":777}\n"},
        {R"({"t":"ping","ts":0})", "{\"desktop\":\"Winlogon\",\"t\":\"pong\",\"ts\":777}\n"},
    };
    for (const auto& c : cases) {
        std::string reply;
        EXPECT_EQ(rig.run(c.line, &reply), Calls{});
        EXPECT_EQ(reply, c.reply) << c.line;
    }
}

TEST(InputHelperHello, AcceptsOnlyTheExactTokenInAHello) {
    HelperRig rig;
    struct Case {
        std::string line;
        bool ok;
    } cases[] = {
        {R"({"t":"hello","token":"tok"})", true},
        {R"({"token":"tok","t":"hello","extra":1})", true},
        {R"({"t":"hello","token":"tok2"})", false},
        {R"({"t":"hello","token":"to"})", false},
        {R"({"t":"hello","token":"tox"})", false},
        {R"({"t":"hello"})", false},
        {R"({"t":"hello","token":7})", false},
        {R"({"t":"mm","token":"tok"})", false},
        {"garbage", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(rig.helper->verifyHello(c.line), c.ok) << c.line;

    HelperRig noToken(true, true, true, "");
    EXPECT_TRUE(noToken.helper->failClosed());
    EXPECT_FALSE(noToken.helper->verifyHello(R"({"t":"hello","token":""})"));
}

TEST(InputHelperCapture, BridgeHoldsV2UntilReleaseOrExpiry) {
    HelperRig rig;
    using L = std::vector<std::string>;
    rig.helper->onSecureEnter();
    EXPECT_EQ(*rig.producerLog, (L{"v2 start :2 sess-1", "v1 start :2 sess-1"}));
    EXPECT_TRUE(rig.helper->captureActive());
    EXPECT_TRUE(rig.helper->secureActive());

    rig.helper->onSecureExit();
    EXPECT_TRUE(rig.helper->bridgePending());
    EXPECT_TRUE(rig.helper->captureActive());
    EXPECT_EQ(rig.producerLog->size(), 2u);

    // Re-entering cancels the bridge and keeps the same capture.
    rig.helper->onSecureEnter();
    EXPECT_FALSE(rig.helper->bridgePending());
    EXPECT_EQ(rig.producerLog->size(), 2u);

    // Released by the engine: stopped on the next tick.
    rig.helper->onSecureExit();
    rig.clock.advanceMs(1000);
    EXPECT_FALSE(rig.helper->watchdogTick());
    EXPECT_EQ(rig.producerLog->size(), 2u);
    rig.run(R"({"t":"shm2","op":"bridge_release"})");
    EXPECT_FALSE(rig.helper->watchdogTick());
    EXPECT_EQ(*rig.producerLog,
              (L{"v2 start :2 sess-1", "v1 start :2 sess-1", "v2 stop", "v1 stop"}));
    EXPECT_FALSE(rig.helper->captureActive());

    // Not released: the 30 s fail-safe ends it.
    rig.producerLog->clear();
    rig.helper->onSecureEnter();
    rig.helper->onSecureExit();
    rig.clock.advanceMs(30000);
    rig.helper->watchdogTick();
    EXPECT_TRUE(rig.helper->captureActive());
    rig.clock.advanceMs(1);
    rig.helper->watchdogTick();
    EXPECT_FALSE(rig.helper->captureActive());
    EXPECT_FALSE(rig.helper->bridgePending());

    // A release with no bridge pending does not cut the next bridge short.
    rig.run(R"({"t":"shm2","op":"bridge_release"})");
    rig.helper->onSecureEnter();
    rig.helper->onSecureExit();
    rig.helper->watchdogTick();
    EXPECT_TRUE(rig.helper->captureActive());
}

TEST(InputHelperCapture, WithoutBridgeExitStopsAtOnce) {
    struct Case {
        bool shmV2, bridge, v1;
        std::vector<std::string> log;
    } cases[] = {
        {true, false, true, {"v2 start :2 sess-1", "v1 start :2 sess-1", "v2 stop", "v1 stop"}},
        {false, true, true, {"v1 start :2 sess-1", "v1 stop"}},
        {true, true, false, {"v2 start :2 sess-1"}},  // bridge holds v2
    };
    for (const auto& c : cases) {
        HelperRig rig(c.shmV2, c.bridge, c.v1);
        rig.helper->onSecureEnter();
        rig.helper->onSecureExit();
        EXPECT_EQ(*rig.producerLog, c.log);
    }
}

TEST(InputHelperWatchdog, ExitsAfterSixtyIdleSecondsOnly) {
    HelperRig rig(false, false, false);
    rig.helper->noteActivity();
    rig.clock.advanceMs(60000);
    EXPECT_FALSE(rig.helper->watchdogTick());
    rig.clock.advanceMs(1);
    EXPECT_TRUE(rig.helper->watchdogTick());

    // A connected engine keeps it alive and restarts the count.
    rig.helper->setClientConnected(true);
    rig.clock.advanceMs(120000);
    EXPECT_FALSE(rig.helper->watchdogTick());
    rig.helper->setClientConnected(false);
    rig.clock.advanceMs(59000);
    EXPECT_FALSE(rig.helper->watchdogTick());
}

// --- The whole helper over a real pipe ---

class ForwardingInjector final : public InputInjector {
  public:
    explicit ForwardingInjector(std::shared_ptr<RecordingInjector> r) : r_(std::move(r)) {}
    void mouseMove(uint16_t x, uint16_t y) override { r_->mouseMove(x, y); }
    void mouseDown(uint8_t b) override { r_->mouseDown(b); }
    void mouseUp(uint8_t b) override { r_->mouseUp(b); }
    void mouseWheel(int16_t v, int16_t h) override { r_->mouseWheel(v, h); }
    void keyDown(uint16_t s, uint16_t v, uint8_t f) override { r_->keyDown(s, v, f); }
    void keyUp(uint16_t s, uint16_t v, uint8_t f) override { r_->keyUp(s, v, f); }
    void typeText(const std::string& t, uint32_t d) override { r_->typeText(t, d); }
    void sendSas() override { r_->sendSas(); }
    void setActiveMonitorBounds(int32_t l, int32_t t, int32_t w, int32_t h) override {
        r_->setActiveMonitorBounds(l, t, w, h);
    }
    bool isAvailable() override { return true; }

  private:
    std::shared_ptr<RecordingInjector> r_;
};

class HelperLoopTest : public ::testing::Test {
  protected:
    void start(const std::string& token, const Clock* clock = nullptr) {
        InputHelperOptions o;
        o.sessionId = "0123456789abcdef";
        o.token = token;
        seams_.makeInjector = [rec = rec_](const std::string&, const std::string&,
                                           std::function<bool()>) {
            return std::make_unique<ForwardingInjector>(rec);
        };
        seams_.desktopName = [] { return std::string("Default"); };
        seams_.watcherProbe = [] { return std::string("Default"); };
        seams_.keepRunning = [this] { return keepRunning_.load(); };
        seams_.exitProcess = [this](int code) { exitCode_ = code; };
        seams_.acceptPollMs = 20;
        seams_.watchdogTickMs = 10;
        seams_.clock = clock;
        thread_ = std::thread([this, o] { rc_ = runInputHelper(o, seams_); });
        ASSERT_TRUE(
            waitUntil([&] { return std::filesystem::exists(platform::localPipePath(pipeName_)); }));
    }
    void TearDown() override {
        keepRunning_ = false;
        if (thread_.joinable()) thread_.join();
    }

    test::PipeDirScope dir_;
    const std::string pipeName_ = "kelvandrum-input-01234567";
    std::shared_ptr<RecordingInjector> rec_ = std::make_shared<RecordingInjector>();
    InputHelperSeams seams_;
    std::atomic<bool> keepRunning_{true};
    std::atomic<int> exitCode_{-1};
    std::atomic<int> rc_{-1};
    std::thread thread_;
};

InputPipeTiming quick() {
    InputPipeTiming t;
    t.connectAttempts = 3;
    t.retrySleepMs = 20;
    t.busyWaitMs = 20;
    t.pingHalfPeriodMs = 20;
    t.pongWaitMs = 20;
    t.reconnectHalfPeriodMs = 20;
    return t;
}

TEST_F(HelperLoopTest, ServesTheEngineAfterRejectingAWrongToken) {
    start("right-token");
    {
        InputPipeClient intruder(nullptr, quick());
        ASSERT_TRUE(intruder.connect(pipeName_, "wrong-token"));
        intruder.keyDown(30, 0, 0);
        // Rejected: the helper closes, the client notices.
        EXPECT_TRUE(waitUntil([&] {
            intruder.mouseMove(1, 1);
            return !intruder.isConnected();
        }));
    }
    InputPipeClient engine(nullptr, quick());
    ASSERT_TRUE(engine.connect(pipeName_, "right-token"));
    engine.setActiveMonitorBounds(0, 0, 1024, 768);
    engine.keyDown(30, 0x41, 0);
    engine.keyUp(30, 0x41, 0);
    ASSERT_TRUE(waitUntil([&] { return rec_->calls().size() >= 3; }));
    EXPECT_EQ(rec_->calls(), (Calls{"bounds(0,0,1024,768)", "keyDown(30,65,0)", "keyUp(30,65,0)"}));
    // Pongs keep the connection up.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(engine.isConnected());
    EXPECT_EQ(engine.desktopName(), "Default");

    keepRunning_ = false;
    thread_.join();
    EXPECT_EQ(rc_, 0);
}

TEST_F(HelperLoopTest, WithoutOwnTokenRefusesEveryone) {
    start("");
    InputPipeClient engine(nullptr, quick());
    ASSERT_TRUE(engine.connect(pipeName_, ""));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    engine.sendSas();
    engine.keyDown(1, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(rec_->calls(), Calls{});
}

TEST_F(HelperLoopTest, IdleHelperExitsThroughTheExitSeam) {
    ManualClock clock;
    start("t", &clock);
    clock.advanceMs(60001);
    ASSERT_TRUE(waitUntil([&] { return exitCode_.load() == 0; }));
    thread_.join();
    EXPECT_EQ(rc_, 0);
}

TEST_F(HelperLoopTest, SecondHelperOnTheSameNameFailsWithCodeOne) {
    start("t");
    InputHelperOptions o;
    o.sessionId = "0123456789abcdef";
    o.token = "t";
    EXPECT_EQ(runInputHelper(o, seams_), 1);
}

}  // namespace
}  // namespace kvd
