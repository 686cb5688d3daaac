#include "engine/status.h"

#include <thread>

#include "common/log.h"
#include "common/process_state.h"
#include "platform/process.h"

namespace kvd {

namespace {
void writeLine(std::FILE* f, const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fflush(f);
}
}  // namespace

std::string percentEncode(const std::string& s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

void writeReadyLine(const std::string& sessionId, std::FILE* out) {
    writeLine(out, "KELVANDRUM_READY session_id=" + sessionId + "\n");
}

int writeErrorLine(int code, const std::string& message, std::FILE* out) {
    writeLine(out, "KELVANDRUM_ERROR code=" + std::to_string(code) +
                       " msg=" + percentEncode(message) + "\n");
    return code;
}

void writePermissionRecord(std::FILE* out) {
    writeLine(out, "{\"accessibility\":false,\"screenRecording\":false}\n");
}

void writeFatalLine(const std::string& what, std::FILE* err) {
    writeLine(err, "Fatal: " + what + "\n");
}

void writeAgentRefusal(std::FILE* err) {
    writeLine(err, "[agent] FATAL: --agent mode is macOS-only\n");
}

std::string encoderErrorMessage(const std::string& reason) {
    return "{\"type\":\"encoder_error\",\"v\":1,\"reason\":\"" + escapeJsonString(reason) + "\"}";
}

std::string iceGiveUpMessage(bool udpFingerprintDead, uint64_t answeredGenerations) {
    return std::string(udpFingerprintDead ? "ice-dead-udp-fingerprint-after-"
                                          : "ice-never-connected-across-") +
           std::to_string(answeredGenerations) + "-answered-generations";
}

Watchdog::Watchdog(std::atomic<int64_t>& heartbeatMs, std::atomic<bool>& stop, Hooks hooks)
    : heartbeat_(heartbeatMs), stop_(stop), hooks_(std::move(hooks)) {}

bool Watchdog::tick() {
    if (stop_.load()) return false;
    const int64_t hb = heartbeat_.load();
    if (hb != 0) {
        const int64_t now = hooks_.clock->nowMs();
        const int64_t elapsed = now > hb ? now - hb : 0;
        if (elapsed >= kExitAfterMs) {
            hooks_.writeErr("KELVANDRUM_WATCHDOG_EXIT reason=no_progress elapsed_ms=" +
                            std::to_string(elapsed) + "\n");
            hooks_.exitProcess(1);
            return false;
        }
        if (elapsed <= kWarnAfterMs) {
            warned_ = false;
        } else if (!warned_) {
            hooks_.writeErr("KELVANDRUM_WATCHDOG_WARN reason=no_progress elapsed_ms=" +
                            std::to_string(elapsed) + "\n");
            warned_ = true;
        }
    }
    return !stop_.load();
}

void Watchdog::run() {
    if (stop_.load()) return;
    do {
        hooks_.sleepMs(1000);
        if (stop_.load()) return;
    } while (tick());
}

void startWatchdogThread() {
    auto& ps = processState();
    Watchdog::Hooks hooks;
    hooks.clock = &SteadyClock::instance();
    hooks.writeErr = [](const std::string& line) { writeLine(stderr, line); };
    hooks.exitProcess = [](int code) {
        logger().flush();
        platform::exitProcessNow(code);
    };
    hooks.sleepMs = [](int64_t ms) {
        std::this_thread::sleep_until(std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(ms));
    };
    std::thread([&ps, hooks]() mutable {
        Watchdog wd(ps.watchdogHeartbeatMs, ps.watchdogStop, std::move(hooks));
        wd.run();
    }).detach();
}

Json buildStatusRecord(const StatusInputs& in, int64_t nowMs) {
    auto& ps = processState();
    auto age = [nowMs](int64_t t) -> int64_t {
        if (t == 0) return -1;
        return nowMs > t ? nowMs - t : 0;
    };
    std::string detail;
    if (in.captureKind == "shm2")
        detail = "shm2";
    else if (in.shmActive)
        detail = "shm";
    else if (!in.haveCapture)
        detail = "none";
    else if (in.captureKind == "dxgi" || in.captureKind == "gdi")
        detail = in.captureKind;
    else
        detail = "native";

    Json j;
    j["captureBackend"] = in.shmActive ? "shm" : (in.haveCapture ? "native" : "none");
    j["width"] = in.haveCapture ? in.width : 0;
    j["height"] = in.haveCapture ? in.height : 0;
    j["capturedFrames"] = ps.capturedFrames.load();
    j["encodedFrames"] = ps.encodedFrames.load();
    j["sentFrames"] = ps.sentFrames.load();
    j["lastCaptureAgeMs"] = age(ps.lastCaptureMs.load());
    j["lastEncodeAgeMs"] = age(ps.lastEncodeMs.load());
    j["lastSendAgeMs"] = age(ps.lastSendMs.load());
    j["rtcBufferedBytes"] = in.rtcBufferedBytes;
    j["abrLevel"] = in.abrLevel;
    j["dxgiStarvedDeaths"] = in.dxgiStarvedDeaths;
    j["desktopKind"] = !in.secureDesktop ? "unknown" : (*in.secureDesktop ? "secure" : "console");
    j["captureBackendDetail"] = detail;
    const bool v2 = in.captureKind == "shm2";
    j["helperHeartbeatAgeMs"] = v2 ? in.helperHeartbeatAgeMs : -1;
    j["geometryGeneration"] = v2 ? in.geometryGeneration : 0;
    j["shmSlotDrops"] = v2 ? in.shmSlotDrops : 0;
    j["peerConnected"] = in.peerConnected;
    return j;
}

std::optional<Json> DisplayStateReporter::evaluate(const DisplayStateInputs& in) {
    const bool session0 = session0_ && !in.liveShm;
    std::string state;
    if (!in.haveCapture) {
        state = session0 ? "session0_no_desktop" : "capture_unavailable";
    } else if (session0) {
        state = "session0_no_desktop";
    } else if (in.activePaths == 0 || in.monitors == 0) {
        state = "no_active_display";
    } else if (in.basicAdapter) {
        state = "basic_display_fallback";
    } else {
        state = "ok";
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (state == last_) return std::nullopt;
        last_ = state;
    }
    Json msg;
    msg["activePaths"] = in.activePaths;
    msg["height"] = in.haveCapture ? in.height : 0;
    msg["monitors"] = in.monitors;
    msg["session0"] = session0_;
    msg["state"] = state;
    msg["type"] = "display_state";
    msg["v"] = 1;
    msg["width"] = in.haveCapture ? in.width : 0;
    logger().info(
        "[display-state] {} (paths={} monitors={} basicAdapter={} session0={} liveShm={})", state,
        in.activePaths, in.monitors, in.basicAdapter, session0, in.liveShm);
    return msg;
}

void DisplayStateReporter::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    last_.clear();
}

std::string DisplayStateReporter::lastState() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_;
}

}  // namespace kvd
