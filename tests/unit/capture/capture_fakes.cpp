#include "capture_fakes.h"
#include "support/log_hub.h"

#include <algorithm>
#include <cstring>

#include "common/log.h"

namespace kvd::test {

LogRecorder::LogRecorder() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096)) {
    auto& lg = logger();
    oldLevel_ = static_cast<int>(lg.level());
    sink_->set_pattern("%v");
    kvd::test::attachLogSink(sink_);
    lg.set_level(spdlog::level::trace);
}

LogRecorder::~LogRecorder() {
    auto& lg = logger();
    kvd::test::detachLogSink(sink_);
    lg.set_level(static_cast<spdlog::level::level_enum>(oldLevel_));
}

std::vector<std::string> LogRecorder::lines() const {
    return sink_->last_formatted();
}

int LogRecorder::count(const std::string& needle) const {
    int n = 0;
    for (const auto& l : lines())
        if (l.find(needle) != std::string::npos) ++n;
    return n;
}

platform::PointerImage solidPointer(int w, int h, int hotX, int hotY, uint32_t argb,
                                    uint64_t serial) {
    platform::PointerImage p;
    p.width = w;
    p.height = h;
    p.hotspotX = hotX;
    p.hotspotY = hotY;
    p.serial = serial;
    p.argb.assign(static_cast<size_t>(w) * h, argb);
    return p;
}

platform::DesktopProbeResult desktopOk(const std::string& name) {
    platform::DesktopProbeResult r;
    r.outcome = platform::DesktopProbeResult::Outcome::Ok;
    r.name = name;
    return r;
}

platform::DesktopProbeResult desktopFailed(int err) {
    platform::DesktopProbeResult r;
    r.outcome = platform::DesktopProbeResult::Outcome::AccessDenied;
    r.error = err;
    return r;
}

bool FakeGrabber::allocate(int32_t w, int32_t h) {
    if (!s_->allocateOk) return false;
    s_->width = w;
    s_->height = h;
    s_->buffer.assign(static_cast<size_t>(w) * h * 4, 0);
    return true;
}

bool FakeGrabber::grab(int32_t x, int32_t y) {
    bool ok = true;
    if (!s_->grabScript.empty()) {
        ok = s_->grabScript.front();
        s_->grabScript.pop_front();
    }
    if (!ok) return false;
    s_->grabbedAt.emplace_back(x, y);
    for (size_t i = 0; i + 4 <= s_->buffer.size(); i += 4)
        std::memcpy(&s_->buffer[i], &s_->fill, 4);
    return true;
}

bool FakeDuplication::duplicate(const platform::DuplicationOutput& o, int& err) {
    ++s_->duplicates;
    s_->lastDuplicated = o;
    err = 0x887A0001;
    const bool swapped = o.rotation == 2 || o.rotation == 4;
    const int32_t w = o.right - o.left, h = o.bottom - o.top;
    const int32_t nw = swapped ? h : w, nh = swapped ? w : h;
    s_->pitch = nw * 4;
    s_->surface.assign(static_cast<size_t>(nw) * nh * 4, 0);
    return s_->duplicateOk;
}

platform::AcquireStatus FakeDuplication::acquireNextFrame(int timeoutMs,
                                                          platform::DuplicationFrameInfo& info,
                                                          int& err) {
    s_->timeouts.push_back(timeoutMs);
    current_ = Acquire{};
    if (!s_->script.empty()) {
        current_ = s_->script.front();
        s_->script.pop_front();
    }
    if (current_.status == platform::AcquireStatus::Timeout && s_->onWait) s_->onWait(timeoutMs);
    err = static_cast<int>(0x887A0027);
    info = current_.info;
    if (current_.status == platform::AcquireStatus::Ok && info.imageUpdated)
        std::fill(s_->surface.begin(), s_->surface.end(), current_.fill);
    return current_.status;
}

Acquire imageFrame(uint8_t fill, std::vector<platform::DuplicationRect> dirty) {
    Acquire a;
    a.status = platform::AcquireStatus::Ok;
    a.info.imageUpdated = true;
    a.info.hasMetadata = true;
    a.dirty = std::move(dirty);
    a.fill = fill;
    return a;
}

Acquire statusOnly(platform::AcquireStatus st) {
    Acquire a;
    a.status = st;
    return a;
}

}  // namespace kvd::test
