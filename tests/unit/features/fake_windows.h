#pragma once
// Scripted stand-ins for the platform's overlay and dialog windows: the
// surface records what was drawn, the windows count what was asked of them.
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialog_window.h"
#include "platform/overlay_window.h"

namespace kvd::test {

using namespace kvd::platform;

class RecordingSurface final : public DrawingSurface {
  public:
    explicit RecordingSurface(SurfaceSize size = {1920, 1080}) : size_(size) {}
    std::vector<std::string> ops;
    std::vector<uint32_t> pixels;  // last putPixels

    SurfaceSize size() const override { return size_; }
    void clear(Argb c) override { add("clear", c); }
    void fillRect(const SurfaceRect& r, Argb c) override { add("fill", c, rect(r)); }
    void strokeRect(const SurfaceRect& r, int32_t w, Argb c) override {
        add("strokeRect", c, rect(r) + " w" + std::to_string(w));
    }
    void line(SurfacePoint a, SurfacePoint b, int32_t w, Argb c) override {
        add("line", c, pt(a) + "-" + pt(b) + " w" + std::to_string(w));
    }
    void polyline(const std::vector<SurfacePoint>& p, int32_t w, Argb c) override {
        std::string s;
        for (const auto& q : p) s += (s.empty() ? "" : "-") + pt(q);
        add("polyline", c, s + " w" + std::to_string(w));
    }
    void strokeEllipse(const SurfaceRect& b, int32_t w, Argb c) override {
        add("ellipse", c, rect(b) + " w" + std::to_string(w));
    }
    void fillEllipse(const SurfaceRect& b, Argb c) override { add("fillEllipse", c, rect(b)); }
    void fillPolygon(const std::vector<SurfacePoint>&, Argb c) override { add("polygon", c); }
    void text(const SurfaceRect& box, const std::string& t, const TextStyle& st) override {
        add("text", st.color,
            rect(box) + " h" + std::to_string(st.pixelHeight) + (st.bold ? " bold" : "") + " '" +
                t + "'");
    }
    SurfaceSize measureText(const std::string& t, int32_t h, bool) override {
        return {static_cast<int32_t>(t.size()) * h / 2, h};
    }
    void putPixels(int32_t x, int32_t y, int32_t w, int32_t h,
                   const std::vector<uint32_t>& px) override {
        add("pixels", 0, rect({x, y, w, h}));
        pixels = px;
    }

  private:
    static std::string pt(SurfacePoint p) {
        return std::to_string(p.x) + "," + std::to_string(p.y);
    }
    static std::string rect(const SurfaceRect& r) {
        return std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) +
               "x" + std::to_string(r.height);
    }
    void add(const char* op, Argb c, const std::string& args = {}) {
        std::ostringstream s;
        s << op << " " << std::hex << c << std::dec << (args.empty() ? "" : " ") << args;
        ops.push_back(s.str());
    }
    SurfaceSize size_;
};

// Shared between a test and the window its feature thread owns.
struct OverlayProbe {
    std::mutex mu;
    // Read by the test while the feature thread writes them.
    std::atomic<int> created{0}, presents{0}, shows{0}, hides{0};
    std::atomic<bool> visible{false};
    OverlayOptions options;
    std::vector<std::string> lastOps;
    std::vector<uint32_t> lastPixels;
    std::atomic<bool> resizeNext{false};
    SurfaceRect rect{0, 0, 64, 48};
};

class FakeOverlay final : public OverlayWindow {
  public:
    explicit FakeOverlay(OverlayProbe& p) : p_(p), surface_({p.rect.width, p.rect.height}) {}
    SurfaceRect rect() const override {
        std::lock_guard<std::mutex> lk(p_.mu);
        return p_.rect;
    }
    bool composited() const override { return true; }
    DrawingSurface& surface() override { return surface_; }
    bool present() override {
        std::lock_guard<std::mutex> lk(p_.mu);
        ++p_.presents;
        p_.lastOps = surface_.ops;
        p_.lastPixels = surface_.pixels;
        surface_.ops.clear();
        return true;
    }
    void show() override {
        std::lock_guard<std::mutex> lk(p_.mu);
        ++p_.shows;
        p_.visible = true;
    }
    void hide() override {
        std::lock_guard<std::mutex> lk(p_.mu);
        ++p_.hides;
        p_.visible = false;
    }
    bool visible() const override {
        std::lock_guard<std::mutex> lk(p_.mu);
        return p_.visible;
    }
    OverlayEvents processEvents() override {
        OverlayEvents ev;
        if (p_.resizeNext.exchange(false)) {
            std::lock_guard<std::mutex> lk(p_.mu);
            surface_ = RecordingSurface({p_.rect.width, p_.rect.height});
            ev.geometryChanged = true;
        }
        return ev;
    }

  private:
    OverlayProbe& p_;
    RecordingSurface surface_;
};

inline auto fakeOverlays(OverlayProbe& probe, bool fail = false) {
    return [&probe, fail](const OverlayOptions& o,
                          std::string& error) -> std::unique_ptr<OverlayWindow> {
        if (fail) {
            error = "no display";
            return nullptr;
        }
        std::lock_guard<std::mutex> lk(probe.mu);
        ++probe.created;
        probe.options = o;
        return std::make_unique<FakeOverlay>(probe);
    };
}

// Polls until pred holds (feature threads run on their own).
template <typename Pred>
bool eventually(Pred pred, int ms = 3000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

}  // namespace kvd::test
