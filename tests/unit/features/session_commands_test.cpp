#include <gtest/gtest.h>

#include "features/clipboard_sync.h"
#include "features/control_dispatcher.h"
#include "features/session_commands.h"
#include "unit/features/feature_fakes.h"

namespace kvd {
namespace {

using test::FakeClipboard;
using test::TextLogCapture;
using test::RecordingInjector;

struct CommandsFixture : ::testing::Test {
    std::atomic<bool> overlay{false}, inputCh{false}, overDc{false}, running{true};
    std::vector<Json> replies;
    ControlDispatcher dispatcher{{&overlay, &inputCh, &overDc, &running},
                                 [this](const Json& j) { replies.push_back(j); }};
    FakeClipboard access;
    ClipboardPolicy clipboard{{true, 65536, 10485760}, &access};
    ClipboardListener listener{&access};
    RecordingInjector injector;
    ManualClock clock;
    std::vector<std::string> reported;
    std::vector<std::pair<std::string, Json>> relay;
    std::vector<std::pair<std::string, int>> commands;
    std::vector<std::string> wolMacs;
    bool secure = false, withRelay = false, withInjector = true, relayUp = true;
    std::string accessMode = "FULL_CONTROL";
    bool allowClipboard = true;
    int commandRc = 0;
    std::unique_ptr<SessionCommands> commandsUnderTest;
    TextLogCapture log;

    void build(bool allowsWol = true) {
        SessionCommandDeps d;
        d.clipboard = &clipboard;
        d.listener = &listener;
        d.injector = [this]() -> InputInjector* { return withInjector ? &injector : nullptr; };
        d.secureDesktopActive = [this] { return secure; };
        d.accessMode = [this] { return accessMode; };
        d.allowClipboard = [this] { return allowClipboard; };
        d.allowsWol = allowsWol;
        d.sessionId = "S1";
        if (withRelay)
            d.sendRelay = [this](const std::string& t, const Json& p) {
                relay.emplace_back(t, p);
                return relayUp;
            };
        d.sendMagicPacket = [this](const std::string& mac, std::string& err) {
            wolMacs.push_back(mac);
            if (mac == "bad") err = "invalid_mac";
            return mac != "bad";
        };
        d.scheduleCommand = [this](const std::string& c, int delay) {
            commands.emplace_back(c, delay);
            return commandRc;
        };
        d.clock = &clock;
        commandsUnderTest = std::make_unique<SessionCommands>(
            std::move(d), [this](const Json& j) { replies.push_back(j); });
        commandsUnderTest->registerWith(dispatcher);
        listener.start([this](const std::string& t, bool) { reported.push_back(t); });
    }
    Json last() { return replies.empty() ? Json() : replies.back(); }
};

TEST_F(CommandsFixture, PasteDecisionTable) {
    build();
    struct Case {
        const char* method;
        bool secure, allowClipboard;
        const char* decided;
    };
    const Case cases[] = {
        {"smart", false, true, "clipboard"},       {"clipboard", false, true, "clipboard"},
        {"keystrokes", false, true, "keystrokes"}, {"smart", true, true, "keystrokes"},
        {"smart", false, false, "keystrokes"},     {"Keystrokes", false, true, "clipboard"},
    };
    for (const auto& c : cases) {
        secure = c.secure;
        allowClipboard = c.allowClipboard;
        dispatcher.dispatch(
            Json{{"type", "paste_text"}, {"text", "abc"}, {"method", c.method}}.dump());
        EXPECT_EQ(
            last(),
            (Json{{"methodUsed", c.decided}, {"ok", true}, {"type", "paste_text_ack"}, {"v", 1}}))
            << c.method << c.secure << c.allowClipboard;
    }
    // Clipboard mode: text on the clipboard, Ctrl+V pressed, no echo.
    const std::vector<std::string> ctrlV = {"keyDown(0,17,0)", "keyDown(0,86,0)", "keyUp(0,86,0)",
                                            "keyUp(0,17,0)"};
    const auto calls = injector.calls();
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4), ctrlV);
    EXPECT_EQ(access.writes.size(), 3u);
    EXPECT_TRUE(reported.empty());
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "typeText(abc,25)"), 3);
    EXPECT_TRUE(log.has("[paste] method=keystrokes decided=keystrokes chars=3 ok=true"));
}

