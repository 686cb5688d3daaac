#include "input/input_pipe_client.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/clock.h"
#include "common/json_util.h"
#include "common/log.h"

namespace kvd {

namespace {

// Which client the calling thread used last and whether that call reached
// the pipe; read back by the failover injector on the same thread.
thread_local const InputPipeClient* tLastClient = nullptr;
thread_local bool tLastDelivered = false;

// The helper drops a connection whose line exceeds 1 MiB. Escaping can
// grow text up to six times (\u00XX), so text is sent in pieces that stay
// well under that limit whatever they hold.
constexpr size_t kTypePieceBytes = 128 * 1024;

// Cuts at most `limit` bytes off the front of s without splitting a UTF-8
// sequence.
size_t utf8PieceLength(const std::string& s, size_t from, size_t limit) {
    size_t end = from + limit;
    if (end >= s.size()) return s.size() - from;
    size_t cut = end;
    while (cut > from && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    if (cut == from) cut = end;  // no boundary in reach: not UTF-8 anyway
    return cut - from;
}

}  // namespace

InputPipeClient::InputPipeClient(Connector connector, Timing timing, WallClock wallClock)
    : connector_(std::move(connector)), timing_(timing), wallClock_(std::move(wallClock)) {
    if (!connector_)
        connector_ = [](const std::string& name, int busyWaitMs) {
            return platform::connectLocalPipe(name, busyWaitMs);
        };
    if (!wallClock_) wallClock_ = [] { return wallNowMs(); };
}

InputPipeClient::~InputPipeClient() {
    disconnect();
}

template <typename Pred>
void InputPipeClient::sleepUnless(int ms, Pred stop) {
    std::unique_lock<std::mutex> lk(sleepMu_);
    sleepCv_.wait_for(lk, std::chrono::milliseconds(ms), stop);
}

bool InputPipeClient::connect(const std::string& pipeName, const std::string& token) {
    disconnect();
    {
        std::lock_guard<std::mutex> lk(mu_);
        pipeName_ = pipeName;
        token_ = token;
    }
    platform::PipeConnectResult res;
    const int attempts = timing_.connectAttempts;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        res = connector_(pipeName, 0);
        if (res.connection) break;
        if (res.busy) {
            res = connector_(pipeName, timing_.busyWaitMs);
            if (res.connection) break;
            logger().warn("[InputPipeClient] WaitNamedPipe attempt {}/{} timed out", attempt,
                          attempts);
        } else {
            logger().warn("[InputPipeClient] CreateFile attempt {}/{} failed err={}", attempt,
                          attempts, res.error);
            if (attempt < attempts)
                std::this_thread::sleep_for(std::chrono::milliseconds(timing_.retrySleepMs));
        }
    }
    const bool ok = res.connection != nullptr;
    if (ok) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            handle_ = std::move(res.connection);
            sendHelloLocked();
            connected_ = true;
        }
        logger().info("[InputPipeClient] Connected to pipe '{}'", res.path);
        // Bounds cached before this connect would otherwise never reach a
        // helper that serves a second connect() of the same client.
        sendCachedBounds(false);
    } else {
        logger().error(
            "[InputPipeClient] Failed to connect to pipe '{}' after {} attempts — background "
            "reconnect armed",
            res.path.empty() ? platform::localPipePath(pipeName) : res.path, attempts);
    }
    running_ = true;
    thread_ = std::thread([this] { pingLoop(); });
    return ok;
}

void InputPipeClient::disconnect() {
    connected_ = false;
    running_ = false;
    { std::lock_guard<std::mutex> lk(sleepMu_); }
    sleepCv_.notify_all();
    // The thread goes first: a reconnect it is finishing must not leave a
    // fresh handle behind. Its waits are all bounded.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    Handle h;
    {
        std::lock_guard<std::mutex> lk(mu_);
        h = std::move(handle_);
        handle_.reset();
    }
    if (h) {
        h->shutdown();
        h.reset();
        logger().info("[input-pipe] Disconnected");
    }
}

std::string InputPipeClient::desktopName() const {
    std::lock_guard<std::mutex> lk(mu_);
    return desktopName_;
}

