#include "capture/secure_desktop_watcher.h"

#include <chrono>
#include <exception>
#include <utility>

#include "common/json_util.h"
#include "common/log.h"

namespace kvd {

namespace {
// A throwing callback must not end the watcher thread (or the process).
template <typename F, typename... A>
void callSafely(const char* what, const F& f, A&&... args) {
    if (!f) return;
    try {
        f(std::forward<A>(args)...);
    } catch (const std::exception& e) {
        logger().warn("secure desktop watcher: {} callback threw: {}", what, e.what());
    } catch (...) {
        logger().warn("secure desktop watcher: {} callback threw", what);
    }
}
}  // namespace

std::string desktopNameFromProbe(const platform::DesktopProbeResult& r) {
    using S = platform::DesktopProbeResult::Outcome;
    switch (r.outcome) {
        case S::Ok:
            return r.name;
        case S::AccessDenied:
            return "Winlogon";
        case S::Unsupported:
            return "Inaccessible";
        case S::Failed:
            break;
    }
    return {};
}

std::string buildSecureDesktopJson(bool active, const std::string& name) {
    if (!active) return "{\"type\":\"secure_desktop\",\"v\":1,\"active\":false}";
    return "{\"type\":\"secure_desktop\",\"v\":1,\"active\":true,\"name\":\"" +
           escapeJsonString(name) + "\"}";
}

SecureDesktopWatcher::SecureDesktopWatcher(uint32_t pollIntervalMs,
                                           std::unique_ptr<platform::DesktopProbe> probe)
    : pollIntervalMs_(pollIntervalMs), probe_(std::move(probe)) {}

SecureDesktopWatcher::~SecureDesktopWatcher() {
    stop();
}

void SecureDesktopWatcher::setOnEnter(std::function<void()> cb) {
    std::lock_guard<std::mutex> lk(mu_);
    onEnter_ = std::move(cb);
}
void SecureDesktopWatcher::setOnExit(std::function<void()> cb) {
    std::lock_guard<std::mutex> lk(mu_);
    onExit_ = std::move(cb);
}
void SecureDesktopWatcher::setNameProbe(std::function<std::string()> probe) {
    std::lock_guard<std::mutex> lk(mu_);
    nameProbe_ = std::move(probe);
}

std::string SecureDesktopWatcher::currentName() const {
    std::lock_guard<std::mutex> lk(mu_);
    return currentName_;
}

bool SecureDesktopWatcher::start(SendFn send) {
    std::lock_guard<std::mutex> lk(mu_);
    if (running_.load()) return true;
    if (thread_.joinable()) thread_.join();  // a previous run that was stopped
    running_ = true;
    send_ = std::move(send);
    currentName_ = "Default";
    secureActive_ = false;
    thread_ = std::thread([this] { run(); });
    return running_.load();
}

void SecureDesktopWatcher::stop() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        running_ = false;
    }
    cv_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::string SecureDesktopWatcher::probeName() {
    std::function<std::string()> substitute;
    {
        std::lock_guard<std::mutex> lk(mu_);
        substitute = nameProbe_;
    }
    if (substitute) {
        try {
            return substitute();
        } catch (...) {
            return {};
        }
    }
    if (!probe_) probe_ = platform::createDesktopProbe();
    return desktopNameFromProbe(probe_->probe());
}

void SecureDesktopWatcher::handle(const std::string& name) {
    if (name.empty()) return;
    const bool secure = name != "Default";
    SendFn send;
    std::function<void()> onEnter, onExit;
    {
        std::lock_guard<std::mutex> lk(mu_);
        currentName_ = name;
        send = send_;
        onEnter = onEnter_;
        onExit = onExit_;
    }
    if (secure && !secureActive_.load()) {
        secureActive_ = true;
        logger().info("secure desktop entered: {}", name);
        callSafely("enter", onEnter);
        callSafely("send", send, buildSecureDesktopJson(true, name));
    } else if (!secure && secureActive_.load()) {
        secureActive_ = false;
        logger().info("secure desktop exited -> {}", name);
        callSafely("exit", onExit);
        callSafely("send", send, buildSecureDesktopJson(false, name));
    }
}

void SecureDesktopWatcher::run() {
    handle(probeName());
    while (running_.load()) {
        {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait_for(lk, std::chrono::milliseconds(pollIntervalMs_),
                         [this] { return !running_.load(); });
        }
        if (!running_.load()) break;
        handle(probeName());
    }
}

}  // namespace kvd
