#include "capture/resolution_manager.h"

#include <algorithm>
#include <limits>

#include "common/log.h"

namespace kvd {

namespace {
// Larger than any real display; keeps peer numbers away from the mode calls.
constexpr int32_t kMaxHostSide = 16384;

int32_t clampToInt32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}
}  // namespace

std::vector<DisplayMode> normaliseModeList(const std::vector<platform::ModeInfo>& modes) {
    std::vector<DisplayMode> out;
    for (const auto& m : modes) {
        if (m.bitsPerPixel < 16) continue;
        DisplayMode d{m.width, m.height, m.frequency};
        if (std::find(out.begin(), out.end(), d) == out.end()) out.push_back(d);
    }
    std::sort(out.begin(), out.end(), [](const DisplayMode& a, const DisplayMode& b) {
        if (a.width != b.width) return a.width > b.width;
        if (a.height != b.height) return a.height > b.height;
        return a.frequency > b.frequency;
    });
    return out;
}

std::string buildResolutionListJson(const std::vector<DisplayMode>& modes) {
    std::string s = "{\"type\":\"resolution_list\",\"v\":1,\"resolutions\":[";
    bool first = true;
    for (const auto& m : modes) {
        if (!first) s += ',';
        first = false;
        s += "{\"width\":" + std::to_string(m.width) + ",\"height\":" + std::to_string(m.height) +
             ",\"frequency\":" + std::to_string(m.frequency) + "}";
    }
    s += "],\"hostResize\":true}";
    return s;
}

std::string buildResolutionChangeFailedJson(int64_t requestedWidth, int64_t requestedHeight,
                                            const char* reason) {
    Json j = {{"type", "resolution_change_failed"},
              {"v", 1},
              {"requestedWidth", requestedWidth},
              {"requestedHeight", requestedHeight},
              {"reason", reason}};
    return dumpJson(j);
}

ResolutionManager::ResolutionManager(std::string deviceName,
                                     std::unique_ptr<platform::Displays> displays)
    : deviceName_(std::move(deviceName)),
      displays_(displays ? std::move(displays) : platform::createDisplays()) {}

ResolutionManager::~ResolutionManager() {
    std::lock_guard<std::mutex> lk(mu_);
    if (modeSaved_ && restoreOnDisconnect_) restoreLocked();
}

bool ResolutionManager::change(int32_t width, int32_t height, bool changeRemote,
                               bool restoreOnDisconnect) {
    if (!changeRemote) {
        logger().info("[resolution] viewer-scaling mode (no change applied)");
        return true;
    }
    std::lock_guard<std::mutex> lk(mu_);
    restoreOnDisconnect_ = restoreOnDisconnect;
    if (virtualDisplay_) {
        if (!modeSaved_) {
            saved_ = {1920, 1080, 60};
            modeSaved_ = true;
        }
        return true;
    }
    if (width < 1 || height < 1 || width > kMaxHostSide || height > kMaxHostSide) {
        logger().warn("[resolution] ChangeDisplaySettingsExW failed: {}",
                      fmt::format("invalid size {}x{}", width, height));
        return false;
    }
    platform::ModeInfo cur;
    const bool haveCur = displays_->currentMode(deviceName_, cur);
    if (haveCur && cur.width == static_cast<uint32_t>(width) &&
        cur.height == static_cast<uint32_t>(height)) {
        logger().info("[resolution] already at {}x{} — skip", width, height);
        return true;
    }
    if (!modeSaved_ && haveCur && cur.width > 0 && cur.height > 0) {
        saved_ = {cur.width, cur.height, cur.frequency};
        modeSaved_ = true;
    }
    platform::ModeInfo next;
    if (!displays_->currentMode(deviceName_, next)) {
        logger().warn("[resolution] EnumDisplaySettings failed");
        return false;
    }
    next.width = static_cast<uint32_t>(width);
    next.height = static_cast<uint32_t>(height);
    int err = 0;
    if (!displays_->applyMode(deviceName_, next, err)) {
        logger().warn("[resolution] ChangeDisplaySettingsExW failed: {}", err);
        return false;
    }
    logger().info("[resolution] host display changed to {}x{}", width, height);
    return true;
}

std::vector<DisplayMode> ResolutionManager::listModes() {
    std::lock_guard<std::mutex> lk(mu_);
    if (modeCache_.empty()) modeCache_ = normaliseModeList(displays_->modes(deviceName_));
    return modeCache_;
}

