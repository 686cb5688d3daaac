#pragma once
// The engine's side of the shared-memory frame exchange: ScreenCapture
// backends that read the frames the SYSTEM helper publishes while the secure
// desktop is shown. The memory is written by another process and is treated
// as hostile: every header field is validated before use, and what was
// validated at attach is kept locally instead of being read again.
//
//   auto cap = std::make_unique<SharedMemoryCaptureV2>(5000);
//   cap->setSessionId(sessionId);
//   if (!cap->init(-1)) ...   // retried by the engine every 2 s
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/screen_capture.h"
#include "capture/shared_memory_layout.h"
#include "common/clock.h"
#include "platform/named_event.h"
#include "platform/shared_memory.h"

namespace kvd {

struct SharedMemoryConsumerOptions {
    const Clock* clock = nullptr;      // null: the steady clock
    std::function<void(int)> sleepMs;  // null: really sleep
};

// Protocol v1: one frame buffer behind a 64-byte header.
class SharedMemoryCapture : public ScreenCapture {
  public:
    static constexpr int64_t kHeartbeatTimeoutMs = 5000;

    explicit SharedMemoryCapture(SharedMemoryConsumerOptions options = {});
    ~SharedMemoryCapture() override;

    void setSessionId(const std::string& sessionId) { sessionId_ = sessionId; }
    // The monitor index is ignored: the producer publishes one screen.
    bool init(int32_t monitorIndex) override;
    std::vector<CaptureMonitor> monitors() override;
    CapturedFrame captureFrame() override;
    int32_t width() const override { return width_; }
    int32_t height() const override { return height_; }
    bool isDead() const override { return dead_; }

  private:
    void sleepMs(int ms);

    SharedMemoryConsumerOptions opt_;
    std::string sessionId_;
    int32_t width_ = 0, height_ = 0;
    uint64_t lastFrameIndex_ = 0;
    uint64_t lastHeartbeat_ = 0;
    int64_t lastHeartbeatChangeAtMs_ = 0;
    bool heartbeatSeen_ = false;
    bool dead_ = false;
    std::unique_ptr<platform::SharedMemory> memory_;
    std::unique_ptr<platform::NamedEvent> readyEvent_;
    std::unique_ptr<platform::NamedEvent> consumedEvent_;
};

// Protocol v2: a directory naming the published mapping, which holds three
// frame slots leased by compare-and-exchange on their state word.
class SharedMemoryCaptureV2 : public ScreenCapture {
  public:
    explicit SharedMemoryCaptureV2(int64_t heartbeatTimeoutMs = 5000,
                                   SharedMemoryConsumerOptions options = {});
    ~SharedMemoryCaptureV2() override;

    void setSessionId(const std::string& sessionId) { sessionId_ = sessionId; }
    bool init(int32_t monitorIndex) override;
    std::vector<CaptureMonitor> monitors() override;
    CapturedFrame captureFrame() override;
    void releaseFrame(CapturedFrame& frame) override;
    int32_t width() const override { return width_; }
    int32_t height() const override { return height_; }
    bool isDead() const override { return dead_; }

    // Geometry generation of the attached mapping; 0 when none.
    uint32_t geometryGeneration() const { return mapping_ ? attachedGeomGen_ : 0; }
    // Milliseconds since the directory heartbeat last changed; -1 before the
    // first change.
    int64_t msSinceHeartbeatChange() const;
    // Published frames the producer overwrote unread, from the attached
    // mapping; 0 when none is attached.
    uint64_t overwrittenFrames() const;
    // Sequence number of the attached mapping; 0 when none.
    uint32_t attachedSeq() const { return attachedSeq_; }
    // Slot currently leased; -1 when none.
    int32_t leasedSlot() const { return leasedSlot_; }

  private:
    bool attachPublished();
    void releaseLease();
    void sleepMs(int ms);
    shm::Directory* dir() const;
    shm::MappingHeader* map() const;

    SharedMemoryConsumerOptions opt_;
    int64_t heartbeatTimeoutMs_;
    std::string sessionId_;
    std::string suffix_;
    std::unique_ptr<platform::SharedMemory> directory_;
    std::unique_ptr<platform::SharedMemory> mapping_;
    std::unique_ptr<platform::NamedEvent> readyEvent_;
    uint32_t attachedSeq_ = 0;
    uint32_t attachedEpoch_ = 0;
    uint32_t attachedGeomGen_ = 0;
    // The sequence (and epoch) whose attach last failed: not retried until
    // the directory names something else.
    uint32_t refusedSeq_ = 0;
    uint32_t refusedEpoch_ = 0;
    shm::AcceptedMapping accepted_;
    int32_t width_ = 0, height_ = 0;
    int32_t leasedSlot_ = -1;
    uint64_t lastFrameSeq_ = 0;
    uint64_t lastHeartbeat_ = 0;
    int64_t lastHeartbeatChangeAtMs_ = 0;
    bool heartbeatSeen_ = false;
    bool dead_ = false;
};

}  // namespace kvd
