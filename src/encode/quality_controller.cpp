#include "encode/quality_controller.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/log.h"

namespace kvd {
namespace {

uint32_t evenDown(uint64_t v) {
    if (v < 2) return 2;
    if (v > 0x7FFFFFFE) v = 0x7FFFFFFE;
    return static_cast<uint32_t>(v & ~uint64_t{1});
}

uint32_t scaledWidth(uint32_t newHeight, uint32_t oldWidth, uint32_t oldHeight) {
    if (oldHeight == 0) return evenDown(oldWidth);
    return evenDown(uint64_t{newHeight} * oldWidth / oldHeight);
}

}  // namespace

void normalise(QualityConfig& q) {
    q.bitrateKbps = std::max(q.bitrateKbps, q.minBitrateKbps);
    if (q.fps == 0) q.fps = 5;
    if (q.height == 0) q.height = 480;
    if (q.width == 0) q.width = 640;
    q.width = evenDown(q.width);
    q.height = evenDown(q.height);
    q.keyframeIntervalFrames = std::max<uint32_t>(15, 2 * std::min<uint32_t>(q.fps, 1u << 30));
}

QualityConfig makeBaseQuality(uint32_t fps, uint32_t bitrateKbps, uint32_t captureWidth,
                              uint32_t captureHeight) {
    QualityConfig q;
    q.fps = fps;
    q.bitrateKbps = bitrateKbps;
    q.minBitrateKbps = 200;
    q.keyframeIntervalFrames = 2 * fps;
    if (captureWidth > 0 && captureHeight > 0) {
        q.width = captureWidth;
        q.height = captureHeight;
    } else {
        q.width = 1920;
        q.height = 1080;
    }
    return q;
}

const char* degradationLevelName(DegradationLevel level) {
    switch (static_cast<uint8_t>(level)) {
        case 0:
            return "normal";
        case 1:
            return "reduced";
        case 2:
            return "low_bandwidth";
        case 3:
            return "critical";
        case 4:
            return "survival";
        case 5:
            return "terminal_only";
        default:
            return "unknown";
    }
}

const char* qualityPresetName(uint32_t preset) {
    switch (preset) {
        case 0:
            return "best_quality";
        case 1:
            return "balanced";
        case 2:
            return "low_bandwidth";
        case 4:
            return "responsive";
        default:
            return "custom";
    }
}

std::optional<QualityPreset> parseQualityPreset(const std::string& name) {
    if (name == "best_quality") return QualityPreset::BestQuality;
    if (name == "balanced") return QualityPreset::Balanced;
    if (name == "low_bandwidth") return QualityPreset::LowBandwidth;
    if (name == "custom") return QualityPreset::Custom;
    if (name == "responsive") return QualityPreset::Responsive;
    return std::nullopt;
}

QualityController::QualityController(QualityConfig base, const Clock& clock)
    : clock_(clock), base_(base) {
    normalise(base_);
    current_ = base_;
    custom_ = base_;
    lastAdjustAt = clock_.nowMs() - 3'600'000;
    lastBadAt = lastAdjustAt;
}

void QualityController::setOnConfigChanged(std::function<void(const QualityConfig&)> cb) {
    std::lock_guard lock(mutex_);
    onConfigChanged = std::move(cb);
}
void QualityController::setOnLevelChanged(std::function<void(DegradationLevel)> cb) {
    std::lock_guard lock(mutex_);
    onLevelChanged = std::move(cb);
}
void QualityController::setLoad(float a, float b) {
    std::lock_guard lock(mutex_);
    loadA = a;
    loadB = b;
}
void QualityController::setSurvivalEnabled(bool on) {
    std::lock_guard lock(mutex_);
    survivalEnabled = on;
}
void QualityController::setTerminalOnly(bool on) {
    std::lock_guard lock(mutex_);
    terminalOnly = on;
}
QualityConfig QualityController::current() const {
    std::lock_guard lock(mutex_);
    return current_;
}
QualityConfig QualityController::base() const {
    std::lock_guard lock(mutex_);
    return base_;
}
QualityConfig QualityController::customLimits() const {
    std::lock_guard lock(mutex_);
    return custom_;
}
QualityPreset QualityController::preset() const {
    std::lock_guard lock(mutex_);
    return preset_;
}
DegradationLevel QualityController::level() const {
    std::lock_guard lock(mutex_);
    return level_;
}
uint32_t QualityController::minHeight() const {
    std::lock_guard lock(mutex_);
    return minHeight_;
}

void QualityController::publish(std::unique_lock<std::mutex>& lock, const QualityConfig& before,
                                std::optional<DegradationLevel> levelBefore) {
    const QualityConfig now = current_;
    const DegradationLevel lvl = level_;
    auto configCb = (now != before) ? onConfigChanged : nullptr;
    auto levelCb = (levelBefore && *levelBefore != lvl) ? onLevelChanged : nullptr;
    if (!configCb && !levelCb) return;
    lock.unlock();
    if (configCb) configCb(now);
    if (levelCb) levelCb(lvl);
    lock.lock();
}

bool QualityController::update(const QualityFeedback& fb) {
    std::unique_lock lock(mutex_);
    const QualityConfig before = current_;
    const DegradationLevel levelBefore = level_;
    const int64_t now = clock_.nowMs();

    const bool bad = fb.rttMs >= rttReduceMs || loadB >= loadCriticalB || loadA >= loadCriticalA ||
                     fb.packetLoss >= lossReduceThreshold;
    if (bad) lastBadAt = now;
    if (now - lastAdjustAt >= adjustIntervalMs) {
        if (!stepDown(fb, now)) stepUp(now);
    }
    computeLevel(fb);
    const QualityConfig after = current_;
    publish(lock, before, levelBefore);
    return after.fps != before.fps || after.bitrateKbps != before.bitrateKbps ||
           after.width != before.width || after.height != before.height;
}

bool QualityController::stepDown(const QualityFeedback& fb, int64_t now) {
    bool changed = false;
    QualityConfig& c = current_;
    if (fb.packetLoss >= lossResolutionThreshold) {
        for (uint32_t h : resolutionLadder()) {
            if (h >= c.height) continue;
            if (h >= minHeight_) {
                c.width = scaledWidth(h, c.width, c.height);
                c.height = h;
                changed = true;
                logger().warn("[ABR] loss {:.1f}% >= {:.1f}% -> {}p", fb.packetLoss * 100.0,
                              lossResolutionThreshold * 100.0, h);
            }
            break;
        }
    }
    if (fb.packetLoss >= lossReduceThreshold) {
        const uint32_t next = std::max<uint32_t>(
            static_cast<uint32_t>(uint64_t{c.bitrateKbps} * 80 / 100), c.minBitrateKbps);
        if (next != c.bitrateKbps) {
            c.bitrateKbps = next;
            changed = true;
            logger().warn("[ABR] loss {:.1f}% >= {:.1f}% -> {} kbps", fb.packetLoss * 100.0,
                          lossReduceThreshold * 100.0, next);
        }
    }
    if (fb.rttMs >= rttReduceMs && c.fps >= 16) {
        c.fps = 15;
        changed = true;
        logger().warn("[ABR] rtt {}ms >= {}ms -> 15 fps", fb.rttMs, rttReduceMs);
    }
    if (changed) {
        lastAdjustAt = now;
        normalise(c);
    }
    return changed;
}

bool QualityController::stepUp(int64_t now) {
    if (now - lastBadAt < stableMs || preset_ == QualityPreset::LowBandwidth) return false;
    uint32_t targetFps = base_.fps, targetKbps = base_.bitrateKbps, targetHeight = base_.height;
    if (preset_ == QualityPreset::Custom) {
        targetFps = custom_.fps;
        targetKbps = custom_.bitrateKbps;
        targetHeight = custom_.height;
    } else if (preset_ == QualityPreset::Responsive) {
        targetFps = 60;
        targetKbps =
            static_cast<uint32_t>(std::min<uint64_t>(uint64_t{base_.bitrateKbps} * 3 / 2, 8000));
    }
    bool changed = false;
    QualityConfig& c = current_;
    if (c.bitrateKbps < targetKbps) {
        uint64_t next = uint64_t{c.bitrateKbps} * 115 / 100;
        if (next <= c.bitrateKbps) next = uint64_t{c.bitrateKbps} + 100;
        c.bitrateKbps = static_cast<uint32_t>(std::min<uint64_t>(next, targetKbps));
        changed = true;
        logger().info("[ABR] stable -> raise bitrate to {} kbps", c.bitrateKbps);
    }
    if (c.fps < targetFps) {
        c.fps = std::min(c.fps + 5, targetFps);
        changed = true;
        logger().info("[ABR] stable -> raise fps to {}", c.fps);
    }
    if (c.height < targetHeight) {
        // A target that is not on the ladder (a 768-line screen) is reached
        // directly once no ladder step fits below it.
        uint32_t next = targetHeight;
        for (auto it = resolutionLadder().rbegin(); it != resolutionLadder().rend(); ++it) {
            if (*it > c.height && *it <= targetHeight) {
                next = *it;
                break;
            }
        }
        c.width = (next == base_.height) ? base_.width : scaledWidth(next, c.width, c.height);
        c.height = next;
        changed = true;
        logger().info("[ABR] stable -> raise resolution to {}p", next);
    }
    if (changed) {
        lastAdjustAt = now;
        normalise(c);
    }
    return changed;
}

void QualityController::computeLevel(const QualityFeedback& fb) {
    QualityConfig& c = current_;
    if (terminalOnly) {
        level_ = DegradationLevel::TerminalOnly;
    } else if (survivalEnabled && fb.rttMs >= rttSurvivalMs) {
        level_ = DegradationLevel::Survival;
        if (c.height > 480) {
            c.width = scaledWidth(480, c.width, c.height);
            c.height = 480;
        }
        c.fps = std::min<uint32_t>(c.fps, 5);
        c.bitrateKbps = std::max(std::min<uint32_t>(c.bitrateKbps, 300), c.minBitrateKbps);
        normalise(c);
    } else if (loadA >= loadCriticalA || loadB >= loadCriticalB) {
        level_ = DegradationLevel::Critical;
    } else if (fb.packetLoss >= lossResolutionThreshold || c.bitrateKbps < 200) {
        level_ = DegradationLevel::LowBandwidth;
    } else if (fb.packetLoss >= lossReduceThreshold || fb.rttMs >= rttReduceMs) {
        level_ = DegradationLevel::Reduced;
    } else {
        level_ = DegradationLevel::Normal;
    }
}

bool QualityController::setPreset(const std::string& name) {
    const auto p = parseQualityPreset(name);
    if (!p) return false;
    std::unique_lock lock(mutex_);
    const QualityConfig before = current_;
    preset_ = *p;
    logger().info("[ABR] preset -> {}", qualityPresetName(static_cast<uint32_t>(*p)));
    QualityConfig c = base_;
    switch (*p) {
        case QualityPreset::BestQuality:
            minHeight_ = 720;
            break;
        case QualityPreset::Balanced:
            minHeight_ = 480;
            break;
        case QualityPreset::LowBandwidth:
            c.fps = std::min<uint32_t>(base_.fps, 15);
            c.bitrateKbps = std::min<uint32_t>(base_.bitrateKbps, 500);
            c.minBitrateKbps = 150;
            if (base_.height > 720) {
                c.height = 720;
                c.width = scaledWidth(720, base_.width, base_.height);
            }
            minHeight_ = 480;
            break;
        case QualityPreset::Custom:
            c.fps = std::min(custom_.fps, base_.fps);
            c.bitrateKbps = std::min(custom_.bitrateKbps, base_.bitrateKbps);
            if (custom_.height != 0 && custom_.height < base_.height) {
                c.height = custom_.height;
                c.width = custom_.width != 0
                              ? custom_.width
                              : scaledWidth(custom_.height, base_.width, base_.height);
            }
            c.width = evenDown(c.width);
            c.height = evenDown(c.height);
            minHeight_ = 360;
            break;
        case QualityPreset::Responsive:
            c.fps = 60;
            c.bitrateKbps = static_cast<uint32_t>(
                std::min<uint64_t>(uint64_t{base_.bitrateKbps} * 3 / 2, 8000));
            minHeight_ = 480;
            break;
    }
    normalise(c);
    current_ = c;
    publish(lock, before, std::nullopt);
    return true;
}

void QualityController::setCustomLimits(uint32_t maxFps, uint32_t maxBitrateKbps, uint32_t maxWidth,
                                        uint32_t maxHeight) {
    std::unique_lock lock(mutex_);
    const QualityConfig before = current_;
    custom_.fps = maxFps ? maxFps : 30;
    custom_.bitrateKbps = maxBitrateKbps ? maxBitrateKbps : 4000;
    custom_.width = maxWidth ? maxWidth : 1920;
    custom_.height = maxHeight ? maxHeight : 1080;
    // Viewer-supplied limits: a frame rate beyond 120 or a size beyond the
    // capture would make the step-up pass aim above what can be encoded.
    custom_.fps = std::min(custom_.fps, kMaxViewerFps);
    custom_.bitrateKbps = std::min(custom_.bitrateKbps, kMaxViewerBitrateKbps);
    custom_.width = std::min(custom_.width, base_.width);
    custom_.height = std::min(custom_.height, base_.height);
    if (preset_ == QualityPreset::Custom) {
        normalise(current_);
        publish(lock, before, std::nullopt);
    }
}

namespace {

uint32_t clampedUint(const Json& msg, std::string_view key, uint32_t def, uint32_t maxValue) {
    const auto v = jsonNumber(msg, key);
    if (!v || !std::isfinite(*v)) return def;
    if (*v <= 0) return 0;
    if (*v >= maxValue) return maxValue;
    return static_cast<uint32_t>(*v);
}

}  // namespace

QualityFeedback qualityFeedbackFromJson(const Json& msg) {
    QualityFeedback fb;
    const auto loss = jsonNumber(msg, "packetLoss");
    if (loss && std::isfinite(*loss))
        fb.packetLoss = static_cast<float>(std::clamp(*loss, 0.0, 1.0));
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    fb.rttMs = clampedUint(msg, "rttMs", 0, kMax);
    fb.jitterMs = clampedUint(msg, "jitterMs", 0, kMax);
    fb.decodeFps = clampedUint(msg, "decodeFps", 0, kMax);
    fb.decodeLatencyMs = clampedUint(msg, "decodeLatencyMs", 0, kMax);
    return fb;
}

bool applyQualityPresetMessage(QualityController& controller, const Json& msg) {
    const std::string preset = jsonStringOr(msg, "preset", "balanced");
    if (preset == "custom") {
        constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
        controller.setCustomLimits(
            clampedUint(msg, "maxFps", 30, kMax), clampedUint(msg, "maxBitrateKbps", 8000, kMax),
            clampedUint(msg, "maxWidth", 1920, kMax), clampedUint(msg, "maxHeight", 1080, kMax));
    }
    return controller.setPreset(preset);
}

namespace {
int32_t evenAtLeast2(int64_t v) {
    if (v < 2) return 2;
    if (v > 0x7FFFFFFE) v = 0x7FFFFFFE;
    return static_cast<int32_t>(v & ~int64_t{1});
}
}  // namespace

EncodePlan planViewerQuality(int64_t maxHeight, int64_t fps, int32_t captureWidth,
                             int32_t captureHeight, int32_t currentFps, int32_t configuredKbps) {
    EncodePlan plan;
    const int64_t capW = std::max(captureWidth, 1);
    const int64_t capH = std::max(captureHeight, 1);
    const int64_t h = (maxHeight >= 1 && maxHeight < capH) ? maxHeight : capH;
    plan.height = evenAtLeast2(h);
    plan.width = evenAtLeast2(h * capW / capH);
    plan.fps = fps > 0
                   ? static_cast<int32_t>(std::min<int64_t>(fps, QualityController::kMaxViewerFps))
                   : std::max(currentFps, 1);
    int32_t kbps = configuredKbps;
    if (plan.height < 720)
        kbps = std::min(kbps, 400);
    else if (plan.height < 1080)
        kbps = std::min(kbps, 1000);
    plan.bitrateKbps = kbps;
    return plan;
}

EncodePlan planAdaptiveQuality(const QualityConfig& q, int32_t captureWidth,
                               int32_t captureHeight) {
    EncodePlan plan;
    const int64_t capW = std::max(captureWidth, 1);
    const int64_t capH = std::max(captureHeight, 1);
    const int64_t h = q.height > 0 ? std::min<int64_t>(q.height, capH) : capH;
    plan.height = evenAtLeast2(h);
    plan.width = evenAtLeast2(h * capW / capH);
    plan.fps =
        static_cast<int32_t>(std::clamp<uint32_t>(q.fps, 1, QualityController::kMaxViewerFps));
    plan.bitrateKbps = static_cast<int32_t>(std::min<uint32_t>(q.bitrateKbps, 0x7FFFFFFF));
    return plan;
}

}  // namespace kvd
