// Chat with the viewer: what is accepted, what gets a receipt, the rate and
// size limits, and the outbound message text.
#include "chat/chat_service.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/json_util.h"

namespace kvd {
namespace {

struct ChatFixture : ::testing::Test {
    ManualClock clock{5'000};
    ChatService chat{clock, [] { return int64_t{1'700'000'000'123}; }};
    std::vector<std::string> sent;
    std::vector<ChatMessage> received;
    std::vector<bool> typing;
    std::vector<std::string> delivered;
    bool senderResult = true;

    void SetUp() override {
        chat.setSender([this](const std::string& j) {
            sent.push_back(j);
            return senderResult;
        });
        chat.setOnMessage([this](const ChatMessage& m) { received.push_back(m); });
        chat.setOnTyping([this](bool a) { typing.push_back(a); });
        chat.setOnDelivered([this](const std::string& id) { delivered.push_back(id); });
    }
};

std::string messageJson(const std::string& id, const std::string& text) {
    return dumpJson(Json{{"type", "message"}, {"id", id}, {"text", text}, {"ts", 42}});
}

TEST_F(ChatFixture, MessageIsHandedOnAndAnsweredWithAnEscapedReceipt) {
    ASSERT_TRUE(chat.handleInbound(messageJson("m\"1\\", "hello")));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].id, "m\"1\\");
    EXPECT_EQ(received[0].text, "hello");
    EXPECT_EQ(received[0].ts, 42);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], R"({"type":"delivered","v":1,"id":"m\"1\\"})");
    auto receipt = parseJson(sent[0]);
    ASSERT_TRUE(receipt);
    EXPECT_EQ((*receipt)["id"], "m\"1\\");

    // "ts" is optional; typing and delivery notices reach their callbacks.
    EXPECT_TRUE(chat.handleInbound(R"({"type":"message","id":"b","text":"x"})"));
    EXPECT_EQ(received.back().ts, 0);
    EXPECT_TRUE(chat.handleInbound(R"({"type":"typing","active":true})"));
    EXPECT_TRUE(chat.handleInbound(R"({"type":"typing"})"));
    EXPECT_TRUE(chat.handleInbound(R"({"type":"delivered","id":"chat-0-1"})"));
    EXPECT_EQ(typing, (std::vector<bool>{true, false}));
    EXPECT_EQ(delivered, (std::vector<std::string>{"chat-0-1"}));
    EXPECT_EQ(sent.size(), 2u);  // receipts only for messages
}

TEST_F(ChatFixture, RejectedInboundGetsNoReceiptAndCounts) {
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    struct Case {
        std::string payload;
        const char* why;
    };
    const std::vector<Case> cases = {
        {R"({"type":"message","id":"a","text":""})", "empty text"},
        {R"({"type":"message","id":"","text":"x"})", "empty id"},
        {R"({"type":"message","text":"x"})", "no id"},
        {R"({"type":"message","id":5,"text":"x"})", "id not a string"},
        {"not json", "parse"},
        {deep, "too deep"},
        {R"({"type":"shout","id":"a","text":"x"})", "unknown type"},
        {messageJson("a", std::string(4097, 'x')), "oversized"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(chat.handleInbound(c.payload)) << c.why;
        clock.advanceMs(200);  // stay clear of the rate limit
    }
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(received.empty());
    const auto n = chat.counters();
    EXPECT_EQ(n.parseFailures, 2u);
    EXPECT_EQ(n.unhandledType, 1u);
    EXPECT_EQ(n.inbound, cases.size() - 1);  // the oversized one is refused first
}

TEST_F(ChatFixture, PayloadOfExactly4096BytesIsAccepted) {
    std::string payload = messageJson("a", "");
    const std::string text(4096 - payload.size(), 'y');
    payload = messageJson("a", text);
    ASSERT_EQ(payload.size(), 4096u);
    EXPECT_TRUE(chat.handleInbound(payload));
    EXPECT_FALSE(chat.handleInbound(messageJson("a", text + "y")));
}

TEST_F(ChatFixture, TenPerSecondThenAcceptedAgainOneSecondAfterTheFirst) {
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(chat.handleInbound(messageJson("m" + std::to_string(i), "x"))) << i;
        clock.advanceMs(50);
    }
    EXPECT_FALSE(chat.handleInbound(messageJson("m10", "x")));
    EXPECT_EQ(chat.counters().rateLimited, 1u);
    EXPECT_EQ(sent.size(), 10u);
    clock.setMs(5'000 + 1'000);
    EXPECT_TRUE(chat.handleInbound(messageJson("m11", "x")));
}

TEST_F(ChatFixture, OutboundIdsTextAndLimits) {
    const std::string id0 = chat.buildOutbound("a\"b\n\x01");
    EXPECT_EQ(id0, "chat-0-5000");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(
        sent[0],
        R"({"type":"message","v":1,"id":"chat-0-5000","text":"a\"b\n\u0001","ts":1700000000123})");
    clock.advanceMs(7);
    EXPECT_EQ(chat.buildOutbound("next"), "chat-1-5007");
    EXPECT_EQ(chat.counters().sent, 2u);

    // Escaping can push a short text over the message limit: nothing is sent.
    EXPECT_EQ(chat.buildOutbound(std::string(3000, '"')), "");
    EXPECT_EQ(chat.buildOutbound(std::string(4097, 'x')), "");
    EXPECT_EQ(sent.size(), 2u);

    senderResult = false;
    EXPECT_EQ(chat.buildOutbound("lost"), "");
    chat.setSender(nullptr);
    EXPECT_EQ(chat.buildOutbound("nobody"), "");
    EXPECT_EQ(chat.counters().sent, 2u);

    // Invalid UTF-8 from the tray never reaches the viewer as such.
    chat.setSender([this](const std::string& j) {
        sent.push_back(j);
        return true;
    });
    ASSERT_NE(chat.buildOutbound("bad\xff"), "");
    auto j = parseJson(sent.back());
    ASSERT_TRUE(j);
    EXPECT_EQ((*j)["text"], "bad\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kvd
