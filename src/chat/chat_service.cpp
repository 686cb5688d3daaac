#include "chat/chat_service.h"

#include <optional>

#include "common/json_util.h"
#include "common/log.h"

namespace kvd {

namespace {
constexpr int64_t kRateWindowNs = 1'000'000'000;
}

ChatService::ChatService(const Clock& clock, std::function<int64_t()> wallMs)
    : clock_(clock), wallMs_(std::move(wallMs)) {}

void ChatService::setSender(Sender cb) {
    std::lock_guard lk(mu_);
    sender_ = std::move(cb);
}

void ChatService::setOnMessage(OnMessage cb) {
    std::lock_guard lk(mu_);
    onMessage_ = std::move(cb);
}

void ChatService::setOnTyping(OnTyping cb) {
    std::lock_guard lk(mu_);
    onTyping_ = std::move(cb);
}

void ChatService::setOnDelivered(OnDelivered cb) {
    std::lock_guard lk(mu_);
    onDelivered_ = std::move(cb);
}

bool ChatService::handleInbound(std::string_view payload) {
    if (payload.size() > kChatMaxBytes) return false;
    std::lock_guard lk(mu_);
    ++counters_.inbound;
    const int64_t nowNs = clock_.nowUs() * 1000;
    while (!recentNs_.empty() && recentNs_.front() <= nowNs - kRateWindowNs) recentNs_.pop_front();
    if (recentNs_.size() >= kChatMaxPerSecond) {
        ++counters_.rateLimited;
        return false;
    }
    recentNs_.push_back(nowNs);

    const std::optional<Json> parsed = parseJson(payload);
    if (!parsed) {
        ++counters_.parseFailures;
        return false;
    }
    const Json& msg = *parsed;
    const std::string type = jsonStringOr(msg, "type", "");
    if (type == "message") {
        ChatMessage m;
        m.id = jsonStringOr(msg, "id", "");
        m.text = jsonStringOr(msg, "text", "");
        m.ts = jsonInt(msg, "ts").value_or(0);
        if (m.id.empty() || m.text.empty()) return false;
        if (onMessage_) onMessage_(m);
        logger().info("[chat] chat inbound id={} len={}", m.id, m.text.size());
        if (sender_)
            sender_("{\"type\":\"delivered\",\"v\":1,\"id\":\"" + escapeJsonString(m.id) + "\"}");
        return true;
    }
    if (type == "typing") {
        const bool active = jsonBool(msg, "active").value_or(false);
        if (onTyping_) onTyping_(active);
        return true;
    }
    if (type == "delivered") {
        const std::string id = jsonStringOr(msg, "id", "");
        if (onDelivered_) onDelivered_(id);
        return true;
    }
    ++counters_.unhandledType;
    return false;
}

std::string ChatService::buildOutbound(std::string_view text) {
    if (text.size() > kChatMaxBytes) return {};
    const uint64_t n = seq_.fetch_add(1);
    const std::string id = "chat-" + std::to_string(n) + "-" + std::to_string(clock_.nowMs());
    // Tray text is bytes from another process: the viewer gets valid UTF-8.
    const std::string message = "{\"type\":\"message\",\"v\":1,\"id\":\"" + id + "\",\"text\":\"" +
                                escapeJsonString(replaceInvalidUtf8(text)) +
                                "\",\"ts\":" + std::to_string(wallMs_()) + "}";
    if (message.size() > kChatMaxBytes) return {};
    std::lock_guard lk(mu_);
    if (!sender_ || !sender_(message)) return {};
    ++counters_.sent;
    return id;
}

ChatService::Counters ChatService::counters() const {
    std::lock_guard lk(mu_);
    return counters_;
}

}  // namespace kvd
