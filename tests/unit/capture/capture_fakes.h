#pragma once
// Scripted stand-ins for the capture platform interfaces, and a log recorder.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/ringbuffer_sink.h>

#include "platform/desktop_duplication.h"
#include "platform/desktop_probe.h"
#include "platform/displays.h"
#include "platform/pointer.h"
#include "platform/screen_grabber.h"

namespace kvd::test {

class LogRecorder {
  public:
    LogRecorder();
    ~LogRecorder();
    std::vector<std::string> lines() const;
    int count(const std::string& needle) const;
    bool has(const std::string& needle) const { return count(needle) > 0; }

  private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    int oldLevel_;
};

// State shared between a fake and the test that scripts it (the capture owns
// the fake itself).
struct DisplaysState {
    std::vector<platform::MonitorInfo> monitors;
    int32_t primaryWidth = 0, primaryHeight = 0;
    platform::ModeInfo current{1920, 1080, 60, 32};
    std::vector<platform::ModeInfo> modes;
    bool currentFails = false;
    std::vector<platform::ModeInfo> applied;  // every successful applyMode
};

class FakeDisplays : public platform::Displays {
  public:
    explicit FakeDisplays(std::shared_ptr<DisplaysState> s) : s_(std::move(s)) {}
    std::vector<platform::MonitorInfo> monitors() override { return s_->monitors; }
    bool primarySize(int32_t& w, int32_t& h) override {
        w = s_->primaryWidth;
        h = s_->primaryHeight;
        return w > 0;
    }
    bool currentMode(const std::string&, platform::ModeInfo& out) override {
        if (s_->currentFails) return false;
        out = s_->current;
        return true;
    }
    std::vector<platform::ModeInfo> modes(const std::string&) override { return s_->modes; }
    bool applyMode(const std::string&, const platform::ModeInfo& m, int& err) override {
        for (const auto& o : s_->modes)
            if (o.width == m.width && o.height == m.height) {
                s_->current = o;
                s_->applied.push_back(o);
                return true;
            }
        err = 22;
        return false;
    }

  private:
    std::shared_ptr<DisplaysState> s_;
};

struct PointerState {
    bool ok = true;
    int32_t x = 0, y = 0;
    platform::PointerImage image;
    int imageReads = 0;
};

class FakePointer : public platform::Pointer {
  public:
    explicit FakePointer(std::shared_ptr<PointerState> s) : s_(std::move(s)) {}
    bool position(int32_t& x, int32_t& y) override {
        x = s_->x;
        y = s_->y;
        return s_->ok;
    }
    bool image(platform::PointerImage& out) override {
        ++s_->imageReads;
        out = s_->image;
        return s_->ok && s_->image.width > 0;
    }

  private:
    std::shared_ptr<PointerState> s_;
};

// A solid-colour opaque pointer image (premultiplied ARGB).
platform::PointerImage solidPointer(int w, int h, int hotX, int hotY, uint32_t argb,
                                    uint64_t serial = 1);

struct ProbeState {
    std::deque<platform::DesktopProbeResult> script;  // front used, last one repeats
    platform::DesktopProbeResult next() {
        auto r = script.front();
        if (script.size() > 1) script.pop_front();
        return r;
    }
};

class FakeProbe : public platform::DesktopProbe {
  public:
    explicit FakeProbe(std::shared_ptr<ProbeState> s) : s_(std::move(s)) {}
    platform::DesktopProbeResult probe() override { return s_->next(); }

  private:
    std::shared_ptr<ProbeState> s_;
};

platform::DesktopProbeResult desktopOk(const std::string& name = "Default");
platform::DesktopProbeResult desktopFailed(int err = 5);

struct GrabberState {
    bool connectOk = true;
    bool allocateOk = true;
    std::deque<bool> grabScript;  // empty: succeed
    uint32_t fill = 0xff203040;   // BGRA written on each grab (as a little-endian word)
    std::vector<uint8_t> buffer;
    int32_t width = 0, height = 0;
    std::vector<std::pair<int32_t, int32_t>> grabbedAt;
    std::vector<uint8_t> thumb;  // empty: thumbnail fails
};

class FakeGrabber : public platform::ScreenGrabber {
  public:
    explicit FakeGrabber(std::shared_ptr<GrabberState> s) : s_(std::move(s)) {}
    bool connect() override { return s_->connectOk; }
    bool allocate(int32_t w, int32_t h) override;
    uint8_t* buffer() override { return s_->buffer.empty() ? nullptr : s_->buffer.data(); }
    bool grab(int32_t x, int32_t y) override;
    bool thumbnail(int32_t, int32_t, std::vector<uint8_t>& out) override {
        out = s_->thumb;
        return !out.empty();
    }
    int lastError() const override { return 6; }

  private:
    std::shared_ptr<GrabberState> s_;
};

// One scripted acquire result.
struct Acquire {
    platform::AcquireStatus status = platform::AcquireStatus::Timeout;
    platform::DuplicationFrameInfo info;
    std::vector<platform::DuplicationRect> dirty;
    bool dirtyFails = false;
    uint8_t fill = 0;  // every byte of the native surface for an image update
};

struct DuplicationState {
    bool deviceOk = true;
    std::string description = "Fake X server (X11 damage)";
    std::vector<platform::DuplicationOutput> outputs;
    bool duplicateOk = true;
    std::deque<Acquire> script;  // empty: Timeout
    // Advances the test's clock by the acquire timeout, as a real wait would.
    std::function<void(int)> onWait;
    std::vector<uint8_t> surface;
    int32_t pitch = 0;
    int duplicates = 0;
    platform::DuplicationOutput lastDuplicated;
    std::vector<int> timeouts;
    int wakes = 0;
};

class FakeDuplication : public platform::DesktopDuplication {
  public:
    explicit FakeDuplication(std::shared_ptr<DuplicationState> s) : s_(std::move(s)) {}
    bool createDevice(std::string& desc, int& err) override {
        desc = s_->description;
        err = 0x887A0004;
        return s_->deviceOk;
    }
    void wakeDisplay() override { ++s_->wakes; }
    bool enumOutputs(std::vector<platform::DuplicationOutput>& out, int&) override {
        out = s_->outputs;
        return true;
    }
    bool duplicate(const platform::DuplicationOutput& o, int& err) override;
    void releaseDuplication() override {}
    platform::AcquireStatus acquireNextFrame(int timeoutMs, platform::DuplicationFrameInfo& info,
                                             int& err) override;
    bool mapFrame(const uint8_t*& data, int32_t& pitch) override {
        data = s_->surface.data();
        pitch = s_->pitch;
        return !s_->surface.empty();
    }
    bool moveRects(std::vector<platform::DuplicationRect>& out) override {
        out.clear();
        return true;
    }
    bool dirtyRects(std::vector<platform::DuplicationRect>& out) override {
        out = current_.dirty;
        return !current_.dirtyFails;
    }
    void releaseFrame() override {}

  private:
    std::shared_ptr<DuplicationState> s_;
    Acquire current_;
};

Acquire imageFrame(uint8_t fill, std::vector<platform::DuplicationRect> dirty = {});
Acquire statusOnly(platform::AcquireStatus st);

}  // namespace kvd::test
