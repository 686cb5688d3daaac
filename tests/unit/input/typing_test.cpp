#include <gtest/gtest.h>

#include "input/typing.h"

namespace kvd {
namespace {

TEST(Utf8ToUtf16, ValidTextIncludingAstralCharacters) {
    EXPECT_EQ(utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC"), u"a\u00e9\u20ac");
    EXPECT_EQ(utf8ToUtf16("\xD0\x9F\xD1\x80\xD0\xB8"), u"\u041f\u0440\u0438");
    // U+1F600 becomes a surrogate pair; U+10FFFF is the largest allowed.
    EXPECT_EQ(utf8ToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(utf8ToUtf16("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
    EXPECT_EQ(utf8ToUtf16(std::string("x\0y", 3)), std::u16string(u"x\0y", 3));
}

TEST(Utf8ToUtf16, InvalidInputBecomesReplacementCharacters) {
    struct Case {
        const char* name;
        std::string in;
        std::u16string out;
    };
    const Case cases[] = {
        {"stray continuation",
         "a\x80"
         "b",
         u"a\uFFFDb"},
        {"bad lead F8", "\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"overlong C0", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong E0", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"surrogate D800", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"surrogate DFFF",
         "\xED\xBF\xBF"
         "z",
         u"\uFFFD\uFFFD\uFFFDz"},
        {"above 10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"F5 lead", "\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        // A broken sequence does not swallow the ASCII that follows it.
        {"missing continuation",
         "\xE2\x82"
         "A",
         u"\uFFFDA"},
        {"cut off at end", "ok\xF0\x9F\x98", u"ok\uFFFD"},
        {"lone lead at end", "\xC3", u"\uFFFD"},
    };
    for (const auto& c : cases) EXPECT_EQ(utf8ToUtf16(c.in), c.out) << c.name;
}

TEST(TypingRecords, LineEndsTabsAndUnicode) {
    const auto r = typingRecords(u"a\r\nb\t\U0001F600");
    struct Expect {
        uint16_t code;
        bool unicode, up;
    };
    const Expect want[] = {{'a', true, false},   {'a', true, true},     {0x0D, false, false},
                           {0x0D, false, true},  {'b', true, false},    {'b', true, true},
                           {0x09, false, false}, {0x09, false, true},   {0xD83D, true, false},
                           {0xD83D, true, true}, {0xDE00, true, false}, {0xDE00, true, true}};
    ASSERT_EQ(r.size(), std::size(want));
    for (size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i].code, want[i].code) << i;
        EXPECT_EQ(r[i].unicode, want[i].unicode) << i;
        EXPECT_EQ(r[i].up, want[i].up) << i;
    }
    EXPECT_TRUE(typingRecords(u"\r\r").empty());
}

TEST(MulDiv, RoundsHalfAwayFromZero) {
    EXPECT_EQ(mulDiv(32768, 1920, 65535), 960);
    EXPECT_EQ(mulDiv(65535, 1280, 65535), 1280);
    EXPECT_EQ(mulDiv(0, 1280, 65535), 0);
    EXPECT_EQ(mulDiv(1, 1, 2), 1);
    EXPECT_EQ(mulDiv(-1, 1, 2), -1);
    EXPECT_EQ(mulDiv(5, 1, 0), -1);
}

}  // namespace
}  // namespace kvd
