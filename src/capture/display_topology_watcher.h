#pragma once
// Polls the monitor layout on its own thread and reports changes.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/displays.h"

namespace kvd {

// Layouts differ when the count differs or a monitor at the same position
// differs in name, rectangle or primary flag.
bool topologyDiffers(const std::vector<platform::MonitorInfo>& a,
                     const std::vector<platform::MonitorInfo>& b);

class DisplayTopologyWatcher {
  public:
    // displays null: the default X display (opened on the watcher thread).
    explicit DisplayTopologyWatcher(uint32_t intervalMs = 2000,
                                    std::unique_ptr<platform::Displays> displays = nullptr);
    ~DisplayTopologyWatcher();

    bool start(std::function<void()> onChange);
    void stop();
    bool running() const { return running_.load(); }

  private:
    void run();

    uint32_t intervalMs_;
    std::unique_ptr<platform::Displays> displays_;
    std::function<void()> onChange_;
    std::atomic<bool> running_{false};
    std::mutex mu_;
    std::condition_variable cv_;
    std::thread thread_;
};

}  // namespace kvd
