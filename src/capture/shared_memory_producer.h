#pragma once
// The SYSTEM helper's side of the shared-memory frame exchange: producers that
// grab the (secure) desktop and publish it in the v1 and v2 layouts. Neither
// ever waits for the consumer, and a frame that could not be captured is never
// published: the consumer sees a stalled stream, not a black one, while the
// heartbeat keeps saying the producer is alive.
//
//   SharedMemoryProducerV2 producer(":1");   // the display to capture
//   if (producer.init(sessionId)) producer.start();
//   ...
//   producer.stop();   // idempotent; shared objects stay until destruction
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_pixels.h"
#include "capture/shared_memory_layout.h"
#include "common/clock.h"
#include "common/log.h"
#include "platform/desktop_probe.h"
#include "platform/displays.h"
#include "platform/named_event.h"
#include "platform/pointer.h"
#include "platform/screen_grabber.h"
#include "platform/shared_memory.h"

namespace kvd {

struct ShmProducerPlatform {
    std::unique_ptr<platform::ScreenGrabber> grabber;
    std::unique_ptr<platform::Displays> displays;
    std::unique_ptr<platform::Pointer> pointer;
    std::unique_ptr<platform::DesktopProbe> probe;
    const Clock* clock = nullptr;  // null: the steady clock
    uint32_t processId = 0;        // 0: this process's id
};

// The real platform on `display` ("" = the default display).
ShmProducerPlatform realProducerPlatform(const std::string& display);

namespace shm_detail {

// The grab half shared by both producers: input desktop, screen copy,
// pointer. The image lands in the grabber's buffer (width x height, stride
// 4 * width).
class ProducerGrab {
  public:
    struct Result {
        bool ok = false;
        const char* stage = "";
        int error = 0;
    };
    explicit ProducerGrab(ShmProducerPlatform& p) : p_(p) {}
    bool setup(int32_t width, int32_t height, int& error, const char*& stage);
    Result grab(int32_t width, int32_t height);
    const uint8_t* pixels() { return p_.grabber ? p_.grabber->buffer() : nullptr; }
    uint64_t bytes() const { return uint64_t(allocW_) * 4 * allocH_; }

  private:
    void drawPointer(int32_t width, int32_t height);
    ShmProducerPlatform& p_;
    int32_t allocW_ = 0, allocH_ = 0;
    PointerPainter pointerPainter_;
};

// Start/stop of a capture thread, serialised and idempotent.
class CaptureThread {
  public:
    ~CaptureThread() { stop(); }
    // False when it was already running.
    bool start(std::function<void()> pass);
    // False when it was not running.
    bool stop();
    bool running() const { return running_.load(); }

  private:
    std::mutex lifecycle_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace shm_detail

// Protocol v1: one buffer behind a 64-byte header, overwritten every frame.
class SharedMemoryProducer {
  public:
    explicit SharedMemoryProducer(const std::string& display = {});
    explicit SharedMemoryProducer(ShmProducerPlatform platform);
    ~SharedMemoryProducer();
    SharedMemoryProducer(const SharedMemoryProducer&) = delete;
    SharedMemoryProducer& operator=(const SharedMemoryProducer&) = delete;

    bool init(const std::string& sessionId);
    // Both idempotent and safe to call from several threads.
    void start();
    void stop();
    bool isRunning() const { return thread_.running(); }

    // One pass of the capture loop without its pacing (capture, heartbeat).
    // For driving the producer by hand while the thread is not running.
    void capturePass();

    uint64_t frameCounter() const { return frameCounter_; }
    uint64_t consecutiveFailures() const { return consecutiveFailures_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

  private:
    void captureFrame();
    void release();

    ShmProducerPlatform p_;
    shm_detail::ProducerGrab grab_;
    std::unique_ptr<platform::SharedMemory> memory_;
    std::unique_ptr<platform::NamedEvent> readyEvent_;
    std::unique_ptr<platform::NamedEvent> consumedEvent_;
    int32_t width_ = 0, height_ = 0;
    uint64_t frameCounter_ = 0;
    uint64_t consecutiveFailures_ = 0;
    LogThinner mismatchLog_{1, 90};
    shm_detail::CaptureThread thread_;
};

// Protocol v2: a directory naming the current mapping of three slots; a new
// mapping is published on every size change and the old one retired.
class SharedMemoryProducerV2 {
  public:
    static constexpr int64_t kRetireAfterMs = 5000;
    static constexpr int kSeqAttempts = 5;

    explicit SharedMemoryProducerV2(const std::string& display = {});
    explicit SharedMemoryProducerV2(ShmProducerPlatform platform);
    ~SharedMemoryProducerV2();
    SharedMemoryProducerV2(const SharedMemoryProducerV2&) = delete;
    SharedMemoryProducerV2& operator=(const SharedMemoryProducerV2&) = delete;

    bool init(const std::string& sessionId);
    // Both idempotent and safe to call from several threads (the helper's
    // watcher and its bridge watchdog both stop this producer).
    void start();
    void stop();
    bool isRunning() const { return thread_.running(); }

    // One pass of the capture loop without its pacing (capture, heartbeats,
    // retirement). For driving the producer by hand while the thread is not
    // running.
    void capturePass();

    uint32_t mappingSeq() const { return current_.seq; }
    uint32_t geomGen() const { return geomGen_; }
    uint64_t frameSeq() const { return frameSeq_; }
    uint64_t consecutiveFailures() const { return consecutiveFailures_; }
    size_t retiredCount() const { return retired_.size(); }

  private:
    struct Mapping {
        std::unique_ptr<platform::SharedMemory> memory;
        int32_t width = 0, height = 0;
        uint32_t seq = 0;
        uint64_t slotStride = 0;
        uint64_t frameBytes = 0;
    };
    struct Retired {
        Mapping mapping;
        int64_t deadlineMs = 0;
    };

    bool publishMapping(int32_t width, int32_t height);
    void captureFrame();
    void stageFailed(uint32_t stage, int error);
    void retire(bool force);
    void release();
    shm::Directory& dir() { return *reinterpret_cast<shm::Directory*>(directory_->data()); }

    ShmProducerPlatform p_;
    shm_detail::ProducerGrab grab_;
    std::string suffix_;
    std::unique_ptr<platform::SharedMemory> directory_;
    std::unique_ptr<platform::NamedEvent> readyEvent_;
    Mapping current_;
    uint32_t lastSeq_ = 0;
    uint32_t geomGen_ = 0;
    std::vector<Retired> retired_;
    uint64_t frameSeq_ = 0;
    uint64_t consecutiveFailures_ = 0;
    shm_detail::CaptureThread thread_;
};

}  // namespace kvd
