#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "common/log.h"
#include "platform/linux/x11_capture_conn.h"
#include "platform/linux/x11_drawing_surface.h"
#include "platform/overlay_window.h"

namespace kvd::platform {

namespace x11 {

// ---- DrawingSurface on a 32-bit ARGB pixmap --------------------------------

namespace {
unsigned long premultiplied(Argb c) {
    const uint32_t a = c >> 24;
    auto ch = [&](int shift) { return (((c >> shift) & 0xFFu) * a + 127) / 255; };
    return (static_cast<unsigned long>(a) << 24) | (ch(16) << 16) | (ch(8) << 8) | ch(0);
}

const char* kFontFamily = "DejaVu Sans";

// Xft keeps process-wide lists (displays, fonts) without locks of its own,
// and each window's thread draws with it: one lock for every Xft call.
std::recursive_mutex& xftLock() {
    static std::recursive_mutex m;
    return m;
}
}  // namespace

bool ArgbVisual::find(Display* dpy) {
    XVisualInfo tpl{};
    tpl.screen = DefaultScreen(dpy);
    tpl.depth = 32;
    tpl.c_class = TrueColor;
    int n = 0;
    XVisualInfo* infos =
        XGetVisualInfo(dpy, VisualScreenMask | VisualDepthMask | VisualClassMask, &tpl, &n);
    for (int i = 0; infos && i < n && !visual; ++i) {
        XRenderPictFormat* f = XRenderFindVisualFormat(dpy, infos[i].visual);
        if (f && f->type == PictTypeDirect && f->direct.alphaMask) visual = infos[i].visual;
    }
    if (infos) XFree(infos);
    if (!visual) return false;
    colormap = XCreateColormap(dpy, DefaultRootWindow(dpy), visual, AllocNone);
    return true;
}

X11DrawingSurface::X11DrawingSurface(Display* dpy, const ArgbVisual& vis, int32_t width,
                                     int32_t height)
    : dpy_(dpy), vis_(vis), width_(std::max(1, width)), height_(std::max(1, height)) {
    pixmap_ = XCreatePixmap(dpy_, DefaultRootWindow(dpy_), width_, height_, 32);
    gc_ = XCreateGC(dpy_, pixmap_, 0, nullptr);
    std::lock_guard<std::recursive_mutex> lk(xftLock());
    draw_ = XftDrawCreate(dpy_, pixmap_, vis_.visual, vis_.colormap);
    clear(0);
}

X11DrawingSurface::~X11DrawingSurface() {
    std::lock_guard<std::recursive_mutex> lk(xftLock());
    for (auto& [key, font] : fonts_) XftFontClose(dpy_, font);
    if (draw_) XftDrawDestroy(draw_);
    if (gc_) XFreeGC(dpy_, gc_);
    if (pixmap_) XFreePixmap(dpy_, pixmap_);
}

void X11DrawingSurface::pen(Argb color, int32_t lineWidth) {
    XSetForeground(dpy_, gc_, premultiplied(color));
    XSetLineAttributes(dpy_, gc_, static_cast<unsigned>(std::max(1, lineWidth)), LineSolid,
                       CapRound, JoinRound);
}

void X11DrawingSurface::clear(Argb color) {
    fillRect({0, 0, width_, height_}, color);
}

void X11DrawingSurface::fillRect(const SurfaceRect& r, Argb color) {
    if (r.width <= 0 || r.height <= 0) return;
    pen(color, 1);
    XFillRectangle(dpy_, pixmap_, gc_, r.x, r.y, r.width, r.height);
}

void X11DrawingSurface::strokeRect(const SurfaceRect& r, int32_t lineWidth, Argb color) {
    const int32_t w = std::max(1, lineWidth);
    if (2 * w >= r.width || 2 * w >= r.height) return fillRect(r, color);
    fillRect({r.x, r.y, r.width, w}, color);
    fillRect({r.x, r.y + r.height - w, r.width, w}, color);
    fillRect({r.x, r.y + w, w, r.height - 2 * w}, color);
    fillRect({r.x + r.width - w, r.y + w, w, r.height - 2 * w}, color);
}

void X11DrawingSurface::line(SurfacePoint a, SurfacePoint b, int32_t lineWidth, Argb color) {
    polyline({a, b}, lineWidth, color);
}

namespace {
std::vector<XPoint> toXPoints(const std::vector<SurfacePoint>& points) {
    std::vector<XPoint> out;
    out.reserve(points.size());
    auto s16 = [](int32_t v) { return static_cast<short>(std::clamp(v, -32768, 32767)); };
    for (const auto& p : points) out.push_back({s16(p.x), s16(p.y)});
    return out;
}
}  // namespace

void X11DrawingSurface::polyline(const std::vector<SurfacePoint>& points, int32_t lineWidth,
                                 Argb color) {
    if (points.empty()) return;
    pen(color, lineWidth);
    auto xp = toXPoints(points);
    if (xp.size() == 1) xp.push_back(xp.front());
    // The protocol carries at most 64 Ki points a request; keep well under.
    constexpr size_t kChunk = 16000;
    for (size_t i = 0; i + 1 < xp.size(); i += kChunk - 1) {
        const size_t n = std::min(kChunk, xp.size() - i);
        XDrawLines(dpy_, pixmap_, gc_, xp.data() + i, static_cast<int>(n), CoordModeOrigin);
    }
}

void X11DrawingSurface::strokeEllipse(const SurfaceRect& b, int32_t lineWidth, Argb color) {
    if (b.width < 0 || b.height < 0) return;
    pen(color, lineWidth);
    XDrawArc(dpy_, pixmap_, gc_, b.x, b.y, b.width, b.height, 0, 360 * 64);
}

void X11DrawingSurface::fillEllipse(const SurfaceRect& b, Argb color) {
    if (b.width <= 0 || b.height <= 0) return;
    pen(color, 1);
    XFillArc(dpy_, pixmap_, gc_, b.x, b.y, b.width, b.height, 0, 360 * 64);
}

void X11DrawingSurface::fillPolygon(const std::vector<SurfacePoint>& points, Argb color) {
    if (points.size() < 3) return;
    pen(color, 1);
    auto xp = toXPoints(points);
    XFillPolygon(dpy_, pixmap_, gc_, xp.data(),
                 static_cast<int>(std::min<size_t>(xp.size(), 16000)), Complex, CoordModeOrigin);
}

XftFont* X11DrawingSurface::font(int32_t pixelHeight, bool bold) {
    pixelHeight = std::clamp(pixelHeight, 1, 1000);
    std::lock_guard<std::recursive_mutex> lk(xftLock());
    const int key = pixelHeight * 2 + (bold ? 1 : 0);
    auto it = fonts_.find(key);
    if (it != fonts_.end()) return it->second;
    XftFont* f = XftFontOpen(dpy_, DefaultScreen(dpy_), XFT_FAMILY, XftTypeString, kFontFamily,
                             XFT_PIXEL_SIZE, XftTypeDouble, static_cast<double>(pixelHeight),
                             XFT_WEIGHT, XftTypeInteger, bold ? XFT_WEIGHT_BOLD : XFT_WEIGHT_MEDIUM,
                             XFT_ANTIALIAS, XftTypeBool, True, nullptr);
    if (!f) return nullptr;
    fonts_.emplace(key, f);
    return f;
}

SurfaceSize X11DrawingSurface::measure(XftFont* f, const std::string& utf8) {
    if (!f || utf8.empty()) return {0, f ? f->ascent + f->descent : 0};
    std::lock_guard<std::recursive_mutex> lk(xftLock());
    XGlyphInfo gi{};
    XftTextExtentsUtf8(dpy_, f, reinterpret_cast<const FcChar8*>(utf8.data()),
                       static_cast<int>(utf8.size()), &gi);
    return {gi.xOff, f->ascent + f->descent};
}

SurfaceSize X11DrawingSurface::measureText(const std::string& utf8, int32_t pixelHeight,
                                           bool bold) {
    return measure(font(pixelHeight, bold), utf8);
}

std::vector<std::string> X11DrawingSurface::wrapLines(XftFont* f, const std::string& text,
                                                      int32_t width) {
    std::vector<std::string> lines;
    std::string cur;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t sp = text.find_first_of(" \n", pos);
        if (sp == std::string::npos) sp = text.size();
        const std::string word = text.substr(pos, sp - pos);
        const std::string candidate = cur.empty() ? word : cur + " " + word;
        if (!cur.empty() && measure(f, candidate).width > width) {
            lines.push_back(cur);
            cur = word;
        } else {
            cur = candidate;
        }
        if (sp < text.size() && text[sp] == '\n') {
            lines.push_back(cur);
            cur.clear();
        }
        pos = sp + 1;
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

void X11DrawingSurface::text(const SurfaceRect& box, const std::string& utf8,
                             const TextStyle& style) {
    std::lock_guard<std::recursive_mutex> lk(xftLock());
    XftFont* f = font(style.pixelHeight, style.bold);
    if (!f || utf8.empty() || box.width <= 0 || box.height <= 0) return;
    std::vector<std::string> lines =
        style.wrap ? wrapLines(f, utf8, box.width) : std::vector<std::string>{utf8};
    const int lineHeight = f->ascent + f->descent;
    const int total = lineHeight * static_cast<int>(lines.size());
    auto offset = [](TextAlign a, int space, int used) {
        return a == TextAlign::Start    ? 0
               : a == TextAlign::Center ? (space - used) / 2
                                        : space - used;
    };
    XRectangle clip{0, 0, static_cast<unsigned short>(std::min(box.width, 65535)),
                    static_cast<unsigned short>(std::min(box.height, 65535))};
    XftDrawSetClipRectangles(draw_, box.x, box.y, &clip, 1);
    const uint32_t a = style.color >> 24;
    auto ch16 = [&](int shift) {
        return static_cast<unsigned short>(((style.color >> shift) & 0xFFu) * a * 257 / 255);
    };
    XRenderColor rc{ch16(16), ch16(8), ch16(0), static_cast<unsigned short>(a * 257)};
    XftColor color{};
    XftColorAllocValue(dpy_, vis_.visual, vis_.colormap, &rc, &color);
    int y = box.y + offset(style.vertical, box.height, total);
    for (const auto& l : lines) {
        const int w = measure(f, l).width;
        const int x = box.x + offset(style.horizontal, box.width, w);
        XftDrawStringUtf8(draw_, &color, f, x, y + f->ascent,
                          reinterpret_cast<const FcChar8*>(l.data()), static_cast<int>(l.size()));
        y += lineHeight;
    }
    XftColorFree(dpy_, vis_.visual, vis_.colormap, &color);
    XftDrawSetClip(draw_, nullptr);
}

void X11DrawingSurface::putPixels(int32_t x, int32_t y, int32_t width, int32_t height,
                                  const std::vector<uint32_t>& px) {
    if (width <= 0 || height <= 0 ||
        px.size() < static_cast<size_t>(width) * static_cast<size_t>(height))
        return;
    // XDestroyImage frees the data, so the image gets its own copy.
    auto* data = static_cast<char*>(malloc(px.size() * 4));
    if (!data) return;
    memcpy(data, px.data(), static_cast<size_t>(width) * height * 4);
    XImage* img =
        XCreateImage(dpy_, vis_.visual, 32, ZPixmap, 0, data, width, height, 32, width * 4);
    if (!img) {
        free(data);
        return;
    }
    img->byte_order = LSBFirst;  // the vector holds host-order words
    XPutImage(dpy_, pixmap_, gc_, img, 0, 0, x, y, width, height);
    XDestroyImage(img);
}

// ---- Overlay window ---------------------------------------------------------

namespace {

Atom compositorAtom(Display* dpy) {
    const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(dpy));
    return XInternAtom(dpy, name.c_str(), False);
}

bool compositorOwned(Display* dpy) {
    return XGetSelectionOwner(dpy, compositorAtom(dpy)) != None;
}

SurfaceRect rootRect(Display* dpy) {
    Window root = DefaultRootWindow(dpy), r;
    int x, y;
    unsigned w = 0, h = 0, bw, depth;
    if (!XGetGeometry(dpy, root, &r, &x, &y, &w, &h, &bw, &depth)) {
        w = DisplayWidth(dpy, DefaultScreen(dpy));
        h = DisplayHeight(dpy, DefaultScreen(dpy));
    }
    return {0, 0, static_cast<int32_t>(w), static_cast<int32_t>(h)};
}

class X11OverlayWindow final : public OverlayWindow {
  public:
    X11OverlayWindow(OverlayOptions opts, const std::string& display)
        : opts_(std::move(opts)), conn_(display) {}

    ~X11OverlayWindow() override {
        if (!conn_.usable()) {
            // The server is gone, and with it every resource; only free memory.
            surface_.release();
            return;
        }
        destroyNative();
        surface_.reset();
        if (vis_.colormap) XFreeColormap(dpy(), vis_.colormap);
        XFlush(dpy());
    }

    bool init(std::string& error) {
        if (!conn_.ensure()) {
            error = "cannot open display";
            return false;
        }
        Display* d = dpy();
        int ev, err;
        if (!XShapeQueryExtension(d, &ev, &err)) {
            error = "no SHAPE extension";
            return false;
        }
        if (!vis_.find(d)) {
            error = "no 32-bit ARGB visual";
            return false;
        }
        if (XRRQueryExtension(d, &rrEvent_, &err))
            XRRSelectInput(d, DefaultRootWindow(d), RRScreenChangeNotifyMask);
        else
            rrEvent_ = -1;
        if (XFixesQueryExtension(d, &fixesEvent_, &err))
            XFixesSelectSelectionInput(d, DefaultRootWindow(d), compositorAtom(d),
                                       XFixesSetSelectionOwnerNotifyMask |
                                           XFixesSelectionWindowDestroyNotifyMask |
                                           XFixesSelectionClientCloseNotifyMask);
        else
            fixesEvent_ = -1;
        XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
        markerAtom_ = XInternAtom(d, "_KVD_OVERLAY", False);
        rect_ = opts_.coverVirtualScreen ? rootRect(d) : opts_.rect;
        rect_.width = std::max(1, rect_.width);
        rect_.height = std::max(1, rect_.height);
        surface_ = std::make_unique<X11DrawingSurface>(d, vis_, rect_.width, rect_.height);
        const unsigned long before = xErrorCount();
        if (!createNative() || !syncAndCheck(d, before)) {
            error = "X error " + std::to_string(lastXErrorCode()) + " creating the window";
            return false;
        }
        return true;
    }

    SurfaceRect rect() const override { return rect_; }
    bool composited() const override { return composited_; }
    DrawingSurface& surface() override { return *surface_; }
    bool visible() const override { return mapped_; }

    bool present() override {
        if (!conn_.usable()) return false;
        Display* d = dpy();
        const unsigned long before = xErrorCount();
        if (composited_) {
            XCopyArea(d, surface_->pixmap(), front_, frontGc_, 0, 0, rect_.width, rect_.height, 0,
                      0);
        } else if (!presentShaped()) {
            return false;
        }
        XCopyArea(d, front_, win_, frontGc_, 0, 0, rect_.width, rect_.height, 0, 0);
        return syncAndCheck(d, before);
    }

    void show() override {
        if (!conn_.usable()) return;
        XMapRaised(dpy(), win_);
        mapped_ = true;
        XFlush(dpy());
    }

    void hide() override {
        if (!conn_.usable()) return;
        XUnmapWindow(dpy(), win_);
        mapped_ = false;
        XFlush(dpy());
    }

    OverlayEvents processEvents() override {
        OverlayEvents out;
        if (!conn_.usable()) {
            out.lost = true;
            return out;
        }
        Display* d = dpy();
        bool restack = false, resize = false, compositorChange = false;
        while (XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == Expose && e.xexpose.window == win_) {
                XCopyArea(d, front_, win_, frontGc_, e.xexpose.x, e.xexpose.y, e.xexpose.width,
                          e.xexpose.height, e.xexpose.x, e.xexpose.y);
            } else if (rrEvent_ >= 0 && e.type == rrEvent_ + RRScreenChangeNotify) {
                XRRUpdateConfiguration(&e);
                resize = true;
            } else if (fixesEvent_ >= 0 && e.type == fixesEvent_ + XFixesSelectionNotify) {
                compositorChange = true;
            } else if ((e.type == MapNotify && e.xmap.window != win_) ||
                       (e.type == ConfigureNotify && e.xconfigure.window != win_)) {
                restack = true;
            }
            if (!conn_.usable()) break;
        }
        if (!conn_.usable()) {
            out.lost = true;
            return out;
        }
        if (resize && opts_.coverVirtualScreen) {
            const SurfaceRect r = rootRect(d);
            if (r.width != rect_.width || r.height != rect_.height) {
                rect_ = r;
                surface_ = std::make_unique<X11DrawingSurface>(d, vis_, rect_.width, rect_.height);
                compositorChange = true;  // rebuild the window at the new size
            }
        }
        if (compositorChange && (compositorOwned(d) != composited_ || resize)) {
            const bool wasMapped = mapped_;
            destroyNative();
            createNative();
            if (wasMapped) show();
            out.geometryChanged = true;
        }
        if (restack && mapped_) keepOnTop();
        XFlush(d);
        return out;
    }

  private:
    Display* dpy() const { return conn_.get(); }

    bool createNative() {
        Display* d = dpy();
        composited_ = compositorOwned(d);
        XSetWindowAttributes a{};
        a.override_redirect = True;
        a.event_mask = ExposureMask;
        a.border_pixel = 0;
        unsigned long mask = CWOverrideRedirect | CWEventMask | CWBorderPixel;
        Visual* visual = CopyFromParent;
        int depth = CopyFromParent;
        if (composited_) {
            a.colormap = vis_.colormap;
            a.background_pixel = 0;
            mask |= CWColormap | CWBackPixel;
            visual = vis_.visual;
            depth = 32;
        } else {
            a.background_pixmap = None;
            mask |= CWBackPixmap;
        }
        win_ = XCreateWindow(d, DefaultRootWindow(d), rect_.x, rect_.y, rect_.width, rect_.height,
                             0, depth, InputOutput, visual, mask, &a);
        if (!win_) return false;
        logger().info("[overlay] {} {}x{}: {}", opts_.name, rect_.width, rect_.height,
                      composited_ ? "per-pixel alpha (a compositing manager runs)"
                                  : "shape cut to the painted pixels (no compositing manager)");
        XStoreName(d, win_, opts_.name.c_str());
        XClassHint hint{const_cast<char*>(opts_.name.c_str()),
                        const_cast<char*>(opts_.name.c_str())};
        XSetClassHint(d, win_, &hint);
        const long one = 1;
        XChangeProperty(d, win_, markerAtom_, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&one), 1);
        if (opts_.clickThrough)
            XShapeCombineRectangles(d, win_, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
        const int frontDepth = composited_ ? 32 : DefaultDepth(d, DefaultScreen(d));
        front_ = XCreatePixmap(d, win_, rect_.width, rect_.height, frontDepth);
        frontGc_ = XCreateGC(d, front_, 0, nullptr);
        XSetForeground(d, frontGc_, 0);
        XFillRectangle(d, front_, frontGc_, 0, 0, rect_.width, rect_.height);
        if (!composited_)  // nothing painted yet: nothing shown
            XShapeCombineRectangles(d, win_, ShapeBounding, 0, 0, nullptr, 0, ShapeSet, Unsorted);
        return true;
    }

    void destroyNative() {
        Display* d = dpy();
        if (frontGc_) XFreeGC(d, frontGc_);
        if (front_) XFreePixmap(d, front_);
        if (win_) XDestroyWindow(d, win_);
        frontGc_ = nullptr;
        front_ = 0;
        win_ = 0;
        mapped_ = false;
    }

    // Without blending: the picture's pixels at or above the threshold are
    // shown opaque in their straight colour; the shape hides everything else.
    bool presentShaped() {
        Display* d = dpy();
        const int w = rect_.width, h = rect_.height;
        XImage* src = XGetImage(d, surface_->pixmap(), 0, 0, w, h, AllPlanes, ZPixmap);
        if (!src) return false;
        Visual* v = DefaultVisual(d, DefaultScreen(d));
        const int depth = DefaultDepth(d, DefaultScreen(d));
        XImage* dst = XCreateImage(d, v, depth, ZPixmap, 0, nullptr, w, h, 32, 0);
        if (!dst) {
            XDestroyImage(src);
            return false;
        }
        dst->data = static_cast<char*>(calloc(static_cast<size_t>(dst->bytes_per_line), h));
        const int maskStride = (w + 7) / 8;
        std::vector<char> mask(static_cast<size_t>(maskStride) * h, 0);
        const bool fast = dst->bits_per_pixel == 32 && v->red_mask == 0xFF0000 &&
                          v->green_mask == 0xFF00 && v->blue_mask == 0xFF &&
                          dst->byte_order == LSBFirst && src->bits_per_pixel == 32;
        const uint32_t threshold = std::max<uint32_t>(1, opts_.opaqueAlphaThreshold);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint32_t p =
                    fast ? reinterpret_cast<const uint32_t*>(src->data + static_cast<size_t>(y) *
                                                                             src->bytes_per_line)[x]
                         : static_cast<uint32_t>(XGetPixel(src, x, y));
                const uint32_t a = p >> 24;
                if (a < threshold) continue;
                mask[static_cast<size_t>(y) * maskStride + x / 8] |=
                    static_cast<char>(1 << (x % 8));
                auto un = [&](int shift) {
                    return std::min<uint32_t>(255, ((p >> shift) & 0xFF) * 255 / a);
                };
                const uint32_t rgbv = (un(16) << 16) | (un(8) << 8) | un(0);
                if (fast)
                    reinterpret_cast<uint32_t*>(dst->data + static_cast<size_t>(y) *
                                                                dst->bytes_per_line)[x] = rgbv;
                else
                    XPutPixel(dst, x, y, rgbv);
            }
        }
        XDestroyImage(src);
        XPutImage(d, front_, frontGc_, dst, 0, 0, 0, 0, w, h);
        XDestroyImage(dst);
        Pixmap bitmap = XCreateBitmapFromData(d, win_, mask.data(), w, h);
        XShapeCombineMask(d, win_, ShapeBounding, 0, 0, bitmap, ShapeSet);
        XFreePixmap(d, bitmap);
        return true;
    }

