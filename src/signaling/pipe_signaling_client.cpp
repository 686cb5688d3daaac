#include "signaling/pipe_signaling_client.h"

#include <charconv>
#include <chrono>
#include <exception>
#include <vector>

#include "common/log.h"

namespace kvd {

namespace {

int32_t convertPort(const std::string& text) {
    int32_t value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (text.empty() || ec != std::errc() || ptr != last) return 0;
    return value;
}

// Which client's reader runs on this thread, so that a service callback
// that asks for disconnect() is recognised without touching the lifecycle.
thread_local const PipeSignalingClient* tlsReaderOf = nullptr;

void sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

PipeSignalingClient::PipeSignalingClient(std::string portText, std::string token,
                                         PipeSignalingOptions options)
    : portText_(std::move(portText)),
      token_(std::move(token)),
      options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : SteadyClock::instance()) {
    port_ = convertPort(portText_);
    if (!options_.connector) options_.connector = platform::connectLoopbackTcp;
}

PipeSignalingClient::~PipeSignalingClient() {
    std::lock_guard<std::mutex> lk(lifecycleLock_);
    closeLink();
}

void PipeSignalingClient::setOnSessionConfig(PayloadCallback cb) {
    std::lock_guard<std::mutex> lk(callbackLock_);
    onSessionConfig_ = std::move(cb);
}

void PipeSignalingClient::setOnCredentialInject(PayloadCallback cb) {
    std::lock_guard<std::mutex> lk(callbackLock_);
    onCredentialInject_ = std::move(cb);
}

void PipeSignalingClient::setOnStopSession(PayloadCallback cb) {
    std::lock_guard<std::mutex> lk(callbackLock_);
    onStopSession_ = std::move(cb);
}

bool PipeSignalingClient::connect() {
    std::lock_guard<std::mutex> lk(lifecycleLock_);
    // Ports above 65535 cannot be reached; they fail like any other bad name.
    if (port_ < 1 || port_ > 65535) {
        logger().error("[pipe-signaling] invalid port: {}", portText_);
        return false;
    }
    // A reconnect comes without disconnect(): the previous reader and its
    // socket go first, so that two readers never share the client.
    closeLink();

    logger().info("[pipe-signaling] connecting to 127.0.0.1:{}", port_);
    std::unique_ptr<platform::TcpConnection> conn;
    for (int attempt = 1; attempt <= options_.connectTries; ++attempt) {
        platform::TcpConnectResult r =
            options_.connector(static_cast<uint16_t>(port_), options_.connectTimeoutMs);
        if (r.socketFailed) {
            logger().error("[pipe-signaling] socket() failed: {}", r.error);
            return false;
        }
        if (r.connection) {
            conn = std::move(r.connection);
            break;
        }
        sleepMs(options_.retryDelayMs);
    }
    if (!conn) {
        logger().error("[pipe-signaling] failed to connect to 127.0.0.1:{} after 10s", port_);
        return false;
    }
    platform::TcpConnection* raw = conn.get();
    {
        std::lock_guard<std::mutex> wl(writeLock_);
        connection_ = std::move(conn);
    }
    socketOpen_ = true;
    if (!token_.empty()) sendEnvelope("hello", Json{{"token", token_}});
    readerThread_ = std::thread([this, raw] { readerLoop(raw); });

    logger().info("[pipe-signaling] TCP connected, waiting for SIGNALING_CONNECTED...");
    for (int i = 0; i < options_.waitSteps; ++i) {
        if (signalingConnected_) break;
        poll();
        sleepMs(options_.waitStepMs);
    }
    if (!signalingConnected_) {
        logger().error("[pipe-signaling] timeout waiting for SIGNALING_CONNECTED");
        return false;
    }
    logger().info("[pipe-signaling] connected via service relay");
    return true;
}

void PipeSignalingClient::disconnect() {
    if (tlsReaderOf == this) {
        // The reader cannot join itself: take the link down and let the
        // reader end once the callback returns; the next connect() or the
        // destructor joins it.
        logger().error("[pipe-signaling] disconnect() called from the reader thread");
        signalingConnected_ = false;
        socketOpen_ = false;
        std::lock_guard<std::mutex> wl(writeLock_);
        if (connection_) connection_->shutdownBoth();
        return;
    }
    std::lock_guard<std::mutex> lk(lifecycleLock_);
    closeLink();
}

void PipeSignalingClient::closeLink() {
    signalingConnected_ = false;
    socketOpen_ = false;
    platform::TcpConnection* conn = nullptr;
    {
        std::lock_guard<std::mutex> wl(writeLock_);
        conn = connection_.get();
    }
    // Shutting down (not closing) wakes the blocked reader and any writer
    // waiting for room, while the handle stays valid for them.
    if (conn) conn->shutdownBoth();
    if (readerThread_.joinable()) {
        if (readerThread_.get_id() == std::this_thread::get_id()) {
            readerThread_.detach();
        } else {
            readerThread_.join();
        }
    }
    std::lock_guard<std::mutex> wl(writeLock_);
    if (connection_) {
        connection_->close();
        connection_.reset();
    }
}

void PipeSignalingClient::send(const Json& msg) {
    const std::string type = jsonStringOr(msg, "type", "unknown");
    logger().debug("[pipe-signaling] send() type={}", type);
    std::string text;
    try {
        text = msg.dump();
    } catch (const Json::exception&) {
        logger().warn("[pipe-signaling] send(): invalid UTF-8 replaced (type={})", type);
        text = dumpJson(msg);
    }
    sendEnvelope("SIGNALING_SEND", Json{{"json", std::move(text)}});
}

bool PipeSignalingClient::sendEnvelope(const std::string& type, const Json& payload) {
    const Json env{{"type", type}, {"payload", payload}};
    std::string text;
    try {
        text = env.dump();
    } catch (const Json::exception&) {
        logger().warn("[pipe-signaling] {}: invalid UTF-8 replaced", type);
        text = dumpJson(env);
    }
    return writeLine(text);
}

bool PipeSignalingClient::writeLine(const std::string& text) {
    if (text.size() + 1 > kMaxOutgoingLine) {
        logger().error("[pipe-signaling] writeLine dropped oversized line ({} bytes > {} cap)",
                       text.size() + 1, kMaxOutgoingLine);
        return false;
    }
    std::lock_guard<std::mutex> wl(writeLock_);
    if (!socketOpen_ || !connection_) {
        logger().warn("[pipe-signaling] writeLine called but socket not open");
        return false;
    }
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text).push_back('\n');
    const int64_t deadline = clock_.nowMs() + options_.sendTimeoutMs;
    size_t sent = 0;
    while (sent < line.size()) {
        const int64_t left = deadline - clock_.nowMs();
        platform::IoResult r;
        if (left <= 0) {
            r.bytes = -1;
            r.timedOut = true;
            r.error = 110;
        } else {
            r = connection_->sendSome(line.data() + sent, line.size() - sent,
                                      static_cast<int>(left));
        }
        if (r.bytes > 0) {
            sent += static_cast<size_t>(r.bytes);
            continue;
        }
        if (r.bytes == 0)
            logger().warn("[pipe-signaling] send() returned 0 after {} bytes — peer closed", sent);
        else
            logger().error("[pipe-signaling] send() failed err={} after {} bytes", r.error, sent);
        if (sent > 0) {
            // Part of the line is on the wire: whatever followed would be
            // glued to it. Take the link down so that the session reconnects.
            logger().error("[pipe-signaling] torn line on the relay link — shutting it down");
            connection_->shutdownBoth();
        }
        return false;
    }
    logger().debug("[pipe-signaling] wrote {} bytes to socket", line.size());
    return true;
}

