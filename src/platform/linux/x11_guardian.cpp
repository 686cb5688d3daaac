#include "platform/linux/x11_guardian.h"

#include <X11/Xatom.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/dpms.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "common/log.h"
#include "platform/guardian.h"
#include "platform/linux/x11_util.h"

namespace kvd::platform {

namespace {

constexpr const char* kGuardianFlag = "--kvd-guardian";
// The protocol is a handful of short lines; anything longer is not ours.
constexpr size_t kMaxLine = 64;
constexpr size_t kMaxDevices = 1024;

// What a guardian knows it must undo.
struct Undo {
    std::set<int> devices;
    bool asleep = false;
    bool powerSavingWasEnabled = true;
    bool empty() const { return devices.empty() && !asleep; }
};

bool writeAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t n = ::write(fd, s.data() + off, s.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

struct GuardianLink::State {
    std::mutex mu;
    Undo undo;
    int fd = -1;
    pid_t pid = -1;
};

GuardianLink::GuardianLink(std::string display)
    : display_(std::move(display)), s_(std::make_unique<State>()) {}

GuardianLink& GuardianLink::forDisplay(const std::string& display) {
    static std::mutex mu;
    // Never destroyed: blockers may give back devices during static
    // destruction, and an exiting process closes the pipe anyway.
    static auto* links = new std::map<std::string, GuardianLink*>();
    std::lock_guard<std::mutex> lk(mu);
    auto& slot = (*links)[display];
    if (!slot) slot = new GuardianLink(display);
    return *slot;
}

void GuardianLink::deviceTaken(int id) {
    std::lock_guard<std::mutex> lk(s_->mu);
    s_->undo.devices.insert(id);
    changed();
}
void GuardianLink::deviceGivenBack(int id) {
    std::lock_guard<std::mutex> lk(s_->mu);
    s_->undo.devices.erase(id);
    changed();
}
void GuardianLink::displayAsleep(bool wasEnabled) {
    std::lock_guard<std::mutex> lk(s_->mu);
    s_->undo.asleep = true;
    s_->undo.powerSavingWasEnabled = wasEnabled;
    changed();
}
void GuardianLink::displayAwake() {
    std::lock_guard<std::mutex> lk(s_->mu);
    s_->undo.asleep = false;
    changed();
}

namespace {

void reap(pid_t& pid, int waitMs) {
    if (pid <= 0) return;
    for (int i = 0; i <= waitMs / 10; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) != 0) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Starts the guardian with the read end of a fresh pipe as its standard
// input; returns the write end (close-on-exec, so that no other child of the
// engine keeps the guardian from seeing the engine's end).
int spawnGuardian(const std::string& display, pid_t& pidOut) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    std::string dpyName = display;
    if (dpyName.empty()) {
        const char* d = std::getenv("DISPLAY");
        dpyName = d ? d : "";
    }
    // Everything the child needs is prepared here: between fork and exec a
    // threaded process may only make async-signal-safe calls.
    std::string self = "kelvandrum-remote", flag = kGuardianFlag;
    char* argv[] = {self.data(), flag.data(), dpyName.data(), nullptr};
    const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        if (devnull >= 0) ::close(devnull);
        return -1;
    }
    if (pid == 0) {
        ::setsid();  // a signal to the engine's process group must not end it too
        ::dup2(fds[0], 0);
        if (devnull >= 0) {
            // Standard output carries the engine's status records.
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
        }
        ::close_range(3, ~0U, 0);
        ::execv("/proc/self/exe", argv);
        ::_exit(127);
    }
    ::close(fds[0]);
    if (devnull >= 0) ::close(devnull);
    pidOut = pid;
    return fds[1];
}

std::string stateLines(const Undo& u) {
    std::string s;
    for (int id : u.devices) s += "disable " + std::to_string(id) + "\n";
    if (u.asleep) s += std::string("sleep ") + (u.powerSavingWasEnabled ? "1" : "0") + "\n";
    return s;
}

}  // namespace

// Called with the state's mutex held. The whole state goes out on every
// change ("reset" first), so a respawned guardian knows everything.
void GuardianLink::changed() {
    auto& s = *s_;
    if (s.undo.empty()) {
        if (s.fd >= 0) {
            writeAll(s.fd, "released\n");
            ::close(s.fd);
            s.fd = -1;
            reap(s.pid, 200);
        }
        return;
    }
    const std::string msg = "reset\n" + stateLines(s.undo) + "armed\n";
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (s.fd < 0) {
            reap(s.pid, 0);
            s.fd = spawnGuardian(display_, s.pid);
            if (s.fd < 0) {
                logger().warn(
                    "[guardian] cannot start the guardian err={} — an abrupt end would "
                    "leave the screen and input as they are",
                    errno);
                return;
            }
            logger().info("[guardian] started pid={} for display {}", s.pid,
                          display_.empty() ? std::string("$DISPLAY") : display_);
        }
        if (writeAll(s.fd, msg)) return;
        ::close(s.fd);  // it died: start another with the whole state
        s.fd = -1;
    }
}