TEST_F(CommandsFixture, PasteFailuresAndViewOnly) {
    build();
    dispatcher.dispatch(R"({"type":"paste_text","method":"keystrokes"})");
    EXPECT_EQ(last()["ok"], false);
    access.writeOk = false;
    dispatcher.dispatch(R"({"type":"paste_text","text":"x"})");
    EXPECT_EQ(
        last(),
        (Json{{"methodUsed", "clipboard"}, {"ok", false}, {"type", "paste_text_ack"}, {"v", 1}}));
    EXPECT_TRUE(injector.calls().empty());  // no Ctrl+V after a failed write
    accessMode = "VIEW_ONLY";
    dispatcher.dispatch(R"({"type":"paste_text","text":"x","method":"keystrokes"})");
    EXPECT_EQ(last(), (Json{{"methodUsed", "keystrokes"},
                            {"ok", false},
                            {"reason", "view_only"},
                            {"type", "paste_text_ack"},
                            {"v", 1}}));
    EXPECT_TRUE(injector.calls().empty());
    const size_t before = replies.size();
    dispatcher.dispatch(R"({"type":"paste_text","text":5})");  // wrong type: dropped
    EXPECT_EQ(replies.size(), before);
    EXPECT_TRUE(log.has("control JSON parse error"));
}

TEST_F(CommandsFixture, CredentialInjectRefusalsAndRelay) {
    build();
    auto ack = [](bool ok, const char* reason) {
        Json j{{"ok", ok}, {"type", "credential_inject_ack"}, {"v", 1}};
        if (reason) j["reason"] = reason;
        return j;
    };
    dispatcher.dispatch(R"({"type":"credential_inject","ticket":"T"})");
    EXPECT_EQ(last(), ack(false, "secure_desktop_required"));
    secure = true;
    dispatcher.dispatch(R"({"type":"credential_inject","ticket":"T"})");
    EXPECT_EQ(last(), ack(false, "service_unavailable"));
    accessMode = "VIEW_ONLY";
    dispatcher.dispatch(R"({"type":"credential_inject","ticket":"T"})");
    EXPECT_EQ(last(), ack(false, "view_only"));
    EXPECT_TRUE(log.has("[credential-inject] refused reason=view_only"));
    EXPECT_TRUE(relay.empty());
}

TEST_F(CommandsFixture, CredentialInjectCompletesAndRechecksBeforeTyping) {
    withRelay = true;
    secure = true;
    build();
    dispatcher.dispatch(R"({"type":"credential_inject","ticket":"T-1"})");
    ASSERT_EQ(relay.size(), 1u);
    EXPECT_EQ(relay[0].first, "REMOTE_CREDENTIAL_REDEEM");
    EXPECT_EQ(relay[0].second, (Json{{"sessionId", "S1"}, {"ticket", "T-1"}}));
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(log.has("[credential-inject] ticket forwarded to service"));

    relayUp = false;
    dispatcher.dispatch(R"({"type":"credential_inject","ticket":"T-2"})");
    EXPECT_EQ(last(), (Json{{"ok", false},
                            {"reason", "service_unavailable"},
                            {"type", "credential_inject_ack"},
                            {"v", 1}}));
    relayUp = true;

    commandsUnderTest->completeCredentialInject(Json{{"ok", true}, {"text", "s3cret!"}});
    EXPECT_EQ(injector.calls(), std::vector<std::string>{"typeText(s3cret!,2)"});
    EXPECT_EQ(last(), (Json{{"ok", true}, {"type", "credential_inject_ack"}, {"v", 1}}));

    commandsUnderTest->completeCredentialInject(Json{{"ok", false}, {"reason", "expired"}});
    EXPECT_EQ(last()["reason"], "expired");

    // The secure desktop closed, or control was withdrawn, while the service
    // redeemed the ticket: nothing is typed.
    for (auto change : {+[](CommandsFixture& f) { f.secure = false; },
                        +[](CommandsFixture& f) { f.accessMode = "VIEW_ONLY"; },
                        +[](CommandsFixture& f) { f.withInjector = false; }}) {
        secure = true;
        accessMode = "FULL_CONTROL";
        withInjector = true;
        change(*this);
        commandsUnderTest->completeCredentialInject(Json{{"ok", true}, {"text", "hunter2"}});
        EXPECT_EQ(last()["ok"], false);
        EXPECT_TRUE(last().contains("reason"));
    }
    EXPECT_EQ(injector.calls().size(), 1u);
    EXPECT_FALSE(log.has("s3cret!"));
    EXPECT_FALSE(log.has("hunter2"));
}

