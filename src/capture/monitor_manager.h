#pragma once
// The host's monitors as the viewer sees them, and which one is captured.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/displays.h"

namespace kvd {

struct MonitorDescriptor {
    std::string id;    // device name, non-ASCII characters replaced by '?'
    std::string name;  // same text as id
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool primary = false;
    bool operator==(const MonitorDescriptor&) const = default;
};

// Each UTF-8 character outside 7-bit ASCII (or stray byte) becomes one '?'.
std::string asciiMonitorId(const std::string& utf8);

// The "monitor_list" control message, keys in the fixed order of the message.
std::string buildMonitorListJson(const std::vector<MonitorDescriptor>& monitors,
                                 const std::string& activeId);

class MonitorManager {
  public:
    using SwitchCallback = std::function<void(int32_t, const MonitorDescriptor&)>;
    using SendJson = std::function<void(const std::string&)>;

    // Enumerates through `displays`; null: the default X display.
    explicit MonitorManager(std::unique_ptr<platform::Displays> displays = nullptr);

    // Re-enumerates. The active index then follows the active monitor's id
    // when it is still present; otherwise it falls back to the primary (or
    // the first) monitor, and to -1 when there is none.
    void refresh();
    bool switchTo(const std::string& id);
    void sendMonitorList();

    void setOnSwitch(SwitchCallback cb);
    void setSendJson(SendJson send);

    std::vector<MonitorDescriptor> monitors() const;
    int32_t activeIndex() const;
    std::optional<MonitorDescriptor> activeMonitor() const;

  private:
    mutable std::mutex mu_;
    std::unique_ptr<platform::Displays> displays_;
    std::vector<MonitorDescriptor> monitors_;
    int32_t activeIndex_ = -1;
    SwitchCallback onSwitch_;
    SendJson sendJson_;
};

}  // namespace kvd
