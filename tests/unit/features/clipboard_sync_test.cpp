#include <gtest/gtest.h>

#include "common/codec.h"
#include "features/clipboard_sync.h"
#include "unit/features/feature_fakes.h"

namespace kvd {
namespace {

using test::FakeClipboard;
using test::TextLogCapture;

TEST(ClipboardFieldExtractor, ReadsRawText) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {R"({"type":"clipboard_set"})", "clipboard_set"},
        {R"({ "type" :  "a\"b\\c\n\r\t\/x" })", "a\"b\\c\n\r\t/x"},
        {R"({"other":1})", std::nullopt},
        {R"({"type":"unterminated)", std::nullopt},
        {R"({"type":"ends with backslash\)", std::nullopt},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(extractJsonStringField(text, "type"), want) << text;
}

TEST(ClipboardBase64, SkipsPaddingAndLineBreaksAndRejectsOtherCharacters) {
    auto str = [](const std::optional<std::vector<uint8_t>>& v) {
        return v ? std::optional<std::string>(std::string(v->begin(), v->end())) : std::nullopt;
    };
    EXPECT_EQ(str(decodeClipboardBase64("aGVs\r\nbG8g d29y\nbGQ=")), "hello world");
    EXPECT_EQ(str(decodeClipboardBase64("YQ==")), "a");
    EXPECT_EQ(str(decodeClipboardBase64("")), "");
    EXPECT_EQ(str(decodeClipboardBase64("YW*J")), std::nullopt);
    EXPECT_EQ(str(decodeClipboardBase64("YW-_")), std::nullopt);
}

ClipboardPayload textPayload(size_t n, char c = 'x') {
    ClipboardPayload p;
    p.bytes.assign(n, static_cast<uint8_t>(c));
    return p;
}

TEST(ClipboardPolicy, OutboundCodesAndBody) {
    ClipboardPolicy policy({true, 65536, 10485760});
    std::string body;
    ClipboardPayload abc;
    abc.bytes = {'a', 'b', 'c'};
    ASSERT_EQ(policy.buildOutbound(abc, body), ClipboardPolicy::Built);
    EXPECT_EQ(body,
              R"({"type":"clipboard_set","v":1,"format":"text/plain","size":3,"data":"YWJj"})");
    abc.format = ClipboardPayload::Image;
    policy.buildOutbound(abc, body);
    EXPECT_NE(body.find(R"("format":"image/png")"), std::string::npos);

    const std::pair<size_t, int> sizes[] = {{65535, ClipboardPolicy::Built},
                                            {65536, ClipboardPolicy::TooLarge},
                                            {10485760, ClipboardPolicy::TooLarge},
                                            {10485761, ClipboardPolicy::Nothing},
                                            {0, ClipboardPolicy::Empty}};
    for (const auto& [n, code] : sizes)
        EXPECT_EQ(policy.buildOutbound(textPayload(n), body), code) << n;
    EXPECT_EQ(body, R"({"type":"clipboard_clear","v":1})");

    policy.setEnabled(false);
    EXPECT_EQ(policy.buildOutbound(textPayload(3), body), ClipboardPolicy::Nothing);
}

