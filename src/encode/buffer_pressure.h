#pragma once
// Bitrate caps and frame dropping driven by the video data channel's backlog.
#include <cstdint>

#include "common/clock.h"

namespace kvd {

// Higher is worse.
enum class PressureLevel : uint32_t { High = 0, Medium = 1, Low = 2, Critical = 3, Emergency = 4 };

// "HIGH", "MEDIUM", "LOW", "CRITICAL", "EMERGENCY"; "?" for anything else.
const char* pressureLevelName(uint32_t level);

// Level for a backlog of `bufferedBytes`.
PressureLevel pressureFor(uint64_t bufferedBytes);

// The bitrate cap of a level applied to the base bitrate.
uint32_t cappedBitrate(uint32_t baseKbps, PressureLevel level);

struct AbrDecision {
    uint32_t bitrateKbps = 0;
    bool bitrateChanged = false;
    bool dropFrame = false;
    bool hardDrop = false;
    bool suppressKeyframe = false;
};

// Used only by the frame-pipeline thread; no lock.
class BufferPressureController {
  public:
    explicit BufferPressureController(uint32_t baseKbps,
                                      const Clock& clock = SteadyClock::instance());

    // One frame tick.
    AbrDecision tick(uint64_t bufferedBytes);
    // The pipeline changed the encoder bitrate itself: start over at kbps.
    void reset(uint32_t kbps);

    static constexpr int64_t kRampUpIntervalNs = 3'000'000'000;

    PressureLevel level() const { return static_cast<PressureLevel>(pressure); }
    uint32_t currentBitrate() const { return currentKbps; }
    uint32_t baseBitrate() const { return baseKbps; }

  private:
    int64_t nowNs() const { return clock_.nowUs() * 1000; }

    const Clock& clock_;
    uint32_t baseKbps;
    uint32_t currentKbps;
    uint32_t pressure = 0;
    int64_t lastChangeAt = 0;
    uint64_t dropCounter = 0;
    uint64_t ticks = 0;
};

}  // namespace kvd
