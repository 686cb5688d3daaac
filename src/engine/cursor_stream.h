#pragma once
// The cursor thread: every 12 ms it maps the pointer onto the captured monitor
// and sends the position to a viewer that draws the pointer itself.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/bounded_thread.h"
#include "common/clock.h"

namespace kvd {

// Written by the frame pipeline and the control dispatcher, read by the
// cursor thread.
struct CursorShared {
    // Capture geometry in desktop coordinates, published every loop pass.
    std::atomic<int32_t> originX{0};
    std::atomic<int32_t> originY{0};
    std::atomic<int32_t> width{0};
    std::atomic<int32_t> height{0};
    // The viewer draws the pointer itself.
    std::atomic<bool> cursorOverlay{false};
    // Positions go on the input channel instead of the control channel.
    std::atomic<bool> cursorOnInputChannel{false};
};

inline constexpr uint8_t kCursorPositionType = 0x10;
inline constexpr size_t kCursorPositionBytes = 9;

// 0x10, uint32 ms, uint16 x, uint16 y; little-endian.
std::array<uint8_t, kCursorPositionBytes> cursorPositionMessage(uint32_t ms, uint16_t x,
                                                                uint16_t y);

class CursorStream {
  public:
    using Bytes = std::vector<uint8_t>;
    struct Deps {
        std::shared_ptr<CursorShared> shared;
        // Pointer position in desktop coordinates; nullopt when unreadable.
        std::function<std::optional<std::pair<int32_t, int32_t>>()> pointerPosition;
        std::function<bool()> controlChannelOpen;
        std::function<bool()> inputChannelOpen;
        std::function<void(const Bytes&)> sendControlBinary;
        std::function<void(const Bytes&)> sendInputBinary;
        const std::atomic<bool>* running = nullptr;  // null: run until join
        const Clock* clock = nullptr;                // null: the steady clock
        std::function<void(int64_t ms)> sleepMs;     // null: a real sleep
    };

    explicit CursorStream(Deps deps);
    ~CursorStream();
    CursorStream(const CursorStream&) = delete;
    CursorStream& operator=(const CursorStream&) = delete;

    // One 12 ms step; true when a position was sent.
    bool tick();
    void start();
    // Stops and joins; false when the thread had to be detached.
    bool join(int64_t limitMs);

    static constexpr int64_t kPeriodMs = 12;

  private:
    struct State;
    std::shared_ptr<State> st_;
    BoundedThread thread_;
};

}  // namespace kvd
