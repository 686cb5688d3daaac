#pragma once
// Host display modes: listing them, changing the host resolution for the
// viewer, and putting the replaced mode back.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/json_util.h"
#include "platform/displays.h"

namespace kvd {

struct DisplayMode {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t frequency = 0;
    bool operator==(const DisplayMode&) const = default;
};

// Modes of at least 16 bits a pixel, exact duplicates dropped, largest first
// (width, then height, then frequency).
std::vector<DisplayMode> normaliseModeList(const std::vector<platform::ModeInfo>& modes);

// The "resolution_list" control message.
std::string buildResolutionListJson(const std::vector<DisplayMode>& modes);
// The "resolution_change_failed" control message.
std::string buildResolutionChangeFailedJson(int64_t requestedWidth, int64_t requestedHeight,
                                            const char* reason = "host_mode_not_supported");

class ResolutionManager {
  public:
    // deviceName "": the primary display. displays null: the default X display.
    explicit ResolutionManager(std::string deviceName = {},
                               std::unique_ptr<platform::Displays> displays = nullptr);
    ~ResolutionManager();

    bool change(int32_t width, int32_t height, bool changeRemote, bool restoreOnDisconnect);
    std::vector<DisplayMode> listModes();
    bool restore();
    void setRestoreOnDisconnect(bool v);
    bool restoreOnDisconnect() const;
    // A display whose mode changes are only recorded, never applied.
    void setVirtualDisplay(bool v);
    bool virtualDisplay() const;
    bool modeSaved() const;
    DisplayMode savedMode() const;

    // Host mode changes from the viewer are spaced at least intervalMs apart:
    // each one reprograms the display hardware, and a viewer must not be able
    // to flood them. Off until set.
    void limitHostChanges(const Clock& clock, int64_t intervalMs);
    // True when a host change may go ahead now (and starts a new interval).
    bool admitHostChange();
    int64_t hostChangeIntervalMs() const;

  private:
    bool restoreLocked();

    mutable std::mutex mu_;
    std::string deviceName_;
    std::unique_ptr<platform::Displays> displays_;
    bool modeSaved_ = false;
    bool restoreOnDisconnect_ = true;
    DisplayMode saved_;
    bool virtualDisplay_ = false;
    std::vector<DisplayMode> modeCache_;
    const Clock* limitClock_ = nullptr;
    int64_t limitIntervalMs_ = 0;
    int64_t lastHostChangeMs_ = 0;
    bool anyHostChange_ = false;
};

// What a "resolution_change" asks of the engine besides the host change.
struct ResolutionChangeOutcome {
    bool hostChanged = false;    // raise the "host display changed" flag
    bool targetChanged = false;  // set the encoder target height and reconfigure
    int32_t targetHeight = 0;    // 0: native size
};

// Handles a "resolution_change" message: the host change (with the failure
// reply through sendJson) and the encoder target it implies.
ResolutionChangeOutcome handleResolutionChange(
    ResolutionManager& manager, const Json& msg,
    const std::function<void(const std::string&)>& sendJson);

}  // namespace kvd