TEST_F(CommandsFixture, WolPolicyAndRateWindow) {
    build();
    for (int i = 0; i < 10; ++i) {
        dispatcher.dispatch(Json{
            {"type", "wol_send"},
            {"targetMac", "AA:BB:CC:DD:EE:FF"},
            {"requestId",
             std::to_string(i)}}.dump());
        clock.advanceMs(1000);
        EXPECT_EQ(last()["sent"], true);
    }
    EXPECT_EQ(last(), (Json{{"requestId", "9"},
                            {"sent", true},
                            {"targetMac", "AA:BB:CC:DD:EE:FF"},
                            {"type", "wol_result"},
                            {"v", 1}}));
    dispatcher.dispatch(R"({"type":"wol_send","targetMac":"AA:BB:CC:DD:EE:FF","requestId":"x"})");
    EXPECT_EQ(last()["error"], "rate_limited");
    EXPECT_EQ(last()["message"],
              "Too many Wake-on-LAN attempts from this agent in the last minute.");
    EXPECT_TRUE(log.has("[wol] rate_limited: 10 events in last 60s"));
    EXPECT_EQ(wolMacs.size(), 10u);
    clock.setMs(1'000'000 + 60000);  // the first accepted request has expired
    dispatcher.dispatch(R"({"type":"wol_send","targetMac":"bad"})");
    EXPECT_EQ(last(), (Json{{"error", "invalid_mac"},
                            {"message", "The target MAC address is malformed."},
                            {"requestId", ""},
                            {"sent", false},
                            {"targetMac", "bad"},
                            {"type", "wol_result"},
                            {"v", 1}}));
    dispatcher.dispatch(R"({"type":"wol_send","targetMac":"AA:BB:CC:DD:EE:FF"})");
    EXPECT_EQ(last()["error"], "rate_limited");  // the failed send still counted
}

TEST_F(CommandsFixture, WolDeniedByPolicy) {
    build(false);
    dispatcher.dispatch(R"({"type":"wol_send","targetMac":"AA:BB:CC:DD:EE:FF","requestId":"r"})");
    EXPECT_EQ(last()["error"], "policy_denied");
    EXPECT_EQ(last()["message"], "This agent is not authorized to broadcast Wake-on-LAN packets.");
    EXPECT_TRUE(wolMacs.empty());
}

TEST_F(CommandsFixture, RebootThroughRelayOrLocalCommand) {
    withRelay = true;
    build();
    dispatcher.dispatch(R"({"type":"remote_reboot","safeMode":true})");
    ASSERT_EQ(relay.size(), 1u);
    EXPECT_EQ(relay[0].first, "REMOTE_REBOOT");
    EXPECT_EQ(relay[0].second, (Json{{"delaySeconds", 10}, {"safeMode", true}}));
    EXPECT_EQ(last(), (Json{{"error", ""},
                            {"executed", true},
                            {"safeMode", true},
                            {"type", "remote_reboot_ack"},
                            {"v", 1}}));
    EXPECT_TRUE(commands.empty());
    // A link that is down is no delegation: the viewer hears the failure.
    relayUp = false;
    dispatcher.dispatch(R"({"type":"remote_reboot"})");
    EXPECT_EQ(last(), (Json{{"error", "REMOTE_REBOOT could not be sent to the service"},
                            {"executed", false},
                            {"safeMode", false},
                            {"type", "remote_reboot_ack"},
                            {"v", 1}}));
    EXPECT_TRUE(commands.empty());
}

TEST_F(CommandsFixture, RebootWithoutRelayRunsTheCommandSeam) {
    build();
    dispatcher.dispatch(R"({"type":"remote_reboot"})");
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0], (std::pair<std::string, int>{"systemctl reboot", 10}));
    EXPECT_EQ(last()["executed"], true);
    EXPECT_TRUE(log.has("[reboot] (no service) shutdown /r scheduled in 10s"));
    commandRc = 3;
    dispatcher.dispatch(R"({"type":"remote_reboot","safeMode":true})");
    EXPECT_EQ(last(), (Json{{"error", "shutdown command returned rc=3"},
                            {"executed", false},
                            {"safeMode", true},
                            {"type", "remote_reboot_ack"},
                            {"v", 1}}));
    EXPECT_TRUE(log.has("[reboot] safeMode ignored — no service IPC available"));
}

TEST_F(CommandsFixture, ClipboardRowsGoThroughThePolicy) {
    build();
    dispatcher.dispatch(R"({"type":"clipboard_set","format":"text/plain","data":"aMOpbGxv"})");
    EXPECT_EQ(access.writes, std::vector<std::string>{"h\xc3\xa9llo"});
    dispatcher.dispatch(R"({"type":"clipboard_clear"})");
    EXPECT_EQ(access.clears, 1);
    EXPECT_TRUE(reported.empty());
    EXPECT_TRUE(replies.empty());
}

}  // namespace
}  // namespace kvd