    // Another top-level window came up above ours: raise again, unless the
    // windows above are all overlays too (two overlays must not fight).
    void keepOnTop() {
        Display* d = dpy();
        Window root, parent, *children = nullptr;
        unsigned n = 0;
        if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n)) return;
        bool foreignAbove = false, seenSelf = false;
        for (unsigned i = 0; i < n; ++i) {
            if (children[i] == win_) {
                seenSelf = true;
                continue;
            }
            if (!seenSelf) continue;
            XWindowAttributes wa;
            if (!XGetWindowAttributes(d, children[i], &wa) || wa.map_state != IsViewable) continue;
            Atom type;
            int format;
            unsigned long items, after;
            unsigned char* prop = nullptr;
            const bool marked =
                XGetWindowProperty(d, children[i], markerAtom_, 0, 1, False, AnyPropertyType, &type,
                                   &format, &items, &after, &prop) == Success &&
                type != None;
            if (prop) XFree(prop);
            if (!marked) {
                foreignAbove = true;
                break;
            }
        }
        if (children) XFree(children);
        if (foreignAbove) XRaiseWindow(d, win_);
    }

    OverlayOptions opts_;
    Connection conn_;
    ArgbVisual vis_;
    std::unique_ptr<X11DrawingSurface> surface_;
    SurfaceRect rect_;
    Window win_ = 0;
    Pixmap front_ = 0;
    GC frontGc_ = nullptr;
    Atom markerAtom_ = None;
    int rrEvent_ = -1, fixesEvent_ = -1;
    bool composited_ = false;
    bool mapped_ = false;
};

}  // namespace

}  // namespace x11

std::unique_ptr<OverlayWindow> createOverlayWindow(const OverlayOptions& options,
                                                   std::string& error, const std::string& display) {
    auto w = std::make_unique<x11::X11OverlayWindow>(options, display);
    if (!w->init(error)) return nullptr;
    return w;
}

SurfaceRect virtualScreenRect(const std::string& display) {
    XDisplayPtr d = openDisplay(display);
    return d ? x11::rootRect(d.get()) : SurfaceRect{};
}

bool compositorRunning(const std::string& display) {
    XDisplayPtr d = openDisplay(display);
    return d && x11::compositorOwned(d.get());
}

}  // namespace kvd::platform
