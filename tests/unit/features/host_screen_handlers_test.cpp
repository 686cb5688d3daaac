#include <gtest/gtest.h>

#include "features/host_screen_handlers.h"

namespace kvd {
namespace {

TEST(HostScreenRows, DispatcherRoutesTheThreeMessages) {
    std::atomic<bool> a{false}, b{false}, c{false}, running{true};
    std::vector<Json> replies;
    ControlDispatcher d({&a, &b, &c, &running}, [&](const Json& j) { replies.push_back(j); });
    AnnotationOverlay annotations(nullptr, nullptr);
    ConnectionIndicator indicator(nullptr, 1.0);
    installHostScreenHandlers(d, &annotations, &indicator);

    struct Step {
        const char* message;
        size_t strokes;
        const char* operatorName;
    };
    const Step steps[] = {
        {R"({"type":"annotation_draw","id":"1","tool":"rect","points":[[0,0],[9,9]]})", 1, ""},
        {R"({"type":"annotation_draw","id":"2","tool":"nope"})", 1, ""},
        {R"({"type":"annotation_draw","id":"3","tool":"arrow","points":[[0,0],[9,9]],"strokeWidth":"x"})",
         1, ""},
        {R"({"type":"annotation_draw","id":"4","tool":"freehand"})", 2, ""},
        {R"({"type":"annotation_clear"})", 0, ""},
        {R"({"type":"annotation_draw","id":"5","tool":"pointer","points":[[4,4]]})", 1, ""},
        {R"({"type":"connection_indicator","operatorName":"Ann","mode":"view_only"})", 1, "Ann"},
        {R"({"type":"connection_indicator","operatorName":["Bob"]})", 1, "Ann"},
        {"not json at all", 1, "Ann"},
        {R"({"type":"annotation_clear","extra":1})", 0, "Ann"},
    };
    for (const auto& s : steps) {
        d.dispatch(s.message);
        EXPECT_EQ(annotations.strokes().size(), s.strokes) << s.message;
        EXPECT_EQ(indicator.config().operatorName, s.operatorName) << s.message;
    }
    EXPECT_EQ(indicator.config().mode, IndicatorConfig::Mode::FullControl);
    EXPECT_TRUE(replies.empty());
    indicator.stop();
}

}  // namespace
}  // namespace kvd