bool InputPipeClient::lastCallDelivered() const {
    return tLastClient == this && tLastDelivered;
}

bool InputPipeClient::writeLocked(const std::string& lineWithLf, int& error) {
    if (!handle_) {
        error = EBADF;
        return false;
    }
    return handle_->writeAll(lineWithLf.data(), lineWithLf.size(), timing_.writeTimeoutMs, error);
}

bool InputPipeClient::sendHelloLocked() {
    if (token_.empty()) return true;
    Json hello = {{"t", "hello"}, {"token", token_}};
    int error = 0;
    if (!writeLocked(dumpJson(hello) + "\n", error)) {
        logger().warn("[InputPipeClient] hello write failed err={}", error);
        return false;
    }
    return true;
}

bool InputPipeClient::writeLine(std::string line) {
    if (!connected_.load()) return false;
    line += '\n';
    int error = 0;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (writeLocked(line, error)) return true;
        logger().warn("[InputPipeClient] WriteFile failed err={} — marking disconnected", error);
        connected_ = false;
        // A line cut off by a time-out must never be completed by a later
        // write: end the stream so the helper discards the fragment.
        if (handle_) handle_->shutdown();
    }
    sleepCv_.notify_all();
    return false;
}

bool InputPipeClient::writeOperation(std::string line) {
    const bool ok = writeLine(std::move(line));
    tLastClient = this;
    tLastDelivered = ok;
    return ok;
}

bool InputPipeClient::sendCachedBounds(bool afterReconnect) {
    int32_t l, t, w, h;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (!boundsValid_) return false;
        l = left_;
        t = top_;
        w = width_;
        h = height_;
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "{\"t\":\"smb\",\"l\":%d,\"tt\":%d,\"w\":%d,\"h\":%d}", l, t, w,
                  h);
    if (!writeLine(buf)) return false;
    if (afterReconnect)
        logger().info(
            "[InputPipeClient] re-sent cached monitor bounds after reconnect: ({}, {}) {}x{}", l, t,
            w, h);
    return true;
}

void InputPipeClient::pingLoop() {
    auto stopOrDown = [this] { return !running_.load() || !connected_.load(); };
    auto stopped = [this] { return !running_.load(); };
    while (running_.load()) {
        if (connected_.load()) {
            sleepUnless(timing_.pingHalfPeriodMs, stopOrDown);
            if (!stopOrDown()) sleepUnless(timing_.pingHalfPeriodMs, stopOrDown);
            if (!running_.load()) break;
            if (!connected_.load()) continue;
            char buf[64];
            std::snprintf(buf, sizeof buf, "{\"t\":\"ping\",\"ts\":%" PRIu64 "}",
                          static_cast<uint64_t>(wallClock_()));
            if (!writeLine(buf)) continue;
            sleepUnless(timing_.pongWaitMs, stopOrDown);
            if (stopOrDown()) continue;
            Handle h;
            {
                std::lock_guard<std::mutex> lk(mu_);
                h = handle_;
            }
            if (h) readPong(h);
        } else {
            sleepUnless(timing_.reconnectHalfPeriodMs, stopped);
            if (!stopped()) sleepUnless(timing_.reconnectHalfPeriodMs, stopped);
            if (running_.load() && !connected_.load()) tryReconnect();
        }
    }
    logger().info("[InputPipeClient] pingLoop exiting");
}

void InputPipeClient::readPong(const Handle& h) {
    int error = 0;
    const long avail = h->available(error);
    if (avail < 0) {
        logger().warn("[InputPipeClient] PeekNamedPipe failed err={} — disconnecting", error);
        connected_ = false;
        return;
    }
    if (avail == 0) return;  // a late pong is no failure
    char buf[kMaxPongRead];
    const platform::PipeIo io = h->read(buf, sizeof buf, 0);
    if (io.bytes <= 0) {
        logger().warn("[InputPipeClient] ReadFile (pong) failed err={} — disconnecting",
                      io.bytes < 0 ? io.error : 0);
        connected_ = false;
        return;
    }
    const std::string_view data(buf, static_cast<size_t>(io.bytes));
    constexpr std::string_view kKey = "\"desktop\":\"";
    const size_t k = data.find(kKey);
    if (k == std::string_view::npos) return;
    const size_t start = k + kKey.size();
    const size_t end = data.find('"', start);
    if (end == std::string_view::npos || end == start) return;
    std::string name(data.substr(start, end - start));
    logger().debug("[InputPipeClient] pong desktop='{}'", name);
    std::lock_guard<std::mutex> lk(mu_);
    desktopName_ = std::move(name);
}

