#pragma once
// Chat with the technician's viewer over the "chat" data channel: JSON
// messages with delivery receipts and typing notices, a rate limit on what
// arrives and a size limit both ways. Lives for the whole process, so a new
// viewer continues with the same id sequence and counters.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "common/clock.h"

namespace kvd {

inline constexpr size_t kChatMaxBytes = 4096;
inline constexpr size_t kChatMaxPerSecond = 10;

struct ChatMessage {
    std::string id;
    std::string text;  // UTF-8, at most kChatMaxBytes
    int64_t ts = 0;    // sender's time, ms since the Unix epoch
};

class ChatService {
  public:
    using Sender = std::function<bool(const std::string& json)>;
    using OnMessage = std::function<void(const ChatMessage&)>;
    using OnTyping = std::function<void(bool active)>;
    using OnDelivered = std::function<void(const std::string& id)>;

    struct Counters {
        uint64_t inbound = 0;
        uint64_t rateLimited = 0;
        uint64_t parseFailures = 0;
        uint64_t unhandledType = 0;
        uint64_t sent = 0;
    };

    explicit ChatService(const Clock& clock = SteadyClock::instance(),
                         std::function<int64_t()> wallMs = wallNowMs);

    // Each replaces its callback under the service mutex. Callbacks run with
    // that mutex held: they must not call back into the service.
    void setSender(Sender cb);
    void setOnMessage(OnMessage cb);
    void setOnTyping(OnTyping cb);
    void setOnDelivered(OnDelivered cb);

    // One text message from the viewer's chat channel; true when accepted
    // and handled. Oversized, rate-limited, unparsable, incomplete and
    // unknown messages are dropped without a receipt.
    bool handleInbound(std::string_view payload);

    // Builds, sends and counts one message to the viewer; the new id, or an
    // empty string when nothing was sent.
    std::string buildOutbound(std::string_view text);

    Counters counters() const;

  private:
    const Clock& clock_;
    std::function<int64_t()> wallMs_;
    mutable std::mutex mu_;
    Sender sender_;
    OnMessage onMessage_;
    OnTyping onTyping_;
    OnDelivered onDelivered_;
    std::deque<int64_t> recentNs_;
    Counters counters_;
    std::atomic<uint64_t> seq_{0};
};

}  // namespace kvd
