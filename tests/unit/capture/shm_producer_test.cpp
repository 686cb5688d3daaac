// The helper's producers on scripted grab fakes, publishing into real POSIX
// shared memory, read back raw and through the engine's consumers.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "capture/shared_memory_capture.h"
#include "capture/shared_memory_layout.h"
#include "capture/shared_memory_producer.h"
#include "capture_fakes.h"

namespace kvd {
namespace {

using namespace shm;
using test::LogRecorder;

std::string uniqueSession() {
    static unsigned counter = 0;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06x%02x", unsigned(::getpid()) & 0xffffff,
                  (++counter + 0x80) & 0xff);
    return buf;
}

struct Rig {
    std::shared_ptr<test::GrabberState> grab = std::make_shared<test::GrabberState>();
    std::shared_ptr<test::DisplaysState> displays = std::make_shared<test::DisplaysState>();
    std::shared_ptr<test::PointerState> pointer = std::make_shared<test::PointerState>();
    std::shared_ptr<test::ProbeState> probe = std::make_shared<test::ProbeState>();
    ManualClock clock;
    std::string session = uniqueSession();
    std::string suffix = sessionSuffix(session);

    Rig(int32_t w = 4, int32_t h = 2) {
        displays->primaryWidth = w;
        displays->primaryHeight = h;
        pointer->ok = false;
        probe->script = {test::desktopOk("Winlogon")};
    }
    ShmProducerPlatform platform() {
        ShmProducerPlatform p;
        p.grabber = std::make_unique<test::FakeGrabber>(grab);
        p.displays = std::make_unique<test::FakeDisplays>(displays);
        p.pointer = std::make_unique<test::FakePointer>(pointer);
        p.probe = std::make_unique<test::FakeProbe>(probe);
        p.clock = &clock;
        p.processId = 4242;
        return p;
    }
    SharedMemoryConsumerOptions consumer() {
        SharedMemoryConsumerOptions o;
        o.clock = &clock;
        o.sleepMs = [](int) {};
        return o;
    }
};

std::unique_ptr<platform::SharedMemory> openRaw(const std::string& name) {
    return platform::openSharedMemory(name, true).memory;
}

// --- v1 ---------------------------------------------------------------------

TEST(ShmProducerV1, PublishesFramesAndNeverPublishesAFailedCapture) {
    LogRecorder log;
    Rig rig;
    rig.grab->fill = 0x11223344;
    SharedMemoryProducer producer(rig.platform());
    ASSERT_TRUE(producer.init(rig.session + "tail"));
    EXPECT_TRUE(log.has("[shm-producer] Initialized: 4x2 shm=Global\\kelvandrum-shm-" + rig.suffix +
                        " total=0KB"));
    auto raw = openRaw(v1MemoryName(rig.suffix));
    ASSERT_TRUE(raw);
    auto& h = *reinterpret_cast<V1Header*>(raw->data());
    EXPECT_EQ(h.magic, kV1Magic);
    EXPECT_EQ(h.stride, 16u);
    EXPECT_EQ(raw->size(), 64u + 32u);

    SharedMemoryCapture cap(rig.consumer());
    cap.setSessionId(rig.session);
    ASSERT_TRUE(cap.init(-1));
    EXPECT_FALSE(log.has("OpenEvent failed"));

    rig.clock.advanceMs(5);
    producer.capturePass();
    auto f = cap.captureFrame();
    ASSERT_TRUE(f.valid);
    uint32_t px;
    std::memcpy(&px, f.data + 28, 4);
    EXPECT_EQ(px, 0x11223344u);
    EXPECT_EQ(f.timestampUs, rig.clock.nowUs());

    // Failing captures leave the frame alone but keep the heartbeat going.
    rig.grab->grabScript = {false, false};
    producer.capturePass();
    rig.probe->script = {test::desktopFailed(5), test::desktopOk()};
    producer.capturePass();
    producer.capturePass();
    EXPECT_EQ(h.frameIndex, 1u);
    EXPECT_EQ(h.heartbeat, 4u);
    EXPECT_FALSE(cap.captureFrame().valid);
    EXPECT_EQ(log.count("failed (err="), 1);  // thinned: the 1st and every 90th
    EXPECT_TRUE(
        log.has("[shm-producer] BitBlt failed (err=6, consecutive=1) — frame NOT "
                "published (consumer sees a stalled frameIndex, not black)"));
    producer.capturePass();
    EXPECT_EQ(h.frameIndex, 2u);
    EXPECT_TRUE(log.has("[shm-producer] capture recovered after 3 failed frames"));
    EXPECT_TRUE(cap.captureFrame().valid);
}

TEST(ShmProducerV1, CopyIsClampedToTrustedGeometry) {
    LogRecorder log;
    Rig rig;
    SharedMemoryProducer producer(rig.platform());
    ASSERT_TRUE(producer.init(rig.session));
    auto raw = openRaw(v1MemoryName(rig.suffix));
    auto& h = *reinterpret_cast<V1Header*>(raw->data());
    h.height = 1000;  // somebody claims a far larger frame
    h.stride = 1 << 20;
    producer.capturePass();
    EXPECT_EQ(h.frameIndex, 1u);
    EXPECT_TRUE(
        log.has("[shm-producer] header geometry mismatch (claimed 4x1000 stride 1048576, "
                "trusted 4x2); clamping copy to 32 bytes"));
    h.height = 1;  // and a smaller one: copy only that much
    h.stride = 16;
    rig.grab->fill = 0x01010101;
    producer.capturePass();
    EXPECT_EQ(raw->data()[64 + 15], 1);
    EXPECT_NE(raw->data()[64 + 16], 1);
}

TEST(ShmProducerV1, InitFailuresLeaveNothingBehind) {
    LogRecorder log;
    {
        Rig rig(0, 0);
        SharedMemoryProducer producer(rig.platform());
        EXPECT_FALSE(producer.init(rig.session));
        EXPECT_TRUE(log.has("[shm-producer] Invalid screen dimensions: 0x0"));
    }
    Rig rig;
    rig.grab->allocateOk = false;
    SharedMemoryProducer producer(rig.platform());
    EXPECT_FALSE(producer.init(rig.session));
    EXPECT_TRUE(log.has("[shm-producer] CreateDIBSection failed: 6"));
    EXPECT_FALSE(openRaw(v1MemoryName(rig.suffix)));
    producer.start();  // nothing to run
    EXPECT_FALSE(producer.isRunning());
}

TEST(ShmProducerV1, StaleObjectOfACrashedProducerIsReplaced) {
    Rig rig;
    auto stale = platform::createSharedMemory(v1MemoryName(rig.suffix), 64).memory;
    SharedMemoryProducer producer(rig.platform());
    ASSERT_TRUE(producer.init(rig.session));
    EXPECT_EQ(openRaw(v1MemoryName(rig.suffix))->size(), 64u + 32u);
}

// --- v2 ---------------------------------------------------------------------

TEST(ShmProducerV2, PublishesMappingAndFramesTheConsumerReads) {
    LogRecorder log;
    Rig rig;
    rig.grab->fill = 0xff0000ff;
    SharedMemoryProducerV2 producer(rig.platform());
    ASSERT_TRUE(producer.init(rig.session));
    EXPECT_TRUE(log.has("[shm2-producer] mapping m1 published: 4x2 geomGen=1 (0 KB)"));
    EXPECT_TRUE(log.has("[shm2-producer] Initialized: dir=Global\\kelvandrum-shm2-dir-" +
                        rig.suffix + " pid=4242 mappingSeq=1"));
    auto dirRaw = openRaw(v2DirectoryName(rig.suffix));
    auto& d = *reinterpret_cast<Directory*>(dirRaw->data());
    EXPECT_EQ(d.magic, kDirMagic);
    EXPECT_EQ(d.producerPid, 4242u);
    EXPECT_EQ(d.mappingSeq, 1u);
    EXPECT_EQ(d.frameBytes, 32u);

    SharedMemoryCaptureV2 cap(5000, rig.consumer());
    cap.setSessionId(rig.session);
    ASSERT_TRUE(cap.init(-1));
    producer.capturePass();
    auto f = cap.captureFrame();
    ASSERT_TRUE(f.valid);
    uint32_t px;
    std::memcpy(&px, f.data, 4);
    EXPECT_EQ(px, 0xff0000ffu);
    EXPECT_EQ(d.heartbeat, 1u);
    EXPECT_EQ(d.producerState, uint32_t{kProducerFlowing});

    // A size change publishes a new mapping, retires the old one, and the
    // consumer follows.
    rig.displays->primaryWidth = 8;
    producer.capturePass();
    EXPECT_EQ(producer.mappingSeq(), 2u);
    EXPECT_EQ(producer.geomGen(), 2u);
    f = cap.captureFrame();
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(cap.width(), 8);
    EXPECT_EQ(cap.geometryGeneration(), 2u);
    producer.capturePass();  // nothing leased in m1 any more: released
    EXPECT_EQ(producer.retiredCount(), 0u);
    EXPECT_FALSE(openRaw(v2MappingName(rig.suffix, 1)));
}

TEST(ShmProducerV2, OverwritesOldestUnreadAndNeverALease) {
    Rig rig;
    SharedMemoryProducerV2 producer(rig.platform());
    ASSERT_TRUE(producer.init(rig.session));
    auto mapRaw = openRaw(v2MappingName(rig.suffix, 1));
    auto& m = *reinterpret_cast<MappingHeader*>(mapRaw->data());
    producer.capturePass();  // frame 1 in slot 0
    ASSERT_TRUE(compareExchange(m.slots[0].slotState, kSlotPublished, kSlotLeased));
    producer.capturePass();  // frame 2 in slot 1
    producer.capturePass();  // frame 3 in slot 2
    producer.capturePass();  // frame 4 overwrites frame 2
    EXPECT_EQ(m.slots[0].slotState, uint32_t{kSlotLeased});
    EXPECT_EQ(m.slots[0].frameSeq, 1u);
    EXPECT_EQ(m.slots[1].frameSeq, 4u);
    EXPECT_EQ(m.slots[2].frameSeq, 3u);
    EXPECT_EQ(m.overwrittenFrames, 1u);
    EXPECT_EQ(m.latestFrameSeq, 4u);

    // Every slot leased or being written: the frame is skipped.
    m.slots[1].slotState = kSlotLeased;
    m.slots[2].slotState = kSlotWriting;
    producer.capturePass();
    EXPECT_EQ(producer.frameSeq(), 4u);
    EXPECT_EQ(m.mappingHeartbeat, 5u);
    m.slots[2].slotState = kSlotPublished;  // leave no writing slot behind
}

TEST(ShmProducerV2, FailingFromTheFirstFrame) {
    LogRecorder log;
    Rig rig;
    rig.probe->script = {test::desktopFailed(5)};
    SharedMemoryProducerV2 producer(rig.platform());
    ASSERT_TRUE(producer.init(rig.session));
    for (int i = 0; i < 3; ++i) producer.capturePass();
    auto dirRaw = openRaw(v2DirectoryName(rig.suffix));
    auto& d = *reinterpret_cast<Directory*>(dirRaw->data());
    auto mapRaw = openRaw(v2MappingName(rig.suffix, 1));
    auto& m = *reinterpret_cast<MappingHeader*>(mapRaw->data());
    EXPECT_EQ(d.producerState, uint32_t{kProducerFailing});
    EXPECT_EQ(d.lastFailedStage, 1u);
    EXPECT_EQ(d.lastError, 5u);
    EXPECT_EQ(d.heartbeat, 3u);
    EXPECT_EQ(d.mappingSeq, 1u);
    for (const auto& s : m.slots) EXPECT_NE(s.slotState, uint32_t{kSlotPublished});
    EXPECT_EQ(log.count("[shm2-producer] capture stage 1 failed (err=5, consecutive="), 1);

    rig.displays->primaryWidth = 0;
    producer.capturePass();
    EXPECT_EQ(d.lastFailedStage, 3u);
    rig.displays->primaryWidth = 4;
    rig.probe->script = {test::desktopOk()};
    producer.capturePass();
    EXPECT_EQ(d.producerState, uint32_t{kProducerFlowing});
    EXPECT_EQ(d.lastFailedStage, 0u);
    EXPECT_TRUE(log.has("[shm2-producer] capture recovered after 4 failed frames"));
}

TEST(ShmProducerV2, LeasedRetiredMappingIsReleasedAfterDeadline) {
    LogRecorder log;
    Rig rig;
    SharedMemoryProducerV2 producer(rig.platform());
    ASSERT_TRUE(producer.init(rig.session));
    SharedMemoryCaptureV2 cap(5000, rig.consumer());
    cap.setSessionId(rig.session);
    ASSERT_TRUE(cap.init(-1));
    producer.capturePass();
    ASSERT_TRUE(cap.captureFrame().valid);  // consumer holds a lease in m1 and stalls
    rig.displays->primaryHeight = 3;
    producer.capturePass();
    EXPECT_EQ(producer.retiredCount(), 1u);
    rig.clock.advanceMs(4999);
    producer.capturePass();
    EXPECT_EQ(producer.retiredCount(), 1u);
    rig.clock.advanceMs(1);
    producer.capturePass();
    EXPECT_EQ(producer.retiredCount(), 0u);
    EXPECT_TRUE(
        log.has("[shm2-producer] retiring mapping with an undrained lease after 5s "
                "deadline (consumer stalled?)"));
}

TEST(ShmProducerV2, RestartAdoptsDirectoryAndSkipsTakenMappingName) {
    LogRecorder log;
    Rig rig;
    auto dir = platform::createSharedMemory(v2DirectoryName(rig.suffix), kDirectoryBytes).memory;
    auto& d = *reinterpret_cast<Directory*>(dir->data());
    d.magic = kDirMagic;
    d.version = 1;
    d.epoch = 6;
    d.mappingSeq = 1;
    // The crashed producer's mapping m1 is still there.
    auto stale = platform::createSharedMemory(v2MappingName(rig.suffix, 1), 4096).memory;
    {
        SharedMemoryProducerV2 producer(rig.platform());
        ASSERT_TRUE(producer.init(rig.session));
        EXPECT_TRUE(log.has("[shm2-producer] adopted existing directory (epoch now 7)"));
        EXPECT_EQ(d.mappingSeq, 2u);
        EXPECT_EQ(d.producerPid, 4242u);
        producer.start();
        producer.stop();
        EXPECT_EQ(d.producerState, uint32_t{kProducerNoFrame});
    }
    EXPECT_EQ(d.producerState, uint32_t{kProducerShutDown});
    EXPECT_FALSE(openRaw(v2MappingName(rig.suffix, 2)));  // creator removed what it made

    // A foreign layout is re-initialised instead of adopted.
    auto foreign = platform::createSharedMemory(v2DirectoryName(rig.suffix), kDirectoryBytes);
    ASSERT_TRUE(foreign.memory);
    SharedMemoryProducerV2 producer(rig.platform());
    ASSERT_TRUE(producer.init(rig.session));
    EXPECT_TRUE(log.has("[shm2-producer] existing directory has foreign layout — re-initializing"));
}

TEST(ShmProducerV2, StartStopAreIdempotentAcrossThreads) {
    LogRecorder log;
    Rig rig;
    SharedMemoryProducerV2 producer(rig.platform());
    ASSERT_TRUE(producer.init(rig.session));
    producer.start();
    producer.start();
    EXPECT_TRUE(producer.isRunning());
    std::thread a([&] { producer.stop(); });
    std::thread b([&] { producer.stop(); });
    a.join();
    b.join();
    producer.stop();
    EXPECT_FALSE(producer.isRunning());
    EXPECT_EQ(log.count("[shm2-producer] Capture thread started"), 1);
    EXPECT_EQ(log.count("[shm2-producer] Capture thread stopped (resources retained)"), 1);
    // Stopping keeps the objects: a consumer still attaches.
    SharedMemoryCaptureV2 cap(5000, rig.consumer());
    cap.setSessionId(rig.session);
    EXPECT_TRUE(cap.init(-1));
}

}  // namespace
}  // namespace kvd
