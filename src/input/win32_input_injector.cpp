#include "input/win32_input_injector.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/log.h"
#include "input/typing.h"

namespace kvd {

namespace {
constexpr int64_t kReattachMs = 5000;
}

Win32InputInjector::Win32InputInjector(std::unique_ptr<platform::InputBackend> backend,
                                       const Clock& clock, SleepFn sleep)
    : backend_(backend ? std::move(backend) : platform::createInputBackend()),
      clock_(clock),
      sleep_(sleep ? std::move(sleep) : [](int64_t ms) {
          std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      }) {}

void Win32InputInjector::ensureInputDesktop() {
    if (attached_.load() && clock_.nowMs() - lastAttachMs_.load() < kReattachMs) return;
    attached_ = false;
    int error = 0;
    if (backend_->attachInputDesktop(error)) {
        logger().info("[input] attached to input desktop");
    } else {
        logger().warn("[input] OpenInputDesktop failed ({}), proceeding without attach", error);
    }
    // Even a failed attempt waits out the window before the next one.
    lastAttachMs_ = clock_.nowMs();
    attached_ = true;
}

void Win32InputInjector::forceReattach() {
    attached_ = false;
    ensureInputDesktop();
}

void Win32InputInjector::logSendFailure(const char* label) {
    logger().error("[input] SendInput({}) FAILED error={}", label, backend_->lastError());
}

void Win32InputInjector::mouseMove(uint16_t x, uint16_t y) {
    ensureInputDesktop();
    const uint64_t n = ++moveCount_;
    int32_t left = left_, top = top_, width = width_, height = height_;
    platform::ScreenMetrics metrics;
    const bool wantLog = n <= 10 || n % 500 == 0;
    if (!(width > 0 && height > 0) || wantLog) metrics = backend_->screenMetrics();
    if (!(width > 0 && height > 0)) {
        left = 0;
        top = 0;
        width = metrics.screenWidth;
        height = metrics.screenHeight;
    }
    const int32_t tx = left + mulDiv(x, width, 65535);
    const int32_t ty = top + mulDiv(y, height, 65535);
    const bool ok = backend_->movePointer(tx, ty);
    if (wantLog) {
        int32_t cx = 0, cy = 0;
        backend_->pointerPosition(cx, cy);
        logger().info("[input] move #{} {} target=({},{}) cursor=({},{}) vd=({},{} {}x{})", n,
                      ok ? "OK" : "FAIL", tx, ty, cx, cy, metrics.virtualLeft, metrics.virtualTop,
                      metrics.virtualWidth, metrics.virtualHeight);
    }
}

void Win32InputInjector::button(uint8_t button, bool down) {
    ensureInputDesktop();
    static constexpr platform::PointerButton kButtons[] = {
        platform::PointerButton::Left, platform::PointerButton::Right,
        platform::PointerButton::Middle, platform::PointerButton::Extra1,
        platform::PointerButton::Extra2};
    if (button >= std::size(kButtons)) return;
    if (!backend_->pointerButton(kButtons[button], down))
        logSendFailure(down ? "mouse_down" : "mouse_up");
}

void Win32InputInjector::mouseDown(uint8_t b) {
    button(b, true);
}

void Win32InputInjector::mouseUp(uint8_t b) {
    button(b, false);
}

void Win32InputInjector::mouseWheel(int16_t vertical, int16_t horizontal) {
    ensureInputDesktop();
    if (vertical != 0 && !backend_->wheel(vertical, false)) logSendFailure("wheel_y");
    if (horizontal != 0 && !backend_->wheel(horizontal, true)) logSendFailure("wheel_x");
}

void Win32InputInjector::key(uint16_t scanCode, uint16_t virtualKey, uint8_t flags, bool up) {
    ensureInputDesktop();
    const bool ok = scanCode != 0 ? backend_->keyByScanCode(scanCode, flags & 1, !up)
                                  : backend_->keyByVirtualKey(virtualKey, !up);
    if (!ok) logSendFailure(up ? "key_up" : "key_down");
}

void Win32InputInjector::keyDown(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) {
    key(scanCode, virtualKey, flags, false);
}

void Win32InputInjector::keyUp(uint16_t scanCode, uint16_t virtualKey, uint8_t flags) {
    key(scanCode, virtualKey, flags, true);
}

void Win32InputInjector::typeText(const std::string& utf8, uint32_t delayMs) {
    ensureInputDesktop();
    const uint32_t delay = std::min(delayMs, kMaxTypeDelayMs);
    const auto records = typingRecords(utf8ToUtf16(utf8));
    for (size_t start = 0; start < records.size(); start += kTypeBatch) {
        const size_t count = std::min(kTypeBatch, records.size() - start);
        const size_t sent = backend_->sendKeyRecords(records, start, count);
        if (sent < count) {
            ensureInputDesktop();
            if (backend_->sendKeyRecords(records, start + sent, count - sent) == 0)
                logSendFailure("type_unicode_batch");
        }
        if (delay > 0) sleep_(delay);
    }
}

void Win32InputInjector::sendSas() {
    ensureInputDesktop();
    logger().warn("SAS requested — attempting multiple methods");
    backend_->setSoftwareSasPolicy(3);
    const int priv = backend_->enableSasPrivilege();
    if (priv >= 0)
        logger().info("[SAS] SeTcbPrivilege enable: {}", priv == 0 ? "OK" : std::to_string(priv));
    if (const int err = backend_->loadSasLibrary(); err != 0) {
        logger().warn("[SAS] sas.dll load failed, err={}", err);
        return;
    }
    if (!backend_->sasEntryAvailable()) {
        logger().warn("[SAS] SendSAS not found in sas.dll");
    } else {
        backend_->invokeSas(false);
        logger().info("[SAS] SendSAS(FALSE) called");
        backend_->invokeSas(true);
        logger().info("[SAS] SendSAS(TRUE) called");
    }
    backend_->unloadSasLibrary();
}

void Win32InputInjector::setActiveMonitorBounds(int32_t left, int32_t top, int32_t width,
                                                int32_t height) {
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    logger().info("[input] active monitor bounds set: ({}, {}) {}x{}", left, top, width, height);
}

}  // namespace kvd
