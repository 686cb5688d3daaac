#include <X11/extensions/Xfixes.h>

#include "platform/linux/x11_capture_conn.h"
#include "platform/pointer.h"

namespace kvd::platform {

namespace {

class X11Pointer final : public Pointer {
  public:
    explicit X11Pointer(std::string display) : conn_(std::move(display)) {}

    bool position(int32_t& x, int32_t& y) override {
        if (!conn_.ensure()) return false;
        Display* d = conn_.get();
        Window root = 0, child = 0;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned int mask = 0;
        if (!XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask))
            return false;
        x = rx;
        y = ry;
        return conn_.usable();
    }

    bool image(PointerImage& out) override {
        if (!conn_.ensure()) return false;
        Display* d = conn_.get();
        int ev = 0, err = 0;
        if (!XFixesQueryExtension(d, &ev, &err)) return false;
        XFixesCursorImage* img = XFixesGetCursorImage(d);
        if (!img) return false;
        out.width = img->width;
        out.height = img->height;
        out.hotspotX = img->xhot;
        out.hotspotY = img->yhot;
        out.serial = img->cursor_serial;
        const size_t n = static_cast<size_t>(img->width) * img->height;
        out.argb.resize(n);
        // Xlib hands each pixel over in an unsigned long (8 bytes on LP64).
        for (size_t i = 0; i < n; ++i)
            out.argb[i] = static_cast<uint32_t>(img->pixels[i] & 0xffffffffUL);
        XFree(img);
        return true;
    }

  private:
    x11::Connection conn_;
};

}  // namespace

std::unique_ptr<Pointer> createPointer(const std::string& display) {
    return std::make_unique<X11Pointer>(display);
}

}  // namespace kvd::platform
