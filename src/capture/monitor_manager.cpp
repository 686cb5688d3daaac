#include "capture/monitor_manager.h"

#include "common/json_util.h"
#include "common/log.h"

namespace kvd {

std::string asciiMonitorId(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        size_t len = 1;
        if ((c & 0xE0) == 0xC0)
            len = 2;
        else if ((c & 0xF0) == 0xE0)
            len = 3;
        else if ((c & 0xF8) == 0xF0)
            len = 4;
        size_t j = 1;
        while (j < len && i + j < utf8.size() &&
               (static_cast<unsigned char>(utf8[i + j]) & 0xC0) == 0x80)
            ++j;
        out.push_back('?');
        i += j;
    }
    return out;
}

std::string buildMonitorListJson(const std::vector<MonitorDescriptor>& monitors,
                                 const std::string& activeId) {
    std::string s = "{\"type\":\"monitor_list\",\"v\":1,\"monitors\":[";
    bool first = true;
    for (const auto& m : monitors) {
        if (!first) s += ',';
        first = false;
        s += "{\"id\":\"" + escapeJsonString(m.id) + "\",\"name\":\"" + escapeJsonString(m.name) +
             "\",\"x\":" + std::to_string(m.x) + ",\"y\":" + std::to_string(m.y) +
             ",\"width\":" + std::to_string(m.width) + ",\"height\":" + std::to_string(m.height) +
             ",\"primary\":" + (m.primary ? "true" : "false") + "}";
    }
    s += "],\"active\":\"" + escapeJsonString(activeId) + "\"}";
    return s;
}

MonitorManager::MonitorManager(std::unique_ptr<platform::Displays> displays)
    : displays_(displays ? std::move(displays) : platform::createDisplays()) {}

void MonitorManager::refresh() {
    std::vector<MonitorDescriptor> fresh;
    for (const auto& m : displays_->monitors()) {
        MonitorDescriptor d;
        d.id = asciiMonitorId(m.name);
        d.name = d.id;
        d.x = m.x;
        d.y = m.y;
        d.width = m.width;
        d.height = m.height;
        d.primary = m.primary;
        fresh.push_back(std::move(d));
    }
    std::lock_guard<std::mutex> lk(mu_);
    // A plain string and flag: GCC's flow analysis misreads optional<string> here.
    std::string activeId;
    const bool hadActive =
        activeIndex_ >= 0 && activeIndex_ < static_cast<int32_t>(monitors_.size());
    if (hadActive) activeId = monitors_[static_cast<size_t>(activeIndex_)].id;
    monitors_ = std::move(fresh);
    int32_t next = -1;
    if (hadActive)
        for (size_t i = 0; i < monitors_.size(); ++i)
            if (monitors_[i].id == activeId) {
                next = static_cast<int32_t>(i);
                break;
            }
    if (next < 0 && !monitors_.empty()) {
        next = 0;
        for (size_t i = 0; i < monitors_.size(); ++i)
            if (monitors_[i].primary) {
                next = static_cast<int32_t>(i);
                break;
            }
    }
    activeIndex_ = next;
}

bool MonitorManager::switchTo(const std::string& id) {
    std::unique_lock<std::mutex> lk(mu_);
    int32_t found = -1;
    for (size_t i = 0; i < monitors_.size(); ++i)
        if (monitors_[i].id == id) {
            found = static_cast<int32_t>(i);
            break;
        }
    if (found < 0) {
        lk.unlock();
        logger().warn("[multi-monitor] switchTo: unknown id '{}'", id);
        return false;
    }
    activeIndex_ = found;
    const MonitorDescriptor d = monitors_[static_cast<size_t>(found)];
    const SwitchCallback cb = onSwitch_;
    lk.unlock();
    logger().info("[multi-monitor] switching to {} ({}x{} @ {},{})", d.id, d.width, d.height, d.x,
                  d.y);
    if (cb) cb(found, d);
    return true;
}

void MonitorManager::sendMonitorList() {
    std::vector<MonitorDescriptor> copy;
    std::string activeId;
    SendJson send;
    {
        std::lock_guard<std::mutex> lk(mu_);
        copy = monitors_;
        if (activeIndex_ >= 0 && activeIndex_ < static_cast<int32_t>(monitors_.size()))
            activeId = monitors_[static_cast<size_t>(activeIndex_)].id;
        send = sendJson_;
    }
    if (send) send(buildMonitorListJson(copy, activeId));
}

void MonitorManager::setOnSwitch(SwitchCallback cb) {
    std::lock_guard<std::mutex> lk(mu_);
    onSwitch_ = std::move(cb);
}

void MonitorManager::setSendJson(SendJson send) {
    std::lock_guard<std::mutex> lk(mu_);
    sendJson_ = std::move(send);
}

std::vector<MonitorDescriptor> MonitorManager::monitors() const {
    std::lock_guard<std::mutex> lk(mu_);
    return monitors_;
}

int32_t MonitorManager::activeIndex() const {
    std::lock_guard<std::mutex> lk(mu_);
    return activeIndex_;
}

std::optional<MonitorDescriptor> MonitorManager::activeMonitor() const {
    std::lock_guard<std::mutex> lk(mu_);
    if (activeIndex_ < 0 || activeIndex_ >= static_cast<int32_t>(monitors_.size()))
        return std::nullopt;
    return monitors_[static_cast<size_t>(activeIndex_)];
}

}  // namespace kvd
