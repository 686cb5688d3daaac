#pragma once
// Sends every operation to the pipe injector (the SYSTEM helper) while it is
// connected, and to the direct injector otherwise; decided call by call.
#include <functional>
#include <memory>

#include "input/input_injector.h"

namespace kvd {

class InputPipeClient;

class FailoverInputInjector final : public InputInjector {
  public:
    // pipe may be null (no helper configured yet); usePipe is read per call,
    // typically the pipe client's connected flag.
    // pipeDelivered (optional) is asked right after each operation sent to
    // the pipe, on the same thread: false means the pipe broke under it, and
    // the operation is replayed on the direct injector instead of being lost.
    FailoverInputInjector(std::shared_ptr<InputInjector> pipe,
                          std::unique_ptr<InputInjector> direct, std::function<bool()> usePipe,
                          std::function<bool()> pipeDelivered = nullptr);
    ~FailoverInputInjector() override;

    // The start-up wiring: routes by the client's connected flag and replays
    // what a breaking pipe did not take.
    static std::unique_ptr<FailoverInputInjector> forPipeClient(
        std::shared_ptr<InputPipeClient> client, std::unique_ptr<InputInjector> direct);

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

  private:
    template <typename Op>
    void route(const Op& op);

    std::shared_ptr<InputInjector> pipe_;
    std::unique_ptr<InputInjector> direct_;
    std::function<bool()> usePipe_;
    std::function<bool()> pipeDelivered_;
};

}  // namespace kvd
