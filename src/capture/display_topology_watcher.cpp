#include "capture/display_topology_watcher.h"

#include <chrono>

#include "common/log.h"

namespace kvd {

bool topologyDiffers(const std::vector<platform::MonitorInfo>& a,
                     const std::vector<platform::MonitorInfo>& b) {
    if (a.size() != b.size()) return true;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto &x = a[i], &y = b[i];
        if (x.name != y.name || x.x != y.x || x.y != y.y || x.width != y.width ||
            x.height != y.height || x.primary != y.primary)
            return true;
    }
    return false;
}

DisplayTopologyWatcher::DisplayTopologyWatcher(uint32_t intervalMs,
                                               std::unique_ptr<platform::Displays> displays)
    : intervalMs_(intervalMs), displays_(std::move(displays)) {}

DisplayTopologyWatcher::~DisplayTopologyWatcher() {
    stop();
}

bool DisplayTopologyWatcher::start(std::function<void()> onChange) {
    std::lock_guard<std::mutex> lk(mu_);
    if (running_.load() || thread_.joinable()) return running_.load();
    if (!displays_) displays_ = platform::createDisplays();
    onChange_ = std::move(onChange);
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void DisplayTopologyWatcher::stop() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        running_ = false;
    }
    cv_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void DisplayTopologyWatcher::run() {
    auto snapshot = displays_->monitors();
    while (running_.load()) {
        {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait_for(lk, std::chrono::milliseconds(intervalMs_),
                         [this] { return !running_.load(); });
        }
        if (!running_.load()) break;
        auto next = displays_->monitors();
        if (!topologyDiffers(snapshot, next)) continue;
        logger().info("[topology] display topology changed: {} -> {} monitor(s)", snapshot.size(),
                      next.size());
        for (const auto& m : next)
            logger().info("[topology]   {} {}x{} @ ({},{}) primary={}", m.name, m.width, m.height,
                          m.x, m.y, m.primary);
        snapshot = std::move(next);
        try {
            if (onChange_) onChange_();
        } catch (...) {
            logger().warn("[topology] change callback threw");
        }
    }
}

}  // namespace kvd