void PipeSignalingClient::readerLoop(platform::TcpConnection* conn) {
    tlsReaderOf = this;
    // Nothing that happens on the link (an allocation failure on a huge
    // burst, a library throw) may end the process from this thread.
    try {
        readLines(conn);
    } catch (const std::exception& e) {
        logger().error("[pipe-signaling] reader thread failed: {}", e.what());
    } catch (...) {
        logger().error("[pipe-signaling] reader thread failed: unknown exception");
    }
    signalingConnected_ = false;
    logger().info("[pipe-signaling] reader thread exiting");
}

void PipeSignalingClient::readLines(platform::TcpConnection* conn) {
    std::string pending;
    std::vector<char> buf(kReadChunk);
    platform::IoResult last;
    bool overflow = false;
    while (socketOpen_) {
        last = conn->receive(buf.data(), buf.size());
        if (last.bytes < 1) break;
        pending.append(buf.data(), static_cast<size_t>(last.bytes));
        if (pending.size() > kMaxIncomingPending) {
            pending.clear();
            pending.shrink_to_fit();
            logger().error(
                "[pipe-signaling] IPC line exceeded {} bytes with no newline — dropping connection",
                kMaxIncomingPending);
            overflow = true;
            break;
        }
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            std::string line = pending.substr(start, nl - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) handleLine(line);
        }
        pending.erase(0, start);
    }
    if (!overflow && socketOpen_) {
        if (last.bytes == 0)
            logger().warn("[pipe-signaling] TCP connection closed by service");
        else if (!last.localAbort)
            logger().warn("[pipe-signaling] recv error: {}", last.error);
    }
}

