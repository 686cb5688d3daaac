#pragma once
// The direct injector: drives the platform input backend from the calling
// thread, re-binding to the current input desktop at most every 5 seconds.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "common/clock.h"
#include "input/input_injector.h"
#include "platform/input_backend.h"

namespace kvd {

class Win32InputInjector final : public InputInjector {
  public:
    using SleepFn = std::function<void(int64_t ms)>;

    // backend: null means the platform default (the session's display).
    explicit Win32InputInjector(std::unique_ptr<platform::InputBackend> backend = nullptr,
                                const Clock& clock = SteadyClock::instance(),
                                SleepFn sleep = nullptr);

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

    // Primary screen and virtual desktop, for the start-up log line.
    platform::ScreenMetrics screenMetrics() { return backend_->screenMetrics(); }

    // Drops the attachment so that the next call binds to the input desktop
    // afresh (after a desktop switch).
    void forceReattach();

    static constexpr size_t kTypeBatch = 2000;
    static constexpr uint32_t kMaxTypeDelayMs = 200;

  private:
    void ensureInputDesktop();
    void button(uint8_t button, bool down);
    void key(uint16_t scanCode, uint16_t virtualKey, uint8_t flags, bool up);
    void logSendFailure(const char* label);

    std::unique_ptr<platform::InputBackend> backend_;
    const Clock& clock_;
    SleepFn sleep_;
    std::atomic<bool> attached_{false};
    std::atomic<uint64_t> moveCount_{0};
    std::atomic<int64_t> lastAttachMs_{0};
    std::atomic<int32_t> left_{0}, top_{0}, width_{-1}, height_{-1};
};

}  // namespace kvd
