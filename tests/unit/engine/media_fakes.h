#pragma once
// Scripted stand-ins for the media pipeline's seams: captures, encoders, the
// frame sink, the peer, the recorder, and a log recorder.
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/ringbuffer_sink.h>

#include "capture/screen_capture.h"
#include "common/log.h"
#include "encode/video_encoder.h"
#include "engine/media_pipeline.h"
#include "support/log_hub.h"

namespace kvd::test {

// Records log lines as "level|message".
class MediaLog {
  public:
    MediaLog() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096)) {
        auto& lg = logger();
        oldLevel_ = lg.level();
        sink_->set_pattern("%l|%v");
        kvd::test::attachLogSink(sink_);
        lg.set_level(spdlog::level::trace);
    }
    ~MediaLog() {
        auto& lg = logger();
        kvd::test::detachLogSink(sink_);
        lg.set_level(oldLevel_);
    }
    std::vector<std::string> lines() const { return sink_->last_formatted(); }
    int count(const std::string& needle) const {
        int n = 0;
        for (const auto& l : lines())
            if (l.find(needle) != std::string::npos) ++n;
        return n;
    }
    bool has(const std::string& needle) const { return count(needle) > 0; }

  private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    spdlog::level::level_enum oldLevel_;
};

// What one capture object does; the test keeps a handle to it.
struct CaptureScript {
    int32_t width = 1920, height = 1080, originX = 0, originY = 0;
    bool initOk = true;
    bool dead = false, starved = false;
    bool frameValid = true;
    int32_t strideDelta = 0;
    std::vector<DirtyRect> dirty;
    bool unchanged = false;
    bool waits = true;                // waitsForChange()
    std::function<void()> onCapture;  // e.g. the time a capture takes
    // Frame size when it differs from the capture size (0: the same).
    int32_t frameWidth = 0, frameHeight = 0;
    bool cursorVisible = false;
    bool cursorChanged = false;
    int32_t cursorW = 0, cursorH = 0, hotX = 0, hotY = 0;
    std::vector<uint8_t> cursorBgra;
    // Observations.
    int inits = 0, captures = 0, releases = 0;
    int32_t initIndex = -99;
    bool overlay = false;
};

class FakeCapture : public ScreenCapture {
  public:
    explicit FakeCapture(std::shared_ptr<CaptureScript> s) : s_(std::move(s)) {}
    bool init(int32_t index) override {
        ++s_->inits;
        s_->initIndex = index;
        return s_->initOk;
    }
    std::vector<CaptureMonitor> monitors() override { return {}; }
    CapturedFrame captureFrame() override {
        ++s_->captures;
        if (s_->onCapture) s_->onCapture();
        CapturedFrame f;
        f.width = s_->frameWidth ? s_->frameWidth : s_->width;
        f.height = s_->frameHeight ? s_->frameHeight : s_->height;
        f.stride = f.width * 4 + s_->strideDelta;
        f.valid = s_->frameValid;
        f.timestampUs = 42;
        f.dirtyRects = s_->dirty;
        f.unchanged = s_->unchanged;
        if (f.valid) {
            // Sized once: long simulated sessions capture thousands of frames.
            pixels_.resize(static_cast<size_t>(std::max(f.stride, 4)) * std::max(f.height, 1));
            f.data = pixels_.data();
        }
        return f;
    }
    void releaseFrame(CapturedFrame&) override { ++s_->releases; }
    int32_t width() const override { return s_->width; }
    int32_t height() const override { return s_->height; }
    bool isDead() const override { return s_->dead; }
    bool diedStarved() const override { return s_->starved; }
    void setCursorOverlay(bool on) override { s_->overlay = on; }
    bool cursorVisible() const override { return s_->cursorVisible; }
    bool takeCursorShapeChanged() override { return std::exchange(s_->cursorChanged, false); }
    int32_t cursorWidth() const override { return s_->cursorW; }
    int32_t cursorHeight() const override { return s_->cursorH; }
    int32_t cursorHotspotX() const override { return s_->hotX; }
    int32_t cursorHotspotY() const override { return s_->hotY; }
    int32_t originX() const override { return s_->originX; }
    int32_t originY() const override { return s_->originY; }
    const std::vector<uint8_t>& cursorShape() const override { return s_->cursorBgra; }
    bool waitsForChange() const override { return s_->waits; }

  private:
    std::shared_ptr<CaptureScript> s_;
    std::vector<uint8_t> pixels_;
};

struct Reconfigure {
    int32_t width, height, fps, kbps, srcW, srcH;
    bool operator==(const Reconfigure&) const = default;
};

