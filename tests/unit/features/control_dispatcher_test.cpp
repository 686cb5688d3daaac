#include <gtest/gtest.h>

#include "features/control_dispatcher.h"

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

TEST_F(DispatcherFixture, AgentStatsNames) {
    for (int level : {0, 1, 2, 3, 4, 5, 9}) d.reportDegradation(level);
    std::vector<std::string> names;
    for (const auto& r : replies) names.push_back(r["level"]);
    EXPECT_EQ(names, (std::vector<std::string>{"normal", "reduced", "low_bandwidth", "critical",
                                               "survival", "terminal_only", "unknown"}));
    EXPECT_EQ(replies[0].dump(), R"({"level":"normal","type":"agent_stats","v":1})");
}

}  // namespace
}  // namespace kvd
