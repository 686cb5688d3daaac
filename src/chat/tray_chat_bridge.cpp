#include "chat/tray_chat_bridge.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/clock.h"
#include "common/json_util.h"
#include "common/log.h"

namespace kvd {

namespace {

constexpr const char* kPipePrefix = "kelvandrum-chat-";
constexpr size_t kMaxIdChars = 64;
constexpr size_t kKeptIdChars = 48;
constexpr int kPollMs = 200;
constexpr int kRetryMs = 1000;
constexpr size_t kReadBytes = 4096;

uint32_t fnv1a(std::string_view s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

}  // namespace

std::string trayChatPipeName(const std::string& sessionId) {
    std::string id = sanitiseForFileName(sessionId);
    if (id.size() > kMaxIdChars) {
        char hash[16];
        std::snprintf(hash, sizeof hash, "-%08x", fnv1a(sessionId));
        id = id.substr(0, kKeptIdChars) + hash;
    }
    return kPipePrefix + id;
}

std::string trayLineText(std::string_view line) {
    const std::optional<Json> j = parseJson(line);
    if (!j) return {};
    return jsonStringOr(*j, "text", "");
}

TrayChatBridge::TrayChatBridge(ServerFactory factory, std::function<int64_t()> wallMs)
    : factory_(std::move(factory)), wallMs_(wallMs ? std::move(wallMs) : wallNowMs) {}

TrayChatBridge::~TrayChatBridge() {
    stop();
}

void TrayChatBridge::setOutboundCallback(Outbound cb) {
    outbound_ = std::move(cb);
}

bool TrayChatBridge::start(const std::string& sessionId, const std::string& technicianName) {
    if (running_.exchange(true)) return true;
    if (thread_.joinable()) thread_.join();  // a previous stop() left it finished
    sessionId_ = sessionId;
    technician_ = technicianName;
    pipeName_ = trayChatPipeName(sessionId);
    thread_ = std::thread([this] { run(); });
    logger().info("[tray-chat] started; pipe={}", platform::localPipePath(pipeName_));
    return true;
}

void TrayChatBridge::stop() {
    const bool wasRunning = running_.exchange(false);
    {
        // Ends a read in progress at once.
        std::lock_guard lk(writeMu_);
        if (conn_) conn_->shutdown();
    }
    if (thread_.joinable()) thread_.join();
    if (wasRunning) logger().info("[tray-chat] stopped");
}

void TrayChatBridge::sleepWhileRunning(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (running_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void TrayChatBridge::run() {
    try {
        LogThinner createFailures(3, 30);
        bool announce = true;
        while (running_) {
            if (!server_) {
                auto r = factory_(pipeName_);
                if (!r.server) {
                    if (createFailures.shouldLog())
                        logger().warn("[tray-chat] CreateNamedPipeA failed err={} ({} at {})",
                                      r.error, r.step, r.path);
                    sleepWhileRunning(kRetryMs);
                    continue;
                }
                server_ = std::move(r.server);
                announce = true;
            }
            if (announce) {
                logger().info("[tray-chat] waiting for tray client on {}", server_->path());
                announce = false;
            }
            int error = 0;
            auto conn = server_->accept(kPollMs, error);
            if (!conn) {
                if (error != ETIMEDOUT && running_) {
                    logger().warn("[tray-chat] ConnectNamedPipe failed err={}", error);
                    server_.reset();
                    sleepWhileRunning(kRetryMs);
                }
                continue;
            }
            serve(std::move(conn));
            announce = true;
        }
    } catch (const std::exception& e) {
        logger().error("[tray-chat] server thread failed: {}", e.what());
    } catch (...) {
        logger().error("[tray-chat] server thread failed: unknown exception");
    }
    {
        std::lock_guard lk(writeMu_);
        conn_.reset();
    }
    connected_ = false;
    server_.reset();
}

void TrayChatBridge::serve(std::unique_ptr<platform::LocalPipeConnection> conn) {
    const platform::PipePeer peer = conn->peer();
    if (peer.known)
        logger().info("[tray-chat] tray client connected (pid={} uid={})", peer.pid, peer.uid);
    else
        logger().info("[tray-chat] tray client connected");
    platform::LocalPipeConnection* c = conn.get();
    {
        std::lock_guard lk(writeMu_);
        conn_ = std::move(conn);
        connected_ = true;
        lineBuffer_.clear();
        discarding_ = false;
        writeRecord(*c, "{\"type\":\"hello\",\"sessionId\":\"" +
                            escapeJsonString(replaceInvalidUtf8(sessionId_)) +
                            "\",\"technician\":\"" +
                            escapeJsonString(replaceInvalidUtf8(technician_)) + "\"}\n");
    }
    char buf[kReadBytes];
    while (running_) {
        const platform::PipeIo io = c->read(buf, sizeof buf, kPollMs);
        if (io.timedOut) {
            refuseSecondClient(*server_);
            continue;
        }
        if (io.bytes <= 0) {
            // The tray closing its end reads as a broken pipe, as it would on
            // a named pipe.
            if (running_)
                logger().info("[tray-chat] ReadFile failed err={}",
                              io.bytes < 0 ? io.error : EPIPE);
            break;
        }
        handleBytes(buf, static_cast<size_t>(io.bytes));
        refuseSecondClient(*server_);
    }
    logger().info("[tray-chat] tray client disconnected");
    std::lock_guard lk(writeMu_);
    connected_ = false;
    conn_.reset();
}

void TrayChatBridge::handleBytes(const char* data, size_t n) {
    size_t pos = 0;
    while (pos < n) {
        const char* nl = static_cast<const char*>(std::memchr(data + pos, '\n', n - pos));
        const size_t end = nl ? static_cast<size_t>(nl - data) : n;
        if (!discarding_) {
            if (lineBuffer_.size() + (end - pos) > kTrayLineMaxBytes) {
                logger().warn("[tray-chat] tray line longer than {} bytes — dropped",
                              kTrayLineMaxBytes);
                lineBuffer_.clear();
                lineBuffer_.shrink_to_fit();
                discarding_ = true;
            } else {
                lineBuffer_.append(data + pos, end - pos);
            }
        }
        if (!nl) return;
        pos = end + 1;
        if (discarding_) {
            discarding_ = false;
            continue;
        }
        std::string line;
        line.swap(lineBuffer_);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::string text = trayLineText(line);
        if (!text.empty() && outbound_) outbound_(text);
    }
}

void TrayChatBridge::refuseSecondClient(platform::LocalPipeServer& server) {
    int error = 0;
    auto extra = server.accept(0, error);
    if (!extra) return;
    logger().warn("[tray-chat] second tray client refused: one tray at a time");
    int werr = 0;
    const std::string busy =
        "{\"type\":\"busy\",\"reason\":\"another tray client is connected\"}\n";
    extra->writeAll(busy.data(), busy.size(), kTrayWriteTimeoutMs, werr);
    extra->shutdown();
}

bool TrayChatBridge::writeRecord(platform::LocalPipeConnection& conn, const std::string& record) {
    int error = 0;
    if (conn.writeAll(record.data(), record.size(), kTrayWriteTimeoutMs, error)) return true;
    logger().warn("[tray-chat] WriteFile failed err={}", error);
    return false;
}

void TrayChatBridge::sendToTray(const std::string& text) {
    std::lock_guard lk(writeMu_);
    if (!connected_ || !conn_) return;
    if (writeRecord(*conn_, "{\"type\":\"in\",\"text\":\"" +
                                escapeJsonString(replaceInvalidUtf8(text)) +
                                "\",\"ts\":" + std::to_string(wallMs_()) + "}\n"))
        return;
    // A tray that stopped reading would hold every later message (and the
    // viewer's channel thread that delivers it) for the whole time-out: it
    // is dropped, and greeted afresh when it connects again.
    logger().warn("[tray-chat] tray client not reading — disconnecting it");
    connected_ = false;
    conn_->shutdown();
}

}  // namespace kvd
