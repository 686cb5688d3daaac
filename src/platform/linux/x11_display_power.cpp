// Display power on X11 through DPMS. Input wakes DPMS-sleeping outputs, so
// the owner calls reassert regularly while the screens should stay dark.
#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <errno.h>

#include <mutex>

#include "platform/display_power.h"
#include "platform/linux/x11_guardian.h"
#include "platform/linux/x11_util.h"

namespace kvd::platform {

namespace {

class X11DisplayPower final : public DisplayPower {
  public:
    explicit X11DisplayPower(std::string display) : display_(std::move(display)) {}
    ~X11DisplayPower() override { wake(); }

    bool sleep(int& error) override {
        std::lock_guard<std::mutex> lk(mu_);
        if (dpy_) return true;
        auto dpy = openDisplay(display_);
        if (!dpy) {
            error = ENXIO;
            return false;
        }
        int ev = 0, er = 0;
        if (!DPMSQueryExtension(dpy.get(), &ev, &er) || !DPMSCapable(dpy.get())) {
            error = ENOTSUP;
            return false;
        }
        CARD16 level = 0;
        BOOL enabled = False;
        DPMSInfo(dpy.get(), &level, &enabled);
        wasEnabled_ = enabled;
        GuardianLink::forDisplay(display_).displayAsleep(wasEnabled_);
        dpy_ = std::move(dpy);
        forceOff();
        return true;
    }

    void reassert() override {
        std::lock_guard<std::mutex> lk(mu_);
        if (!dpy_) return;
        CARD16 level = 0;
        BOOL enabled = False;
        DPMSInfo(dpy_.get(), &level, &enabled);
        if (!enabled || level != DPMSModeOff) forceOff();
    }

    void wake() override {
        std::lock_guard<std::mutex> lk(mu_);
        if (!dpy_) return;
        DPMSForceLevel(dpy_.get(), DPMSModeOn);
        if (!wasEnabled_) DPMSDisable(dpy_.get());
        XSync(dpy_.get(), False);
        dpy_.reset();
        GuardianLink::forDisplay(display_).displayAwake();
    }

  private:
    // DPMS must be enabled for a forced level to take.
    void forceOff() {
        DPMSEnable(dpy_.get());
        DPMSForceLevel(dpy_.get(), DPMSModeOff);
        XSync(dpy_.get(), False);
    }

    const std::string display_;
    std::mutex mu_;
    XDisplayPtr dpy_;
    bool wasEnabled_ = true;
};

}  // namespace

std::unique_ptr<DisplayPower> createDisplayPower(const std::string& display) {
    return std::make_unique<X11DisplayPower>(display);
}

}  // namespace kvd::platform
