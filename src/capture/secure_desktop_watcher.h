#pragma once
// Watches which desktop has the input and reports entering and leaving the
// secure desktop (logon, lock screen, elevation prompt).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/desktop_probe.h"

namespace kvd {

// The input desktop's name from a probe: "Winlogon" when access is denied,
// "Inaccessible" when the system cannot say, "" on any other failure.
std::string desktopNameFromProbe(const platform::DesktopProbeResult& r);

// The "secure_desktop" message for the viewer.
std::string buildSecureDesktopJson(bool active, const std::string& name);

class SecureDesktopWatcher {
  public:
    using SendFn = std::function<void(const std::string&)>;

    // probe null: the default X display (opened on the watcher thread).
    explicit SecureDesktopWatcher(uint32_t pollIntervalMs,
                                  std::unique_ptr<platform::DesktopProbe> probe = nullptr);
    ~SecureDesktopWatcher();

    void setOnEnter(std::function<void()> cb);
    void setOnExit(std::function<void()> cb);
    // Replaces the platform probe (tests).
    void setNameProbe(std::function<std::string()> probe);

    bool start(SendFn send);
    void stop();
    bool isSecureActive() const { return secureActive_.load(); }
    std::string currentName() const;

  private:
    void run();
    std::string probeName();
    void handle(const std::string& name);

    uint32_t pollIntervalMs_;
    std::unique_ptr<platform::DesktopProbe> probe_;
    std::atomic<bool> running_{false};
    std::atomic<bool> secureActive_{false};
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string currentName_;
    SendFn send_;
    std::function<void()> onEnter_, onExit_;
    std::function<std::string()> nameProbe_;
    std::thread thread_;
};

}  // namespace kvd
