#pragma once
// Process-wide state shared by every long-running loop: the running flag, the
// exit reason, the watchdog heartbeat and the telemetry counters.
#include <atomic>
#include <cstdint>

namespace kvd {

struct ProcessState {
    std::atomic<bool> running{true};
    std::atomic<int32_t> exitReason{0};

    // Watchdog: steady ms of the last sign of progress; 0 = not armed.
    std::atomic<int64_t> watchdogHeartbeatMs{0};
    std::atomic<bool> watchdogStop{false};

    // Telemetry (steady ms; 0 = never).
    std::atomic<uint64_t> capturedFrames{0};
    std::atomic<uint64_t> encodedFrames{0};
    std::atomic<uint64_t> sentFrames{0};
    std::atomic<int64_t> lastCaptureMs{0};
    std::atomic<int64_t> lastEncodeMs{0};
    std::atomic<int64_t> lastSendMs{0};
};

ProcessState& processState();

inline bool isRunning() {
    return processState().running.load();
}
inline void requestStop() {
    processState().running.store(false);
}

}  // namespace kvd
