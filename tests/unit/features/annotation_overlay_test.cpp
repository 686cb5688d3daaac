#include <gtest/gtest.h>

#include "features/annotation_overlay.h"
#include "support/log_capture.h"
#include "unit/features/fake_windows.h"

namespace kvd {
namespace {

using test::RecordingSurface;

std::optional<AnnotationStroke> parse(const std::string& text, bool* truncated = nullptr) {
    return AnnotationOverlay::parseStroke(Json::parse(text), truncated);
}

TEST(AnnotationParse, Rules) {
    struct Case {
        const char* json;
        bool accepted;
    };
    const Case cases[] = {
        {R"({"type":"annotation_draw","id":"a","tool":"rect","points":[[1,2],[3,4]]})", true},
        {R"({"type":"annotation_draw","id":"a","tool":"rectangle","points":[[1,2],[3,4]]})", true},
        {R"({"type":"annotation_draw","id":"a","tool":"square","points":[[1,2],[3,4]]})", false},
        {R"({"type":"annotation_draw","id":"a","points":[[1,2],[3,4]]})", false},
        {R"({"type":"annotation_clear","id":"a","tool":"freehand"})", false},
        {R"({"type":"annotation_draw","tool":"freehand"})", false},
        {R"({"type":"annotation_draw","id":7,"tool":"freehand"})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"freehand"})", true},
        {R"({"type":"annotation_draw","id":"a","tool":"freehand","strokeWidth":"5"})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"freehand","points":[[1]]})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"freehand","points":[[1,2,3]]})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"freehand","points":[["1",2]]})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"freehand","points":{"x":1}})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"arrow","points":[[1,2]]})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"circle","points":[[1,2]]})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"text","points":[[1,2]],"text":""})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"text","points":[[1,2]],"text":5})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"text","points":[[1,2]],"text":"hi"})", true},
        // drawn at its first point: without one nothing could be drawn
        {R"({"type":"annotation_draw","id":"a","tool":"text","text":"hi"})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"pointer"})", false},
        {R"({"type":"annotation_draw","id":"a","tool":"pointer","points":[[5,5]]})", true},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(c.json).has_value(), c.accepted) << c.json;
}

TEST(AnnotationParse, NumbersAndColours) {
    struct Case {
        std::string extra;
        int32_t width;
        uint8_t r, g, b;
    };
    const Case cases[] = {
        {R"("strokeWidth":0)", 1, 255, 0, 0},      {R"("strokeWidth":100)", 32, 255, 0, 0},
        {R"("strokeWidth":5.9)", 5, 255, 0, 0},    {R"("strokeWidth":1e300)", 32, 255, 0, 0},
        {R"("strokeWidth":-1e300)", 1, 255, 0, 0}, {R"("color":"#00ff80")", 3, 0, 255, 128},
        {R"("color":"#00FF80")", 3, 0, 255, 128},  {R"("color":"blue")", 3, 255, 0, 0},
        {R"("color":"#0f8")", 3, 255, 0, 0},       {R"("color":"#00gg80")", 3, 255, 0, 0},
        {R"("color":"#00ff80ff")", 3, 255, 0, 0},  {R"("color":12)", 3, 255, 0, 0},
    };
    for (const auto& c : cases) {
        auto st = parse(R"({"type":"annotation_draw","id":"a","tool":"freehand",)" + c.extra + "}");
        ASSERT_TRUE(st) << c.extra;
        EXPECT_EQ(st->strokeWidth, c.width) << c.extra;
        EXPECT_EQ(std::vector<int>({st->red, st->green, st->blue}),
                  std::vector<int>({c.r, c.g, c.b}))
            << c.extra;
    }
    auto st = parse(
        R"({"type":"annotation_draw","id":"a","tool":"freehand","points":[[1.9,-2.9],[1e300,-1e300]]})");
    ASSERT_TRUE(st);
    const std::vector<std::pair<int32_t, int32_t>> want{{1, -2}, {1 << 20, -(1 << 20)}};
    EXPECT_EQ(st->points, want);
}

TEST(AnnotationOverlay, CapsDropTheOldestStrokesAndExtraPoints) {
    test::LogCapture logs;
    AnnotationOverlay overlay(nullptr, nullptr);
    for (size_t i = 0; i < AnnotationOverlay::kMaxStrokes + 3; ++i)
        ASSERT_TRUE(overlay.drawFromJson(
            Json{{"type", "annotation_draw"}, {"id", std::to_string(i)}, {"tool", "freehand"}}));
    auto strokes = overlay.strokes();
    ASSERT_EQ(strokes.size(), AnnotationOverlay::kMaxStrokes);
    EXPECT_EQ(strokes.front().id, "3");
    EXPECT_EQ(strokes.back().id, std::to_string(AnnotationOverlay::kMaxStrokes + 2));
    EXPECT_TRUE(logs.contains("the oldest is dropped"));

    Json pts = Json::array();
    for (size_t i = 0; i < AnnotationOverlay::kMaxPointsPerStroke + 10; ++i)
        pts.push_back({static_cast<int>(i), 0});
    bool truncated = false;
    auto st = AnnotationOverlay::parseStroke(
        Json{{"type", "annotation_draw"}, {"id", "p"}, {"tool", "freehand"}, {"points", pts}},
        &truncated);
    ASSERT_TRUE(st);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(st->points.size(), AnnotationOverlay::kMaxPointsPerStroke);
    EXPECT_EQ(st->points.back().first,
              static_cast<int32_t>(AnnotationOverlay::kMaxPointsPerStroke - 1));

    overlay.clear();
    EXPECT_TRUE(overlay.strokes().empty());
    EXPECT_FALSE(overlay.drawFromJson(std::string_view("{not json")));
    EXPECT_TRUE(logs.has("warning|[anno] drawFromJson parse failed (9 bytes)"));
}

TEST(AnnotationOverlay, PaintsEachTool) {
    auto stroke = [](const char* json) { return *parse(json); };
    struct Case {
        const char* json;
        std::vector<std::string> ops;  // after the transparent clear
    };
    const Case cases[] = {
        {R"({"type":"annotation_draw","id":"a","tool":"arrow","points":[[0,0],[100,0]],"strokeWidth":2,"color":"#00ff00"})",
         {"line ff00ff00 0,0-100,0 w2", "line ff00ff00 100,0-87,6 w2",
          "line ff00ff00 100,0-87,-6 w2"}},
        {R"({"type":"annotation_draw","id":"a","tool":"arrow","points":[[5,5],[5,5]]})",
         {"line ffff0000 5,5-5,5 w3"}},
        {R"({"type":"annotation_draw","id":"a","tool":"circle","points":[[50,60],[10,20]]})",
         {"ellipse ffff0000 10,20,40x40 w3"}},
        {R"({"type":"annotation_draw","id":"a","tool":"rect","points":[[30,40],[10,20]]})",
         {"polyline ffff0000 10,20-30,20-30,40-10,40-10,20 w3"}},
        {R"({"type":"annotation_draw","id":"a","tool":"freehand","points":[[1,1],[2,3],[4,4]]})",
         {"polyline ffff0000 1,1-2,3-4,4 w3"}},
        {R"({"type":"annotation_draw","id":"a","tool":"text","points":[[100,200]],"text":"hi","strokeWidth":1})",
         {"text ffff0000 100,200,1820x880 h14 bold 'hi'"}},
        {R"({"type":"annotation_draw","id":"a","tool":"text","points":[[0,0]],"text":"hi","strokeWidth":5})",
         {"text ffff0000 0,0,1920x1080 h30 bold 'hi'"}},
        {R"({"type":"annotation_draw","id":"a","tool":"pointer","points":[[100,100]],"strokeWidth":1})",
         {"ellipse ffff0000 80,80,40x40 w1", "ellipse ffff0000 66,66,68x68 w1",
          "ellipse ffff0000 52,52,96x96 w1"}},
    };
    for (const auto& c : cases) {
        RecordingSurface s;
        AnnotationOverlay::paint(s, {stroke(c.json)});
        ASSERT_FALSE(s.ops.empty());
        EXPECT_EQ(s.ops.front(), "clear 0");
        EXPECT_EQ(std::vector<std::string>(s.ops.begin() + 1, s.ops.end()), c.ops) << c.json;
    }
}

TEST(AnnotationOverlay, ThreadRepaintsOnDrawClearAndScreenChange) {
    test::OverlayProbe probe;
    AnnotationOverlay overlay(test::fakeOverlays(probe), [] {
        return platform::SurfaceRect{0, 0, 64, 48};
    });
    test::LogCapture logs;
    ASSERT_TRUE(overlay.start());
    EXPECT_TRUE(logs.has("info|[anno] start screen=64x48"));
    auto lastOps = [&] {
        std::lock_guard<std::mutex> lk(probe.mu);
        return probe.lastOps;
    };
    ASSERT_TRUE(test::eventually([&] { return probe.visible && lastOps().size() == 1; }));
    EXPECT_EQ(probe.options.name, "KelvandrumAnnotationOverlay");
    EXPECT_TRUE(probe.options.clickThrough);
    overlay.drawFromJson(
        Json::parse(R"({"type":"annotation_draw","id":"a","tool":"rect","points":[[1,2],[3,4]]})"));
    ASSERT_TRUE(test::eventually([&] { return lastOps().size() == 2; }));
    overlay.clear();
    ASSERT_TRUE(test::eventually([&] { return lastOps() == std::vector<std::string>{"clear 0"}; }));
    EXPECT_TRUE(logs.has("info|[anno] repaint count=0"));

    overlay.drawFromJson(
        Json::parse(R"({"type":"annotation_draw","id":"b","tool":"rect","points":[[1,2],[3,4]]})"));
    ASSERT_TRUE(test::eventually([&] { return lastOps().size() == 2; }));
    int before = 0;
    {
        std::lock_guard<std::mutex> lk(probe.mu);
        before = probe.presents;
        probe.rect = {0, 0, 128, 96};
    }
    probe.resizeNext = true;
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard<std::mutex> lk(probe.mu);
        return probe.presents > before && probe.lastOps.size() == 2;
    }));
    overlay.stop();
    EXPECT_FALSE(overlay.running());
    EXPECT_TRUE(overlay.strokes().empty());
}

TEST(AnnotationOverlay, WindowFailureIsLogged) {
    test::OverlayProbe probe;
    test::LogCapture logs;
    AnnotationOverlay overlay(test::fakeOverlays(probe, true), [] {
        return platform::SurfaceRect{0, 0, 64, 48};
    });
    overlay.start();
    ASSERT_TRUE(test::eventually(
        [&] { return logs.has("error|[anno] CreateWindowExW failed: no display"); }));
    // Strokes are still kept for a window that may never come.
    EXPECT_TRUE(
        overlay.drawFromJson(Json{{"type", "annotation_draw"}, {"id", "a"}, {"tool", "freehand"}}));
}

}  // namespace
}  // namespace kvd
