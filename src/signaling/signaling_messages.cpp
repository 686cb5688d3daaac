#include "signaling/signaling_messages.h"

#include <exception>

#include "common/log.h"

namespace kvd {

Json makeJoinMessage(const std::string& sessionId) {
    return Json{{"type", "join"}, {"role", "agent"}, {"sessionId", sessionId}};
}

Json makePongMessage(const Json& ping) {
    return Json{{"type", "pong"}, {"ts", jsonInt(ping, "ts").value_or(0)}};
}

SignalingHandler makePingResponder(ISignalingClient& client) {
    return [&client](const Json& ping) { client.send(makePongMessage(ping)); };
}

std::string signalingType(const Json& msg) {
    return jsonStringOr(msg, "type", "");
}

void SignalingHandlerTable::set(const std::string& type, SignalingHandler handler) {
    std::lock_guard<std::mutex> lk(mutex_);
    handlers_[type] = std::move(handler);
}

SignalingHandler SignalingHandlerTable::find(const std::string& type) const {
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = handlers_.find(type);
    return it == handlers_.end() ? SignalingHandler{} : it->second;
}

bool SignalingHandlerTable::deliver(const Json& msg, const std::string& type,
                                    const char* tag) const {
    SignalingHandler h = find(type);
    if (!h) return false;
    // Messages come from the network: nothing a handler does with them may
    // end the signaling thread.
    try {
        h(msg);
    } catch (const std::exception& e) {
        logger().warn("{} handler for type={} failed: {}", tag, type, e.what());
    } catch (...) {
        logger().warn("{} handler for type={} failed: unknown exception", tag, type);
    }
    return true;
}

size_t SignalingSendQueue::push(std::string text) {
    std::lock_guard<std::mutex> lk(mutex_);
    size_t dropped = 0;
    while (queue_.size() >= cap_ && !queue_.empty()) {
        queue_.pop_front();
        ++dropped;
    }
    queue_.push_back(std::move(text));
    return dropped;
}

std::optional<std::string> SignalingSendQueue::front() const {
    std::lock_guard<std::mutex> lk(mutex_);
    if (queue_.empty()) return std::nullopt;
    return queue_.front();
}

void SignalingSendQueue::popFront() {
    std::lock_guard<std::mutex> lk(mutex_);
    if (!queue_.empty()) queue_.pop_front();
}

size_t SignalingSendQueue::size() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return queue_.size();
}

void SignalingReceiver::onFragment(const char* data, size_t len, bool final) {
    if (!discarding_) {
        if (rxBuffer_.size() + len > maxMessageBytes_) {
            logger().warn("Signaling message exceeds {} bytes, dropped", maxMessageBytes_);
            rxBuffer_.clear();
            rxBuffer_.shrink_to_fit();
            discarding_ = true;
        } else {
            rxBuffer_.append(data, len);
        }
    }
    if (!final) return;
    if (discarding_) {
        discarding_ = false;
        return;
    }
    auto parsed = parseJson(rxBuffer_);
    rxBuffer_.clear();
    if (!parsed) {
        logger().warn("Malformed signaling message");
        return;
    }
    enqueue(std::move(*parsed));
}

void SignalingReceiver::enqueue(Json msg) {
    std::lock_guard<std::mutex> lk(recvLock_);
    bool dropped = false;
    while (recvQueue_.size() >= queueCap_ && !recvQueue_.empty()) {
        recvQueue_.pop_front();
        dropped = true;
    }
    if (dropped) logger().warn("Signaling recvQueue full ({}), dropped oldest", queueCap_);
    recvQueue_.push_back(std::move(msg));
}

void SignalingReceiver::resetPartial() {
    rxBuffer_.clear();
    discarding_ = false;
}

std::deque<Json> SignalingReceiver::takeAll() {
    std::lock_guard<std::mutex> lk(recvLock_);
    std::deque<Json> out;
    out.swap(recvQueue_);
    return out;
}

size_t SignalingReceiver::queued() const {
    std::lock_guard<std::mutex> lk(recvLock_);
    return recvQueue_.size();
}

}  // namespace kvd
