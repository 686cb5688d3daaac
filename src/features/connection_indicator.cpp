#include "features/connection_indicator.h"

#include <algorithm>
#include <cmath>

#include "common/log.h"

namespace kvd {

IndicatorConfig::Mode IndicatorConfig::modeFromName(const std::string& name) {
    if (name == "view_only") return Mode::ViewOnly;
    if (name == "privacy") return Mode::Privacy;
    return Mode::FullControl;
}

ConnectionIndicator::ConnectionIndicator(OverlayWindowFactory windows, double dpiScale)
    : windows_(std::move(windows)), thickness_(glowThickness(dpiScale)) {}

ConnectionIndicator::~ConnectionIndicator() {
    stop();
}

int32_t ConnectionIndicator::glowThickness(double dpiScale) {
    if (!(dpiScale > 0) || dpiScale > 16) dpiScale = 1.0;
    return static_cast<int32_t>(std::lround(36 * dpiScale));
}

std::vector<uint32_t> ConnectionIndicator::paintGlow(int32_t width, int32_t height,
                                                     int32_t thickness) {
    if (width <= 0 || height <= 0) return {};
    std::vector<uint32_t> px(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    if (thickness <= 0) return px;
    // One alpha per edge distance; the rows only differ in where they read it.
    std::vector<uint32_t> byDistance(static_cast<size_t>(thickness));
    for (int32_t d = 0; d < thickness; ++d) {
        const double f = static_cast<double>(d) / thickness;
        const auto a = static_cast<uint32_t>((1 - f) * (1 - f) * 110);
        byDistance[static_cast<size_t>(d)] =
            (a << 24) | ((a * 80 / 255) << 16) | ((a * 170 / 255) << 8) | a;
    }
    for (int32_t y = 0; y < height; ++y) {
        const int32_t dy = std::min(y, height - 1 - y);
        uint32_t* row = px.data() + static_cast<size_t>(y) * width;
        for (int32_t x = 0; x < width; ++x) {
            const int32_t d = std::min({x, width - 1 - x, dy});
            if (d < thickness)
                row[x] = byDistance[static_cast<size_t>(d)];
            else if (dy >= thickness)
                x = std::max(x, width - thickness - 1);  // skip the middle
        }
    }
    return px;
}

void ConnectionIndicator::show(const IndicatorConfig& config) {
    Observer observer;
    {
        std::lock_guard<std::mutex> lk(mu_);
        config_ = config;
        dirty_ = true;
        observer = observer_;
    }
    if (observer) observer(config);
    if (!config.visible) {
        cv_.notify_all();
        return;
    }
    if (running_.load()) {
        cv_.notify_all();
        return;
    }
    if (thread_.joinable()) thread_.join();
    running_ = true;
    thread_ = std::thread([this] { threadMain(); });
}

bool ConnectionIndicator::updateFromJson(std::string_view text) {
    auto msg = parseJson(text);
    if (!msg) {
        logger().warn("parse error: {}", "malformed JSON");
        return false;
    }
    return updateFromJson(*msg);
}

bool ConnectionIndicator::updateFromJson(const Json& msg) {
    if (!msg.is_object() || jsonString(msg, "type") != "connection_indicator") return false;
    IndicatorConfig c = config();
    c.mode = IndicatorConfig::modeFromName(jsonStringOr(msg, "mode", "full_control"));
    if (auto v = jsonString(msg, "operatorName")) c.operatorName = *v;
    if (auto v = jsonString(msg, "mspName")) c.mspName = *v;
    c.visible = true;
    show(c);
    return true;
}

void ConnectionIndicator::stop() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        running_ = false;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

IndicatorConfig ConnectionIndicator::config() const {
    std::lock_guard<std::mutex> lk(mu_);
    return config_;
}

void ConnectionIndicator::setObserver(Observer observer) {
    std::lock_guard<std::mutex> lk(mu_);
    observer_ = std::move(observer);
}

void ConnectionIndicator::threadMain() {
    try {
        platform::OverlayOptions o;
        o.name = "KelvandrumConnectionIndicator";
        // Without blending the glow becomes a solid frame of its brightest
        // quarter (alpha at least 62 of 110).
        o.opaqueAlphaThreshold = 62;
        std::string error;
        auto win = windows_ ? windows_(o, error) : nullptr;
        if (!win) {
            logger().error("CreateWindowExW(border) failed: {}", error);
            std::lock_guard<std::mutex> lk(mu_);
            running_ = false;
            return;
        }
        while (running_.load()) {
            const auto ev = win->processEvents();
            if (ev.lost) break;
            bool repaint = false, visible = false;
            {
                std::unique_lock<std::mutex> lk(mu_);
                if (ev.geometryChanged) dirty_ = true;
                cv_.wait_for(lk, std::chrono::milliseconds(100),
                             [&] { return dirty_ || !running_.load(); });
                if (!running_.load()) break;
                repaint = dirty_;
                dirty_ = false;
                visible = config_.visible;
            }
            if (!repaint) continue;
            if (!visible) {
                win->hide();
                continue;
            }
            const auto r = win->rect();
            win->surface().putPixels(0, 0, r.width, r.height,
                                     paintGlow(r.width, r.height, thickness_));
            win->present();
            if (!win->visible()) win->show();
        }
    } catch (const std::exception& e) {
        logger().error("[indicator] thread ended: {}", e.what());
    }
    std::lock_guard<std::mutex> lk(mu_);
    running_ = false;
}

}  // namespace kvd
