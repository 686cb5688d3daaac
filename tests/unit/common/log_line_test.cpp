// The log line format holds for any bytes a peer gets into a logged text.
#include <gtest/gtest.h>

#include <string>

#include <spdlog/formatter.h>

#include "common/json_util.h"
#include "common/log.h"

namespace kvd {
namespace {

std::string formatLine(const std::string& sid, const std::string& text) {
    auto f = makeJsonLineFormatter(sid);
    spdlog::details::log_msg msg("kvd", spdlog::level::warn, text);
    spdlog::memory_buf_t buf;
    f->format(msg, buf);
    return std::string(buf.data(), buf.size());
}

TEST(LogLine, InvalidUtf8BecomesReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        std::string text, msg;
    } cases[] = {
        {"plain \"quoted\" \n", "plain \"quoted\" \n"},
        {"h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"a\xFF"
         "b",
         "a" + r + "b"},          // never a lead byte
        {"\x80", r},              // stray continuation
        {"\xC3", r},              // truncated at the end
        {"\xE2\x82x", r + "x"},   // truncated inside: one per sequence
        {"\xC0\xAF", r + r},      // overlong '/'
        {"\xED\xA0\x80", r},      // surrogate
        {"\xF4\x90\x80\x80", r},  // above U+10FFFF
        // The JSON library's parse error quotes the raw byte.
        {"control JSON parse error: last read: '\xFF'",
         "control JSON parse error: last read: '" + r + "'"},
    };
    for (const auto& c : cases) {
        const std::string line = formatLine("s\xFE", c.text);
        const auto j = parseJson(line);
        ASSERT_TRUE(j && j->is_object()) << line;
        EXPECT_EQ((*j)["msg"], c.msg) << line;
        EXPECT_EQ((*j)["sid"], "s" + r);
    }
}

}  // namespace
}  // namespace kvd
