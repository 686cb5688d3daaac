#pragma once
// Topmost, click-through windows drawn over the host's screen (connection
// indicator, annotations, privacy notice) and the drawing surface they share
// with the consent dialog.
//
// Where the desktop blends windows (a compositing manager runs), a window
// shows its pixels with their per-pixel alpha. Where nothing blends, the
// window keeps only the pixels whose alpha reaches the window's threshold,
// shows them opaque in their own colour and lets the rest of the screen show
// through a shape cut to those pixels.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvd::platform {

// 0xAARRGGBB with straight (not premultiplied) alpha.
using Argb = uint32_t;
constexpr Argb argb(uint8_t a, uint8_t r, uint8_t g, uint8_t b) {
    return (uint32_t{a} << 24) | (uint32_t{r} << 16) | (uint32_t{g} << 8) | uint32_t{b};
}
constexpr Argb rgb(uint8_t r, uint8_t g, uint8_t b) {
    return argb(255, r, g, b);
}

struct SurfacePoint {
    int32_t x = 0;
    int32_t y = 0;
};

struct SurfaceRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

struct SurfaceSize {
    int32_t width = 0;
    int32_t height = 0;
};

enum class TextAlign { Start, Center, End };

struct TextStyle {
    int32_t pixelHeight = 16;  // font height in pixels
    bool bold = false;
    Argb color = rgb(0, 0, 0);
    TextAlign horizontal = TextAlign::Start;
    TextAlign vertical = TextAlign::Start;
    bool wrap = false;  // break at spaces to fit the box's width
};

// An off-screen picture of a window's size. Nothing reaches the screen
// before the window's present(). Shapes replace the pixels they cover with
// their colour and alpha; text is blended over what is already there.
// Coordinates are the window's own (origin at its top-left corner).
class DrawingSurface {
  public:
    virtual ~DrawingSurface() = default;
    virtual SurfaceSize size() const = 0;
    // Every pixel becomes `color` (0: fully transparent).
    virtual void clear(Argb color = 0) = 0;
    virtual void fillRect(const SurfaceRect& r, Argb color) = 0;
    // Outline drawn inside r with the given line width.
    virtual void strokeRect(const SurfaceRect& r, int32_t lineWidth, Argb color) = 0;
    virtual void line(SurfacePoint a, SurfacePoint b, int32_t lineWidth, Argb color) = 0;
    // Joined segments through all points (round joins and caps).
    virtual void polyline(const std::vector<SurfacePoint>& points, int32_t lineWidth,
                          Argb color) = 0;
    // Ellipse inscribed in `bounds`.
    virtual void strokeEllipse(const SurfaceRect& bounds, int32_t lineWidth, Argb color) = 0;
    virtual void fillEllipse(const SurfaceRect& bounds, Argb color) = 0;
    virtual void fillPolygon(const std::vector<SurfacePoint>& points, Argb color) = 0;
    // UTF-8 text laid out in `box` by the style's alignment; a line that
    // does not fit is clipped to the box.
    virtual void text(const SurfaceRect& box, const std::string& utf8, const TextStyle& style) = 0;
    // Width and height of one line of text in the given font.
    virtual SurfaceSize measureText(const std::string& utf8, int32_t pixelHeight, bool bold) = 0;
    // Replaces a block with premultiplied 0xAARRGGBB pixels (width x height,
    // row-major); the parts outside the surface are ignored.
    virtual void putPixels(int32_t x, int32_t y, int32_t width, int32_t height,
                           const std::vector<uint32_t>& premultiplied) = 0;
};

struct OverlayOptions {
    // Window name and class (seen by window lists and tests).
    std::string name = "KelvandrumOverlay";
    // Cover the whole virtual screen and follow its size changes; otherwise
    // cover `rect` (virtual-screen coordinates) for good.
    bool coverVirtualScreen = true;
    SurfaceRect rect;
    // Pointer and keyboard go to whatever lies below the window.
    bool clickThrough = true;
    // Without blending, pixels whose alpha is below this are cut away.
    uint8_t opaqueAlphaThreshold = 1;
};

struct OverlayEvents {
    // The window moved or changed size: its surface was reallocated, cleared
    // and must be drawn again.
    bool geometryChanged = false;
    // The connection to the display is gone: the window is dead.
    bool lost = false;
};

// One window, its own display connection and its surface. Not thread-safe:
// create it, drive it and destroy it on one thread.
class OverlayWindow {
  public:
    virtual ~OverlayWindow() = default;
    // Current position and size in virtual-screen coordinates.
    virtual SurfaceRect rect() const = 0;
    // True when windows are blended with per-pixel alpha (compositing
    // manager present when the window was created or last resized).
    virtual bool composited() const = 0;
    virtual DrawingSurface& surface() = 0;
    // Pushes the surface to the screen (and cuts the shape when nothing
    // blends). False when the display refused it.
    virtual bool present() = 0;
    // Maps the window above every other window, without taking focus.
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual bool visible() const = 0;
    // Handles pending display events without blocking: exposures are
    // repainted from the last presented picture, screen changes resize the
    // window (see OverlayEvents), and a mapped window is kept on top.
    virtual OverlayEvents processEvents() = 0;
};

// Creates the window, hidden and cleared to transparent. Null with `error`
// set when the display cannot be reached or refuses the window.
std::unique_ptr<OverlayWindow> createOverlayWindow(const OverlayOptions& options,
                                                   std::string& error,
                                                   const std::string& display = {});

// The virtual screen (the root window) of the display; empty when the
// display cannot be reached.
SurfaceRect virtualScreenRect(const std::string& display = {});

// Whether a compositing manager owns the display's _NET_WM_CM_S<screen>
// selection right now (false when the display cannot be reached).
bool compositorRunning(const std::string& display = {});

}  // namespace kvd::platform
