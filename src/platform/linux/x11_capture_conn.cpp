#include "platform/linux/x11_capture_conn.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include "common/log.h"
#include "common/pixel_format.h"

namespace kvd::platform::x11 {

Connection::~Connection() {
    drop();
}

void Connection::onIoExit(Display*, void* self) {
    // Keeps the process alive; the owner reconnects on its next request.
    static_cast<Connection*>(self)->lost_ = true;
}

void Connection::drop() {
    if (!dpy_) return;
    // A connection that died cannot be closed cleanly (XCloseDisplay would
    // talk to the server again); leaking its small client state is the
    // lesser evil, and it only happens when the X server went away.
    if (!lost_.load()) XCloseDisplay(dpy_);
    dpy_ = nullptr;
}

bool Connection::ensure() {
    if (usable()) return true;
    drop();
    lost_ = false;
    XDisplayPtr d = openDisplay(name_);
    if (!d) return false;
    dpy_ = d.release();
    XSetIOErrorExitHandler(dpy_, &Connection::onIoExit, this);
    ++generation_;
    return true;
}

void RootImage::release() {
    if (shmImage_) {
        if (shmAttached_ && dpy_) {
            XShmDetach(dpy_, &shm_);
            XSync(dpy_, False);
        }
        XDestroyImage(shmImage_);
        shmImage_ = nullptr;
    }
    if (shm_.shmaddr && shm_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shm_.shmaddr);
    shm_ = {};
    shmAttached_ = false;
    plain_.clear();
    data_ = nullptr;
    width_ = height_ = 0;
    dpy_ = nullptr;
}

bool RootImage::create(Display* dpy, int width, int height) {
    release();
    if (!dpy || width <= 0 || height <= 0) return false;
    dpy_ = dpy;
    width_ = width;
    height_ = height;
    const int screen = DefaultScreen(dpy);
    Visual* visual = DefaultVisual(dpy, screen);
    const int depth = DefaultDepth(dpy, screen);
    if (XShmQueryExtension(dpy) && depth >= 24) {
        shmImage_ =
            XShmCreateImage(dpy, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &shm_,
                            static_cast<unsigned>(width), static_cast<unsigned>(height));
        if (shmImage_ && shmImage_->bits_per_pixel == 32 &&
            shmImage_->bytes_per_line == width * 4 && shmImage_->red_mask == 0xff0000 &&
            shmImage_->green_mask == 0xff00 && shmImage_->blue_mask == 0xff &&
            shmImage_->byte_order == LSBFirst) {
            shm_.shmid =
                shmget(IPC_PRIVATE, static_cast<size_t>(shmImage_->bytes_per_line) * height,
                       IPC_CREAT | 0600);
            if (shm_.shmid >= 0) {
                shm_.shmaddr = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
                // Marked for removal at once: the segment disappears with its
                // last user even if this process dies.
                shmctl(shm_.shmid, IPC_RMID, nullptr);
                if (shm_.shmaddr != reinterpret_cast<char*>(-1)) {
                    shmImage_->data = shm_.shmaddr;
                    shm_.readOnly = False;
                    const unsigned long before = xErrorCount();
                    if (XShmAttach(dpy, &shm_) && syncAndCheck(dpy, before)) {
                        shmAttached_ = true;
                        data_ = reinterpret_cast<uint8_t*>(shm_.shmaddr);
                        return true;
                    }
                }
            }
        }
        // Fall back to plain requests (remote server, odd visual, no SHM).
        if (shmImage_) {
            shmImage_->data = nullptr;
            XDestroyImage(shmImage_);
            shmImage_ = nullptr;
        }
        if (shm_.shmaddr && shm_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shm_.shmaddr);
        shm_ = {};
    }
    plain_.assign(static_cast<size_t>(width) * height * 4, 0);
    data_ = plain_.data();
    return true;
}

bool RootImage::grab(int x, int y) {
    return grabRows(x, y, 0, height_);
}

bool RootImage::grabRows(int x, int y, int top, int rows) {
    if (!dpy_ || !data_) return false;
    top = std::clamp(top, 0, height_);
    rows = std::clamp(rows, 0, height_ - top);
    if (rows == 0) return true;
    if (shmAttached_) {
        // The request names the image's offset in the segment and its size:
        // a band of whole rows lands exactly where it belongs.
        char* const base = shmImage_->data;
        const int fullHeight = shmImage_->height;
        shmImage_->data = base + static_cast<size_t>(top) * shmImage_->bytes_per_line;
        shmImage_->height = rows;
        const unsigned long before = xErrorCount();
        const Status ok =
            XShmGetImage(dpy_, DefaultRootWindow(dpy_), shmImage_, x, y + top, AllPlanes);
        shmImage_->data = base;
        shmImage_->height = fullHeight;
        return ok && xErrorCount() == before;
    }
    return grabPlain(x, y, top, rows);
}

bool RootImage::grabPlain(int x, int y, int top, int rows) {
    const unsigned long before = xErrorCount();
    XImage* img =
        XGetImage(dpy_, DefaultRootWindow(dpy_), x, y + top, static_cast<unsigned>(width_),
                  static_cast<unsigned>(rows), AllPlanes, ZPixmap);
    if (!img || xErrorCount() != before) {
        if (img) XDestroyImage(img);
        return false;
    }
    const bool direct = img->bits_per_pixel == 32 && img->red_mask == 0xff0000 &&
                        img->green_mask == 0xff00 && img->blue_mask == 0xff &&
                        img->byte_order == LSBFirst;
    for (int r = 0; r < rows; ++r) {
        uint8_t* dst = plain_.data() + static_cast<size_t>(top + r) * width_ * 4;
        if (direct) {
            std::memcpy(dst, img->data + static_cast<size_t>(r) * img->bytes_per_line,
                        static_cast<size_t>(width_) * 4);
            continue;
        }
        // Other visuals: go through the pixel masks (slow, but correct).
        auto channel = [](unsigned long px, unsigned long mask) -> uint8_t {
            if (!mask) return 0;
            int shift = 0;
            while (!((mask >> shift) & 1)) ++shift;
            const unsigned long max = mask >> shift;
            return static_cast<uint8_t>(((px & mask) >> shift) * 255 / max);
        };
        for (int c = 0; c < width_; ++c) {
            const unsigned long px = XGetPixel(img, c, r);
            dst[c * 4 + 0] = channel(px, img->blue_mask);
            dst[c * 4 + 1] = channel(px, img->green_mask);
            dst[c * 4 + 2] = channel(px, img->red_mask);
            dst[c * 4 + 3] = 255;
        }
    }
    XDestroyImage(img);
    return true;
}

std::vector<uint8_t> cursorPixelsToBgra(const unsigned long* pixels, size_t count) {
    // Xlib hands the 32-bit words out in longs.
    std::vector<uint8_t> out(count * 4);
    for (size_t i = 0; i < count; ++i)
        premultipliedArgbWordToBgra(static_cast<uint32_t>(pixels[i] & 0xffffffffUL),
                                    out.data() + i * 4);
    return out;
}

}  // namespace kvd::platform::x11
