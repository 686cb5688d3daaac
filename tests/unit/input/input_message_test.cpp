#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "input/input_message.h"

namespace kvd {
namespace {

using Bytes = std::vector<uint8_t>;

InputMessage parse(const Bytes& b) {
    return parseInputMessage(b.data(), b.size());
}

// Renders a parse result as text so that a table can state expectations.
std::string describe(const InputMessage& m) {
    using namespace input_msg;
    if (std::holds_alternative<std::monostate>(m)) return "empty";
    if (auto* v = std::get_if<Malformed>(&m))
        return fmt::format("malformed({},{})", v->type, v->length);
    if (auto* v = std::get_if<MouseMove>(&m)) return fmt::format("move({},{})", v->x, v->y);
    if (auto* v = std::get_if<MouseButton>(&m))
        return fmt::format("button({},{})", v->button, v->down ? "down" : "up");
    if (auto* v = std::get_if<Wheel>(&m))
        return fmt::format("wheel({},{})", v->vertical, v->horizontal);
    if (auto* v = std::get_if<Key>(&m))
        return fmt::format("key(0x{:x},0x{:x},{},{})", v->scanCode, v->virtualKey, v->flags,
                           v->down ? "down" : "up");
    if (auto* v = std::get_if<KeyStateSync>(&m))
        return fmt::format("sync[{}]", fmt::join(v->codes, ","));
    if (auto* v = std::get_if<KeyStateSyncInvalid>(&m))
        return fmt::format("syncInvalid({},{})", static_cast<int>(v->reason), v->value);
    if (std::holds_alternative<SendSas>(m)) return "sas";
    if (auto* v = std::get_if<Unknown>(&m)) return fmt::format("unknown({})", v->type);
    return "?";
}

struct Case {
    const char* name;
    Bytes bytes;
    std::string expected;
};

TEST(InputMessageParse, TableOfByteStrings) {
    const Case cases[] = {
        {"empty", {}, "empty"},
        // mouse move: 7 bytes minimum, x/y little-endian, trailing bytes ignored
        {"move", {0x01, 0x34, 0x12, 0xff, 0xff, 0, 0}, "move(4660,65535)"},
        {"move 6 bytes", {0x01, 0x34, 0x12, 0xff, 0xff, 0}, "malformed(1,6)"},
        {"move oversized", {0x01, 1, 0, 2, 0, 0, 0, 9, 9, 9}, "move(1,2)"},
        {"button down", {0x02, 2, 0, 0}, "button(2,down)"},
        {"button up", {0x03, 4, 0, 0}, "button(4,up)"},
        {"button 3 bytes", {0x02, 0, 0}, "malformed(2,3)"},
        {"wheel signed", {0x04, 0x88, 0xff, 0x78, 0x00, 0}, "wheel(-120,120)"},
        {"wheel 5 bytes", {0x04, 0x88, 0xff, 0x78, 0x00}, "malformed(4,5)"},
        {"key down ext", {0x05, 0x1d, 0x00, 0x01, 0x11, 0x00}, "key(0x1d,0x11,1,down)"},
        {"key up vk only", {0x06, 0, 0, 0, 0x56, 0}, "key(0x0,0x56,0,up)"},
        {"key 5 bytes", {0x05, 0x1d, 0, 1, 0x11}, "malformed(5,5)"},
        {"sync empty", {0x07, 0}, "sync[]"},
        {"sync two", {0x07, 2, 4, 'K', 'e', 'y', 'A', 3, 'T', 'a', 'b'}, "sync[KeyA,Tab]"},
        {"sync 1 byte", {0x07}, "malformed(7,1)"},
        {"sync missing length byte", {0x07, 2, 1, 'A'}, "syncInvalid(1,1)"},
        {"sync code past end", {0x07, 2, 1, 'A', 5, 'S'}, "syncInvalid(2,1)"},
        {"sync trailing bytes", {0x07, 1, 1, 'A', 0xee}, "sync[A]"},
        {"sas", {0x10}, "sas"},
        {"sas with extra", {0x10, 1, 2}, "sas"},
        {"type 0", {0x00}, "unknown(0)"},
        {"type 8", {0x08, 1, 2, 3, 4, 5, 6, 7}, "unknown(8)"},
        {"type 0x11", {0x11}, "unknown(17)"},
        {"type 0xff", {0xff, 0}, "unknown(255)"},
    };
    for (const auto& c : cases) EXPECT_EQ(describe(parse(c.bytes)), c.expected) << c.name;
}

TEST(InputMessageParse, NullDataIsEmpty) {
    EXPECT_TRUE(std::holds_alternative<std::monostate>(parseInputMessage(nullptr, 5)));
}

TEST(InputMessageParse, MaximalSyncStaysInsideTheMessage) {
    // 255 entries of 255 bytes each: the largest the format can describe.
    Bytes b{0x07, 255};
    for (int i = 0; i < 255; ++i) {
        b.push_back(255);
        b.insert(b.end(), 255, 'x');
    }
    auto m = parse(b);
    ASSERT_TRUE(std::holds_alternative<input_msg::KeyStateSync>(m));
    EXPECT_EQ(std::get<input_msg::KeyStateSync>(m).codes.size(), 255u);
    b.pop_back();
    EXPECT_EQ(describe(parse(b)), "syncInvalid(2,254)");
}

TEST(KeyIds, ScanCodesAndDomCodes) {
    EXPECT_EQ(keyIdForScanCode(0x01, false), "sc:0x1");
    EXPECT_EQ(keyIdForScanCode(0x1d, true), "sc:0x1d:ext");
    EXPECT_EQ(keyIdForScanCode(0, false), "sc:0x0");
    EXPECT_EQ(keyIdForScanCode(0xE01D, false), "sc:0xe01d");
    EXPECT_EQ(keyIdForDomCode("ControlRight"), "sc:0x1d:ext");
    EXPECT_EQ(keyIdForDomCode("ControlLeft"), "sc:0x1d");
    EXPECT_EQ(keyIdForDomCode("AltRight"), "sc:0x38:ext");
    EXPECT_EQ(keyIdForDomCode("F11"), "sc:0x57");
    EXPECT_EQ(keyIdForDomCode("ArrowRight"), "sc:0x4d:ext");
    EXPECT_EQ(keyIdForDomCode("Numpad1"), "dom:Numpad1");
    // Exact, case-sensitive comparison; no prefix matches.
    EXPECT_EQ(keyIdForDomCode("escape"), "dom:escape");
    EXPECT_EQ(keyIdForDomCode("F1x"), "dom:F1x");
    EXPECT_EQ(keyIdForDomCode(std::string_view("F1\0", 3)), std::string("dom:F1\0", 7));
}

}  // namespace
}  // namespace kvd
