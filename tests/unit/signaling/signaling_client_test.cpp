#include <gtest/gtest.h>

#include <stdexcept>

#include "signaling/signaling_client.h"
#include "signaling/signaling_messages.h"
#include "signaling/signaling_url.h"
#include "support/log_capture.h"

namespace kvd {
namespace {

using test::LogCapture;

TEST(SignalingUrl, ParsesEveryShape) {
    const std::string dev = "Using unencrypted WebSocket (ws://). Development only!";
    struct Case {
        std::string url;
        bool secure;
        std::string host;
        int port;
        std::string path;
        std::vector<std::string> warnings;
    };
    const std::vector<Case> cases = {
        {"wss://signal.example.net",
         true,
         "signal.example.net",
         443,
         "/api/v2/remote/signaling?token=T0K",
         {}},
        {"wss://signal.example.net/", true, "signal.example.net", 443, "/?token=T0K", {}},
        {"ws://10.1.2.3:8080/custom/path?x=1&token=old",
         false,
         "10.1.2.3",
         8080,
         "/custom/path?token=T0K",
         {dev}},
        {"ws://h:8080", false, "h", 8080, "/api/v2/remote/signaling?token=T0K", {dev}},
        {"wss://h:0/p",
         true,
         "h",
         443,
         "/p?token=T0K",
         {"Signaling URL port 0 out of range; using default 443"}},
        {"wss://h:65536/p",
         true,
         "h",
         443,
         "/p?token=T0K",
         {"Signaling URL port 65536 out of range; using default 443"}},
        {"wss://h:-7/p",
         true,
         "h",
         443,
         "/p?token=T0K",
         {"Signaling URL port -7 out of range; using default 443"}},
        {"ws://h:abc/p",
         false,
         "h",
         80,
         "/p?token=T0K",
         {dev, "Signaling URL has invalid port 'abc'; using default 80"}},
        {"ws://h:80x/p",
         false,
         "h",
         80,
         "/p?token=T0K",
         {dev, "Signaling URL has invalid port '80x'; using default 80"}},
        {"wss://h:/p",
         true,
         "h",
         443,
         "/p?token=T0K",
         {"Signaling URL has invalid port ''; using default 443"}},
        {"wss://h:99999999999999999999/p",
         true,
         "h",
         443,
         "/p?token=T0K",
         {"Signaling URL has invalid port '99999999999999999999'; using default 443"}},
        {"wss://h:65535", true, "h", 65535, "/api/v2/remote/signaling?token=T0K", {}},
        {"wss://h:1/a/b?c?d", true, "h", 1, "/a/b?token=T0K", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const SignalingEndpoint ep = parseSignalingUrl(c.url, "T0K");
        ASSERT_TRUE(ep.valid);
        EXPECT_EQ(ep.secure, c.secure);
        EXPECT_EQ(ep.scheme, c.secure ? "wss" : "ws");
        EXPECT_EQ(ep.host, c.host);
        EXPECT_EQ(ep.port, c.port);
        EXPECT_EQ(ep.path, c.path);
        EXPECT_EQ(ep.warnings, c.warnings);
    }
}

TEST(SignalingUrl, RejectsOtherSchemesAndKeepsTokenOutOfTheLogLine) {
    for (const std::string url : {"https://h/p", "WSS://h", "", "ws:/h", "http://h:80"}) {
        const SignalingEndpoint ep = parseSignalingUrl(url, "T");
        EXPECT_FALSE(ep.valid) << url;
        EXPECT_EQ(ep.error, "Invalid signaling URL scheme: " + url);
    }
    const SignalingEndpoint ep = parseSignalingUrl("wss://h:9443/sig?q=1", "s3cr3t-token");
    EXPECT_EQ(ep.connectingLine(), "Connecting to signaling: wss://h:9443/sig");
    EXPECT_EQ(ep.connectingLine().find("s3cr3t"), std::string::npos);
    // The token goes in unchanged, without percent-encoding.
    EXPECT_EQ(parseSignalingUrl("ws://h/p", "a b&c").path, "/p?token=a b&c");
}

TEST(SignalingClient, BadSchemeFailsAtOnceWithoutNetwork) {
    LogCapture logs;
    SignalingClient c("https://example.invalid/x", "tok", "sid");
    EXPECT_FALSE(c.connect());
    EXPECT_TRUE(logs.has("error|Invalid signaling URL scheme: https://example.invalid/x"));
    EXPECT_FALSE(logs.contains("Connecting to signaling"));
    EXPECT_FALSE(c.isConnected());
}

TEST(SignalingClient, SendQueueDropsOldestAtItsCap) {
    LogCapture logs;
    SignalingClient c("wss://h", "t", "s");
    for (int i = 0; i < 5000; ++i) c.send(Json{{"type", "ice"}, {"n", i}});
    EXPECT_EQ(c.pendingSendCount(), 5000u);
    EXPECT_EQ(logs.count("warning|Signaling sendQueue full (5000), dropped oldest"), 0u);
    c.send(Json{{"type", "ice"}, {"n", 5000}});
    c.send(Json{{"type", "ice"}, {"n", 5001}});
    EXPECT_EQ(c.pendingSendCount(), 5000u);
    EXPECT_EQ(logs.count("warning|Signaling sendQueue full (5000), dropped oldest"), 2u);
}

TEST(SignalingClient, InvalidUtf8InAMessageIsReplacedNotThrown) {
    LogCapture logs;
    SignalingClient c("wss://h", "t", "s");
    EXPECT_NO_THROW(c.send(Json{{"type", "ice"}, {"candidate", std::string("a\xff\xfe")}}));
    EXPECT_EQ(c.pendingSendCount(), 1u);
    EXPECT_TRUE(logs.contains("invalid UTF-8 replaced"));
}

TEST(SignalingReceiver, JoinsFragmentsAndParsesOnceAfterTheFinalOne) {
    LogCapture logs;
    SignalingReceiver r(1000, 1 << 20);
    const std::string text = R"({"type":"answer","sdp":"v=0\r\n"})";
    r.onFragment(text.data(), 5, false);
    r.onFragment(text.data() + 5, 10, false);
    EXPECT_EQ(r.queued(), 0u);
    r.onFragment(text.data() + 15, text.size() - 15, true);
    auto msgs = r.takeAll();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0]["sdp"], "v=0\r\n");
    EXPECT_FALSE(logs.contains("Malformed"));

