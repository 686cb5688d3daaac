#include <gtest/gtest.h>

#include "features/control_dispatcher.h"

#include "support/log_capture.h"

namespace kvd {
namespace {

struct DispatcherFixture : ::testing::Test {
    std::atomic<bool> overlay{false}, inputCh{false}, overDc{false}, running{true};
    std::vector<Json> replies;
    ControlDispatcher d{{&overlay, &inputCh, &overDc, &running},
                        [this](const Json& j) { replies.push_back(j); }};
};

TEST_F(DispatcherFixture, ViewerConfigSetsOnlyPresentKeys) {
    overlay = true;
    d.dispatch(R"({"type":"viewer_config","videoTransport":"webcodecs"})");
    EXPECT_TRUE(overDc);
    EXPECT_TRUE(overlay);
    EXPECT_FALSE(inputCh);
    d.dispatch(
        R"({"type":"viewer_config","cursorOverlay":false,"inputChannel":true,"videoTransport":"rtp"})");
    EXPECT_FALSE(overlay);
    EXPECT_TRUE(inputCh);
    EXPECT_FALSE(overDc);
}

TEST_F(DispatcherFixture, MalformedAndWrongTypedMessagesAreDropped) {
    int calls = 0;
    d.setHandler("probe", [&](const Json& m) {
        ++calls;
        (void)m.value("n", 0);  // wrong type throws inside the handler
    });
    for (const char* bad : {"not json", "{\"type\":5}", "[1,2]", "{\"type\":\"probe\",\"n\":\"x\"}",
                            "{\"type\":\"viewer_config\",\"cursorOverlay\":\"yes\"}", "",
                            "{\"type\":\"unknown_kind\"}"}) {
        d.dispatch(bad);
    }
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(overlay);
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(running);
    d.dispatch(R"({"type":"remote_stop_session"})");
    EXPECT_FALSE(running);
}

TEST_F(DispatcherFixture, DeeplyNestedMessageIsRefusedBeforeParsing) {
    test::LogCapture log;
    int calls = 0;
    d.setHandler("probe", [&](const Json&) { ++calls; });
    const std::string deep = std::string(60000, '[') + std::string(60000, ']');
    d.dispatch(R"({"type":"probe","x":)" + deep + "}");
    d.dispatch(deep);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(log.count("warning|control JSON parse error: nesting deeper than 64 levels"), 2u);
    // A real message a few levels deep still arrives.
    d.dispatch(R"({"type":"probe","a":{"b":[{"c":[1,2]}]}})");
    EXPECT_EQ(calls, 1);
}

TEST_F(DispatcherFixture, AgentStatsNames) {
    for (int level : {0, 1, 2, 3, 4, 5, 9}) d.reportDegradation(level);
    std::vector<std::string> names;
    for (const auto& r : replies) names.push_back(r["level"]);
    EXPECT_EQ(names, (std::vector<std::string>{"normal", "reduced", "low_bandwidth", "critical",
                                               "survival", "terminal_only", "unknown"}));
    EXPECT_EQ(replies[0].dump(), R"({"level":"normal","type":"agent_stats","v":1})");
}

TEST_F(DispatcherFixture, SessionConfigIsValidatedAsAWholeAndAcknowledged) {
    std::vector<std::pair<std::string, Json>> relay;
    std::vector<std::string> modes;
    int recorderCalls = 0;
    d.setSessionConfigHooks(
        {[&](const std::string& m) { modes.push_back(m); }, nullptr,
         [&](const ControlDispatcher::Policy&) { ++recorderCalls; },
         [&](const std::string& t, const Json& p) { relay.emplace_back(t, p); }});
    const std::pair<const char*, const char*> rejected[] = {
        {"[1]", "payload is not a JSON object"},
        {R"({"accessMode":1})", "accessMode must be a string"},
        {R"({"accessMode":"ADMIN"})", "accessMode must be VIEW_ONLY or FULL_CONTROL"},
        {R"({"accessMode":"VIEW_ONLY","allowClipboard":"no"})", "allowClipboard must be a boolean"},
        {R"({"allowFileTransfer":0})", "allowFileTransfer must be a boolean"},
        {R"({"recording":[]})", "recording must be an object"},
    };
    for (const auto& [text, reason] : rejected) {
        relay.clear();
        d.applySessionConfig(Json::parse(text));
        ASSERT_EQ(relay.size(), 1u) << text;
        EXPECT_EQ(relay[0].second, (Json{{"ok", false}, {"reason", reason}})) << text;
    }
    // Nothing of a rejected payload was applied, not even its valid keys.
    EXPECT_TRUE(modes.empty());
    EXPECT_EQ(d.policy().accessMode, "FULL_CONTROL");

    relay.clear();
    d.applySessionConfig(Json::parse(
        R"({"accessMode":"VIEW_ONLY","allowClipboard":false,"emitStatus":true,
            "recording":{"uploadUrl":"https://u.example/x","maxSizeBytes":-5}})"));
    const auto p = d.policy();
    EXPECT_EQ(p.accessMode, "VIEW_ONLY");
    EXPECT_FALSE(p.allowClipboard);
    EXPECT_TRUE(p.allowFileTransfer);
    EXPECT_TRUE(p.emitStatus);
    EXPECT_EQ(p.tenantId, "standalone");
    EXPECT_EQ(p.uploadUrl, "https://u.example/x");
    EXPECT_EQ(p.maxSizeBytes, 0u);
    EXPECT_EQ(modes, std::vector<std::string>{"VIEW_ONLY"});
    EXPECT_EQ(recorderCalls, 1);
    ASSERT_EQ(relay.size(), 1u);
    EXPECT_EQ(relay[0].first, "REMOTE_SESSION_CONFIG_ACK");
    EXPECT_EQ(relay[0].second, (Json{{"ok", true}}));
}

}  // namespace
}  // namespace kvd
