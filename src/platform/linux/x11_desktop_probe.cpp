#include <X11/Xatom.h>

#include <cerrno>

#include "platform/desktop_probe.h"
#include "platform/linux/x11_capture_conn.h"

namespace kvd::platform {

namespace {

// Longest desktop name read from the property; longer values are cut.
constexpr long kMaxNameLongs = 64;  // 256 bytes

class X11DesktopProbe final : public DesktopProbe {
  public:
    explicit X11DesktopProbe(std::string display) : conn_(std::move(display)) {}

    DesktopProbeResult probe() override {
        DesktopProbeResult r;
        if (!conn_.ensure()) {
            r.outcome = DesktopProbeResult::Outcome::Failed;
            r.error = ECONNREFUSED;
            return r;
        }
        Display* d = conn_.get();
        if (gen_ != conn_.generation()) {
            atom_ = XInternAtom(d, "_KVD_INPUT_DESKTOP", False);
            gen_ = conn_.generation();
        }
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        const unsigned long before = xErrorCount();
        const int rc = XGetWindowProperty(d, DefaultRootWindow(d), atom_, 0, kMaxNameLongs, False,
                                          AnyPropertyType, &type, &format, &count, &after, &data);
        if (rc != Success || !conn_.usable() || xErrorCount() != before) {
            if (data) XFree(data);
            r.outcome = DesktopProbeResult::Outcome::Failed;
            r.error = conn_.usable() ? EIO : ENOTCONN;
            return r;
        }
        r.outcome = DesktopProbeResult::Outcome::Ok;
        if (type == None || !data) {
            r.name = "Default";
        } else if (format == 8) {
            r.name.assign(reinterpret_cast<const char*>(data), count);
            // Stop at the first NUL: xprop may store a terminated string.
            if (auto z = r.name.find('\0'); z != std::string::npos) r.name.resize(z);
            if (r.name.empty()) r.name = "Default";
        } else {
            // A property of another shape is not a desktop name.
            r.outcome = DesktopProbeResult::Outcome::Failed;
            r.error = EINVAL;
        }
        if (data) XFree(data);
        return r;
    }

  private:
    x11::Connection conn_;
    Atom atom_ = None;
    uint64_t gen_ = 0;
};

}  // namespace

std::unique_ptr<DesktopProbe> createDesktopProbe(const std::string& display) {
    return std::make_unique<X11DesktopProbe>(display);
}

}  // namespace kvd::platform
