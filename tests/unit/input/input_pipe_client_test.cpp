// InputPipeClient against a scripted server on a real local pipe.
#include "input/input_pipe_client.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/json_util.h"
#include "input/failover_input_injector.h"
#include "unit/helper/pipe_test_support.h"
#include "unit/input/fakes.h"

namespace kvd {
namespace {

using test::ScriptedServer;
using test::waitUntil;

InputPipeTiming fastTiming(int pingHalfMs = 20) {
    InputPipeTiming t;
    t.connectAttempts = 3;
    t.retrySleepMs = 20;
    t.busyWaitMs = 20;
    t.pingHalfPeriodMs = pingHalfMs;
    t.pongWaitMs = 20;
    t.reconnectHalfPeriodMs = 10;
    t.writeTimeoutMs = 500;
    return t;
}

class PipeClientTest : public ::testing::Test {
  protected:
    test::PipeDirScope dir_;
    const std::string name_ = "kelvandrum-input-test";
};

TEST_F(PipeClientTest, SendsHelloThenEveryOperationInItsLineFormat) {
    ScriptedServer server(name_);
    InputPipeClient client(nullptr, fastTiming(5000));
    ASSERT_TRUE(client.connect(name_, "s3cr\"et"));
    ASSERT_TRUE(server.accept());
    EXPECT_EQ(server.line(), R"({"t":"hello","token":"s3cr\"et"})");

    client.mouseMove(1, 65535);
    client.mouseDown(0);
    client.mouseUp(4);
    client.mouseWheel(-120, 0);
    client.keyDown(0x1D, 0x11, 1);
    client.keyUp(0x1D, 0x11, 3);
    client.typeText("a\"b\n\x01", 30);
    client.sendSas();
    client.setActiveMonitorBounds(-1280, 0, 1280, 1024);
    client.bridgeRelease();
    const std::vector<std::string> expected = {
        R"({"t":"mm","x":1,"y":65535})",
        R"({"t":"mc","b":0,"d":1})",
        R"({"t":"mc","b":4,"d":0})",
        R"({"t":"mw","dy":-120,"dx":0})",
        R"({"t":"kd","vk":17,"sc":29,"ext":1})",
        R"({"t":"ku","vk":17,"sc":29,"ext":1})",
        R"({"d":30,"s":"a\"b\n\u0001","t":"type"})",
        R"({"t":"sas"})",
        R"({"t":"smb","l":-1280,"tt":0,"w":1280,"h":1024})",
        R"({"t":"shm2","op":"bridge_release"})",
    };
    for (const auto& e : expected) EXPECT_EQ(server.command(), e);
    EXPECT_TRUE(client.lastCallDelivered());
}

TEST_F(PipeClientTest, WithoutTokenSendsNoHello) {
    ScriptedServer server(name_);
    InputPipeClient client(nullptr, fastTiming(5000));
    ASSERT_TRUE(client.connect(name_, ""));
    ASSERT_TRUE(server.accept());
    client.sendSas();
    EXPECT_EQ(server.line(), R"({"t":"sas"})");
}

TEST_F(PipeClientTest, PingsWithWallClockAndTracksTheDesktopFromPongs) {
    ScriptedServer server(name_);
    InputPipeClient client(nullptr, fastTiming(), [] { return int64_t{1700000000123}; });
    ASSERT_TRUE(client.connect(name_, "tok"));
    ASSERT_TRUE(server.accept());
    ASSERT_TRUE(server.line());  // hello
    EXPECT_EQ(client.desktopName(), "Default");

    EXPECT_EQ(server.line(), R"({"t":"ping","ts":1700000000123})");
    ASSERT_TRUE(server.send("{\"desktop\":\"Winlogon\",\"t\":\"pong\",\"ts\":1700000000123}\n"));
    EXPECT_TRUE(waitUntil([&] { return client.desktopName() == "Winlogon"; }));

    // An empty name says nothing about the desktop.
    ASSERT_TRUE(server.line());
    ASSERT_TRUE(server.send("{\"desktop\":\"\",\"t\":\"pong\",\"ts\":1}\n"));
    ASSERT_TRUE(server.line());  // the next ping comes after that pong was read
    ASSERT_TRUE(server.line());
    EXPECT_EQ(client.desktopName(), "Winlogon");
    EXPECT_TRUE(client.isConnected());
}