TEST(ClipboardPolicy, InboundParsing) {
    ClipboardPolicy policy({true, 65536, 8});
    struct Case {
        const char* text;
        bool ok;
        bool clear;
        int format;
        std::string bytes;
    };
    const Case cases[] = {
        {R"({"type":"clipboard_clear"})", true, true, 0, ""},
        {R"({"type":"clipboard_set","format":"text/plain","data":"YWJj"})", true, false, 0, "abc"},
        {R"({"type":"clipboard_set","data":"YWJj","v":1,"size":999})", true, false, 0, "abc"},
        {R"({"type":"clipboard_set","format":"image/png","data":"YWJj"})", true, false, 1, "abc"},
        {R"({"type":"clipboard_set","data":""})", true, false, 0, ""},
        {R"({"type":"clipboard_set","format":"text/plain"})", false, false, 0, ""},
        {R"({"type":"clipboard_set","data":"YW!j"})", false, false, 0, ""},
        // 9 decoded bytes > the 8-byte maximum, by estimate and by decoding.
        {R"({"type":"clipboard_set","data":"YWJjZGVmZ2hp"})", false, false, 0, ""},
        {R"({"type":"clipboard_set","data":"YWJjZGVmZ2g=="})", true, false, 0, "abcdefgh"},
        {R"({"type":"paste_text","data":"YWJj"})", false, false, 0, ""},
    };
    for (const auto& c : cases) {
        ClipboardPayload p;
        bool clear = false;
        EXPECT_EQ(policy.parseInbound(c.text, p, clear), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(clear, c.clear) << c.text;
        EXPECT_EQ(p.format, c.format) << c.text;
        EXPECT_EQ(std::string(p.bytes.begin(), p.bytes.end()), c.bytes) << c.text;
    }
    policy.setEnabled(false);
    ClipboardPayload p;
    bool clear = false;
    EXPECT_FALSE(policy.parseInbound(R"({"type":"clipboard_clear"})", p, clear));
}

struct ClipboardSyncFixture : ::testing::Test {
    FakeClipboard access;
    ClipboardPolicy policy{{true, 65536, 10485760}, &access};
    ClipboardListener listener{&access};
    std::vector<std::string> reported;
    TextLogCapture log;

    void SetUp() override {
        ASSERT_TRUE(listener.start([this](const std::string& t, bool flag) {
            EXPECT_FALSE(flag);
            reported.push_back(t);
        }));
    }
};

TEST_F(ClipboardSyncFixture, LocalChangesReportedOnceWithoutEmptiesOrRepeats) {
    EXPECT_TRUE(log.has("[clipboard] listener started hwnd=42"));
    access.copy("one");
    access.copy("one");
    access.copy("");
    access.clear();
    access.copy("two");
    access.copy("one");
    EXPECT_EQ(reported, (std::vector<std::string>{"one", "two", "one"}));
    EXPECT_FALSE(listener.start(nullptr));
    listener.stop();
    EXPECT_TRUE(log.has("[clipboard] listener stopped"));
    EXPECT_FALSE(access.started);
}

TEST_F(ClipboardSyncFixture, ViewerTextIsWrittenAndNotEchoed) {
    handleInboundClipboard(policy, &listener, "clipboard_set",
                           R"({"type":"clipboard_set","format":"text/plain","data":"YWJj"})");
    EXPECT_EQ(access.writes, std::vector<std::string>{"abc"});
    EXPECT_TRUE(log.has("[clipboard] set from viewer (3 bytes) ok=true"));
    EXPECT_TRUE(reported.empty());
    EXPECT_TRUE(log.has("[clipboard] suppressed local echo"));
    access.copy("local");  // the next genuine change goes out
    EXPECT_EQ(reported, std::vector<std::string>{"local"});

    handleInboundClipboard(policy, &listener, "clipboard_clear", R"({"type":"clipboard_clear"})");
    EXPECT_EQ(access.clears, 1);
    EXPECT_TRUE(log.has("[clipboard] cleared from viewer"));

    // Empty data empties the clipboard and reports failure.
    handleInboundClipboard(policy, &listener, "clipboard_set",
                           R"({"type":"clipboard_set","data":""})");
    EXPECT_EQ(access.clears, 2);
    EXPECT_TRUE(log.has("[clipboard] set from viewer (0 bytes) ok=false"));
}

TEST_F(ClipboardSyncFixture, ImageLeavesClipboardAloneAndSwallowsTheNextCopy) {
    handleInboundClipboard(policy, &listener, "clipboard_set",
                           R"({"type":"clipboard_set","format":"image/png","data":"iVBO"})");
    EXPECT_TRUE(access.writes.empty());
    EXPECT_TRUE(log.has("[clipboard] set from viewer (3 bytes) ok=false"));
    access.copy("swallowed");
    access.copy("sent");
    EXPECT_EQ(reported, std::vector<std::string>{"sent"});
}

TEST_F(ClipboardSyncFixture, PolicyOffRefusesBothDirections) {
    policy.setEnabled(false);
    handleInboundClipboard(policy, &listener, "clipboard_set",
                           R"({"type":"clipboard_set","data":"YWJj"})");
    EXPECT_TRUE(log.has("[clipboard] parseInbound failed for type=clipboard_set"));
    EXPECT_TRUE(access.writes.empty());
    std::vector<std::string> sent;
    forwardLocalClipboardChange(policy, "abc", true,
                                [&](const std::string& b) { sent.push_back(b); });
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(log.has("[clipboard] policy rejected local change (3 bytes)"));
}

TEST_F(ClipboardSyncFixture, OutboundSizesAndClosedChannel) {
    std::vector<std::string> sent;
    auto send = [&](const std::string& b) { sent.push_back(b); };
    forwardLocalClipboardChange(policy, "abc", false, send);
    EXPECT_TRUE(sent.empty());
    forwardLocalClipboardChange(policy, std::string(65535, 'a'), true, send);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(log.has("[clipboard] local change -> viewer (65535 bytes)"));
    const auto body = Json::parse(sent[0]);
    EXPECT_EQ(body["size"], 65535);
    EXPECT_EQ(base64Decode(body["data"].get<std::string>())->size(), 65535u);
    forwardLocalClipboardChange(policy, std::string(65536, 'a'), true, send);
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_TRUE(
        log.has("[clipboard] oversized payload (65536 bytes) — drop (file route not wired)"));
}

TEST(ClipboardListener, NoDesktopFailsStart) {
    TextLogCapture log;
    ClipboardListener none(nullptr);
    EXPECT_FALSE(none.start([](const std::string&, bool) {}));
    EXPECT_TRUE(log.has("[clipboard] listener thread failed to create window"));
    FakeClipboard refusing;
    refusing.startOk = false;
    ClipboardListener l(&refusing);
    EXPECT_FALSE(l.start([](const std::string&, bool) {}));
    EXPECT_FALSE(l.running());
}

}  // namespace
}  // namespace kvd
