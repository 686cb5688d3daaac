#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/codec.h"
#include "common/json_util.h"

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
