#include <cerrno>

#include "platform/linux/x11_capture_conn.h"
#include "platform/screen_grabber.h"

namespace kvd::platform {

namespace {

class X11ScreenGrabber final : public ScreenGrabber {
  public:
    explicit X11ScreenGrabber(std::string display) : conn_(std::move(display)) {}

    bool connect() override {
        const uint64_t gen = conn_.generation();
        if (!conn_.ensure()) {
            image_.release();
            lastError_ = ECONNREFUSED;
            return false;
        }
        // A new connection cannot use the old one's shared segment.
        if (conn_.generation() != gen && width_ > 0 &&
            !image_.create(conn_.get(), width_, height_)) {
            lastError_ = ENOMEM;
            return false;
        }
        return true;
    }

    bool allocate(int32_t width, int32_t height) override {
        if (!conn_.usable() && !connect()) return false;
        width_ = width;
        height_ = height;
        if (!image_.create(conn_.get(), width, height)) {
            lastError_ = ENOMEM;
            return false;
        }
        return true;
    }

    uint8_t* buffer() override { return image_.data(); }

    bool grab(int32_t x, int32_t y) override {
        if (!conn_.usable() || !image_.data()) {
            lastError_ = ENOTCONN;
            return false;
        }
        if (!image_.grab(x, y)) {
            lastError_ = conn_.usable() ? EIO : ENOTCONN;
            return false;
        }
        return true;
    }

    bool thumbnail(int32_t width, int32_t height, std::vector<uint8_t>& out) override {
        if (!conn_.ensure() || width <= 0 || height <= 0) return false;
        x11::RootImage full;
        if (!full.create(conn_.get(), width, height) || !full.grab(0, 0)) return false;
        out.assign(32 * 32 * 4, 0);
        for (int ty = 0; ty < 32; ++ty) {
            const int sy = static_cast<int>((static_cast<int64_t>(ty) * 2 + 1) * height / 64);
            for (int tx = 0; tx < 32; ++tx) {
                const int sx = static_cast<int>((static_cast<int64_t>(tx) * 2 + 1) * width / 64);
                const uint8_t* p = full.data() + static_cast<size_t>(sy) * full.stride() + sx * 4;
                std::copy(p, p + 4, out.begin() + (ty * 32 + tx) * 4);
            }
        }
        return true;
    }

    int lastError() const override { return lastError_; }

  private:
    x11::Connection conn_;
    x11::RootImage image_;
    int32_t width_ = 0, height_ = 0;
    int lastError_ = 0;
};

}  // namespace

std::unique_ptr<ScreenGrabber> createScreenGrabber(const std::string& display) {
    return std::make_unique<X11ScreenGrabber>(display);
}

}  // namespace kvd::platform