void PipeSignalingClient::handleLine(const std::string& line) {
    std::string error;
    const std::optional<Json> parsed = parseJson(line, error);
    if (!parsed) {
        logger().warn("[pipe-signaling] parse error: {}", error);
        return;
    }
    const Json& msg = *parsed;
    if (!msg.is_object()) {
        logger().warn("[pipe-signaling] parse error: {}", "line is not a JSON object");
        return;
    }
    const std::string type = jsonStringOr(msg, "type", "");
    // The payload is passed by reference: a copy would recurse through it.
    static const Json kNoPayload;
    auto it = msg.find("payload");
    dispatch(type, it == msg.end() ? kNoPayload : *it);
}

void PipeSignalingClient::runCallback(const PayloadCallback& cb, const Json& payload,
                                      const char* what) {
    if (!cb) return;
    // The payload comes from outside: nothing a callback does with it may
    // end the reader.
    try {
        cb(payload);
    } catch (const std::exception& e) {
        logger().warn("[pipe-signaling] {} callback failed: {}", what, e.what());
    } catch (...) {
        logger().warn("[pipe-signaling] {} callback failed: unknown exception", what);
    }
}

void PipeSignalingClient::dispatch(const std::string& type, const Json& payload) {
    auto callback = [this](PayloadCallback PipeSignalingClient::*member) {
        std::lock_guard<std::mutex> lk(callbackLock_);
        return this->*member;
    };
    if (type == "REMOTE_SESSION_CONFIG") {
        runCallback(callback(&PipeSignalingClient::onSessionConfig_), payload, type.c_str());
    } else if (type == "REMOTE_CREDENTIAL_INJECT") {
        runCallback(callback(&PipeSignalingClient::onCredentialInject_), payload, type.c_str());
    } else if (type == "REMOTE_STOP_SESSION") {
        logger().info("[pipe-signaling] REMOTE_STOP_SESSION reason={}",
                      jsonStringOr(payload, "reason", "unknown"));
        runCallback(callback(&PipeSignalingClient::onStopSession_), payload, type.c_str());
    } else if (type == "SIGNALING_CONNECTED") {
        // Logged first: whoever waits for the flag then finds the line written.
        logger().info("[pipe-signaling] service signaling connected");
        signalingConnected_ = true;
    } else if (type == "SIGNALING_DISCONNECTED") {
        logger().warn("[pipe-signaling] service signaling disconnected: {}",
                      jsonStringOr(payload, "reason", "unknown"));
        signalingConnected_ = false;
    } else if (type == "SIGNALING_RECV") {
        const std::string json = jsonStringOr(payload, "json", "");
        if (json.empty()) return;
        std::string error;
        std::optional<Json> parsedInner = parseJson(json, error);
        if (!parsedInner) {
            logger().warn("[pipe-signaling] malformed signaling JSON: {}", error);
            return;
        }
        Json inner = std::move(*parsedInner);
        std::lock_guard<std::mutex> lk(recvLock_);
        bool dropped = false;
        while (recvQueue_.size() >= kRecvQueueCap) {
            recvQueue_.pop_front();
            dropped = true;
        }
        if (dropped)
            logger().warn("[pipe-signaling] recvQueue full ({}), dropped oldest", kRecvQueueCap);
        recvQueue_.push_back(std::move(inner));
    }
}

void PipeSignalingClient::poll() {
    std::deque<Json> batch;
    {
        std::lock_guard<std::mutex> lk(recvLock_);
        batch.swap(recvQueue_);
    }
    for (const Json& msg : batch) {
        const std::string type = signalingType(msg);
        if (!handlers_.deliver(msg, type, "[pipe-signaling]"))
            logger().warn("[pipe-signaling] no handler for type={}", type);
    }
}

void PipeSignalingClient::on(const std::string& type, SignalingHandler handler) {
    handlers_.set(type, std::move(handler));
}

size_t PipeSignalingClient::pendingRecvCount() const {
    std::lock_guard<std::mutex> lk(recvLock_);
    return recvQueue_.size();
}

}  // namespace kvd
