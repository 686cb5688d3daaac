#pragma once
// The engine's side of the input helper pipe: every injector operation goes
// to the SYSTEM helper as one JSON line. A background thread pings once a
// second, learns the input desktop's name from the pongs and reconnects
// (hello, then the cached monitor bounds) after any failure.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "input/input_injector.h"
#include "platform/local_pipe.h"

namespace kvd {

// Waits of the client; tests shorten them.
struct InputPipeTiming {
    int connectAttempts = 10;
    int retrySleepMs = 500;      // after a failed open in connect()
    int busyWaitMs = 500;        // waiting for a busy pipe in connect()
    int pingHalfPeriodMs = 500;  // two of these between pings
    int pongWaitMs = 200;
    int reconnectHalfPeriodMs = 200;  // two of these between reconnect attempts
    int writeTimeoutMs = 2000;        // a helper that stopped reading is a broken pipe
};

class InputPipeClient final : public InputInjector {
  public:
    // Opens the pipe by name; busyWaitMs as in platform::connectLocalPipe.
    using Connector =
        std::function<platform::PipeConnectResult(const std::string& pipeName, int busyWaitMs)>;
    using WallClock = std::function<int64_t()>;

    using Timing = InputPipeTiming;

    // connector null: platform::connectLocalPipe; wallClock null: wallNowMs.
    explicit InputPipeClient(Connector connector = nullptr, Timing timing = Timing(),
                             WallClock wallClock = nullptr);
    ~InputPipeClient() override;
    InputPipeClient(const InputPipeClient&) = delete;
    InputPipeClient& operator=(const InputPipeClient&) = delete;

    // True when connected at return; the background thread keeps trying
    // either way.
    bool connect(const std::string& pipeName, const std::string& token);
    void disconnect();

    bool isConnected() const { return connected_.load(); }
    // Name of the input desktop from the last pong ("Default" until then).
    std::string desktopName() const;
    // Tells the helper that its post-secure-desktop capture bridge may end.
    void bridgeRelease();

    // Whether the last operation this thread issued on this client reached
    // the pipe in full. The failover injector replays it on the direct
    // injector when it did not, so that no input is lost to a broken pipe.
    bool lastCallDelivered() const;

    void mouseMove(uint16_t x, uint16_t y) override;
    void mouseDown(uint8_t button) override;
    void mouseUp(uint8_t button) override;
    void mouseWheel(int16_t vertical, int16_t horizontal) override;
    void keyDown(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) override;
    void keyUp(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) override;
    void typeText(const std::string& utf8, uint32_t delayMs) override;
    void sendSas() override;
    void setActiveMonitorBounds(int32_t left, int32_t top, int32_t width, int32_t height) override;
    bool isAvailable() override { return true; }

    static constexpr size_t kMaxPongRead = 511;

  private:
    using Handle = std::shared_ptr<platform::LocalPipeConnection>;

    bool writeLine(std::string line);
    bool writeOperation(std::string line);
    // Under mu_: writes on handle_ without looking at the connected flag.
    bool writeLocked(const std::string& lineWithLf, int& error);
    bool sendHelloLocked();
    bool sendCachedBounds(bool afterReconnect);
    void pingLoop();
    bool tryReconnect();
    void readPong(const Handle& h);
    // Sleeps up to ms; returns early when the predicate holds.
    template <typename Pred>
    void sleepUnless(int ms, Pred stop);

    Connector connector_;
    Timing timing_;
    WallClock wallClock_;

    Handle handle_;
    std::atomic<bool> connected_{false};
    mutable std::mutex mu_;
    std::string desktopName_ = "Default";
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::string pipeName_;
    std::string token_;
    bool boundsValid_ = false;
    int32_t left_ = 0, top_ = 0, width_ = 0, height_ = 0;

    std::mutex sleepMu_;
    std::condition_variable sleepCv_;
};

}  // namespace kvd
