#include "encode/buffer_pressure.h"

#include <algorithm>

#include "common/log.h"

namespace kvd {

const char* pressureLevelName(uint32_t level) {
    switch (level) {
        case 0:
            return "HIGH";
        case 1:
            return "MEDIUM";
        case 2:
            return "LOW";
        case 3:
            return "CRITICAL";
        case 4:
            return "EMERGENCY";
        default:
            return "?";
    }
}

PressureLevel pressureFor(uint64_t b) {
    if (b < 51'200) return PressureLevel::High;
    if (b < 153'600) return PressureLevel::Medium;
    if (b < 307'200) return PressureLevel::Low;
    if (b < 1'024'000) return PressureLevel::Critical;
    return PressureLevel::Emergency;
}

uint32_t cappedBitrate(uint32_t baseKbps, PressureLevel level) {
    switch (level) {
        case PressureLevel::High:
            return baseKbps;
        case PressureLevel::Medium:
            return std::min<uint32_t>(baseKbps, 1500);
        case PressureLevel::Low:
            return std::min<uint32_t>(baseKbps, 500);
        default:
            return std::min<uint32_t>(baseKbps, 200);
    }
}

BufferPressureController::BufferPressureController(uint32_t kbps, const Clock& clock)
    : clock_(clock), baseKbps(kbps), currentKbps(kbps), lastChangeAt(nowNs()) {}

void BufferPressureController::reset(uint32_t kbps) {
    baseKbps = kbps;
    currentKbps = kbps;
    pressure = 0;
    lastChangeAt = nowNs();
    dropCounter = 0;
    ticks = 0;
}

AbrDecision BufferPressureController::tick(uint64_t b) {
    AbrDecision d;
    const int64_t now = nowNs();
    const auto next = static_cast<uint32_t>(pressureFor(b));
    if (next > pressure) {
        const uint32_t prev = pressure;
        pressure = next;
        lastChangeAt = now;
        currentKbps = cappedBitrate(baseKbps, static_cast<PressureLevel>(pressure));
        d.bitrateChanged = true;
        logger().info("[ABR] {} -> {} (buffered={}KB, bitrate={}kbps)", pressureLevelName(prev),
                      pressureLevelName(pressure), b / 1024, currentKbps);
    } else if (next < pressure && now - lastChangeAt >= kRampUpIntervalNs) {
        const int64_t stableMs = (now - lastChangeAt) / 1'000'000;
        --pressure;
        lastChangeAt = now;
        currentKbps = cappedBitrate(baseKbps, static_cast<PressureLevel>(pressure));
        d.bitrateChanged = true;
        logger().info("[ABR] ramp up -> {} (buffered={}KB, bitrate={}kbps, stable={}ms)",
                      pressureLevelName(pressure), b / 1024, currentKbps, stableMs);
    }

    switch (static_cast<PressureLevel>(pressure)) {
        case PressureLevel::Low:
            d.dropFrame = (dropCounter % 2) == 1;
            ++dropCounter;
            break;
        case PressureLevel::Critical:
            d.dropFrame = (dropCounter % 4) != 0;
            ++dropCounter;
            d.suppressKeyframe = true;
            break;
        case PressureLevel::Emergency:
            d.dropFrame = true;
            d.hardDrop = true;
            d.suppressKeyframe = true;
            break;
        default:
            dropCounter = 0;
            break;
    }
    d.bitrateKbps = currentKbps;
    if (++ticks % 120 == 0)
        logger().info("[ABR] level={} bitrate={}kbps buffered={}KB", pressureLevelName(pressure),
                      currentKbps, b / 1024);
    return d;
}

}  // namespace kvd