TEST_F(PipeClientTest, ReconnectsWithHelloAndTheBoundsCachedWhileDisconnected) {
    auto server = std::make_unique<ScriptedServer>(name_);
    InputPipeClient client(nullptr, fastTiming());
    ASSERT_TRUE(client.connect(name_, "tok"));
    ASSERT_TRUE(server->accept());
    ASSERT_EQ(server->line(), R"({"t":"hello","token":"tok"})");
    client.setActiveMonitorBounds(10, 20, 300, 400);
    ASSERT_EQ(server->command(), R"({"t":"smb","l":10,"tt":20,"w":300,"h":400})");

    // The helper goes away entirely: the next ping fails.
    server->drop();
    server->closeListener();
    ASSERT_TRUE(waitUntil([&] { return !client.isConnected(); }));

    client.setActiveMonitorBounds(1920, 0, 1280, 1024);
    client.mouseMove(5, 5);  // dropped while disconnected
    EXPECT_FALSE(client.lastCallDelivered());

    server->listen(name_);
    ASSERT_TRUE(server->accept());
    EXPECT_EQ(server->line(), R"({"t":"hello","token":"tok"})");
    EXPECT_EQ(server->command(), R"({"t":"smb","l":1920,"tt":0,"w":1280,"h":1024})");
    EXPECT_TRUE(waitUntil([&] { return client.isConnected(); }));
    client.mouseMove(7, 8);
    EXPECT_EQ(server->command(), R"({"t":"mm","x":7,"y":8})");
}

TEST_F(PipeClientTest, AbsentHelperFailsConnectThenTheBackgroundReconnectLands) {
    InputPipeClient client(nullptr, fastTiming());
    EXPECT_FALSE(client.connect(name_, "tok"));
    EXPECT_FALSE(client.isConnected());
    client.keyDown(30, 0, 0);
    EXPECT_FALSE(client.lastCallDelivered());

    ScriptedServer server(name_);
    ASSERT_TRUE(server.accept());
    EXPECT_EQ(server.line(), R"({"t":"hello","token":"tok"})");
    EXPECT_TRUE(waitUntil([&] { return client.isConnected(); }));
}

TEST_F(PipeClientTest, LongTextTravelsInLinesTheHelperAccepts) {
    ScriptedServer server(name_);
    InputPipeClient client(nullptr, fastTiming(5000));
    ASSERT_TRUE(client.connect(name_, ""));
    ASSERT_TRUE(server.accept());
    // Control characters grow sixfold when escaped; unsplit this would be
    // a 1.8 MB line, which the helper treats as a broken pipe.
    std::string text(300 * 1024, '\x01');
    text += "\xC3\xA9";  // a two-byte character at the very end
    std::thread sender([&] { client.typeText(text, 2); });
    std::string joined;
    while (joined.size() < text.size()) {
        auto l = server.command();
        ASSERT_TRUE(l);
        EXPECT_LE(l->size(), 1024u * 1024u);
        auto j = parseJson(*l);
        ASSERT_TRUE(j);
        EXPECT_EQ(jsonInt(*j, "d"), 2);
        joined += jsonStringOr(*j, "s", "");
    }
    sender.join();
    EXPECT_EQ(joined, text);
}

TEST_F(PipeClientTest, FailoverFollowsTheConnectionAndReplaysWhatABreakingPipeLost) {
    auto server = std::make_unique<ScriptedServer>(name_);
    auto client = std::make_shared<InputPipeClient>(nullptr, fastTiming(5000));
    auto directOwned = std::make_unique<test::RecordingInjector>();
    test::RecordingInjector* direct = directOwned.get();
    auto failover = FailoverInputInjector::forPipeClient(client, std::move(directOwned));

    ASSERT_TRUE(client->connect(name_, ""));
    ASSERT_TRUE(server->accept());
    failover->keyDown(30, 0, 0);
    EXPECT_EQ(server->command(), R"({"t":"kd","vk":0,"sc":30,"ext":0})");
    failover->setActiveMonitorBounds(0, 0, 800, 600);
    EXPECT_EQ(server->command(), R"({"t":"smb","l":0,"tt":0,"w":800,"h":600})");
    EXPECT_EQ(direct->calls(), (std::vector<std::string>{"bounds(0,0,800,600)"}));

    // The helper vanishes; the client has not noticed yet. The key-up must
    // still reach the desktop, through the direct injector.
    server->drop();
    server->closeListener();
    failover->keyUp(30, 0, 0);
    EXPECT_FALSE(client->isConnected());
    failover->mouseDown(1);
    EXPECT_EQ(direct->calls(),
              (std::vector<std::string>{"bounds(0,0,800,600)", "keyUp(30,0,0)", "mouseDown(1)"}));
}

}  // namespace
}  // namespace kvd
