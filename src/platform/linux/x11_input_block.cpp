// Local input block on X11: the physical slave devices are switched off
// through their "Device Enabled" property. The XTEST slaves, which carry the
// engine's own synthetic input, are never touched.
#include <X11/Xatom.h>
#include <X11/extensions/XInput2.h>
#include <errno.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "common/log.h"
#include "platform/linux/x11_guardian.h"
#include "platform/linux/x11_util.h"
#include "platform/local_input_blocker.h"

namespace kvd::platform {

namespace {

// How often devices plugged in while blocked are looked for.
constexpr auto kRescanPeriod = std::chrono::milliseconds(500);

class X11LocalInputBlocker final : public LocalInputBlocker {
  public:
    explicit X11LocalInputBlocker(std::string display) : display_(std::move(display)) {}
    ~X11LocalInputBlocker() override { unblock(); }

    bool block(int& error) override {
        std::lock_guard<std::mutex> lk(mu_);
        if (dpy_) return true;
        auto dpy = openDisplay(display_);
        if (!dpy) {
            error = ENXIO;
            return false;
        }
        int op = 0, ev = 0, er = 0, major = 2, minor = 0;
        if (!XQueryExtension(dpy.get(), "XInputExtension", &op, &ev, &er) ||
            XIQueryVersion(dpy.get(), &major, &minor) != Success) {
            error = ENOTSUP;
            return false;
        }
        enabledAtom_ = XInternAtom(dpy.get(), "Device Enabled", False);
        dpy_ = std::move(dpy);
        takeNewDevices();
        stop_ = false;
        rescan_ = std::thread([this] { rescanLoop(); });
        return true;
    }

    void unblock() override {
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (!dpy_) return;
            stop_ = true;
        }
        cv_.notify_all();
        if (rescan_.joinable()) rescan_.join();
        std::lock_guard<std::mutex> lk(mu_);
        auto& guardian = GuardianLink::forDisplay(display_);
        for (int id : taken_) {
            setEnabled(id, true);
            guardian.deviceGivenBack(id);
        }
        taken_.clear();
        dpy_.reset();
    }

  private:
    static bool isPhysicalSlave(const XIDeviceInfo& d) {
        const bool slave =
            d.use == XISlavePointer || d.use == XISlaveKeyboard || d.use == XIFloatingSlave;
        return slave && d.name && !std::strstr(d.name, "XTEST");
    }

    bool setEnabled(int id, bool on) {
        unsigned char v = on ? 1 : 0;
        const auto before = xErrorCount();
        XIChangeProperty(dpy_.get(), id, enabledAtom_, XA_INTEGER, 8, PropModeReplace, &v, 1);
        return syncAndCheck(dpy_.get(), before);
    }

    // Mutex held. Devices someone else disabled before us stay as they are
    // and are not ours to enable later.
    void takeNewDevices() {
        int n = 0;
        XIDeviceInfo* info = XIQueryDevice(dpy_.get(), XIAllDevices, &n);
        if (!info) return;
        auto& guardian = GuardianLink::forDisplay(display_);
        for (int i = 0; i < n; ++i) {
            const XIDeviceInfo& d = info[i];
            if (!isPhysicalSlave(d) || !d.enabled || taken_.count(d.deviceid)) continue;
            guardian.deviceTaken(d.deviceid);
            if (setEnabled(d.deviceid, false)) {
                taken_.insert(d.deviceid);
                logger().info("[input-block] disabled device {} '{}'", d.deviceid, d.name);
            } else {
                guardian.deviceGivenBack(d.deviceid);
            }
        }
        XIFreeDeviceInfo(info);
    }

    void rescanLoop() {
        std::unique_lock<std::mutex> lk(mu_);
        while (!cv_.wait_for(lk, kRescanPeriod, [this] { return stop_; })) takeNewDevices();
    }

    const std::string display_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    XDisplayPtr dpy_;
    Atom enabledAtom_ = None;
    std::set<int> taken_;
    std::thread rescan_;
};

}  // namespace

std::unique_ptr<LocalInputBlocker> createLocalInputBlocker(const std::string& display) {
    return std::make_unique<X11LocalInputBlocker>(display);
}

}  // namespace kvd::platform
