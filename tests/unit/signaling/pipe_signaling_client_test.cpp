#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <stdexcept>
#include <thread>

#include "common/clock.h"
#include "signaling/pipe_signaling_client.h"
#include "support/log_capture.h"

namespace kvd {
namespace {

using namespace std::chrono_literals;
using test::LogCapture;

// One scripted relay link: the test feeds what the service "sends" and reads
// what the client wrote.
struct FakeLink {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::string> incoming;
    bool peerClosed = false;
    bool shut = false;
    bool closed = false;
    bool throwOnReceive = false;  // the link's next receive throws
    std::string written;
    // Replaces the normal send when set (to script failures).
    std::function<platform::IoResult(const char*, size_t)> sendHook;

    void feed(const std::string& bytes) {
        std::lock_guard<std::mutex> lk(m);
        incoming.push_back(bytes);
        cv.notify_all();
    }
    void feedLine(const Json& j) { feed(j.dump() + "\n"); }
    void closeFromPeer() {
        std::lock_guard<std::mutex> lk(m);
        peerClosed = true;
        cv.notify_all();
    }
    std::vector<Json> writtenLines() {
        std::lock_guard<std::mutex> lk(m);
        std::vector<Json> out;
        size_t start = 0;
        for (size_t nl; (nl = written.find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(Json::parse(written.substr(start, nl - start)));
        return out;
    }
};

class FakeConnection final : public platform::TcpConnection {
  public:
    explicit FakeConnection(std::shared_ptr<FakeLink> link) : link_(std::move(link)) {}
    platform::IoResult receive(char* buf, size_t cap) override {
        std::unique_lock<std::mutex> lk(link_->m);
        link_->cv.wait(
            lk, [&] { return !link_->incoming.empty() || link_->peerClosed || link_->shut; });
        platform::IoResult r;
        if (link_->shut) return r;  // our own shutdown: orderly end
        if (link_->throwOnReceive) throw std::runtime_error("receive blew up");
        if (link_->incoming.empty()) return r;
        std::string& front = link_->incoming.front();
        const size_t n = std::min(cap, front.size());
        std::memcpy(buf, front.data(), n);
        front.erase(0, n);
        if (front.empty()) link_->incoming.pop_front();
        r.bytes = static_cast<long>(n);
        return r;
    }
    platform::IoResult sendSome(const char* data, size_t len, int) override {
        std::function<platform::IoResult(const char*, size_t)> hook;
        {
            std::lock_guard<std::mutex> lk(link_->m);
            hook = link_->sendHook;
        }
        if (hook) return hook(data, len);
        std::lock_guard<std::mutex> lk(link_->m);
        platform::IoResult r;
        if (link_->shut) {
            r.bytes = -1;
            r.error = 32;
            return r;
        }
        link_->written.append(data, len);
        r.bytes = static_cast<long>(len);
        return r;
    }
    void shutdownBoth() override {
        std::lock_guard<std::mutex> lk(link_->m);
        link_->shut = true;
        link_->cv.notify_all();
    }
    void close() override {
        std::lock_guard<std::mutex> lk(link_->m);
        link_->closed = true;
    }

  private:
    std::shared_ptr<FakeLink> link_;
};

// Hands out one fresh link per successful connect, after `failures` refusals.
struct FakeRelay {
    std::mutex m;
    std::vector<std::shared_ptr<FakeLink>> links;
    int failures = 0;
    int attempts = 0;
    bool autoConnected = true;  // answer hello with SIGNALING_CONNECTED

    PipeSignalingOptions options() {
        PipeSignalingOptions o;
        o.retryDelayMs = 1;
        o.waitStepMs = 2;
        o.connector = [this](uint16_t, int) {
            std::lock_guard<std::mutex> lk(m);
            ++attempts;
            platform::TcpConnectResult r;
            if (failures > 0) {
                --failures;
                r.error = 111;
                return r;
            }
            auto link = std::make_shared<FakeLink>();
            if (autoConnected) link->feedLine(Json{{"type", "SIGNALING_CONNECTED"}});
            links.push_back(link);
            r.connection = std::make_unique<FakeConnection>(link);
            return r;
        };
        return o;
    }
    std::shared_ptr<FakeLink> link(size_t i) {
        std::lock_guard<std::mutex> lk(m);
        return links.at(i);
    }
};

template <typename Pred>
bool waitUntil(Pred p, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!p()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

Json recvEnvelope(const Json& signalingMsg) {
    return Json{{"type", "SIGNALING_RECV"}, {"payload", {{"json", signalingMsg.dump()}}}};
}

TEST(PipeSignalingClient, BadRelayNamesFailAtOnce) {
    for (const std::string name : {"0", "abc", "", "-5", "12abc", "70000", " 80"}) {
        LogCapture logs;
        FakeRelay relay;
        PipeSignalingClient c(name, "tok", relay.options());
        EXPECT_FALSE(c.connect()) << name;
        EXPECT_EQ(relay.attempts, 0) << name;
        EXPECT_TRUE(logs.has("error|[pipe-signaling] invalid port: " + name)) << name;
    }
}

TEST(PipeSignalingClient, ConnectSendsHelloFirstAndWaitsForSignalingConnected) {
    LogCapture logs;
    FakeRelay relay;
    relay.failures = 3;
    relay.autoConnected = false;
    PipeSignalingClient c("4567", "tok-1", relay.options());
    EXPECT_EQ(c.port(), 4567);
    std::thread service([&] {
        ASSERT_TRUE(waitUntil([&] {
            std::lock_guard<std::mutex> lk(relay.m);
            return relay.links.size() == 1;
        }));
        std::this_thread::sleep_for(30ms);
        EXPECT_FALSE(c.isConnected());
        relay.link(0)->feedLine(Json{{"type", "SIGNALING_CONNECTED"}, {"payload", Json::object()}});
    });
    EXPECT_TRUE(c.connect());
    service.join();
    EXPECT_TRUE(c.isConnected());
    EXPECT_EQ(relay.attempts, 4);
    auto lines = relay.link(0)->writtenLines();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], (Json{{"type", "hello"}, {"payload", {{"token", "tok-1"}}}}));
    EXPECT_EQ(relay.link(0)->written.substr(0, 40), R"({"payload":{"token":"tok-1"},"type":"hel)");
    EXPECT_TRUE(logs.has("info|[pipe-signaling] connecting to 127.0.0.1:4567"));
    EXPECT_TRUE(
        logs.has("info|[pipe-signaling] TCP connected, waiting for SIGNALING_CONNECTED..."));
    EXPECT_TRUE(logs.has("info|[pipe-signaling] service signaling connected"));
    EXPECT_TRUE(logs.has("info|[pipe-signaling] connected via service relay"));
}

TEST(PipeSignalingClient, ReaderThreadContainsAThrowFromTheLink) {
    LogCapture logs;
    FakeRelay relay;
    PipeSignalingClient c("4567", "tok", relay.options());
    ASSERT_TRUE(c.connect());
    auto link = relay.link(0);
    {
        std::lock_guard<std::mutex> lk(link->m);
        link->throwOnReceive = true;
    }
    link->feed("{}\n");
    // Before the catch-all this ended the test binary through std::terminate.
    EXPECT_TRUE(waitUntil([&] { return !c.isConnected(); }));
    EXPECT_TRUE(waitUntil(
        [&] { return logs.has("error|[pipe-signaling] reader thread failed: receive blew up"); }));
    c.disconnect();
}

TEST(PipeSignalingClient, NoHelloWithoutTokenAndFailureModesOfConnect) {
    {
        FakeRelay relay;
        PipeSignalingClient c("4567", "", relay.options());
        EXPECT_TRUE(c.connect());
        EXPECT_TRUE(relay.link(0)->writtenLines().empty());
    }
    {
        LogCapture logs;
        FakeRelay relay;
        relay.failures = 1000;
        auto o = relay.options();
        o.connectTries = 5;
        PipeSignalingClient c("4567", "t", o);
        EXPECT_FALSE(c.connect());
        EXPECT_EQ(relay.attempts, 5);
        EXPECT_TRUE(
            logs.has("error|[pipe-signaling] failed to connect to 127.0.0.1:4567 after 10s"));
    }
    {
        LogCapture logs;
        FakeRelay relay;
        relay.autoConnected = false;
        auto o = relay.options();
        o.waitSteps = 5;
        PipeSignalingClient c("4567", "t", o);
        EXPECT_FALSE(c.connect());
        EXPECT_TRUE(logs.has("error|[pipe-signaling] timeout waiting for SIGNALING_CONNECTED"));
        // The link stays up: the service may still report its signaling.
        EXPECT_TRUE(c.sendEnvelope("REMOTE_SESSION_STATUS", Json{{"x", 1}}));
        relay.link(0)->feedLine(Json{{"type", "SIGNALING_CONNECTED"}});
        EXPECT_TRUE(waitUntil([&] { return c.isConnected(); }));
    }
    {
        LogCapture logs;
        auto o = FakeRelay().options();
        o.connector = [](uint16_t, int) {
            platform::TcpConnectResult r;
            r.socketFailed = true;
            r.error = 24;
            return r;
        };
        PipeSignalingClient c("4567", "t", o);
        EXPECT_FALSE(c.connect());
        EXPECT_TRUE(logs.has("error|[pipe-signaling] socket() failed: 24"));
    }
}

class ConnectedClient : public ::testing::Test {
  protected:
    void SetUp() override {
        client = std::make_unique<PipeSignalingClient>("5000", "tok", relay.options());
        ASSERT_TRUE(client->connect());
        link = relay.link(0);
    }
    FakeRelay relay;
    std::unique_ptr<PipeSignalingClient> client;
    std::shared_ptr<FakeLink> link;
};

TEST_F(ConnectedClient, FramingSegmentsJoinedLinesCrLfAndGarbage) {
    LogCapture logs;
    std::vector<Json> got;
    client->on("offer", [&](const Json& m) { got.push_back(m); });
    client->on("ice", [&](const Json& m) { got.push_back(m); });

    // One line in three segments, then two lines (one with CRLF) in one
    // segment surrounded by empty lines.
    const std::string line = recvEnvelope(Json{{"type", "offer"}, {"sdp", "v=0"}}).dump() + "\n";
    link->feed(line.substr(0, 7));
    link->feed(line.substr(7, 20));
    link->feed(line.substr(27));
    link->feed("\n\r\n" + recvEnvelope(Json{{"type", "ice"}, {"n", 1}}).dump() + "\r\n" +
               recvEnvelope(Json{{"type", "ice"}, {"n", 2}}).dump() + "\n\n");
    link->feed("not json\n[1,2]\n{\"type\":\"SIGNALING_RECV\",\"payload\":{\"json\":\"{oops\"}}\n");
    link->feed("{\"type\":\"SIGNALING_RECV\",\"payload\":{\"json\":7}}\n");
    link->feed("{\"type\":\"SOMETHING_ELSE\"}\n" +
               recvEnvelope(Json{{"type", "ice"}, {"n", 3}}).dump() + "\n");
    ASSERT_TRUE(waitUntil([&] {
        client->poll();
        return got.size() >= 4;
    }));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], (Json{{"type", "offer"}, {"sdp", "v=0"}}));
    EXPECT_EQ(got[1]["n"], 1);
    EXPECT_EQ(got[2]["n"], 2);
    EXPECT_EQ(got[3]["n"], 3);
    size_t parseErrors = 0;
    for (const auto& l : logs.lines())
        parseErrors += l.rfind("warning|[pipe-signaling] parse error: ", 0) == 0;
    EXPECT_EQ(parseErrors, 2u);
    EXPECT_TRUE(logs.contains("warning|[pipe-signaling] malformed signaling JSON: "));
    EXPECT_TRUE(client->isConnected());
}

TEST_F(ConnectedClient, PollDeliversInOrderWithoutHandlerAndWithThrowingHandler) {
    LogCapture logs;
    int emptyType = 0, good = 0;
    client->on("", [&](const Json&) { ++emptyType; });
    client->on("answer", [](const Json& m) { (void)m.at("sdp").get<int>(); });
    client->on("ping", [&](const Json&) { ++good; });
    link->feedLine(recvEnvelope(Json{{"type", "answer"}, {"sdp", "x"}}));
    link->feedLine(recvEnvelope(Json{{"type", "turn_refresh"}}));
    link->feedLine(recvEnvelope(Json{{"sdp", "no type"}}));
    link->feedLine(recvEnvelope(Json{{"type", "ping"}}));
    ASSERT_TRUE(waitUntil([&] { return client->pendingRecvCount() == 4; }));
    client->poll();
    EXPECT_EQ(emptyType, 1);
    EXPECT_EQ(good, 1);
    EXPECT_TRUE(logs.has("warning|[pipe-signaling] no handler for type=turn_refresh"));
    EXPECT_TRUE(logs.contains("warning|[pipe-signaling] handler for type=answer failed:"));
}

TEST_F(ConnectedClient, RecvQueueKeepsTheNewest1000) {
    LogCapture logs;
    std::string batch;
    for (int i = 0; i < 1001; ++i)
        batch += recvEnvelope(Json{{"type", "ice"}, {"n", i}}).dump() + "\n";
    link->feed(batch);
    ASSERT_TRUE(waitUntil([&] { return logs.contains("recvQueue full"); }));
    EXPECT_TRUE(logs.has("warning|[pipe-signaling] recvQueue full (1000), dropped oldest"));
    std::vector<int> seen;
    client->on("ice", [&](const Json& m) { seen.push_back(m["n"].get<int>()); });
    client->poll();
    ASSERT_EQ(seen.size(), 1000u);
    EXPECT_EQ(seen.front(), 1);
    EXPECT_EQ(seen.back(), 1000);
}

// A SIGNALING_RECV line padded to exactly `total` bytes including "\n".
std::string paddedLine(size_t total) {
    const std::string head =
        R"({"type":"SIGNALING_RECV","payload":{"json":"{\"type\":\"big\"}","pad":")";
    const std::string tail = "\"}}\n";
    return head + std::string(total - head.size() - tail.size(), 'p') + tail;
}

void feedInChunks(FakeLink& link, const std::string& bytes) {
    for (size_t off = 0; off < bytes.size(); off += 65536) link.feed(bytes.substr(off, 65536));
}

TEST_F(ConnectedClient, PendingBytesUpToOneMiBPass) {
    int big = 0;
    client->on("big", [&](const Json&) { ++big; });
    feedInChunks(*link, paddedLine(1048576));
    ASSERT_TRUE(waitUntil([&] {
        client->poll();
        return big == 1;
    }));
    EXPECT_TRUE(client->isConnected());
}

TEST_F(ConnectedClient, OneByteMoreEndsTheReaderEvenWithTheNewlineInTheLastReceive) {
    LogCapture logs;
    feedInChunks(*link, paddedLine(1048577));
    ASSERT_TRUE(waitUntil([&] { return !client->isConnected(); }));
    EXPECT_TRUE(
        logs.has("error|[pipe-signaling] IPC line exceeded 1048576 bytes with no newline — "
                 "dropping connection"));
    EXPECT_TRUE(waitUntil([&] { return logs.has("info|[pipe-signaling] reader thread exiting"); }));
    EXPECT_EQ(client->pendingRecvCount(), 0u);
    EXPECT_FALSE(logs.contains("closed by service"));
}

TEST_F(ConnectedClient, ServiceMessagesReachTheirCallbacksOnTheReaderThread) {
    LogCapture logs;
    std::mutex m;
    std::vector<std::pair<std::string, Json>> calls;
    auto record = [&](const char* name) {
        return [&, name](const Json& p) {
            std::lock_guard<std::mutex> lk(m);
            calls.emplace_back(name, p);
        };
    };
    client->setOnSessionConfig(record("config"));
    client->setOnCredentialInject(record("inject"));
    client->setOnStopSession([&](const Json& p) {
        record("stop")(p);
        throw std::runtime_error("callback bug");
    });
    link->feedLine(
        Json{{"type", "REMOTE_SESSION_CONFIG"}, {"payload", {{"accessMode", "VIEW_ONLY"}}}});
    link->feedLine(
        Json{{"type", "REMOTE_CREDENTIAL_INJECT"}, {"payload", {{"ok", true}, {"text", "pw"}}}});
    link->feedLine(Json{{"type", "REMOTE_STOP_SESSION"}, {"payload", {{"reason", "admin"}}}});
    link->feedLine(Json{{"type", "REMOTE_STOP_SESSION"}});
    link->feedLine(
        Json{{"type", "SIGNALING_DISCONNECTED"}, {"payload", {{"reason", "ws closed"}}}});
    // The flag drops before the line is logged: wait for both.
    ASSERT_TRUE(waitUntil([&] {
        return !client->isConnected() &&
               logs.has("warning|[pipe-signaling] service signaling disconnected: ws closed");
    }));
    {
        std::lock_guard<std::mutex> lk(m);
        ASSERT_EQ(calls.size(), 4u);
        EXPECT_EQ(calls[0].first, "config");
        EXPECT_EQ(calls[0].second["accessMode"], "VIEW_ONLY");
        EXPECT_EQ(calls[1].first, "inject");
        EXPECT_EQ(calls[1].second["text"], "pw");
        EXPECT_EQ(calls[2].second["reason"], "admin");
        EXPECT_TRUE(calls[3].second.is_null());  // no payload at all
    }
    EXPECT_TRUE(logs.has("info|[pipe-signaling] REMOTE_STOP_SESSION reason=admin"));
    EXPECT_TRUE(logs.has("info|[pipe-signaling] REMOTE_STOP_SESSION reason=unknown"));
    EXPECT_TRUE(logs.contains("REMOTE_STOP_SESSION callback failed: callback bug"));
    EXPECT_TRUE(logs.has("warning|[pipe-signaling] service signaling disconnected: ws closed"));
    // The reader survived the throwing callback.
    link->feedLine(Json{{"type", "SIGNALING_CONNECTED"}});
    EXPECT_TRUE(waitUntil([&] { return client->isConnected(); }));
}

TEST_F(ConnectedClient, SendWrapsSignalingAndLineCapIsExact) {
    LogCapture logs;
    client->send(Json{{"type", "offer"}, {"sdp", "v=0\r\na=\"q\""}});
    auto lines = link->writtenLines();
    ASSERT_EQ(lines.size(), 2u);  // hello + the offer
    EXPECT_EQ(lines[1]["type"], "SIGNALING_SEND");
    const std::string json = lines[1]["payload"]["json"].get<std::string>();
    EXPECT_EQ(json, R"({"sdp":"v=0\r\na=\"q\"","type":"offer"})");
    EXPECT_NE(link->written.find(R"("json":"{\"sdp\":)"), std::string::npos);
    EXPECT_TRUE(logs.has("debug|[pipe-signaling] send() type=offer"));

    const size_t before = link->written.size();
    EXPECT_TRUE(client->writeLine(std::string(8388607, 'a')));
    EXPECT_EQ(link->written.size(), before + 8388608);
    EXPECT_FALSE(client->writeLine(std::string(8388608, 'a')));
    EXPECT_EQ(link->written.size(), before + 8388608);
    EXPECT_TRUE(logs.has(
        "error|[pipe-signaling] writeLine dropped oversized line (8388609 bytes > 8388608 cap)"));
    EXPECT_TRUE(client->isConnected());
}

TEST_F(ConnectedClient, FailedWritesAreErrorsAndATornLineTakesTheLinkDown) {
    LogCapture logs;
    {
        std::lock_guard<std::mutex> lk(link->m);
        link->sendHook = [](const char*, size_t) {
            platform::IoResult r;
            r.bytes = -1;
            r.error = 110;
            r.timedOut = true;
            return r;
        };
    }
    EXPECT_FALSE(client->sendEnvelope("REMOTE_SEND_SAS", Json::object()));
    EXPECT_TRUE(logs.has("error|[pipe-signaling] send() failed err=110 after 0 bytes"));
    EXPECT_TRUE(client->isConnected());  // nothing reached the wire: the link is intact

    int calls = 0;
    {
        std::lock_guard<std::mutex> lk(link->m);
        link->sendHook = [&calls](const char*, size_t len) {
            platform::IoResult r;
            if (++calls == 1) {
                r.bytes = static_cast<long>(len / 2);
            } else {
                r.bytes = 0;
            }
            return r;
        };
    }
    EXPECT_FALSE(
        client->sendEnvelope("REMOTE_REBOOT", Json{{"safeMode", false}, {"delaySeconds", 10}}));
    EXPECT_TRUE(logs.contains("warning|[pipe-signaling] send() returned 0 after "));
    EXPECT_TRUE(waitUntil([&] { return !client->isConnected(); }));
}

TEST_F(ConnectedClient, ReconnectDisposesTheOldLinkAndPeerCloseIsSeen) {
    LogCapture logs;
    link->closeFromPeer();
    ASSERT_TRUE(waitUntil([&] { return !client->isConnected(); }));
    EXPECT_TRUE(waitUntil(
        [&] { return logs.has("warning|[pipe-signaling] TCP connection closed by service"); }));

    // The session loop reconnects without disconnect().
    ASSERT_TRUE(client->connect());
    EXPECT_TRUE(link->closed);
    auto second = relay.link(1);
    EXPECT_EQ(second->writtenLines().at(0)["type"], "hello");
    // And again, while the second reader is still running.
    ASSERT_TRUE(client->connect());
    EXPECT_TRUE(second->shut);
    EXPECT_TRUE(second->closed);
    client->disconnect();
    EXPECT_FALSE(client->isConnected());
    EXPECT_TRUE(relay.link(2)->closed);
    EXPECT_FALSE(client->sendEnvelope("REMOTE_SEND_SAS", Json::object()));
    EXPECT_TRUE(logs.has("warning|[pipe-signaling] writeLine called but socket not open"));
}

TEST_F(ConnectedClient, DisconnectFromAServiceCallbackDoesNotDeadlock) {
    LogCapture logs;
    client->setOnStopSession([&](const Json&) { client->disconnect(); });
    link->feedLine(Json{{"type", "REMOTE_STOP_SESSION"}, {"payload", {{"reason", "x"}}}});
    ASSERT_TRUE(waitUntil([&] { return logs.has("info|[pipe-signaling] reader thread exiting"); }));
    EXPECT_FALSE(client->isConnected());
    EXPECT_TRUE(link->shut);
    client.reset();  // joins the finished reader
    EXPECT_TRUE(link->closed);
}

}  // namespace
}  // namespace kvd
