#pragma once
// Single-line status records for the parent service, the watchdog, and the
// telemetry record and display-state reporting.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "common/clock.h"
#include "common/json_util.h"

namespace kvd {

// Bytes outside [A-Za-z0-9-._~] become %XX (upper-case hex).
std::string percentEncode(const std::string& s);

// Each record is one line written with a single write and flushed.
void writeReadyLine(const std::string& sessionId, std::FILE* out = stdout);
// Returns code, which callers use as the exit code.
int writeErrorLine(int code, const std::string& message, std::FILE* out = stdout);
void writePermissionRecord(std::FILE* out = stdout);
void writeFatalLine(const std::string& what, std::FILE* err = stderr);
void writeAgentRefusal(std::FILE* err = stderr);

// The "encoder_error" control message text (hand-assembled, fixed key order).
std::string encoderErrorMessage(const std::string& reason);

// Error record texts for the ICE give-up.
std::string iceGiveUpMessage(bool udpFingerprintDead, uint64_t answeredGenerations);

// Watchdog: one tick per second; warns once per stall past 30 s and ends the
// process at 60 s. Clock, stderr and the process exit are injectable.
class Watchdog {
  public:
    struct Hooks {
        const Clock* clock = nullptr;
        std::function<void(const std::string&)> writeErr;  // one full line
        std::function<void(int)> exitProcess;              // must not return in production
        std::function<void(int64_t ms)> sleepMs;
    };
    Watchdog(std::atomic<int64_t>& heartbeatMs, std::atomic<bool>& stop, Hooks hooks);

    // One evaluation; returns false when the thread must end.
    bool tick();
    // The thread body: returns when stop is set (or after an exit hook that returns).
    void run();

    static constexpr int64_t kWarnAfterMs = 30000;
    static constexpr int64_t kExitAfterMs = 60000;

  private:
    std::atomic<int64_t>& heartbeat_;
    std::atomic<bool>& stop_;
    Hooks hooks_;
    bool warned_ = false;
};

// Starts the production watchdog thread, detached.
void startWatchdogThread();

// Inputs of the status record; the session loop fills them.
struct StatusInputs {
    bool shmActive = false;
    bool haveCapture = false;
    std::string captureKind;  // "shm2", "shm", "dxgi", "gdi", or another backend's name
    int width = 0, height = 0;
    uint64_t rtcBufferedBytes = 0;
    int abrLevel = 0;
    int dxgiStarvedDeaths = 0;
    std::optional<bool> secureDesktop;  // nullopt: not known yet
    int64_t helperHeartbeatAgeMs = -1;
    uint64_t geometryGeneration = 0;
    uint64_t shmSlotDrops = 0;
    bool peerConnected = false;
};
Json buildStatusRecord(const StatusInputs& in, int64_t nowMs);

// Display-state evaluation: remembers the last state and returns the
// "display_state" message only when the state changed.
struct DisplayStateInputs {
    bool haveCapture = false;
    bool liveShm = false;
    bool basicAdapter = false;
    int activePaths = 0;
    int monitors = 0;
    int width = 0, height = 0;
};
class DisplayStateReporter {
  public:
    void setSession0(bool s) { session0_ = s; }
    bool session0() const { return session0_; }
    std::optional<Json> evaluate(const DisplayStateInputs& in);
    void clear();
    std::string lastState() const;

  private:
    mutable std::mutex mu_;
    std::string last_;
    bool session0_ = false;
};

}  // namespace kvd
