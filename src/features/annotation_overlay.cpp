#include "features/annotation_overlay.h"

#include <algorithm>
#include <cmath>

#include "common/log.h"

namespace kvd {

namespace {

// Coordinates far off any screen are pulled in before they become integers,
// so that no later arithmetic on them can overflow.
constexpr double kCoordLimit = 1 << 20;

int32_t clampToInt(double v, double lo, double hi) {
    return static_cast<int32_t>(std::clamp(v, lo, hi));
}

std::optional<AnnotationTool> toolFromName(const std::string& name) {
    if (name == "arrow") return AnnotationTool::Arrow;
    if (name == "circle") return AnnotationTool::Circle;
    if (name == "rectangle" || name == "rect") return AnnotationTool::Rectangle;
    if (name == "freehand") return AnnotationTool::Freehand;
    if (name == "text") return AnnotationTool::Text;
    if (name == "pointer") return AnnotationTool::Pointer;
    return std::nullopt;
}

const char* toolName(AnnotationTool t) {
    switch (t) {
        case AnnotationTool::Arrow:
            return "arrow";
        case AnnotationTool::Circle:
            return "circle";
        case AnnotationTool::Rectangle:
            return "rectangle";
        case AnnotationTool::Freehand:
            return "freehand";
        case AnnotationTool::Text:
            return "text";
        case AnnotationTool::Pointer:
            return "pointer";
    }
    return "?";
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseColour(const std::string& s, AnnotationStroke& st) {
    if (s.size() != 7 || s[0] != '#') return false;
    uint8_t v[3];
    for (int i = 0; i < 3; ++i) {
        const int hi = hexDigit(s[1 + 2 * i]), lo = hexDigit(s[2 + 2 * i]);
        if (hi < 0 || lo < 0) return false;
        v[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    st.red = v[0];
    st.green = v[1];
    st.blue = v[2];
    return true;
}

// Thin a warning that a flood of messages would repeat.
bool thinned(std::atomic<uint64_t>& counter) {
    const uint64_t n = counter++;
    return n == 0 || n % 100 == 0;
}
std::atomic<uint64_t> gStrokeDrops{0};
std::atomic<uint64_t> gPointDrops{0};

}  // namespace

AnnotationOverlay::AnnotationOverlay(OverlayWindowFactory windows, ScreenSize screen)
    : windows_(std::move(windows)), screen_(std::move(screen)) {}

AnnotationOverlay::~AnnotationOverlay() {
    stop();
}

int32_t AnnotationOverlay::textHeight(int32_t strokeWidth) {
    return std::max(14, strokeWidth * 6);
}

std::optional<AnnotationStroke> AnnotationOverlay::parseStroke(const Json& msg,
                                                               bool* truncatedPoints) {
    if (truncatedPoints) *truncatedPoints = false;
    if (!msg.is_object() || jsonString(msg, "type") != "annotation_draw") return std::nullopt;
    AnnotationStroke st;
    auto id = jsonString(msg, "id");
    if (!id) return std::nullopt;
    st.id = std::move(*id);
    auto toolText = jsonString(msg, "tool");
    auto tool = toolText ? toolFromName(*toolText) : std::nullopt;
    if (!tool) return std::nullopt;
    st.tool = *tool;
    if (auto c = jsonString(msg, "color")) parseColour(*c, st);
    if (msg.contains("strokeWidth")) {
        auto w = jsonNumber(msg, "strokeWidth");
        if (!w) return std::nullopt;
        st.strokeWidth = clampToInt(*w, 1, 32);
    }
    if (msg.contains("points")) {
        const Json* pts = jsonArray(msg, "points");
        if (!pts) return std::nullopt;
        st.points.reserve(std::min(pts->size(), kMaxPointsPerStroke));
        for (const Json& p : *pts) {
            if (!p.is_array() || p.size() != 2 || !p[0].is_number() || !p[1].is_number())
                return std::nullopt;
            if (st.points.size() == kMaxPointsPerStroke) {
                if (truncatedPoints) *truncatedPoints = true;
                continue;  // still validated, no longer kept
            }
            st.points.emplace_back(clampToInt(p[0].get<double>(), -kCoordLimit, kCoordLimit),
                                   clampToInt(p[1].get<double>(), -kCoordLimit, kCoordLimit));
        }
    }
    if (msg.contains("text")) {
        auto t = jsonString(msg, "text");
        if (!t) return std::nullopt;
        st.text = std::move(*t);
    }
    switch (st.tool) {
        case AnnotationTool::Arrow:
        case AnnotationTool::Circle:
        case AnnotationTool::Rectangle:
            if (st.points.size() < 2) return std::nullopt;
            break;
        case AnnotationTool::Text:
            if (st.text.empty() || st.points.empty()) return std::nullopt;
            break;
        case AnnotationTool::Pointer:
            // Drawn around its first point: without one there is nothing to draw.
            if (st.points.empty()) return std::nullopt;
            break;
        case AnnotationTool::Freehand:
            break;
    }
    return st;
}

bool AnnotationOverlay::drawFromJson(std::string_view text) {
    auto msg = parseJson(text);
    if (!msg) {
        logger().warn("parse error: {}", "malformed JSON");
        logger().warn("[anno] drawFromJson parse failed ({} bytes)", text.size());
        return false;
    }
    return drawFromJson(*msg);
}

bool AnnotationOverlay::drawFromJson(const Json& msg) {
    bool truncated = false;
    auto st = parseStroke(msg, &truncated);
    if (!st) {
        logger().warn("[anno] drawFromJson parse failed ({} bytes)", dumpJson(msg).size());
        return false;
    }
    if (truncated && thinned(gPointDrops))
        logger().warn("[anno] stroke {} has more than {} points — the rest are dropped", st->id,
                      kMaxPointsPerStroke);
    DrawObserver observer;
    size_t total = 0;
    bool dropped = false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (strokes_.size() >= kMaxStrokes) {
            strokes_.erase(strokes_.begin(),
                           strokes_.begin() + static_cast<long>(strokes_.size() - kMaxStrokes + 1));
            dropped = true;
        }
        strokes_.push_back(*st);
        total = strokes_.size();
        dirty_ = true;
        observer = onDraw_;
    }
    if (dropped && thinned(gStrokeDrops))
        logger().warn("[anno] {} strokes kept at most — the oldest is dropped", kMaxStrokes);
    if (observer) observer(*st);
    logger().info("[anno] drawFromJson queued tool={} points={} total={}", toolName(st->tool),
                  st->points.size(), total);
    cv_.notify_all();
    return true;
}

void AnnotationOverlay::clear() {
    ClearObserver observer;
    {
        std::lock_guard<std::mutex> lk(mu_);
        strokes_.clear();
        dirty_ = true;
        observer = onClear_;
    }
    cv_.notify_all();
    if (observer) observer();
}

std::vector<AnnotationStroke> AnnotationOverlay::strokes() const {
    std::lock_guard<std::mutex> lk(mu_);
    return strokes_;
}

void AnnotationOverlay::setObservers(DrawObserver onDraw, ClearObserver onClear) {
    std::lock_guard<std::mutex> lk(mu_);
    onDraw_ = std::move(onDraw);
    onClear_ = std::move(onClear);
}

bool AnnotationOverlay::start() {
    if (running_.load()) return true;
    if (thread_.joinable()) thread_.join();
    const platform::SurfaceRect r = screen_ ? screen_() : platform::SurfaceRect{};
    {
        std::lock_guard<std::mutex> lk(mu_);
        screenWidth_ = r.width;
        screenHeight_ = r.height;
        dirty_ = true;
    }
    logger().info("[anno] start screen={}x{}", r.width, r.height);
    running_ = true;
    thread_ = std::thread([this] { threadMain(); });
    return running_.load();
}

void AnnotationOverlay::stop() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        running_ = false;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lk(mu_);
    strokes_.clear();
}

void AnnotationOverlay::threadMain() {
    try {
        platform::OverlayOptions o;
        o.name = "KelvandrumAnnotationOverlay";
        // Without blending, the soft edges of text would show as fringes.
        o.opaqueAlphaThreshold = 96;
        std::string error;
        auto win = windows_ ? windows_(o, error) : nullptr;
        if (!win) {
            logger().error("[anno] CreateWindowExW failed: {}", error);
            return;
        }
        const auto r = win->rect();
        logger().info("[anno] overlay window created rect={},{},{}x{}", r.x, r.y, r.width,
                      r.height);
        win->surface().clear(0);
        win->present();
        win->show();
        while (running_.load()) {
            const auto ev = win->processEvents();
            if (ev.lost) break;
            std::vector<AnnotationStroke> snapshot;
            bool repaint = false;
            {
                std::unique_lock<std::mutex> lk(mu_);
                if (ev.geometryChanged) {
                    screenWidth_ = win->rect().width;
                    screenHeight_ = win->rect().height;
                    dirty_ = true;
                }
                cv_.wait_for(lk, std::chrono::milliseconds(50),
                             [&] { return dirty_ || !running_.load(); });
                if (!running_.load()) break;
                if (dirty_) {
                    dirty_ = false;
                    repaint = true;
                    snapshot = strokes_;
                }
            }
            if (repaint) {
                paint(win->surface(), snapshot);
                win->present();
                logger().info("[anno] repaint count={}", snapshot.size());
            }
        }
    } catch (const std::exception& e) {
        logger().error("[anno] overlay thread ended: {}", e.what());
    }
}

void AnnotationOverlay::paint(platform::DrawingSurface& s,
                              const std::vector<AnnotationStroke>& strokes) {
    using platform::SurfacePoint;
    using platform::SurfaceRect;
    s.clear(0);
    const auto size = s.size();
    for (const auto& st : strokes) {
        const platform::Argb c = platform::rgb(st.red, st.green, st.blue);
        const int32_t w = st.strokeWidth;
        auto pt = [&](size_t i) { return SurfacePoint{st.points[i].first, st.points[i].second}; };
        auto bounds = [&] {
            const auto a = pt(0), b = pt(1);
            return SurfaceRect{std::min(a.x, b.x), std::min(a.y, b.y), std::abs(a.x - b.x),
                               std::abs(a.y - b.y)};
        };
        switch (st.tool) {
            case AnnotationTool::Arrow: {
                const auto a = pt(0), b = pt(1);
                s.line(a, b, w, c);
                if (a.x == b.x && a.y == b.y) break;
                const double back = std::atan2(double(a.y) - b.y, double(a.x) - b.x);
                for (double side : {-0.45, 0.45}) {
                    const SurfacePoint tip{
                        b.x + static_cast<int32_t>(std::lround(14 * std::cos(back + side))),
                        b.y + static_cast<int32_t>(std::lround(14 * std::sin(back + side)))};
                    s.line(b, tip, w, c);
                }
                break;
            }
            case AnnotationTool::Circle:
                s.strokeEllipse(bounds(), w, c);
                break;
            case AnnotationTool::Rectangle: {
                const auto r = bounds();
                s.polyline({{r.x, r.y},
                            {r.x + r.width, r.y},
                            {r.x + r.width, r.y + r.height},
                            {r.x, r.y + r.height},
                            {r.x, r.y}},
                           w, c);
                break;
            }
            case AnnotationTool::Freehand: {
                std::vector<SurfacePoint> pts;
                pts.reserve(st.points.size());
                for (size_t i = 0; i < st.points.size(); ++i) pts.push_back(pt(i));
                s.polyline(pts, w, c);
                break;
            }
            case AnnotationTool::Text: {
                const auto p = pt(0);
                platform::TextStyle ts;
                ts.pixelHeight = textHeight(w);
                ts.bold = true;
                ts.color = c;
                s.text({p.x, p.y, size.width - p.x, size.height - p.y}, st.text, ts);
                break;
            }
            case AnnotationTool::Pointer: {
                const auto p = pt(0);
                for (int32_t r : {20, 34, 48})
                    s.strokeEllipse({p.x - r, p.y - r, 2 * r, 2 * r}, w, c);
                break;
            }
        }
    }
}

}  // namespace kvd
