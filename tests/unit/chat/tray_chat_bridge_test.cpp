// The tray bridge on a real Unix-domain socket in a private directory: the
// greeting, line framing (split and joined writes, over-long lines), records
// to the tray, a second client, reconnects and stop.
#include "chat/tray_chat_bridge.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "common/json_util.h"
#include "support/log_capture.h"
#include "unit/helper/pipe_test_support.h"

namespace kvd {
namespace {

using test::waitUntil;

// The tray's side of the socket.
class TrayClient {
  public:
    explicit TrayClient(const std::string& name) {
        waitUntil([&] {
            auto r = platform::connectLocalPipe(name);
            conn_ = std::move(r.connection);
            return conn_ != nullptr;
        });
    }
    bool connected() const { return conn_ != nullptr; }
    std::optional<std::string> line(int timeoutMs = 5000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (auto pos = buf_.find('\n'); pos != std::string::npos) {
                std::string l = buf_.substr(0, pos);
                buf_.erase(0, pos + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return std::nullopt;
            char chunk[8192];
            const auto io = conn_->read(chunk, sizeof chunk, static_cast<int>(left));
            if (io.timedOut || io.bytes <= 0) return std::nullopt;
            buf_.append(chunk, static_cast<size_t>(io.bytes));
        }
    }
    // True once the bridge has closed its end.
    bool closedByPeer(int timeoutMs = 5000) {
        char c;
        const auto io = conn_->read(&c, 1, timeoutMs);
        return !io.timedOut && io.bytes == 0;
    }
    void send(const std::string& bytes) {
        int e = 0;
        ASSERT_TRUE(conn_->writeAll(bytes.data(), bytes.size(), 2000, e)) << e;
    }
    void close() {
        conn_->shutdown();
        conn_.reset();
    }

  private:
    std::unique_ptr<platform::LocalPipeConnection> conn_;
    std::string buf_;
};

struct BridgeFixture : ::testing::Test {
    test::PipeDirScope dir;
    test::LogCapture log;
    TrayChatBridge bridge{platform::createLocalPipeServer, [] { return int64_t{77}; }};
    std::mutex mu;
    std::vector<std::string> outbound;

    void SetUp() override {
        bridge.setOutboundCallback([this](const std::string& t) {
            std::lock_guard lk(mu);
            outbound.push_back(t);
        });
        ASSERT_TRUE(bridge.start("sess/1", "Ann \"A\""));
    }
    std::vector<std::string> got() {
        std::lock_guard lk(mu);
        return outbound;
    }
    bool waitFor(size_t n) {
        return waitUntil([&] { return got().size() >= n; });
    }
};

TEST(TrayChatPipeName, SanitisedAndBoundedForASocketPath) {
    EXPECT_EQ(trayChatPipeName("ab12-CD_3.x"), "kelvandrum-chat-ab12-CD_3.x");
    EXPECT_EQ(trayChatPipeName("../a b"), "kelvandrum-chat-.._a_b");
    const std::string longA(200, 'a'), longB = std::string(199, 'a') + "b";
    const std::string a = trayChatPipeName(longA), b = trayChatPipeName(longB);
    EXPECT_EQ(a.size(), std::string("kelvandrum-chat-").size() + 48 + 9);
    EXPECT_NE(a, b);  // same prefix, different ids: different sockets
}

TEST(TrayLineText, OnlyATopLevelTextString) {
    struct Case {
        const char* line;
        const char* text;
    };
    for (const auto& c : std::vector<Case>{
             {R"({"type":"out","text":"hi \"you\"\n"})", "hi \"you\"\n"},
             {R"({"text":""})", ""},
             {R"({"type":"out"})", ""},
             {R"({"text":5})", ""},
             {R"({"note":{"text":"inner"}})", ""},
             {R"({"note":"\"text\":\"in a string\""})", ""},
             {"\"text\":\"not an object\"", ""},
             {"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[", ""}})
        EXPECT_EQ(trayLineText(c.line), c.text) << c.line;
}

TEST_F(BridgeFixture, GreetsFramesLinesAndWritesRecords) {
    EXPECT_TRUE(
        log.has("info|[tray-chat] started; pipe=" + dir.dir() + "/kelvandrum-chat-sess_1.sock"));
    TrayClient tray(bridge.pipeName());
    ASSERT_TRUE(tray.connected());
    auto hello = tray.line();
    ASSERT_TRUE(hello);
    EXPECT_EQ(*hello, R"({"type":"hello","sessionId":"sess/1","technician":"Ann \"A\""})");
    ASSERT_TRUE(waitUntil([&] { return bridge.clientConnected(); }));

    // Two lines in one write, then one line split across writes, then lines
    // that carry nothing to send.
    tray.send("{\"text\":\"one\"}\n{\"text\":\"two\"}\n{\"te");
    ASSERT_TRUE(waitFor(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    tray.send("xt\":\"three\"}\r\n\n{\"type\":\"out\"}\n{\"text\":\"\"}\nnot json\n");
    tray.send("{\"text\":\"four\"}\n");
    ASSERT_TRUE(waitFor(4));
    EXPECT_EQ(got(), (std::vector<std::string>{"one", "two", "three", "four"}));

    bridge.sendToTray("from \"viewer\"\n");
    auto rec = tray.line();
    ASSERT_TRUE(rec);
    EXPECT_EQ(*rec, R"({"type":"in","text":"from \"viewer\"\n","ts":77})");
}

