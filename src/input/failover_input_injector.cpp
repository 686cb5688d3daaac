#include "input/failover_input_injector.h"

namespace kvd {

FailoverInputInjector::FailoverInputInjector(std::shared_ptr<InputInjector> pipe,
                                             std::unique_ptr<InputInjector> direct,
                                             std::function<bool()> usePipe)
    : pipe_(std::move(pipe)), direct_(std::move(direct)), usePipe_(std::move(usePipe)) {}

FailoverInputInjector::~FailoverInputInjector() {
    usePipe_ = nullptr;
    direct_.reset();
    pipe_.reset();
}

InputInjector* FailoverInputInjector::target() {
    if (pipe_ && usePipe_ && usePipe_()) return pipe_.get();
    return direct_.get();
}

// Each operation goes to exactly one side; with neither present it is dropped.
#define KVD_ROUTE(call) \
    if (InputInjector* t = target()) t->call;

void FailoverInputInjector::mouseMove(uint16_t x, uint16_t y) {
    KVD_ROUTE(mouseMove(x, y))
}
void FailoverInputInjector::mouseDown(uint8_t button) {
    KVD_ROUTE(mouseDown(button))
}
void FailoverInputInjector::mouseUp(uint8_t button) {
    KVD_ROUTE(mouseUp(button))
}
void FailoverInputInjector::mouseWheel(int16_t vertical, int16_t horizontal) {
    KVD_ROUTE(mouseWheel(vertical, horizontal))
}
void FailoverInputInjector::keyDown(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) {
    KVD_ROUTE(keyDown(scanCode, virtualKey, flags))
}
void FailoverInputInjector::keyUp(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) {
    KVD_ROUTE(keyUp(scanCode, virtualKey, flags))
}
void FailoverInputInjector::typeText(const std::string& utf8, uint32_t delayMs) {
    KVD_ROUTE(typeText(utf8, delayMs))
}
void FailoverInputInjector::sendSas() {
    KVD_ROUTE(sendSas())
}

#undef KVD_ROUTE

void FailoverInputInjector::setActiveMonitorBounds(int32_t left, int32_t top, int32_t width,
                                                   int32_t height) {
    // The pipe side caches the bounds even while disconnected, so both sides
    // always know the active monitor whichever one serves the next event.
    if (pipe_) pipe_->setActiveMonitorBounds(left, top, width, height);
    if (direct_) direct_->setActiveMonitorBounds(left, top, width, height);
}

}  // namespace kvd