bool ResolutionManager::restore() {
    std::lock_guard<std::mutex> lk(mu_);
    return restoreLocked();
}

bool ResolutionManager::restoreLocked() {
    if (!modeSaved_) return false;
    modeSaved_ = false;
    if (virtualDisplay_) return true;
    platform::ModeInfo m;
    if (!displays_->currentMode(deviceName_, m)) {
        logger().warn("[resolution] EnumDisplaySettings failed");
        return false;
    }
    m.width = saved_.width;
    m.height = saved_.height;
    m.frequency = saved_.frequency;
    int err = 0;
    if (!displays_->applyMode(deviceName_, m, err)) {
        logger().warn("[resolution] ChangeDisplaySettingsExW failed: {}", err);
        return false;
    }
    logger().info("[resolution] host display restored to {}x{}", saved_.width, saved_.height);
    return true;
}

void ResolutionManager::setRestoreOnDisconnect(bool v) {
    std::lock_guard<std::mutex> lk(mu_);
    restoreOnDisconnect_ = v;
}
bool ResolutionManager::restoreOnDisconnect() const {
    std::lock_guard<std::mutex> lk(mu_);
    return restoreOnDisconnect_;
}
void ResolutionManager::setVirtualDisplay(bool v) {
    std::lock_guard<std::mutex> lk(mu_);
    virtualDisplay_ = v;
}
bool ResolutionManager::virtualDisplay() const {
    std::lock_guard<std::mutex> lk(mu_);
    return virtualDisplay_;
}
bool ResolutionManager::modeSaved() const {
    std::lock_guard<std::mutex> lk(mu_);
    return modeSaved_;
}
DisplayMode ResolutionManager::savedMode() const {
    std::lock_guard<std::mutex> lk(mu_);
    return saved_;
}

void ResolutionManager::limitHostChanges(const Clock& clock, int64_t intervalMs) {
    std::lock_guard<std::mutex> lk(mu_);
    limitClock_ = &clock;
    limitIntervalMs_ = std::max<int64_t>(intervalMs, 0);
}

bool ResolutionManager::admitHostChange() {
    std::lock_guard<std::mutex> lk(mu_);
    if (!limitClock_) return true;
    const int64_t now = limitClock_->nowMs();
    if (anyHostChange_ && now - lastHostChangeMs_ < limitIntervalMs_) return false;
    anyHostChange_ = true;
    lastHostChangeMs_ = now;
    return true;
}

int64_t ResolutionManager::hostChangeIntervalMs() const {
    std::lock_guard<std::mutex> lk(mu_);
    return limitIntervalMs_;
}

ResolutionChangeOutcome handleResolutionChange(
    ResolutionManager& manager, const Json& msg,
    const std::function<void(const std::string&)>& sendJson) {
    ResolutionChangeOutcome out;
    const int64_t w = jsonInt(msg, "width").value_or(0);
    const int64_t h = jsonInt(msg, "height").value_or(0);
    const bool changeRemote = jsonBool(msg, "changeRemote").value_or(false);
    const bool restoreOnDisconnect = jsonBool(msg, "restoreOnDisconnect").value_or(true);
    const int32_t w32 = clampToInt32(w), h32 = clampToInt32(h);
    if (changeRemote && !manager.admitHostChange()) {
        logger().warn("[resolution] host display change throttled: {}x{} (at most one per {} ms)",
                      w32, h32, manager.hostChangeIntervalMs());
        if (sendJson) sendJson(buildResolutionChangeFailedJson(w, h, "rate_limited"));
    } else if (changeRemote) {
        if (manager.change(w32, h32, true, restoreOnDisconnect)) {
            logger().info("[resolution] host display change applied: {}x{}", w32, h32);
            out.hostChanged = true;
        } else {
            logger().warn(
                "[resolution] host display change REJECTED: {}x{} not supported on this "
                "hardware/multi-monitor config — falling back to encoder-side scaling only",
                w32, h32);
            if (sendJson) sendJson(buildResolutionChangeFailedJson(w, h));
        }
    }
    if (h >= 1) {
        out.targetChanged = true;
        out.targetHeight = h32;
        logger().info("[resolution] encoder target set to height={}", h32);
    } else if (w == 0 && h == 0) {
        out.targetChanged = true;
        out.targetHeight = 0;
        logger().warn("[resolution] encoder target reset to native");
    }
    return out;
}

}  // namespace kvd
