#pragma once
// Pieces both signaling transports share: the messages the engine itself
// writes ("join", "pong"), the handler table and the bounded queues of the
// WebSocket client.
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "common/json_util.h"
#include "signaling/signaling.h"

namespace kvd {

// {"type":"join","role":"agent","sessionId":<sessionId>}
Json makeJoinMessage(const std::string& sessionId);

// The answer to a "ping": {"type":"pong","ts":<the ping's integer ts, else 0>}.
Json makePongMessage(const Json& ping);

// A "ping" handler that answers on `client`. The peer connection registers
// it together with its other handlers.
SignalingHandler makePingResponder(ISignalingClient& client);

// The message's "type" when it is a string, else "".
std::string signalingType(const Json& msg);

// Handlers by exact type. `on` may be called from another thread while the
// signaling thread delivers (the peer connection re-registers on rebuild),
// so the table has its own lock and no handler runs under it.
class SignalingHandlerTable {
  public:
    void set(const std::string& type, SignalingHandler handler);
    // A copy of the handler for exactly `type`; empty when none.
    SignalingHandler find(const std::string& type) const;

    // Runs the handler for msg's type. A handler that throws is logged and
    // the message counts as handled. False when no handler is registered.
    bool deliver(const Json& msg, const std::string& type, const char* tag) const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, SignalingHandler> handlers_;
};

// Serialised outgoing messages, oldest first; filled from any thread and
// drained by the service thread.
class SignalingSendQueue {
  public:
    explicit SignalingSendQueue(size_t cap) : cap_(cap) {}
    // Appends, dropping the oldest entries while the queue is at its cap.
    // Returns how many were dropped.
    size_t push(std::string text);
    std::optional<std::string> front() const;
    void popFront();
    size_t size() const;

  private:
    mutable std::mutex mutex_;
    std::deque<std::string> queue_;
    size_t cap_;
};

// Reassembles fragments into messages and queues the parsed ones.
class SignalingReceiver {
  public:
    SignalingReceiver(size_t queueCap, size_t maxMessageBytes)
        : queueCap_(queueCap), maxMessageBytes_(maxMessageBytes) {}
    // Called on the service thread for each piece of a message.
    void onFragment(const char* data, size_t len, bool final);
    // Forgets a partly received message (the socket went away).
    void resetPartial();
    // Takes every queued message, oldest first.
    std::deque<Json> takeAll();
    size_t queued() const;

  private:
    void enqueue(Json msg);

    size_t queueCap_, maxMessageBytes_;
    std::string rxBuffer_;
    bool discarding_ = false;  // the current message outgrew the cap
    mutable std::mutex recvLock_;
    std::deque<Json> recvQueue_;
};

}  // namespace kvd
