#pragma once
// The soft blue glow along the host's screen edges while a technician is
// connected, on a click-through overlay window of its own thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/json_util.h"
#include "features/overlay_factory.h"

namespace kvd {

struct IndicatorConfig {
    enum class Mode { ViewOnly, FullControl, Privacy };
    Mode mode = Mode::FullControl;
    std::string operatorName;
    std::string mspName;
    bool visible = false;

    static Mode modeFromName(const std::string& name);
};

class ConnectionIndicator {
  public:
    using Observer = std::function<void(const IndicatorConfig&)>;

    // `dpiScale` is the system scale factor (1.0 at 96 DPI).
    ConnectionIndicator(OverlayWindowFactory windows, double dpiScale);
    ~ConnectionIndicator();
    ConnectionIndicator(const ConnectionIndicator&) = delete;
    ConnectionIndicator& operator=(const ConnectionIndicator&) = delete;

    void show(const IndicatorConfig& config);
    // A "connection_indicator" message; false when it was not one.
    bool updateFromJson(const Json& msg);
    bool updateFromJson(std::string_view text);
    void stop();

    IndicatorConfig config() const;
    bool running() const { return running_.load(); }
    void setObserver(Observer observer);

    static int32_t glowThickness(double dpiScale);
    // Premultiplied 0xAARRGGBB pixels of the glow for a width x height window.
    static std::vector<uint32_t> paintGlow(int32_t width, int32_t height, int32_t thickness);

  private:
    void threadMain();

    OverlayWindowFactory windows_;
    const int32_t thickness_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    IndicatorConfig config_;
    bool dirty_ = false;
    Observer observer_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace kvd