TEST_F(BridgeFixture, OverlongLineIsDroppedAndTheNextOneStillArrives) {
    TrayClient tray(bridge.pipeName());
    ASSERT_TRUE(tray.line());
    const std::string huge = "{\"text\":\"" + std::string(kTrayLineMaxBytes + 10, 'x') + "\"}";
    for (size_t i = 0; i < huge.size(); i += 8192) tray.send(huge.substr(i, 8192));
    tray.send("\n{\"text\":\"after\"}\n");
    ASSERT_TRUE(waitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(got(), (std::vector<std::string>{"after"}));
    EXPECT_TRUE(log.has("warning|[tray-chat] tray line longer than 65536 bytes — dropped"));
}

TEST_F(BridgeFixture, SecondClientIsToldBusyAndReconnectsAreGreeted) {
    TrayClient first(bridge.pipeName());
    ASSERT_TRUE(first.line());
    ASSERT_TRUE(waitUntil([&] { return bridge.clientConnected(); }));

    TrayClient second(bridge.pipeName());
    ASSERT_TRUE(second.connected());
    auto busy = second.line();
    ASSERT_TRUE(busy);
    EXPECT_EQ(*busy, R"({"type":"busy","reason":"another tray client is connected"})");
    EXPECT_TRUE(second.closedByPeer());

    first.send("{\"text\":\"still here\"}\n");
    ASSERT_TRUE(waitFor(1));

    first.close();
    ASSERT_TRUE(waitUntil([&] { return !bridge.clientConnected(); }));
    bridge.sendToTray("nobody listens");  // no client: no effect
    EXPECT_TRUE(log.contains("[tray-chat] tray client disconnected"));

    TrayClient again(bridge.pipeName());
    auto hello = again.line();
    ASSERT_TRUE(hello);
    EXPECT_NE(hello->find("\"type\":\"hello\""), std::string::npos);
    again.send("{\"text\":\"back\"}\n");
    ASSERT_TRUE(waitFor(2));
    EXPECT_EQ(got().back(), "back");
    bridge.sendToTray("welcome back");
    auto rec = again.line();
    ASSERT_TRUE(rec);
    EXPECT_NE(rec->find("welcome back"), std::string::npos);
}

TEST_F(BridgeFixture, WritesToATrayThatStoppedReadingGiveUpAfterAboutTwoSeconds) {
    TrayClient tray(bridge.pipeName());
    ASSERT_TRUE(tray.line());
    ASSERT_TRUE(waitUntil([&] { return bridge.clientConnected(); }));
    const std::string text(4000, 'z');
    double slowest = 0;
    for (int i = 0; i < 2000 && !log.contains("[tray-chat] WriteFile failed err="); ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        bridge.sendToTray(text);
        slowest = std::max(
            slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    EXPECT_TRUE(log.contains("[tray-chat] WriteFile failed err="));
    EXPECT_GE(slowest, 1.5);
    EXPECT_LE(slowest, 3.0);
    // The tray that stopped reading is dropped: later messages cost nothing.
    EXPECT_TRUE(log.contains("[tray-chat] tray client not reading — disconnecting it"));
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) bridge.sendToTray(text);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    ASSERT_TRUE(waitUntil([&] { return log.contains("[tray-chat] tray client disconnected"); }));
    TrayClient again(bridge.pipeName());
    EXPECT_TRUE(again.line());
}

TEST_F(BridgeFixture, StopEndsTheConnectionAndRemovesTheSocket) {
    TrayClient tray(bridge.pipeName());
    ASSERT_TRUE(tray.line());
    const std::string path = platform::localPipePath(bridge.pipeName());
    ASSERT_TRUE(std::filesystem::exists(path));
    bridge.stop();
    EXPECT_TRUE(tray.closedByPeer());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(log.has("info|[tray-chat] stopped"));
    // A second start (same object) serves again.
    ASSERT_TRUE(bridge.start("sess/1", "Ann"));
    TrayClient again(bridge.pipeName());
    EXPECT_TRUE(again.line());
}

}  // namespace
}  // namespace kvd