// ---- the guardian process ----

namespace {

// Parses one line into `u`; false for anything that is not the protocol.
// "armed" ends a complete state ("reset" + lines), "released" ends the duty.
enum class LineKind { State, Armed, Released, Bad };

LineKind applyLine(const std::string& line, Undo& staging) {
    if (line == "reset") {
        staging = Undo{};
        return LineKind::State;
    }
    if (line == "armed") return LineKind::Armed;
    if (line == "released") return LineKind::Released;
    if (line == "sleep 0" || line == "sleep 1") {
        staging.asleep = true;
        staging.powerSavingWasEnabled = line.back() == '1';
        return LineKind::State;
    }
    if (line.rfind("disable ", 0) == 0) {
        const std::string num = line.substr(8);
        if (num.empty() || num.size() > 5 ||
            num.find_first_not_of("0123456789") != std::string::npos)
            return LineKind::Bad;
        const int id = std::atoi(num.c_str());
        if (id > 65535 || staging.devices.size() >= kMaxDevices) return LineKind::Bad;
        staging.devices.insert(id);
        return LineKind::State;
    }
    return LineKind::Bad;
}

void restore(const std::string& display, const Undo& u) {
    XDisplayPtr dpy;
    for (int i = 0; i < 20 && !dpy; ++i) {
        dpy = openDisplay(display);
        if (!dpy) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!dpy) return;  // the server is gone: nothing left to give back
    Display* d = dpy.get();
    if (!u.devices.empty()) {
        const Atom enabled = XInternAtom(d, "Device Enabled", False);
        for (int id : u.devices) {
            int n = 0;
            XIDeviceInfo* info = XIQueryDevice(d, id, &n);
            // An id that now names an XTEST device was reused: leave it.
            const bool ours = info && n == 1 && !std::strstr(info[0].name, "XTEST");
            if (info) XIFreeDeviceInfo(info);
            if (!ours) continue;
            unsigned char on = 1;
            XIChangeProperty(d, id, enabled, XA_INTEGER, 8, PropModeReplace, &on, 1);
        }
    }
    int ev = 0, er = 0;
    if (u.asleep && DPMSQueryExtension(d, &ev, &er) && DPMSCapable(d)) {
        DPMSForceLevel(d, DPMSModeOn);
        if (!u.powerSavingWasEnabled) DPMSDisable(d);
    }
    XSync(d, False);
}

}  // namespace

std::optional<int> runGuardianIfRequested(const std::vector<std::string>& args) {
    if (args.size() != 2 || args[0] != kGuardianFlag) return std::nullopt;
    const std::string display = args[1];
    Undo armed, staging;
    bool released = false;
    std::string line;
    bool overlong = false;  // a line cut to size is no line of ours
    char buf[256];
    for (;;) {
        const ssize_t n = ::read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the engine's end is closed: it is gone, or done
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                if (line.size() < kMaxLine)
                    line += buf[i];
                else
                    overlong = true;
                continue;
            }
            switch (overlong ? LineKind::Bad : applyLine(line, staging)) {
                case LineKind::Armed:
                    armed = staging;
                    released = false;
                    break;
                case LineKind::Released:
                    armed = Undo{};
                    released = true;
                    break;
                default:
                    break;  // state lines wait for "armed"; bad lines are ignored
            }
            line.clear();
            overlong = false;
        }
    }
    if (!released && !armed.empty()) restore(display, armed);
    return 0;
}

}  // namespace kvd::platform
