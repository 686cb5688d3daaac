#include <gtest/gtest.h>
#include <spdlog/formatter.h>

#include "common/clock.h"
#include "common/codec.h"
#include "common/json_util.h"
#include "common/log.h"

namespace kvd {
namespace {

TEST(Base64, RoundTripsAndRejectsMalformed) {
    struct Case {
        std::string plain, encoded;
    };
    for (const auto& c : std::vector<Case>{{"", ""},
                                           {"f", "Zg=="},
                                           {"fo", "Zm8="},
                                           {"foo", "Zm9v"},
                                           {"foobar", "Zm9vYmFy"},
                                           {std::string("\0\xff\x10", 3), "AP8Q"}}) {
        EXPECT_EQ(base64Encode(c.plain), c.encoded);
        auto d = base64Decode(c.encoded);
        ASSERT_TRUE(d);
        EXPECT_EQ(std::string(d->begin(), d->end()), c.plain);
    }
    for (const char* bad : {"Zg=", "Z===", "Zm9v!A==", "Zg==Zg==", "=Zg="})
        EXPECT_FALSE(base64Decode(bad)) << bad;
}

TEST(Crc32, KnownValuesAndIncremental) {
    EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32("", 0), 0u);
    uint32_t c = crc32Update(0, "1234", 4);
    c = crc32Update(c, "56789", 5);
    EXPECT_EQ(c, 0xCBF43926u);
}

TEST(Sha256, KnownValuesAndIncremental) {
    EXPECT_EQ(Sha256::hex("abc", 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256::hex("", 0),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    Sha256 h;
    h.update("a", 1);
    h.update("bc", 2);
    EXPECT_EQ(h.finishHex(), Sha256::hex("abc", 3));
}

TEST(JsonEscape, ControlCharactersUseUnicodeEscapes) {
    EXPECT_EQ(escapeJsonString("a\"b\\c\n\r\t\b\f"), "a\\\"b\\\\c\\n\\r\\t\\b\\f");
    EXPECT_EQ(escapeJsonString(std::string("\x01\x1f", 2)), "\\u0001\\u001f");
    EXPECT_EQ(escapeJsonString("caf\xc3\xa9"), "caf\xc3\xa9");
    // The escaped text embeds into a valid JSON document.
    const std::string nasty = "x\"}\n{\"forged\":1";
    auto j = parseJson("{\"m\":\"" + escapeJsonString(nasty) + "\"}");
    ASSERT_TRUE(j);
    EXPECT_EQ((*j)["m"], nasty);
}

TEST(JsonAccess, WrongTypesCountAsAbsent) {
    auto j = *parseJson(R"({"s":"x","n":5,"f":2.5,"b":true,"o":{},"a":[],"big":1e300})");
    EXPECT_EQ(jsonString(j, "s"), "x");
    EXPECT_FALSE(jsonString(j, "n"));
    EXPECT_EQ(jsonInt(j, "n"), 5);
    EXPECT_EQ(jsonInt(j, "f"), 2);
    EXPECT_FALSE(jsonInt(j, "big"));
    EXPECT_FALSE(jsonInt(j, "s"));
    EXPECT_EQ(jsonBool(j, "b"), true);
    EXPECT_FALSE(jsonBool(j, "n"));
    EXPECT_TRUE(jsonObject(j, "o"));
    EXPECT_FALSE(jsonObject(j, "a"));
    EXPECT_TRUE(jsonArray(j, "a"));
    EXPECT_FALSE(jsonString(Json::array(), "s"));
    EXPECT_FALSE(parseJson("{bad"));
    // Invalid UTF-8 in a value is replaced, not thrown.
    Json bad;
    bad["name"] = std::string(
        "a\xff"
        "b");
    EXPECT_EQ(dumpJson(bad),
              "{\"name\":\"a\xef\xbf\xbd"
              "b\"}");
}

TEST(Clock, UtcTimeText) {
    EXPECT_EQ(utcTimeText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(utcTimeText(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(utcTimeText(1798761599), "2026-12-31T23:59:59Z");
    ManualClock c(5);
    c.advanceMs(10);
    EXPECT_EQ(c.nowMs(), 15);
}

}  // namespace
}  // namespace kvd

namespace kvd {
namespace {

std::string nested(int depth, const std::string& inner = "1") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonDepth, ScanCountsOnlyStructureOutsideStrings) {
    struct Case {
        std::string text;
        bool within;
    };
    const std::vector<Case> cases = {
        {nested(kMaxJsonDepth), true},
        {nested(kMaxJsonDepth + 1), false},
        {"{\"a\":" + nested(kMaxJsonDepth - 1) + "}", true},
        {"{\"a\":" + nested(kMaxJsonDepth) + "}", false},
        // Brackets inside strings, escaped quotes included, are text.
        {"[\"" + std::string(1000, '[') + "\"]", true},
        {"[\"\\\"" + std::string(1000, '{') + "\"]", true},
        {"[\"\\\\\"" + std::string(100, '[') + "]", false},  // the string ended at \\"
        // Closers first buy no extra depth.
        {std::string(1000, ']') + nested(kMaxJsonDepth + 1), false},
        {nested(60000), false},
        {"", true},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(jsonDepthWithin(cases[i].text), cases[i].within) << "case " << i;
}

TEST(JsonDepth, ParseRefusesDeepDocumentsWithTheReason) {
    EXPECT_FALSE(parseJson(nested(60000)));
    EXPECT_TRUE(parseJson(nested(kMaxJsonDepth)));
    std::string error;
    EXPECT_FALSE(parseJson("{\"type\":\"x\",\"a\":" + nested(60000) + "}", error));
    EXPECT_EQ(error, "nesting deeper than 64 levels");
    EXPECT_FALSE(parseJson(nested(3), error, 2));
    EXPECT_EQ(error, "nesting deeper than 2 levels");
    EXPECT_FALSE(parseJson("{\"a\":}", error));
    EXPECT_NE(error.find("parse error"), std::string::npos) << error;
}

TEST(Utf8Repair, InvalidSequencesBecomeReplacementCharacters) {
    const std::string R = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"plain", "plain"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"a\xff"
         "b",
         "a" + R + "b"},
        {"\x80\x80", R + R},  // stray continuations
        {"\xc3", R},          // truncated at the end
        {"\xe2\x82"
         "x",
         R + "x"},                // truncated in the middle
        {"\xc0\xaf", R + R},      // overlong lead byte
        {"\xe0\x80\xaf", R},      // overlong three-byte form
        {"\xed\xa0\x80", R},      // surrogate
        {"\xf4\x90\x80\x80", R},  // above U+10FFFF
        {std::string("nul\0x", 5), std::string("nul\0x", 5)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(replaceInvalidUtf8(c.in), c.out) << c.in;
        // The repaired text always dumps and parses as a JSON string.
        EXPECT_TRUE(parseJson("\"" + escapeJsonString(replaceInvalidUtf8(c.in)) + "\""));
    }
}

TEST(JsonLineFormatter, LineStaysValidJsonWhateverBytesThePeerSent) {
    auto f = makeJsonLineFormatter("sid\xfe");
    const std::string text = "control JSON parse error: invalid literal; last read: '\xff'";
    spdlog::details::log_msg msg("kvd", spdlog::level::warn, text);
    spdlog::memory_buf_t buf;
    f->format(msg, buf);
    std::string line(buf.data(), buf.size());
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    auto j = parseJson(line);
    ASSERT_TRUE(j) << line;
    EXPECT_EQ((*j)["msg"], "control JSON parse error: invalid literal; last read: '\xEF\xBF\xBD'");
    EXPECT_EQ((*j)["sid"], "sid\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kvd
