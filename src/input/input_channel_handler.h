#pragma once
// Receives the viewer's binary input messages, drives the injector, tracks the
// keys held down through the channel and releases the ones that get stuck.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/clock.h"
#include "input/input_injector.h"

namespace kvd {

struct HeldKey {
    uint16_t scanCode = 0;
    uint16_t virtualKey = 0;
    uint8_t extended = 0;  // bit 0 significant
    int64_t downAtMs = 0;
};

class InputChannelHandler {
  public:
    // Starts the stuck-key watchdog, which ticks once per second of `clock`.
    explicit InputChannelHandler(std::unique_ptr<InputInjector> injector,
                                 const Clock& clock = SteadyClock::instance());
    ~InputChannelHandler();
    InputChannelHandler(const InputChannelHandler&) = delete;
    InputChannelHandler& operator=(const InputChannelHandler&) = delete;

    // One binary message from the input or control channel. Never throws.
    void handleMessage(const uint8_t* data, size_t length);

    // false: every message is ignored silently (view-only sessions).
    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool enabled() const { return enabled_; }
    // Sets the enabled flag from a session access mode and logs the outcome;
    // fromService marks a change the service made during the session.
    void applyAccessMode(const std::string& accessMode, bool fromService);

    // When set, SAS requests go here instead of to the injector.
    void setSasCallback(std::function<void()> callback);

    // Releases every held key; true.
    bool releaseAllKeys();

    // The watchdog's sweep: releases keys older than the timeout at `nowMs`.
    void sweepStuckKeys(int64_t nowMs);

    // Ids of the keys held right now (unordered).
    std::vector<std::string> heldKeyIds() const;

    InputInjector* injector() { return injector_.get(); }

    static constexpr int64_t kStuckKeyTimeoutMs = 10000;
    static constexpr int64_t kWatchdogPeriodMs = 1000;

  private:
    void reconcile(const std::unordered_set<std::string>& keep);
    void releaseKeys(const std::vector<std::pair<std::string, HeldKey>>& keys, const char* reason);
    void dispatch(const uint8_t* data, size_t length);
    void routeSas();
    void watchdogLoop(int64_t start);

    // Destroyed in reverse order: the thread is joined first, the injector
    // goes last.
    std::unique_ptr<InputInjector> injector_;
    std::mutex sasLock_;
    std::function<void()> sasCallback_;
    std::atomic<bool> enabled_{true};
    std::atomic<uint64_t> moveCount_{0};
    const Clock& clock_;
    mutable std::mutex heldKeysLock_;
    std::unordered_map<std::string, HeldKey> heldKeys_;
    std::atomic<bool> watchdogRunning_{true};
    std::mutex wakeLock_;
    std::condition_variable wake_;
    std::thread watchdogThread_;
    const int64_t stuckKeyTimeoutMs_ = kStuckKeyTimeoutMs;
};

}  // namespace kvd
