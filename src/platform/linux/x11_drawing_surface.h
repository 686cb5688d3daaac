#pragma once
// The X11 drawing surface: a 32-bit ARGB pixmap drawn with the core protocol
// (shapes) and Xft (text), shared by the overlay and dialog windows.
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>

#include <map>
#include <string>
#include <vector>

#include "platform/overlay_window.h"

namespace kvd::platform::x11 {

struct ArgbVisual {
    Visual* visual = nullptr;
    Colormap colormap = 0;
    // Finds the screen's 32-bit visual with an alpha channel and makes a
    // colormap for it (the caller frees it).
    bool find(Display* dpy);
};

class X11DrawingSurface final : public DrawingSurface {
  public:
    X11DrawingSurface(Display* dpy, const ArgbVisual& vis, int32_t width, int32_t height);
    ~X11DrawingSurface() override;
    X11DrawingSurface(const X11DrawingSurface&) = delete;
    X11DrawingSurface& operator=(const X11DrawingSurface&) = delete;

    SurfaceSize size() const override { return {width_, height_}; }
    void clear(Argb color) override;
    void fillRect(const SurfaceRect& r, Argb color) override;
    void strokeRect(const SurfaceRect& r, int32_t lineWidth, Argb color) override;
    void line(SurfacePoint a, SurfacePoint b, int32_t lineWidth, Argb color) override;
    void polyline(const std::vector<SurfacePoint>& points, int32_t lineWidth, Argb color) override;
    void strokeEllipse(const SurfaceRect& bounds, int32_t lineWidth, Argb color) override;
    void fillEllipse(const SurfaceRect& bounds, Argb color) override;
    void fillPolygon(const std::vector<SurfacePoint>& points, Argb color) override;
    void text(const SurfaceRect& box, const std::string& utf8, const TextStyle& style) override;
    SurfaceSize measureText(const std::string& utf8, int32_t pixelHeight, bool bold) override;
    void putPixels(int32_t x, int32_t y, int32_t width, int32_t height,
                   const std::vector<uint32_t>& premultiplied) override;

    Pixmap pixmap() const { return pixmap_; }

  private:
    void pen(Argb color, int32_t lineWidth);
    XftFont* font(int32_t pixelHeight, bool bold);
    SurfaceSize measure(XftFont* f, const std::string& utf8);
    std::vector<std::string> wrapLines(XftFont* f, const std::string& text, int32_t width);

    Display* dpy_;
    ArgbVisual vis_;
    int32_t width_, height_;
    Pixmap pixmap_ = 0;
    GC gc_ = nullptr;
    XftDraw* draw_ = nullptr;
    std::map<int, XftFont*> fonts_;
};

}  // namespace kvd::platform::x11
