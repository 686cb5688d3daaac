#include "input/failover_input_injector.h"

#include "input/input_pipe_client.h"

namespace kvd {

FailoverInputInjector::FailoverInputInjector(std::shared_ptr<InputInjector> pipe,
                                             std::unique_ptr<InputInjector> direct,
                                             std::function<bool()> usePipe,
                                             std::function<bool()> pipeDelivered)
    : pipe_(std::move(pipe)),
      direct_(std::move(direct)),
      usePipe_(std::move(usePipe)),
      pipeDelivered_(std::move(pipeDelivered)) {}

FailoverInputInjector::~FailoverInputInjector() {
    usePipe_ = nullptr;
    pipeDelivered_ = nullptr;
    direct_.reset();
    pipe_.reset();
}

std::unique_ptr<FailoverInputInjector> FailoverInputInjector::forPipeClient(
    std::shared_ptr<InputPipeClient> client, std::unique_ptr<InputInjector> direct) {
    InputPipeClient* c = client.get();
    std::function<bool()> usePipe, delivered;
    if (c) {
        usePipe = [c] { return c->isConnected(); };
        delivered = [c] { return c->lastCallDelivered(); };
    }
    return std::make_unique<FailoverInputInjector>(std::move(client), std::move(direct),
                                                   std::move(usePipe), std::move(delivered));
}

// Each operation goes to exactly one side (the direct side only takes what
// the pipe demonstrably did not); with neither present it is dropped.
template <typename Op>
void FailoverInputInjector::route(const Op& op) {
    if (pipe_ && usePipe_ && usePipe_()) {
        op(*pipe_);
        if (!pipeDelivered_ || pipeDelivered_()) return;
    }
    if (direct_) op(*direct_);
}

void FailoverInputInjector::mouseMove(uint16_t x, uint16_t y) {
    route([&](InputInjector& t) { t.mouseMove(x, y); });
}
void FailoverInputInjector::mouseDown(uint8_t button) {
    route([&](InputInjector& t) { t.mouseDown(button); });
}
void FailoverInputInjector::mouseUp(uint8_t button) {
    route([&](InputInjector& t) { t.mouseUp(button); });
}
void FailoverInputInjector::mouseWheel(int16_t vertical, int16_t horizontal) {
    route([&](InputInjector& t) { t.mouseWheel(vertical, horizontal); });
}
void FailoverInputInjector::keyDown(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) {
    route([&](InputInjector& t) { t.keyDown(scanCode, virtualKey, flags); });
}
void FailoverInputInjector::keyUp(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) {
    route([&](InputInjector& t) { t.keyUp(scanCode, virtualKey, flags); });
}
void FailoverInputInjector::typeText(const std::string& utf8, uint32_t delayMs) {
    route([&](InputInjector& t) { t.typeText(utf8, delayMs); });
}
void FailoverInputInjector::sendSas() {
    route([&](InputInjector& t) { t.sendSas(); });
}

void FailoverInputInjector::setActiveMonitorBounds(int32_t left, int32_t top, int32_t width,
                                                   int32_t height) {
    // The pipe side caches the bounds even while disconnected, so both sides
    // always know the active monitor whichever one serves the next event.
    if (pipe_) pipe_->setActiveMonitorBounds(left, top, width, height);
    if (direct_) direct_->setActiveMonitorBounds(left, top, width, height);
}

}  // namespace kvd
