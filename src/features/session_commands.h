#pragma once
// The control messages that act on the host for the technician: clipboard
// set/clear, paste, credential injection, Wake-on-LAN and remote reboot.
// Registered on the dispatcher at start-up.
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "common/clock.h"
#include "common/json_util.h"

namespace kvd {

class ClipboardListener;
class ClipboardPolicy;
class ControlDispatcher;
class InputInjector;

// Timestamps of accepted "wol_send" requests: at most 10 per 60 s.
class WolRateWindow {
  public:
    static constexpr size_t kMaxEvents = 10;
    static constexpr int64_t kWindowMs = 60000;
    // Drops expired entries; false (with the count) when full. Records nowMs
    // only when accepted.
    bool tryAccept(int64_t nowMs, size_t& countInWindow);

  private:
    std::mutex mu_;
    std::deque<int64_t> times_;
};

struct SessionCommandDeps {
    ClipboardPolicy* clipboard = nullptr;
    ClipboardListener* listener = nullptr;
    std::function<InputInjector*()> injector;
    std::function<bool()> secureDesktopActive;
    std::function<std::string()> accessMode;
    std::function<bool()> allowClipboard;
    bool allowsWol = false;
    std::string sessionId;
    // Relay sender, false when the line was not written; empty without a
    // relay client.
    std::function<bool(const std::string& type, const Json& payload)> sendRelay;
    // The Wake-on-LAN sender: true on success, else the failure code.
    std::function<bool(const std::string& mac, std::string& error)> sendMagicPacket;
    // Runs the local reboot command after the delay: 0 when scheduled.
    std::function<int(const std::string& commandLine, int delaySeconds)> scheduleCommand;
    std::string rebootCommand = "systemctl reboot";
    const Clock* clock = nullptr;  // SteadyClock when null
};

class SessionCommands {
  public:
    static constexpr int kRebootDelaySeconds = 10;
    static constexpr uint32_t kCredentialCharDelayMs = 2;

    SessionCommands(SessionCommandDeps deps, std::function<void(const Json&)> sendReply);

    // Installs the handlers of the message types above.
    void registerWith(ControlDispatcher& dispatcher);

    // The service's answer to a credential redemption (relay reader thread).
    void completeCredentialInject(const Json& payload);

    void clipboardMessage(const std::string& type, const Json& msg);
    void pasteText(const Json& msg);
    void credentialInject(const Json& msg);
    void wolSend(const Json& msg);
    void remoteReboot(const Json& msg);

  private:
    bool viewOnly() const;
    bool secureDesktop() const;
    InputInjector* injector() const;

    SessionCommandDeps deps_;
    std::function<void(const Json&)> send_;
    const Clock& clock_;
    WolRateWindow wolWindow_;
};

// The local reboot command: KELVANDRUM_REBOOT_COMMAND, default
// "systemctl reboot".
std::string rebootCommandFromEnvironment();

}  // namespace kvd
