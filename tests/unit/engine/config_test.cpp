#include <gtest/gtest.h>

#include <map>

#include "engine/config.h"

namespace kvd {
namespace {

using Env = std::map<std::string, std::string>;

EnvReader envOf(Env env) {
    return [env = std::move(env)](const std::string& k) -> std::optional<std::string> {
        auto it = env.find(k);
        if (it == env.end()) return std::nullopt;
        return it->second;
    };
}

std::string errorOf(const std::vector<std::string>& args, const Env& env = {}) {
    try {
        parseConfiguration(args, envOf(env));
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

const Env kToken{{"KELVANDRUM_SESSION_TOKEN", "tok"}};

TEST(Config, CommandLineOptions) {
    auto c = parseConfiguration({"--session-id",
                                 "s1",
                                 "--signaling-url",
                                 "wss://h/x",
                                 "--pipe",
                                 "relay",
                                 "--terminal-only",
                                 "--temporary",
                                 "--fps",
                                 "15",
                                 "--max-bitrate",
                                 "2500",
                                 "--allow-wol",
                                 "--unattended",
                                 "--input-pipe",
                                 "ip",
                                 "--operator-name",
                                 "Ann",
                                 "--control-port",
                                 "77x",
                                 "--bogus",
                                 "--session-id",
                                 "s2"},
                                envOf(kToken));
    EXPECT_EQ(c.sessionId, "s2");  // later occurrence wins
    EXPECT_EQ(c.signalingUrl, "wss://h/x");
    EXPECT_EQ(c.pipeName, "relay");
    EXPECT_TRUE(c.terminalOnly);
    EXPECT_TRUE(c.temporary);
    EXPECT_EQ(c.targetFps, 15);
    EXPECT_EQ(c.maxBitrate, 2500);
    EXPECT_TRUE(c.allowsWol);
    EXPECT_TRUE(c.unattendedMode);
    EXPECT_EQ(c.inputPipeName, "ip");
    EXPECT_EQ(c.operatorName, "Ann");
    EXPECT_EQ(c.controlPort, 77);
    EXPECT_EQ(c.sessionToken, "tok");
    EXPECT_EQ(c.accessMode, "FULL_CONTROL");
}

TEST(Config, Errors) {
    struct Case {
        std::vector<std::string> args;
        Env env;
        std::string error;
    };
    const std::string tokenMsg =
        "--token no longer accepts a session token on the command line: a SYSTEM process's argv "
        "is readable by any local user via WMI. Pass KELVANDRUM_SESSION_TOKEN in the environment "
        "instead.";
    const std::vector<Case> cases = {
        {{"--session-id", "s", "--signaling-url", "ws://h"},
         {},
         "Required args: --session-id, --token"},
        // "dummy" is accepted and ignored, so the token is still missing.
        {{"--token", "dummy", "--session-id", "s", "--signaling-url", "ws://h"},
         {},
         "Required args: --session-id, --token"},
        {{"--token", "secret"}, kToken, tokenMsg},
        {{"--session-id", "s"}, kToken, "Required: --signaling-url (direct) or --pipe (relay)"},
        {{"--fps", "abc"}, kToken, "invalid stoi argument"},
        {{"--max-bitrate", "99999999999"}, kToken, "stoi argument out of range"},
        {{"--session-id", "s", "--pipe", "p", "--fps"}, kToken, ""},  // value missing: ignored
        {{"--check-permissions"}, {}, ""},
        {{"--agent"}, {}, ""},
        {{"--input-mode"}, {}, ""},
        {{"--session-id", "s", "--pipe", "p"},
         {{"KELVANDRUM_SESSION_TOKEN", ""}},
         "Required args: --session-id, --token"},
    };
    for (const auto& c : cases) EXPECT_EQ(errorOf(c.args, c.env), c.error) << c.args[0];
}

TEST(Config, FpsParsingFollowsStoiRules) {
    EXPECT_EQ(parseInt32Strict("  42"), 42);
    EXPECT_EQ(parseInt32Strict("-7"), -7);
    EXPECT_EQ(parseInt32Strict("30fps"), 30);
    EXPECT_EQ(parseInt32Strict("2147483647"), 2147483647);
    EXPECT_THROW(parseInt32Strict("2147483648"), ConfigError);
    EXPECT_THROW(parseInt32Strict(""), ConfigError);
    auto c = parseConfiguration({"--session-id", "s", "--pipe", "p", "--fps"}, envOf(kToken));
    EXPECT_EQ(c.targetFps, 30);
}

TEST(Config, TestExitWindowKnobTakesOnlyPlainCountsInRange) {
    const std::vector<std::pair<std::optional<std::string>, int64_t>> cases = {
        {std::nullopt, 45000}, {"2000", 2000},   {"100", 100},
        {"99", 45000},         {"45001", 45000}, {"-5", 45000},
        {"2s", 45000},         {"", 45000},      {"999999999999", 45000}};
    for (const auto& [value, want] : cases) {
        EnvReader env = [&](const std::string& name) -> std::optional<std::string> {
            if (name == "KELVANDRUM_TEST_EXIT_WINDOW_MS") return value;
            return std::nullopt;
        };
        EXPECT_EQ(testExitWindowMs(env), want) << value.value_or("(unset)");
    }
    // The viewer-silence knob follows the same rule within 1000..15000 ms.
    const std::vector<std::pair<std::optional<std::string>, int64_t>> silence = {
        {std::nullopt, 15000}, {"3000", 3000},   {"1000", 1000},
        {"999", 15000},        {"15001", 15000}, {"3s", 15000}};
    for (const auto& [value, want] : silence) {
        EnvReader env = [&](const std::string& name) -> std::optional<std::string> {
            if (name == "KELVANDRUM_TEST_VIEWER_SILENCE_MS") return value;
            if (name == "KELVANDRUM_SESSION_TOKEN") return std::string("t");
            return std::nullopt;
        };
        EXPECT_EQ(testViewerSilenceMs(env), want) << value.value_or("(unset)");
        EXPECT_EQ(parseConfiguration({"--session-id", "s", "--pipe", "p"}, env).viewerSilenceMs,
                  want);
    }
}

TEST(Config, EnvironmentFlags) {
    auto c = parseConfiguration({"--session-id", "s", "--pipe", "p"},
                                envOf({{"KELVANDRUM_SESSION_TOKEN", "t"},
                                       {"KELVANDRUM_SHM_V2", "true"},
                                       {"KELVANDRUM_ALLOW_WOL", "yes"},
                                       {"KELVANDRUM_TRANSITION_BRIDGE", "1"},
                                       {"KELVANDRUM_DXGI_CANDIDATE_PROMOTION", "1"},
                                       {"KELVANDRUM_ENGINE_EXIT_TRUTH", "1"},
                                       {"KELVANDRUM_CAPTURE_ENTER_GUARD", "01"},
                                       {"KELVANDRUM_ICE_DIAGNOSTICS", "1"},
                                       {"KELVANDRUM_INPUT_PIPE_TOKEN", "pt"}}));
    EXPECT_FALSE(c.shmV2);  // only "1" counts
    EXPECT_TRUE(c.allowsWol);
    EXPECT_TRUE(c.transitionBridge);
    EXPECT_TRUE(c.dxgiCandidatePromotion);
    EXPECT_TRUE(c.engineExitTruth);
    EXPECT_FALSE(c.captureEnterGuard);
    EXPECT_TRUE(c.iceDiagnostics);
    EXPECT_EQ(c.inputPipeToken, "pt");
    for (const char* v : {"1", "true", "TRUE", "yes", "YES"})
        EXPECT_TRUE(
            parseConfiguration({"--check-permissions"}, envOf({{"KELVANDRUM_ALLOW_WOL", v}}))
                .allowsWol);
    for (const char* v : {"0", "True", "on", ""})
        EXPECT_FALSE(
            parseConfiguration({"--check-permissions"}, envOf({{"KELVANDRUM_ALLOW_WOL", v}}))
                .allowsWol);
}

TEST(ConfigJson, DiscardsOtherOptionsAndReadsKeys) {
    const std::string json = R"({"sessionId":"js","sessionToken":"jt","pipeName":"pp",
        "targetFps":12,"maxBitrate":900,"terminalOnly":true,"accessMode":"VIEW_ONLY",
        "allowClipboard":false,"allowFileTransfer":false,"recordingEnabled":false,
        "inputMode":false,"unattendedMode":true,"inputPipeName":"ipn","shmV2":true,
        "transitionBridge":true,"dxgiCandidatePromotion":true,
        "turnServers":[{"url":"turn:t:3478","username":"u","credential":"c"}],
        "stunServers":["stun:s:1"]})";
    auto c = parseConfiguration(
        {"--fps", "5", "--operator-name", "X", "--config-json", json, "--max-bitrate", "1"},
        envOf({{"KELVANDRUM_ENGINE_EXIT_TRUTH", "1"}, {"KELVANDRUM_INPUT_PIPE_TOKEN", "ipt"}}));
    EXPECT_EQ(c.sessionId, "js");
    EXPECT_EQ(c.sessionToken, "jt");
    EXPECT_EQ(c.targetFps, 12);
    EXPECT_EQ(c.maxBitrate, 900);   // options after --config-json are not read
    EXPECT_EQ(c.operatorName, "");  // options before it are discarded
    EXPECT_TRUE(c.terminalOnly);
    EXPECT_EQ(c.accessMode, "VIEW_ONLY");
    EXPECT_FALSE(c.allowClipboard);
    EXPECT_FALSE(c.allowFileTransfer);
    EXPECT_FALSE(c.recordingEnabled);
    EXPECT_TRUE(c.unattendedMode);
    EXPECT_EQ(c.inputPipeName, "ipn");
    EXPECT_TRUE(c.shmV2 && c.transitionBridge && c.dxgiCandidatePromotion);
    EXPECT_FALSE(c.engineExitTruth);  // environment flags are not applied in this path
    EXPECT_EQ(c.inputPipeToken, "ipt");
    ASSERT_EQ(c.turnServers.size(), 1u);
    EXPECT_EQ(c.turnServers[0], (IceServerEntry{"turn:t:3478", "u", "c"}));
    EXPECT_EQ(c.stunServers, std::vector<std::string>{"stun:s:1"});

    auto e = parseJsonConfiguration(
        R"({"sessionId":"a","sessionToken":"b","signalingUrl":"ws://x"})",
        envOf({{"KELVANDRUM_SESSION_TOKEN", "env"}, {"KELVANDRUM_ALLOW_WOL", "yes"}}));
    EXPECT_EQ(e.sessionToken, "env");
    EXPECT_TRUE(e.allowsWol);
}

TEST(ConfigJson, Errors) {
    auto err = [](const std::string& json) {
        try {
            parseJsonConfiguration(json, envOf({}));
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    const std::string base = R"("sessionId":"a","sessionToken":"b","pipeName":"p")";
    EXPECT_EQ(err("{" + base + "}"), "");
    EXPECT_EQ(err(R"({"sessionToken":"b","pipeName":"p"})"),
              "JSON config: missing/invalid required field 'sessionId'");
    EXPECT_EQ(err(R"({"sessionId":1,"sessionToken":"b","pipeName":"p"})"),
              "JSON config: missing/invalid required field 'sessionId'");
    EXPECT_EQ(err(R"({"sessionId":"a","pipeName":"p"})"),
              "JSON config: missing/invalid required field 'sessionToken'");
    EXPECT_EQ(err(R"({"sessionId":"a","sessionToken":"b"})"),
              "JSON config: signalingUrl or pipeName required");
    EXPECT_EQ(err("{" + base + R"(,"turnServers":{}})"),
              "JSON config: 'turnServers' must be an array");
    EXPECT_EQ(err("{" + base + R"(,"turnServers":[{"url":"u","username":"x"}]})"),
              "JSON config: each turnServers entry needs url/username/credential");
    EXPECT_EQ(err("{" + base + R"(,"stunServers":"s"})"),
              "JSON config: 'stunServers' must be an array");
    EXPECT_EQ(err("{" + base + R"(,"targetFps":"fast"})"),
              "[json.exception.type_error.302] type must be number, but is string");
    EXPECT_EQ(err("{" + base + R"(,"terminalOnly":1})"),
              "[json.exception.type_error.302] type must be boolean, but is number");
    EXPECT_EQ(err("{bad").rfind("JSON config parse error: [json.exception.parse_error", 0), 0u);
}

TEST(IceServers, Ingestion) {
    EngineConfig c;
    auto r = ingestIceServers(c, R"({"stunServers":["stun:a:1",5,"stun:b:2"],
        "turnServers":[{"urls":["turn:t1:3478","turns:t2:443"],"username":"u","credential":"p"},
                       {"url":"turn:t3:3478","username":"u3","credential":"p3"},
                       {"url":"turn:nocred"}, "junk", {"urls":"x","username":"u","credential":"c"}]})");
    EXPECT_TRUE(r.parsed);
    EXPECT_EQ(c.stunServers, (std::vector<std::string>{"stun:a:1", "stun:b:2"}));
    const std::vector<IceServerEntry> want = {
        {"turn:t1:3478", "u", "p"}, {"turns:t2:443", "u", "p"}, {"turn:t3:3478", "u3", "p3"}};
    EXPECT_EQ(c.turnServers, want);

    EngineConfig d;
    r = ingestIceServers(d, "not json");
    EXPECT_FALSE(r.parsed);
    EXPECT_FALSE(r.error.empty());
    EXPECT_TRUE(d.stunServers.empty());

    // A number out of a double's range is refused like any malformed text.
    EngineConfig e;
    r = ingestIceServers(e, R"({"stunServers":["stun:a:1"],"ttl":6e952})");
    EXPECT_FALSE(r.parsed);
    EXPECT_FALSE(r.error.empty());
    EXPECT_TRUE(e.stunServers.empty());
}

}  // namespace
}  // namespace kvd