    // A malformed message is dropped and the next one is unaffected.
    r.onFragment("{nope", 5, true);
    EXPECT_TRUE(logs.has("warning|Malformed signaling message"));
    r.onFragment("{}", 2, true);
    EXPECT_EQ(r.takeAll().size(), 1u);
}

TEST(SignalingReceiver, OversizeMessageIsDroppedWholeAndTheStreamRecovers) {
    LogCapture logs;
    SignalingReceiver r(1000, 100);
    const std::string big(60, 'x');
    r.onFragment(big.data(), big.size(), false);
    r.onFragment(big.data(), big.size(), false);  // 120 > 100
    r.onFragment("\"}", 2, true);
    EXPECT_EQ(r.queued(), 0u);
    EXPECT_EQ(logs.count("warning|Signaling message exceeds 100 bytes, dropped"), 1u);
    EXPECT_FALSE(logs.contains("Malformed"));
    const std::string exact = "\"" + std::string(98, 'y') + "\"";  // exactly at the cap
    r.onFragment(exact.data(), exact.size(), true);
    auto msgs = r.takeAll();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].get<std::string>().size(), 98u);
}

TEST(SignalingReceiver, The1001stUnpolledMessageDropsTheOldest) {
    LogCapture logs;
    SignalingReceiver r(1000, 1 << 20);
    for (int i = 0; i < 1001; ++i) {
        const std::string m = Json{{"type", "ice"}, {"n", i}}.dump();
        r.onFragment(m.data(), m.size(), true);
    }
    EXPECT_EQ(logs.count("warning|Signaling recvQueue full (1000), dropped oldest"), 1u);
    auto msgs = r.takeAll();
    ASSERT_EQ(msgs.size(), 1000u);
    EXPECT_EQ(msgs.front()["n"], 1);
    EXPECT_EQ(msgs.back()["n"], 1000);
}

TEST(SignalingMessages, PongCopiesTheIntegerTsAndTreatsWrongTypesAsAbsent) {
    struct Case {
        Json ping;
        int64_t ts;
    };
    for (const auto& c :
         std::vector<Case>{{Json{{"type", "ping"}, {"ts", 1712345678901LL}}, 1712345678901LL},
                           {Json{{"type", "ping"}}, 0},
                           {Json{{"type", "ping"}, {"ts", "123"}}, 0},
                           {Json{{"type", "ping"}, {"ts", nullptr}}, 0},
                           {Json{{"type", "ping"}, {"ts", -5}}, -5}}) {
        const Json pong = makePongMessage(c.ping);
        EXPECT_EQ(pong, (Json{{"type", "pong"}, {"ts", c.ts}})) << c.ping.dump();
    }
    EXPECT_EQ(makeJoinMessage("S-1").dump(), R"({"role":"agent","sessionId":"S-1","type":"join"})");
}

TEST(SignalingHandlerTable, ExactTypesReplacementAndThrowingHandlers) {
    LogCapture logs;
    SignalingHandlerTable t;
    int calls = 0;
    t.set("answer", [&](const Json&) { calls += 1; });
    t.set("answer", [&](const Json&) { calls += 10; });
    t.set("", [&](const Json&) { calls += 100; });
    t.set("boom", [](const Json& m) { (void)m.at("missing").get<std::string>(); });
    t.set("boom2", [](const Json&) { throw 42; });

    EXPECT_TRUE(t.deliver(Json::object(), "answer", "[signaling]"));
    EXPECT_FALSE(t.deliver(Json::object(), "Answer", "[signaling]"));
    EXPECT_TRUE(t.deliver(Json::object(), signalingType(Json{{"type", 7}}), "[signaling]"));
    EXPECT_EQ(calls, 110);
    EXPECT_TRUE(t.deliver(Json::object(), "boom", "[signaling]"));
    EXPECT_TRUE(t.deliver(Json::object(), "boom2", "[signaling]"));
    EXPECT_TRUE(logs.contains("warning|[signaling] handler for type=boom failed:"));
    EXPECT_TRUE(logs.has("warning|[signaling] handler for type=boom2 failed: unknown exception"));
}

}  // namespace
}  // namespace kvd