bool InputPipeClient::tryReconnect() {
    std::string name;
    {
        std::lock_guard<std::mutex> lk(mu_);
        name = pipeName_;
    }
    if (name.empty()) return false;
    platform::PipeConnectResult res = connector_(name, 0);
    if (!res.connection) return false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (!running_.load()) return false;  // disconnect() is under way
        if (handle_) handle_->shutdown();
        handle_ = std::move(res.connection);
        sendHelloLocked();
        connected_ = true;
    }
    logger().info("[InputPipeClient] reconnected to pipe '{}'", res.path);
    sendCachedBounds(true);
    return true;
}

void InputPipeClient::bridgeRelease() {
    if (writeLine("{\"t\":\"shm2\",\"op\":\"bridge_release\"}"))
        logger().info("[InputPipeClient] bridge_release sent to helper");
}

void InputPipeClient::mouseMove(uint16_t x, uint16_t y) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "{\"t\":\"mm\",\"x\":%u,\"y\":%u}", unsigned{x}, unsigned{y});
    writeOperation(buf);
}

void InputPipeClient::mouseDown(uint8_t button) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "{\"t\":\"mc\",\"b\":%u,\"d\":1}", unsigned{button});
    writeOperation(buf);
}

void InputPipeClient::mouseUp(uint8_t button) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "{\"t\":\"mc\",\"b\":%u,\"d\":0}", unsigned{button});
    writeOperation(buf);
}

void InputPipeClient::mouseWheel(int16_t vertical, int16_t horizontal) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "{\"t\":\"mw\",\"dy\":%d,\"dx\":%d}", int{vertical},
                  int{horizontal});
    writeOperation(buf);
}

void InputPipeClient::keyDown(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "{\"t\":\"kd\",\"vk\":%u,\"sc\":%u,\"ext\":%u}",
                  unsigned{virtualKey}, unsigned{scanCode}, unsigned(flags & 1u));
    writeOperation(buf);
}

void InputPipeClient::keyUp(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "{\"t\":\"ku\",\"vk\":%u,\"sc\":%u,\"ext\":%u}",
                  unsigned{virtualKey}, unsigned{scanCode}, unsigned(flags & 1u));
    writeOperation(buf);
}

void InputPipeClient::typeText(const std::string& utf8, uint32_t delayMs) {
    if (!connected_.load()) {
        tLastClient = this;
        tLastDelivered = false;
        return;
    }
    size_t from = 0;
    bool ok = true;
    bool anySent = false;
    do {
        const size_t len = utf8PieceLength(utf8, from, kTypePieceBytes);
        Json j = {{"t", "type"}, {"s", utf8.substr(from, len)}, {"d", delayMs}};
        ok = writeLine(dumpJson(j));
        if (!ok) break;
        anySent = true;
        from += len;
    } while (from < utf8.size());
    tLastClient = this;
    // A text that went out partly is not replayed: that would type its
    // start twice.
    tLastDelivered = ok || anySent;
}

void InputPipeClient::sendSas() {
    writeOperation("{\"t\":\"sas\"}");
}

void InputPipeClient::setActiveMonitorBounds(int32_t left, int32_t top, int32_t width,
                                             int32_t height) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        boundsValid_ = true;
        left_ = left;
        top_ = top;
        width_ = width;
        height_ = height;
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "{\"t\":\"smb\",\"l\":%d,\"tt\":%d,\"w\":%d,\"h\":%d}", left,
                  top, width, height);
    writeOperation(buf);
}

}  // namespace kvd
