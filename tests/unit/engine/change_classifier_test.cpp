#include <gtest/gtest.h>

#include "engine/change_classifier.h"

namespace kvd {
namespace {

struct ClassCase {
    const char* name;
    int32_t w, h;
    std::vector<DirtyRect> rects;
    ChangeClass expected;
    double ratio;
};

TEST(ChangeClassifier, ClassifiesByChangedShareOfTheImage) {
    const std::vector<ClassCase> cases = {
        {"zero-area rect", 100, 100, {{10, 10, 0, 5}}, ChangeClass::None, 0.0},
        {"negative size", 100, 100, {{10, 10, -20, -20}}, ChangeClass::None, 0.0},
        {"small change", 100, 100, {{0, 0, 10, 10}}, ChangeClass::Partial, 0.01},
        {"just under major", 100, 100, {{0, 0, 100, 29}}, ChangeClass::Partial, 0.29},
        {"exactly the major threshold", 100, 100, {{0, 0, 100, 30}}, ChangeClass::Major, 0.30},
        {"sum of rects", 100, 100, {{0, 0, 50, 10}, {0, 50, 50, 10}}, ChangeClass::Partial, 0.10},
        {"clipped to the image", 100, 100, {{90, 90, 1000, 1000}}, ChangeClass::Partial, 0.01},
        {"outside the image", 100, 100, {{200, 200, 10, 10}}, ChangeClass::None, 0.0},
        {"overlaps clamp to whole",
         100,
         100,
         {{0, 0, 100, 100}, {0, 0, 100, 100}},
         ChangeClass::Major,
         1.0},
        {"huge values do not overflow",
         100,
         100,
         {{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}},
         ChangeClass::None,
         0.0},
        {"zero-size image", 0, 0, {{0, 0, 1, 1}}, ChangeClass::Major, 1.0},
    };
    for (const auto& c : cases) {
        ChangeClassifier cl(c.w, c.h);
        EXPECT_NEAR(cl.ratio(c.rects), c.ratio, 1e-9) << c.name;
        EXPECT_EQ(cl.classify(c.rects), c.expected) << c.name;
    }
}

TEST(ChangeClassifier, CountsClassesAndKeepsTheLastThirtyRatios) {
    ChangeClassifier cl(10, 10);
    cl.classify({});                // none
    cl.classify({{0, 0, 1, 1}});    // partial
    cl.classify({{0, 0, 10, 10}});  // major
    cl.classify({{0, 0, 10, 10}});  // major
    EXPECT_EQ(cl.frames(), 4u);
    EXPECT_EQ(cl.none(), 1u);
    EXPECT_EQ(cl.partial(), 1u);
    EXPECT_EQ(cl.major(), 2u);

    for (int i = 0; i < 40; ++i) cl.classify({{0, 0, 10, i % 10 + 1}});
    const auto h = cl.history();
    ASSERT_EQ(h.size(), 30u);
    // Oldest first: the last 30 of the 40 (i = 10..39).
    EXPECT_FLOAT_EQ(h.front(), 0.1f);
    EXPECT_FLOAT_EQ(h.back(), 1.0f);

    cl.resize(20, 10);
    EXPECT_NEAR(cl.ratio({{0, 0, 10, 10}}), 0.5, 1e-9);
}

}  // namespace
}  // namespace kvd
