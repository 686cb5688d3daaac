#include "features/privacy_notice.h"

#include <chrono>
#include <thread>

#include "common/log.h"

namespace kvd {

bool OverlayPrivacyNotice::show(const std::string& text, std::string& error) {
    platform::OverlayOptions o;
    o.name = "Privacy Mode";
    o.coverVirtualScreen = true;
    o.clickThrough = true;
    window_ = windows_ ? windows_(o, error) : nullptr;
    if (!window_) return false;
    text_ = text;
    paint();
    window_->show();
    return true;
}

void OverlayPrivacyNotice::setText(const std::string& text) {
    text_ = text;
    if (window_) paint();
}

void OverlayPrivacyNotice::pump(int ms) {
    if (window_) {
        const auto ev = window_->processEvents();
        if (ev.lost) {
            logger().warn("[privacy] overlay lost its display connection");
            window_.reset();
        } else if (ev.geometryChanged) {
            paint();  // the screen changed size: cover the new one
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void OverlayPrivacyNotice::paint() {
    auto& s = window_->surface();
    s.clear(platform::rgb(0, 0, 0));
    if (!text_.empty()) {
        platform::TextStyle st;
        st.pixelHeight = 32;
        st.color = platform::rgb(200, 200, 200);
        st.horizontal = st.vertical = platform::TextAlign::Center;
        s.text({0, 0, s.size().width, s.size().height}, text_, st);
    }
    window_->present();
}

}  // namespace kvd
