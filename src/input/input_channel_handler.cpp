#include "input/input_channel_handler.h"

#include <chrono>
#include <exception>
#include <type_traits>
#include <variant>

#include "common/log.h"
#include "input/input_message.h"

namespace kvd {

InputChannelHandler::InputChannelHandler(std::unique_ptr<InputInjector> injector,
                                         const Clock& clock)
    : injector_(std::move(injector)), clock_(clock) {
    // The first tick counts from construction, not from whenever the thread
    // happens to get scheduled.
    const int64_t firstTickStart = clock_.nowMs();
    watchdogThread_ = std::thread([this, firstTickStart] { watchdogLoop(firstTickStart); });
}

InputChannelHandler::~InputChannelHandler() {
    {
        std::lock_guard<std::mutex> lk(wakeLock_);
        watchdogRunning_ = false;
    }
    wake_.notify_all();
    if (watchdogThread_.joinable()) {
        if (watchdogThread_.get_id() == std::this_thread::get_id())
            watchdogThread_.detach();
        else
            watchdogThread_.join();
    }
}

void InputChannelHandler::applyAccessMode(const std::string& accessMode, bool fromService) {
    const bool enable = accessMode != "VIEW_ONLY";
    setEnabled(enable);
    const char* outcome = enable ? "ENABLED" : "DISABLED (view-only)";
    if (fromService)
        logger().info("[input] IPC access mode '{}' → injection {}", accessMode, outcome);
    else
        logger().info("[input] access mode '{}' → injection {}", accessMode, outcome);
}

void InputChannelHandler::setSasCallback(std::function<void()> callback) {
    std::lock_guard<std::mutex> lk(sasLock_);
    sasCallback_ = std::move(callback);
}

void InputChannelHandler::handleMessage(const uint8_t* data, size_t length) {
    if (!enabled_ || !injector_ || length == 0 || !data) return;
    try {
        dispatch(data, length);
    } catch (const std::exception& e) {
        // The peer's input must never take the channel thread down.
        logger().warn("[input] message handling failed: {}", e.what());
    }
}

void InputChannelHandler::dispatch(const uint8_t* data, size_t length) {
    const InputMessage msg = parseInputMessage(data, length);
    const uint8_t type = data[0];
    if (const auto* bad = std::get_if<input_msg::Malformed>(&msg)) {
        logger().warn("[input] dropped malformed frame type=0x{:02x} len={}", bad->type,
                      bad->length);
        return;
    }
    if (type != input_msg::kMouseMove && type != input_msg::kKeyStateSync)
        logger().info("[input] recv type=0x{:02x} len={}", type, length);

    std::visit(
        [&](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, input_msg::MouseMove>) {
                const uint64_t n = ++moveCount_;
                if (n <= 3 || n % 100 == 0)
                    logger().info("[input] mouse_move #{} x={} y={}", n, m.x, m.y);
                injector_->mouseMove(m.x, m.y);
            } else if constexpr (std::is_same_v<T, input_msg::MouseButton>) {
                logger().info("[input] mouse_button {} button={}", m.down ? "down" : "up",
                              m.button);
                if (m.down)
                    injector_->mouseDown(m.button);
                else
                    injector_->mouseUp(m.button);
            } else if constexpr (std::is_same_v<T, input_msg::Wheel>) {
                injector_->mouseWheel(m.vertical, m.horizontal);
            } else if constexpr (std::is_same_v<T, input_msg::Key>) {
                const std::string id = keyIdForScanCode(m.scanCode, m.flags & 1);
                if (m.down) {
                    injector_->keyDown(m.scanCode, m.virtualKey, m.flags);
                    std::lock_guard<std::mutex> lk(heldKeysLock_);
                    heldKeys_[id] = HeldKey{m.scanCode, m.virtualKey, m.flags, clock_.nowMs()};
                } else {
                    injector_->keyUp(m.scanCode, m.virtualKey, m.flags);
                    std::lock_guard<std::mutex> lk(heldKeysLock_);
                    heldKeys_.erase(id);
                }
            } else if constexpr (std::is_same_v<T, input_msg::KeyStateSync>) {
                std::unordered_set<std::string> keep;
                keep.reserve(m.codes.size());
                for (const auto& code : m.codes) keep.insert(keyIdForDomCode(code));
                reconcile(keep);
            } else if constexpr (std::is_same_v<T, input_msg::KeyStateSyncInvalid>) {
                using R = input_msg::KeyStateSyncInvalid::Reason;
                if (m.reason == R::TooShort)
                    logger().warn("KeyStateSync too short ({} bytes)", m.value);
                else if (m.reason == R::Truncated)
                    logger().warn("KeyStateSync truncated at key {}", m.value);
                else
                    logger().warn("KeyStateSync truncated code at key {}", m.value);
            } else if constexpr (std::is_same_v<T, input_msg::SendSas>) {
                routeSas();
            } else if constexpr (std::is_same_v<T, input_msg::Unknown>) {
                logger().warn("Unknown input message type: 0x{:02x}", m.type);
            }
        },
        msg);
}

