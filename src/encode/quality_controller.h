#pragma once
// Quality presets chosen by the viewer and adaptation to its network feedback.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/json_util.h"

namespace kvd {

struct QualityConfig {
    uint32_t fps = 30;
    uint32_t bitrateKbps = 4000;
    uint32_t minBitrateKbps = 200;
    uint32_t keyframeIntervalFrames = 60;
    uint32_t width = 1920;
    uint32_t height = 1080;
    bool operator==(const QualityConfig&) const = default;
};

// Applied after every change: bitrate floor, zero defaults, even size,
// keyframe interval max(15, 2 x fps).
void normalise(QualityConfig& q);

// The session's configured quality: capture size (1920 x 1080 without a
// capture), configured fps and bitrate, floor 200 kbps.
QualityConfig makeBaseQuality(uint32_t fps, uint32_t bitrateKbps, uint32_t captureWidth,
                              uint32_t captureHeight);

enum class DegradationLevel : uint8_t {
    Normal = 0,
    Reduced = 1,
    LowBandwidth = 2,
    Critical = 3,
    Survival = 4,
    TerminalOnly = 5,
};
const char* degradationLevelName(DegradationLevel level);

enum class QualityPreset : uint32_t {
    BestQuality = 0,
    Balanced = 1,
    LowBandwidth = 2,
    Custom = 3,
    Responsive = 4,
};
const char* qualityPresetName(uint32_t preset);
std::optional<QualityPreset> parseQualityPreset(const std::string& name);

// Resolution ladder, descending.
inline const std::vector<uint32_t>& resolutionLadder() {
    static const std::vector<uint32_t> ladder{2160, 1440, 1080, 900, 720, 600, 480, 360, 240};
    return ladder;
}

struct QualityFeedback {
    float packetLoss = 0.0f;  // fraction 0..1
    uint32_t rttMs = 0;
    uint32_t jitterMs = 0;
    uint32_t decodeFps = 0;
    uint32_t decodeLatencyMs = 0;
};

class QualityController {
  public:
    explicit QualityController(QualityConfig base, const Clock& clock = SteadyClock::instance());

    // True when fps, bitrate, width or height of the current quality changed.
    bool update(const QualityFeedback& feedback);
    // False (and no change) for an unknown name.
    bool setPreset(const std::string& name);
    void setCustomLimits(uint32_t maxFps, uint32_t maxBitrateKbps, uint32_t maxWidth,
                         uint32_t maxHeight);

    // Set at start-up. Both run without the controller's lock held, so they
    // may call back into it.
    void setOnConfigChanged(std::function<void(const QualityConfig&)> cb);
    void setOnLevelChanged(std::function<void(DegradationLevel)> cb);

    // Inputs that nothing drives yet; kept so the level rules stay complete.
    void setLoad(float a, float b);
    void setSurvivalEnabled(bool on);
    void setTerminalOnly(bool on);

    QualityConfig current() const;
    QualityConfig base() const;
    QualityConfig customLimits() const;
    QualityPreset preset() const;
    DegradationLevel level() const;
    uint32_t minHeight() const;

    static constexpr uint32_t kMaxViewerFps = 120;
    static constexpr uint32_t kMaxViewerBitrateKbps = 100'000;

  private:
    bool stepDown(const QualityFeedback& fb, int64_t now);
    bool stepUp(int64_t now);
    void computeLevel(const QualityFeedback& fb);
    void publish(std::unique_lock<std::mutex>& lock, const QualityConfig& before,
                 std::optional<DegradationLevel> levelBefore);

    const Clock& clock_;
    mutable std::mutex mutex_;
    QualityConfig base_;
    QualityConfig current_;
    QualityConfig custom_;
    QualityPreset preset_ = QualityPreset::Balanced;
    DegradationLevel level_ = DegradationLevel::Normal;
    int64_t adjustIntervalMs = 5000;
    int64_t stableMs = 10000;
    float lossReduceThreshold = 0.05f;
    float lossResolutionThreshold = 0.15f;
    uint32_t rttReduceMs = 150;
    uint32_t rttSurvivalMs = 300;
    float loadCriticalA = 0.8f;
    float loadCriticalB = 0.8f;
    int64_t lastAdjustAt;
    int64_t lastBadAt;
    bool survivalEnabled = false;
    float loadA = 0.0f;
    float loadB = 0.0f;
    bool terminalOnly = false;
    uint32_t minHeight_ = 480;
    std::function<void(const QualityConfig&)> onConfigChanged;
    std::function<void(DegradationLevel)> onLevelChanged;
};

// The control-message bodies: "quality_feedback" and "quality_preset".
// Numbers of the wrong type count as absent; values are clamped to sane ranges.
QualityFeedback qualityFeedbackFromJson(const Json& msg);
// For "custom" the limits are stored first; returns setPreset's result.
bool applyQualityPresetMessage(QualityController& controller, const Json& msg);

// What the frame pipeline opens the encoder with.
struct EncodePlan {
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;
    int32_t bitrateKbps = 0;
};

// A viewer "quality" request (maxHeight, fps; 0 = none) on a capture of
// captureWidth x captureHeight: height capped to the capture, width by the
// capture's aspect, both even; fps clamped to 1..120 or the current rate; the
// configured bitrate capped at 400 kbps below 720 lines and 1000 below 1080.
EncodePlan planViewerQuality(int64_t maxHeight, int64_t fps, int32_t captureWidth,
                             int32_t captureHeight, int32_t currentFps, int32_t configuredKbps);

// A published QualityConfig applied to a capture: its height capped to the
// capture height, width by the capture's aspect, both even.
EncodePlan planAdaptiveQuality(const QualityConfig& q, int32_t captureWidth, int32_t captureHeight);

}  // namespace kvd
