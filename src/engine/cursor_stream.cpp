#include "engine/cursor_stream.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include "common/log.h"

namespace kvd {

std::array<uint8_t, kCursorPositionBytes> cursorPositionMessage(uint32_t ms, uint16_t x,
                                                                uint16_t y) {
    return {kCursorPositionType,
            static_cast<uint8_t>(ms),
            static_cast<uint8_t>(ms >> 8),
            static_cast<uint8_t>(ms >> 16),
            static_cast<uint8_t>(ms >> 24),
            static_cast<uint8_t>(x),
            static_cast<uint8_t>(x >> 8),
            static_cast<uint8_t>(y),
            static_cast<uint8_t>(y >> 8)};
}

// Lives as long as the thread, even when a bounded join had to detach it.
struct CursorStream::State {
    Deps deps;
    std::atomic<bool> stop{false};
    // 65535 is unreachable for a pointer inside the capture, so it marks
    // "nothing sent yet".
    uint16_t lastX = 65535;
    uint16_t lastY = 65535;
    LogThinner sendFailures{3, 300};

    bool tick() {
        auto& sh = *deps.shared;
        if (!sh.cursorOverlay.load()) {
            lastX = lastY = 65535;
            return false;
        }
        const bool onInput = sh.cursorOnInputChannel.load();
        const auto& open = onInput ? deps.inputChannelOpen : deps.controlChannelOpen;
        const auto& send = onInput ? deps.sendInputBinary : deps.sendControlBinary;
        if (!open || !send || !open()) return false;

        const int64_t ox = sh.originX.load(), oy = sh.originY.load();
        const int64_t w = sh.width.load(), h = sh.height.load();
        if (w < 1 || h < 1 || !deps.pointerPosition) return false;
        const auto pos = deps.pointerPosition();
        if (!pos) return false;
        const int64_t px = pos->first, py = pos->second;
        if (px < ox || px >= ox + w || py < oy || py >= oy + h) return false;

        const auto x = static_cast<uint16_t>(std::clamp<int64_t>((px - ox) * 65535 / w, 0, 65535));
        const auto y = static_cast<uint16_t>(std::clamp<int64_t>((py - oy) * 65535 / h, 0, 65535));
        if (x == lastX && y == lastY) return false;
        lastX = x;
        lastY = y;
        const int64_t ms = deps.clock ? deps.clock->nowMs() : steadyNowMs();
        const auto msg = cursorPositionMessage(static_cast<uint32_t>(ms), x, y);
        send(Bytes(msg.begin(), msg.end()));
        return true;
    }

    void run() {
        while (!stop.load() && (!deps.running || deps.running->load())) {
            try {
                tick();
            } catch (const std::exception& e) {
                if (sendFailures.shouldLog())
                    logger().warn("[cursor] position send failed: {}", e.what());
            } catch (...) {
                if (sendFailures.shouldLog()) logger().warn("[cursor] position send failed");
            }
            if (deps.sleepMs)
                deps.sleepMs(kPeriodMs);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs));
        }
    }
};

CursorStream::CursorStream(Deps deps) : st_(std::make_shared<State>()) {
    st_->deps = std::move(deps);
    if (!st_->deps.shared) st_->deps.shared = std::make_shared<CursorShared>();
}

CursorStream::~CursorStream() {
    join(1000);
}

bool CursorStream::tick() {
    return st_->tick();
}

void CursorStream::start() {
    if (thread_.joinable()) return;
    st_->stop = false;
    thread_.start([st = st_] { st->run(); });
}

bool CursorStream::join(int64_t limitMs) {
    st_->stop = true;
    return thread_.joinFor(std::chrono::milliseconds(limitMs));
}

}  // namespace kvd