struct EncoderState {
    EncoderConfig config;
    bool reconfigureOk = true;
    bool emptyOutput = false;
    std::vector<Reconfigure> reconfigures;
    int keyframeRequests = 0;
    int encodes = 0;
    bool keyPending = true;  // a fresh encoder starts with a keyframe
    std::vector<int32_t> encodeStrides;
    std::function<void()> onEncode;  // e.g. the time an encode takes
    // The changed regions each encode was told of; nullopt: the whole frame.
    std::vector<std::optional<std::vector<DirtyRect>>> regions;
};

class FakeEncoder : public VideoEncoder {
  public:
    explicit FakeEncoder(std::shared_ptr<EncoderState> s) : s_(std::move(s)) {}
    bool init(const EncoderConfig& c) override {
        s_->config = c;
        return true;
    }
    EncodedFrame encode(const uint8_t*, int32_t stride, int64_t ts) override {
        ++s_->encodes;
        s_->encodeStrides.push_back(stride);
        if (s_->onEncode) s_->onEncode();
        s_->regions.push_back(std::exchange(pendingRegions_, std::nullopt));
        EncodedFrame f;
        if (s_->emptyOutput) return f;
        f.data.assign(100, 0xAB);
        f.timestampUs = ts;
        f.keyframe = std::exchange(s_->keyPending, false);
        return f;
    }
    void requestKeyframe() override {
        ++s_->keyframeRequests;
        s_->keyPending = true;
    }
    void setBitrate(int32_t) override {}
    void setFrameRate(int32_t) override {}
    bool reconfigure(int32_t w, int32_t h, int32_t fps, int32_t kbps, int32_t sw,
                     int32_t sh) override {
        s_->reconfigures.push_back({w, h, fps, kbps, sw, sh});
        return s_->reconfigureOk;
    }
    std::string name() const override { return "fake"; }
    void setChangedRegions(const std::vector<DirtyRect>& r) override { pendingRegions_ = r; }

  private:
    std::shared_ptr<EncoderState> s_;
    std::optional<std::vector<DirtyRect>> pendingRegions_;
};

struct SinkState {
    uint64_t buffered = 0;
    // Backlog reported once a frame went out (for the send back-off).
    int64_t bufferedAfterSend = -1;
    bool sendOk = true;
    int sends = 0;
    std::vector<bool> keyframes;
    std::function<void()> onSend;
};

class FakeSink : public FrameSink {
  public:
    explicit FakeSink(std::shared_ptr<SinkState> s) : s_(std::move(s)) {}
    bool sendFrame(const EncodedFrame& f) override {
        ++s_->sends;
        s_->keyframes.push_back(f.keyframe);
        if (s_->onSend) s_->onSend();
        sentSinceSample_ = true;
        return s_->sendOk;
    }
    uint64_t bufferedAmount() const override {
        const bool afterSend = std::exchange(sentSinceSample_, false);
        if (afterSend && s_->bufferedAfterSend >= 0)
            return static_cast<uint64_t>(s_->bufferedAfterSend);
        return s_->buffered;
    }

  private:
    std::shared_ptr<SinkState> s_;
    mutable bool sentSinceSample_ = false;
};

class FakeMediaPeer : public MediaPeer {
  public:
    bool trackOpen = true, controlOpen = true, inputOpen = true;
    std::shared_ptr<SinkState> sink = std::make_shared<SinkState>();
    int sinksMade = 0;
    std::vector<std::string> json;
    std::vector<Bytes> controlBinary, inputBinary;

    bool videoTrackOpen() const override { return trackOpen; }
    std::unique_ptr<FrameSink> makeSink() override {
        ++sinksMade;
        return std::make_unique<FakeSink>(sink);
    }
    bool controlChannelOpen() const override { return controlOpen; }
    bool inputChannelOpen() const override { return inputOpen; }
    void sendControlJson(const std::string& t) override { json.push_back(t); }
    void sendControlBinary(const Bytes& b) override { controlBinary.push_back(b); }
    void sendInputBinary(const Bytes& b) override { inputBinary.push_back(b); }
    int jsonCount(const std::string& text) const {
        return static_cast<int>(std::count(json.begin(), json.end(), text));
    }
};

class FakeRecorder : public RecorderHook {
  public:
    bool isActive = false;
    bool startOk = true;
    int starts = 0;
    std::vector<bool> appendedKeyframes;
    bool active() const override { return isActive; }
    StartResult start() override {
        ++starts;
        isActive = startOk;
        return {startOk, "/tmp/rec.h264"};
    }
    void append(const uint8_t*, size_t, bool key, int64_t) override {
        appendedKeyframes.push_back(key);
    }
};

}  // namespace kvd::test
