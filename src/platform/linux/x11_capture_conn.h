#pragma once
// Connection and image plumbing shared by the X11 capture implementations:
// a display connection that notices its own loss and reconnects on demand,
// and a screen image grabbed through MIT-SHM with an XGetImage fallback.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/x11_util.h"

namespace kvd::platform::x11 {

class Connection {
  public:
    explicit Connection(std::string name) : name_(std::move(name)) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens the display when not open or lost. True when usable.
    bool ensure();
    // Usable right now (opened and not lost).
    bool usable() const { return dpy_ && !lost_.load(); }
    Display* get() const { return dpy_; }
    // Counts (re)connections, so that users can rebuild server-side state.
    uint64_t generation() const { return generation_; }
    const std::string& name() const { return name_; }

  private:
    static void onIoExit(Display*, void* self);
    void drop();

    std::string name_;
    Display* dpy_ = nullptr;
    std::atomic<bool> lost_{false};
    uint64_t generation_ = 0;
};

// A width x height image of the root window, 4 bytes a pixel (B, G, R, unused)
// with stride 4 * width.
class RootImage {
  public:
    ~RootImage() { release(); }
    // Allocates for `dpy`; uses MIT-SHM when the server offers it locally.
    bool create(Display* dpy, int width, int height);
    void release();
    // Copies the root area at (x, y). False on any X error.
    bool grab(int x, int y);
    // Copies only rows [top, top + rows) of that area into the same rows of
    // the image; the other rows keep what they held.
    bool grabRows(int x, int y, int top, int rows);
    uint8_t* data() { return data_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return width_ * 4; }
    Display* display() const { return dpy_; }

  private:
    bool grabPlain(int x, int y, int top, int rows);

    Display* dpy_ = nullptr;
    XImage* shmImage_ = nullptr;
    XShmSegmentInfo shm_{};
    bool shmAttached_ = false;
    std::vector<uint8_t> plain_;
    uint8_t* data_ = nullptr;
    int width_ = 0, height_ = 0;
};

// Premultiplied ARGB (one pixel per unsigned long, low 32 bits used) to
// straight-alpha B, G, R, A bytes.
std::vector<uint8_t> cursorPixelsToBgra(const unsigned long* pixels, size_t count);

}  // namespace kvd::platform::x11
