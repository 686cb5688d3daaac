#include "features/consent.h"

#include <algorithm>
#include <cmath>

#include "common/log.h"

namespace kvd {

using platform::DialogEvent;
using platform::SurfaceRect;
using platform::TextAlign;
using platform::TextStyle;

void Win32ConsentRenderer::Shared::resolve(ConsentResult r) {
    std::lock_guard<std::mutex> lk(mu);
    if (resolved.exchange(true)) return;
    promise.set_value(r);
}

Win32ConsentRenderer::Win32ConsentRenderer(DialogWindowFactory windows, double dpiScale,
                                           const Clock& clock)
    : windows_(std::move(windows)),
      scale_(dpiScale > 0 && dpiScale <= 16 ? dpiScale : 1.0),
      clock_(clock) {}

Win32ConsentRenderer::~Win32ConsentRenderer() {
    cancel();
    if (thread_.joinable()) thread_.join();
}

int32_t Win32ConsentRenderer::scaled(double units, double dpiScale) {
    return static_cast<int32_t>(std::lround(units * dpiScale));
}

Win32ConsentRenderer::Texts Win32ConsentRenderer::texts(const DialogRequest& req,
                                                        int64_t secondsLeft) {
    Texts t;
    t.heading = req.mspName.empty() ? "Remote Support" : req.mspName;
    t.body = (req.technicianName.empty() ? std::string("Your technician") : req.technicianName) +
             " wants to connect to your computer for remote support.";
    t.countdown =
        "Auto-declines in " + std::to_string(std::max<int64_t>(0, secondsLeft)) + " seconds";
    t.footer = "Powered by Kelvandrum";
    return t;
}

std::future<ConsentResult> Win32ConsentRenderer::request(DialogRequest req) {
    std::lock_guard<std::mutex> lk(mu_);
    if (state_ && !state_->resolved.load()) {
        // One dialog at a time: the one showing is left alone.
        std::promise<ConsentResult> refused;
        refused.set_value(ConsentResult{false, false});
        return refused.get_future();
    }
    cancelled_ = false;
    auto st = std::make_shared<Shared>();
    st->req = std::move(req);
    auto future = st->promise.get_future();
    if (thread_.joinable()) thread_.join();
    state_ = st;
    thread_ = std::thread([this, st] { workerMain(st); });
    return future;
}

void Win32ConsentRenderer::cancel() {
    cancelled_ = true;
}

void Win32ConsentRenderer::paint(platform::DrawingSurface& s, const Shared& st,
                                 bool countdownOnly) {
    const auto size = s.size();
    const int32_t w = size.width, h = size.height;
    auto u = [&](double v) { return scaled(v, scale_); };
    const int64_t left = std::max<int64_t>(0, (st.deadlineMs - clock_.nowMs()) / 1000);
    const Texts t = texts(st.req, left);
    const platform::Argb background = platform::rgb(245, 245, 245);
    const SurfaceRect band{u(20), u(150), w - 2 * u(20), u(30)};
    TextStyle body;
    body.pixelHeight = u(16);
    body.color = platform::rgb(180, 60, 60);
    if (countdownOnly) {
        s.fillRect(band, background);
        s.text(band, t.countdown, body);
        return;
    }
    s.clear(background);
    TextStyle heading;
    heading.pixelHeight = u(24);
    heading.bold = true;
    heading.color = platform::rgb(20, 20, 20);
    s.text({u(20), u(20), w - 2 * u(20), u(40)}, t.heading, heading);
    TextStyle wrapped = body;
    wrapped.color = platform::rgb(20, 20, 20);
    wrapped.wrap = true;
    s.text({u(20), u(70), w - 2 * u(20), u(70)}, t.body, wrapped);
    s.text(band, t.countdown, body);
    TextStyle footer;
    footer.pixelHeight = u(12);
    footer.color = platform::rgb(120, 120, 120);
    footer.horizontal = TextAlign::Center;
    footer.vertical = TextAlign::End;
    s.text({u(20), h - u(30), w - 2 * u(20), u(20)}, t.footer, footer);
}

void Win32ConsentRenderer::workerMain(std::shared_ptr<Shared> st) {
    try {
        const int64_t timeout = std::clamp<int64_t>(st->req.timeoutSeconds, 0, 1'000'000'000);
        st->deadlineMs = clock_.nowMs() + timeout * 1000;
        auto u = [&](double v) { return scaled(v, scale_); };
        platform::DialogOptions o;
        o.title = "Remote Support Consent";
        o.className = "KelvandrumConsentDialog";
        o.width = u(500);
        o.height = u(280);
        const SurfaceRect allow{o.width - u(240), o.height - u(80), u(100), u(32)};
        const SurfaceRect deny{o.width - u(130), o.height - u(80), u(100), u(32)};
        o.buttons = {{kAllowId, "&Allow", allow, true}, {kDenyId, "&Deny", deny, false}};
        std::string error;
        auto win = windows_ ? windows_(o, error) : nullptr;
        if (!win) {
            logger().error("workerMain: CreateWindowExW failed err={}", error);
            st->resolve({false, false});
            return;
        }
        paint(win->surface(), *st, false);
        win->present();
        win->show();
        int64_t nextTick = clock_.nowMs() + 1000;
        while (!st->resolved.load() && !cancelled_.load()) {
            const int64_t wait = std::clamp<int64_t>(nextTick - clock_.nowMs(), 0, 100);
            const DialogEvent ev = win->waitEvent(static_cast<int32_t>(wait));
            switch (ev.kind) {
                case DialogEvent::Kind::ButtonClicked:
                    if (ev.buttonId == kAllowId || ev.buttonId == kDenyId)
                        st->resolve({ev.buttonId == kAllowId, false});
                    break;
                case DialogEvent::Kind::KeyPressed:
                    if (ev.key == 'a') st->resolve({true, false});
                    if (ev.key == 'd' || ev.key == DialogEvent::kEscape)
                        st->resolve({false, false});
                    break;
                case DialogEvent::Kind::CloseRequested:
                case DialogEvent::Kind::WindowGone:
                    st->resolve({false, false});
                    break;
                case DialogEvent::Kind::Nothing:
                    break;
            }
            if (st->resolved.load()) break;
            const int64_t now = clock_.nowMs();
            if (now >= nextTick) {
                nextTick = now + 1000;
                if (now >= st->deadlineMs) {
                    st->resolve({false, true});
                    break;
                }
                paint(win->surface(), *st, true);
                win->present();
            }
        }
        win.reset();
    } catch (const std::exception& e) {
        logger().error("[consent] dialog failed: {}", e.what());
    }
    st->resolve({false, false});
}

ConsentResult ConsentService::request(const DialogRequest& req) {
    ConsentResult result;
    if (renderer_) {
        auto future = renderer_->request(req);
        const auto limit =
            std::chrono::seconds(std::clamp<int64_t>(req.timeoutSeconds, 0, 86400) + 1);
        if (future.wait_for(limit) == std::future_status::ready) {
            result = future.get();
        } else {
            logger().warn("request: watchdog timeout elapsed");
            renderer_->cancel();
            if (future.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready)
                result = future.get();
            else
                result = {false, true};
        }
    }
    if (observer_) observer_(req, result);
    return result;
}

bool consentRequired(const std::vector<std::string>& args,
                     const std::optional<std::string>& envValue) {
    if (std::find(args.begin(), args.end(), "--require-consent") != args.end()) return true;
    if (!envValue || envValue->empty() || *envValue == "0") return false;
    logger().warn(
        "[consent] KELVANDRUM_REQUIRE_CONSENT env-var fallback is DEPRECATED — migrate to "
        "--require-consent CLI flag or the signed Config payload. Environment variables can be "
        "unset by an attacker with RCE on the host.");
    return true;
}

int64_t consentTimeoutSeconds(const std::optional<std::string>& envValue) {
    if (envValue && !envValue->empty() && envValue->size() <= 3 &&
        std::all_of(envValue->begin(), envValue->end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        const int64_t v = std::stoll(*envValue);
        if (v >= 1 && v <= 600) return v;
    }
    return 60;
}

}  // namespace kvd