void InputChannelHandler::routeSas() {
    logger().warn("Received SEND_SAS message");
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> lk(sasLock_);
        callback = sasCallback_;
    }
    if (callback) {
        logger().info("[input] SAS routed to service via callback");
        try {
            callback();
        } catch (const std::exception& e) {
            logger().warn("[input] SAS callback failed: {}", e.what());
        }
    } else {
        injector_->sendSas();
    }
}

void InputChannelHandler::reconcile(const std::unordered_set<std::string>& keep) {
    std::vector<std::pair<std::string, HeldKey>> released;
    {
        std::lock_guard<std::mutex> lk(heldKeysLock_);
        for (auto it = heldKeys_.begin(); it != heldKeys_.end();) {
            if (keep.count(it->first)) {
                ++it;
                continue;
            }
            released.emplace_back(it->first, it->second);
            it = heldKeys_.erase(it);
        }
    }
    releaseKeys(released, "KeyStateSync_reconcile");
}

bool InputChannelHandler::releaseAllKeys() {
    reconcile({});
    return true;
}

void InputChannelHandler::sweepStuckKeys(int64_t nowMs) {
    std::vector<std::pair<std::string, HeldKey>> released;
    {
        std::lock_guard<std::mutex> lk(heldKeysLock_);
        for (auto it = heldKeys_.begin(); it != heldKeys_.end();) {
            if (nowMs - it->second.downAtMs > stuckKeyTimeoutMs_) {
                released.emplace_back(it->first, it->second);
                it = heldKeys_.erase(it);
            } else {
                ++it;
            }
        }
    }
    releaseKeys(released, "timeout_10s");
}

void InputChannelHandler::releaseKeys(const std::vector<std::pair<std::string, HeldKey>>& keys,
                                      const char* reason) {
    for (const auto& [id, key] : keys) {
        logger().warn("stuck-key release id={} reason={} sc=0x{:x}", id, reason, key.scanCode);
        if (injector_) injector_->keyUp(key.scanCode, key.virtualKey, key.extended);
    }
}

std::vector<std::string> InputChannelHandler::heldKeyIds() const {
    std::lock_guard<std::mutex> lk(heldKeysLock_);
    std::vector<std::string> ids;
    ids.reserve(heldKeys_.size());
    for (const auto& [id, key] : heldKeys_) ids.push_back(id);
    return ids;
}

void InputChannelHandler::watchdogLoop(int64_t start) {
    while (watchdogRunning_) {
        {
            // Short waits keep the tick on `clock_` (which tests drive by hand)
            // while a stop request still wakes the thread at once.
            std::unique_lock<std::mutex> lk(wakeLock_);
            while (watchdogRunning_ && clock_.nowMs() - start < kWatchdogPeriodMs)
                wake_.wait_for(lk, std::chrono::milliseconds(10));
        }
        if (!watchdogRunning_) break;
        try {
            start = clock_.nowMs();
            sweepStuckKeys(start);
        } catch (const std::exception& e) {
            logger().warn("[input] stuck-key sweep failed: {}", e.what());
        }
    }
}

}  // namespace kvd
