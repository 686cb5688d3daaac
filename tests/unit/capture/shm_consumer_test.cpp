// The engine's shared-memory consumers against objects crafted in real POSIX
// shared memory, as a misbehaving or hostile producer could leave them.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "capture/shared_memory_capture.h"
#include "capture/shared_memory_layout.h"
#include "capture_fakes.h"
#include "platform/named_event.h"
#include "platform/shared_memory.h"

namespace kvd {
namespace {

using namespace shm;
using test::LogRecorder;

// Eight unique characters (the part that reaches object names) plus a tail
// that must not.
std::string uniqueSession() {
    static unsigned counter = 0;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06x%02x", unsigned(::getpid()) & 0xffffff, ++counter & 0xff);
    return std::string(buf) + "zz";
}

std::unique_ptr<platform::SharedMemory> create(const std::string& name, uint64_t size) {
    auto r = platform::createSharedMemory(name, size);
    EXPECT_EQ(r.status, platform::ShmStatus::Ok) << name;
    return std::move(r.memory);
}

SharedMemoryConsumerOptions manual(ManualClock& clock) {
    SharedMemoryConsumerOptions o;
    o.clock = &clock;
    o.sleepMs = [](int) {};
    return o;
}

TEST(ShmNames, SuffixAndOsNames) {
    EXPECT_EQ(sessionSuffix("0123456789"), "01234567");
    EXPECT_EQ(sessionSuffix("ab"), "ab");
    EXPECT_EQ(v1MemoryName("ab"), "Global\\kelvandrum-shm-ab");
    EXPECT_EQ(v1ReadyEventName("ab"), "Global\\kelvandrum-frame-ready-ab");
    EXPECT_EQ(v1ConsumedEventName("ab"), "Global\\kelvandrum-frame-consumed-ab");
    EXPECT_EQ(v2DirectoryName("ab"), "Global\\kelvandrum-shm2-dir-ab");
    EXPECT_EQ(v2MappingName("ab", 12), "Global\\kelvandrum-shm2-map-ab-m12");
    EXPECT_EQ(v2ReadyEventName("ab"), "Global\\kelvandrum-shm2-ready-ab");
    EXPECT_EQ(platform::sharedObjectName("Global\\kelvandrum-shm-01234567"),
              "/Global.kelvandrum-shm-01234567");
    // Slashes, dots and escapes from a session id cannot form a path or
    // collide with the mapped backslash.
    EXPECT_EQ(platform::sharedObjectName("Global\\kelvandrum-shm-a/.%\\"),
              "/Global.kelvandrum-shm-a%2F%2E%25.");
}

TEST(ShmEvent, AutoResetAcrossHandles) {
    const std::string name = "Global\\kvd-test-event-" + sessionSuffix(uniqueSession());
    auto created = platform::createNamedEvent(name, true, false);
    ASSERT_TRUE(created.event);
    auto opened = platform::openNamedEvent(name);
    ASSERT_TRUE(opened.event);
    EXPECT_TRUE(opened.event->wait(0));   // initially set
    EXPECT_FALSE(opened.event->wait(0));  // consumed
    created.event->set();
    created.event->set();
    EXPECT_TRUE(opened.event->wait(10));
    EXPECT_FALSE(created.event->wait(0));  // two sets are still one signal
    created.event.reset();                 // the creator removes the name
    EXPECT_FALSE(platform::openNamedEvent(name).event);
}

// --- v1 ---------------------------------------------------------------------

struct V1Producer {
    std::string session = uniqueSession();
    std::unique_ptr<platform::SharedMemory> mem;
    V1Header* h = nullptr;

    void make(uint32_t w, uint32_t hgt, uint64_t regionBytes, uint32_t magic = kV1Magic) {
        mem = create(v1MemoryName(sessionSuffix(session)), regionBytes);
        if (regionBytes < sizeof(V1Header)) return;
        h = reinterpret_cast<V1Header*>(mem->data());
        h->magic = magic;
        h->version = 1;
        h->width = w;
        h->height = hgt;
        h->stride = w * 4;
    }
    void publish(uint64_t index, uint64_t ts, uint8_t fill) {
        std::memset(mem->data() + 64, fill, uint64_t{h->width} * h->height * 4);
        h->frameIndex = index;
        h->timestampUs = ts;
        h->frameValid = 1;
    }
};

TEST(ShmCaptureV1, InitVerdicts) {
    struct Case {
        const char* what;
        uint32_t w, h;
        uint64_t region;
        uint32_t magic;
        const char* log;
    };
    const Case cases[] = {
        {"bad magic", 4, 4, 64 + 64, 0x12345678,
         "[shm-capture] Invalid magic: 0x12345678 (expected 0x4b564446)"},
        {"1080p in 4 MB", 1920, 1080, 4u << 20, kV1Magic,
         "[shm-capture] header geometry 1920x1080 does not fit mapped region (4194304 bytes) — "
         "refusing"},
        {"zero width", 0, 4, 4096, kV1Magic, "header geometry 0x4 does not fit"},
        {"too wide", 16385, 1, 1u << 20, kV1Magic, "header geometry 16385x1 does not fit"},
        {"shorter than a header", 0, 0, 32, kV1Magic, "header geometry 0x0 does not fit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogRecorder log;
        V1Producer p;
        p.make(c.w, c.h, c.region, c.magic);
        SharedMemoryCapture cap;
        cap.setSessionId(p.session);
        EXPECT_FALSE(cap.init(-1));
        EXPECT_TRUE(log.has(c.log)) << log.lines().back();
    }
    LogRecorder log;
    SharedMemoryCapture cap;
    EXPECT_FALSE(cap.init(-1));
    EXPECT_TRUE(log.has("[shm-capture] sessionId not set — call setSessionId() first"));
    cap.setSessionId(uniqueSession());
    EXPECT_FALSE(cap.init(-1));
    EXPECT_TRUE(log.has("— helper may not be running"));
}

TEST(ShmCaptureV1, FramesFlowWithEventsAndHeaderMismatchDrops) {
    LogRecorder log;
    V1Producer p;
    p.make(8, 4, 64 + 8 * 4 * 4);
    const auto suffix = sessionSuffix(p.session);
    auto ready = platform::createNamedEvent(v1ReadyEventName(suffix), false, false);
    auto consumed = platform::createNamedEvent(v1ConsumedEventName(suffix), false, false);
    ManualClock clock;
    SharedMemoryCapture cap(manual(clock));
    cap.setSessionId(p.session);
    ASSERT_TRUE(cap.init(-1));
    EXPECT_TRUE(log.has("[shm-capture] Connected to shared memory: 8x4 shm="));
    EXPECT_FALSE(log.has("OpenEvent failed"));
    ASSERT_EQ(cap.monitors().size(), 1u);
    EXPECT_TRUE(cap.monitors()[0].primary);

    EXPECT_FALSE(cap.captureFrame().valid);  // nothing published yet
    p.publish(1, 777, 0xab);
    ready.event->set();
    auto f = cap.captureFrame();
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.data[0], 0xab);
    EXPECT_EQ(f.timestampUs, 777);
    EXPECT_EQ(f.stride, 32);
    EXPECT_TRUE(consumed.event->wait(0));    // the producer learns it was taken
    EXPECT_FALSE(cap.captureFrame().valid);  // same index again
    EXPECT_FALSE(consumed.event->wait(0));

    p.h->width = 16;  // producer changed size under us: v1 does not follow
    p.publish(2, 800, 0xcd);
    EXPECT_FALSE(cap.captureFrame().valid);
    EXPECT_TRUE(
        log.has("[shm-capture] stale/mismatched header (live 16x4 v1 magic 0x4b564446 vs "
                "init 8x4) — dropping frame"));
    p.h->width = 8;
    EXPECT_TRUE(cap.captureFrame().valid);
}

TEST(ShmCaptureV1, PollsWithoutEventsAndDiesOnlyWhenHeartbeatFreezes) {
    LogRecorder log;
    V1Producer p;
    p.make(2, 2, 64 + 16);
    ManualClock clock;
    SharedMemoryCapture cap(manual(clock));
    cap.setSessionId(p.session);
    ASSERT_TRUE(cap.init(-1));
    EXPECT_TRUE(log.has("[shm-capture] OpenEvent failed ("));

    // Alive but never publishing: no frames, no death.
    for (int i = 0; i < 20; ++i) {
        ++p.h->heartbeat;
        clock.advanceMs(1000);
        EXPECT_FALSE(cap.captureFrame().valid);
    }
    EXPECT_FALSE(cap.isDead());
    p.publish(5, 1, 1);
    EXPECT_TRUE(cap.captureFrame().valid);

    // Stops entirely: dead a little after 5 s, not at 5 s.
    clock.advanceMs(5000);
    cap.captureFrame();
    EXPECT_FALSE(cap.isDead());
    clock.advanceMs(1);
    cap.captureFrame();
    EXPECT_TRUE(cap.isDead());
    EXPECT_EQ(log.count("[shm-capture] producer heartbeat frozen for 5s — producer gone or "
                        "stopped capturing; marking capture dead so the ladder re-acquires"),
              1);
}

// --- v2 ---------------------------------------------------------------------

struct V2Producer {
    std::string session = uniqueSession();
    std::string suffix = sessionSuffix(session);
    std::unique_ptr<platform::SharedMemory> dirMem, mapMem;
    Directory* d = nullptr;
    MappingHeader* m = nullptr;
    uint64_t slotStride = 0;

    void makeDirectory(uint32_t magic = kDirMagic, uint32_t version = 1) {
        dirMem = create(v2DirectoryName(suffix), kDirectoryBytes);
        d = reinterpret_cast<Directory*>(dirMem->data());
        d->magic = magic;
        d->version = version;
    }
    // A valid published mapping of w x h with its descriptor in the directory.
    void makeMapping(uint32_t seq, uint32_t w, uint32_t h, uint32_t gen = 1) {
        const uint64_t fb = v2FrameBytes(w, h);
        slotStride = v2SlotStride(fb);
        mapMem = create(v2MappingName(suffix, seq), v2MappingBytes(slotStride));
        m = reinterpret_cast<MappingHeader*>(mapMem->data());
        m->magic = kMapMagic;
        m->version = 2;
        m->mappingOwner = 42;
        m->geomGen = gen;
        m->width = w;
        m->height = h;
        m->stride = w * 4;
        m->pixelFormat = 1;
        m->frameBytes = fb;
        m->mappingState = 3;
        for (int i = 0; i < kSlotCount; ++i) {
            m->slots[i].dataOffset = 320 + i * slotStride;
            m->slots[i].dataSize = fb;
        }
        d->mappingOwner = 42;
        d->geomGen = gen;
        d->width = w;
        d->height = h;
        d->stride = w * 4;
        d->pixelFormat = 1;
        d->frameBytes = fb;
        d->mappingState = 3;
        d->mappingSeq = seq;
    }
    void slot(int i, uint32_t state, uint64_t seq, uint8_t fill = 0) {
        m->slots[i].slotState = state;
        m->slots[i].frameSeq = seq;
        m->slots[i].timestampUs = seq * 1000;
        std::memset(mapMem->data() + m->slots[i].dataOffset, fill, m->frameBytes);
    }
};

TEST(ShmCaptureV2, InitFailures) {
    LogRecorder log;
    {
        SharedMemoryCaptureV2 cap(5000);
        EXPECT_FALSE(cap.init(-1));
        EXPECT_TRUE(log.has("[shm2-capture] sessionId not set — call setSessionId() first"));
        cap.setSessionId(uniqueSession());
        EXPECT_FALSE(cap.init(-1));
        EXPECT_TRUE(log.has("failed (2) — no v2 producer"));
    }
    {
        V2Producer p;
        p.makeDirectory(0x11223344, 1);
        SharedMemoryCaptureV2 cap(5000);
        cap.setSessionId(p.session);
        EXPECT_FALSE(cap.init(-1));
        EXPECT_TRUE(log.has(
            "[shm2-capture] directory has foreign layout (magic 0x11223344 v1) — refusing"));
    }
    {
        V2Producer p;
        p.makeDirectory();
        SharedMemoryCaptureV2 cap(5000);
        cap.setSessionId(p.session);
        EXPECT_FALSE(cap.init(-1));
        EXPECT_TRUE(log.has("[shm2-capture] no mapping published yet — attach deferred to retry"));
        EXPECT_TRUE(log.has("[shm2-capture] OpenEvent failed ("));
    }
}

TEST(ShmCaptureV2, MappingVerdicts) {
    struct Case {
        const char* what;
        int verdict;
        std::function<void(V2Producer&)> spoil;
    };
    const std::vector<Case> cases = {
        {"wrong magic", 2, [](V2Producer& p) { p.m->magic = 0; }},
        {"wrong version", 3, [](V2Producer& p) { p.m->version = 3; }},
        {"not published", 7, [](V2Producer& p) { p.m->mappingState = 1; }},
        {"zero height", 4, [](V2Producer& p) { p.m->height = p.d->height = 0; }},
        {"too wide", 4, [](V2Producer& p) { p.m->width = p.d->width = 16385; }},
        {"stride short", 4, [](V2Producer& p) { p.m->stride = p.d->stride = 4; }},
        {"frameBytes short", 5, [](V2Producer& p) { p.m->frameBytes = p.d->frameBytes = 8; }},
        {"geomGen differs", 6, [](V2Producer& p) { p.m->geomGen = 9; }},
        {"owner differs", 6, [](V2Producer& p) { p.d->mappingOwner = 7; }},
        {"reserved differs", 6, [](V2Producer& p) { p.m->reserved0 = 1; }},
        {"slot inside header", 7, [](V2Producer& p) { p.m->slots[1].dataOffset = 128; }},
        {"slot too small", 7, [](V2Producer& p) { p.m->slots[2].dataSize = 4; }},
        {"slot past end", 7,
         [](V2Producer& p) { p.m->slots[2].dataOffset = p.mapMem->size() + 64; }},
        {"slot overruns end", 7, [](V2Producer& p) { p.m->slots[2].dataOffset += 64; }},
        {"slot size wraps", 7, [](V2Producer& p) { p.m->slots[0].dataSize = ~uint64_t{0}; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogRecorder log;
        V2Producer p;
        p.makeDirectory();
        p.makeMapping(3, 4, 2);
        c.spoil(p);
        SharedMemoryCaptureV2 cap(5000);
        cap.setSessionId(p.session);
        EXPECT_FALSE(cap.init(-1));
        EXPECT_TRUE(log.has("[shm2-capture] mapping m3 refused (verdict=" +
                            std::to_string(c.verdict) + ") — will rediscover"))
            << log.lines().front();
    }
    // A mapping object smaller than its header.
    LogRecorder log;
    V2Producer p;
    p.makeDirectory();
    p.d->mappingSeq = 1;
    auto tiny = create(v2MappingName(p.suffix, 1), 100);
    SharedMemoryCaptureV2 cap(5000);
    cap.setSessionId(p.session);
    EXPECT_FALSE(cap.init(-1));
    EXPECT_TRUE(log.has("mapping m1 refused (verdict=1)"));
}

TEST(ShmCaptureV2, LeasesNewestPublishedAndReleasesOnNextCall) {
    LogRecorder log;
    V2Producer p;
    p.makeDirectory();
    p.makeMapping(1, 4, 2, 5);
    ManualClock clock;
    SharedMemoryCaptureV2 cap(5000, manual(clock));
    cap.setSessionId(p.session);
    ASSERT_TRUE(cap.init(-1));
    EXPECT_TRUE(log.has("[shm2-capture] Connected: 4x2 dir=Global\\kelvandrum-shm2-dir-"));
    EXPECT_EQ(cap.geometryGeneration(), 5u);

    p.slot(0, kSlotPublished, 7, 0x07);
    p.slot(1, kSlotPublished, 8, 0x08);
    p.slot(2, kSlotWriting, 9, 0x09);
    auto f = cap.captureFrame();
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.data[0], 0x08);
    EXPECT_EQ(f.timestampUs, 8000);
    EXPECT_EQ(f.width, 4);
    EXPECT_EQ(f.stride, 16);
    EXPECT_EQ(p.m->slots[1].slotState, kSlotLeased);
    EXPECT_EQ(cap.leasedSlot(), 1);

    // Frame 9 still being written: the lease on 8 ends, nothing new to show.
    EXPECT_FALSE(cap.captureFrame().valid);
    EXPECT_EQ(p.m->slots[1].slotState, kSlotFree);
    EXPECT_EQ(p.m->slots[0].slotState, kSlotPublished);  // 7 is older than what we showed

    p.m->slots[2].slotState = kSlotPublished;
    f = cap.captureFrame();
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.data[0], 0x09);
    cap.releaseFrame(f);
    EXPECT_EQ(p.m->slots[2].slotState, kSlotFree);
    EXPECT_EQ(cap.leasedSlot(), -1);
}

TEST(ShmCaptureV2, OffsetsValidatedAtAttachAreNeverReread) {
    V2Producer p;
    p.makeDirectory();
    p.makeMapping(1, 4, 2);
    ManualClock clock;
    SharedMemoryCaptureV2 cap(5000, manual(clock));
    cap.setSessionId(p.session);
    ASSERT_TRUE(cap.init(-1));
    p.slot(0, kSlotPublished, 1, 0x5a);
    // Hostile rewrite after the attach was judged.
    p.m->slots[0].dataOffset = uint64_t{1} << 40;
    p.m->width = 16384;
    p.m->stride = 1;
    auto f = cap.captureFrame();
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.data[0], 0x5a);
    EXPECT_EQ(f.width, 4);
    EXPECT_EQ(f.stride, 16);
    EXPECT_EQ(f.data[4 * 2 * 4 - 1], 0x5a);
}

TEST(ShmCaptureV2, FollowsNewMappingAndRemembersRefusals) {
    LogRecorder log;
    V2Producer p;
    p.makeDirectory();
    p.makeMapping(1, 4, 2);
    ManualClock clock;
    SharedMemoryCaptureV2 cap(5000, manual(clock));
    cap.setSessionId(p.session);
    ASSERT_TRUE(cap.init(-1));
    p.slot(0, kSlotPublished, 50, 1);
    ASSERT_TRUE(cap.captureFrame().valid);

    // The producer restarts (adopting the directory, counting frames from 1
    // again) and publishes a larger mapping.
    auto old = std::move(p.mapMem);
    p.d->epoch = 1;
    p.makeMapping(2, 8, 2, 1);
    p.slot(0, kSlotPublished, 1, 2);
    auto f = cap.captureFrame();
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(cap.width(), 8);
    EXPECT_EQ(cap.attachedSeq(), 2u);
    EXPECT_EQ(f.data[0], 2);
    EXPECT_EQ(reinterpret_cast<MappingHeader*>(old->data())->slots[0].slotState, kSlotFree);

    // A refused mapping is logged once, not on every frame.
    p.makeMapping(3, 8, 2, 2);
    p.m->magic = 0;
    for (int i = 0; i < 5; ++i) cap.captureFrame();
    EXPECT_EQ(log.count("mapping m3 refused (verdict=2)"), 1);
}

TEST(ShmCaptureV2, HeartbeatDeathAndAge) {
    LogRecorder log;
    V2Producer p;
    p.makeDirectory();
    p.makeMapping(1, 2, 2);
    ManualClock clock;
    SharedMemoryCaptureV2 cap(5000, manual(clock));
    cap.setSessionId(p.session);
    ASSERT_TRUE(cap.init(-1));
    EXPECT_EQ(cap.msSinceHeartbeatChange(), -1);
    p.d->heartbeat = 1;
    cap.captureFrame();
    clock.advanceMs(1200);
    EXPECT_EQ(cap.msSinceHeartbeatChange(), 1200);
    p.m->overwrittenFrames = 4;
    EXPECT_EQ(cap.overwrittenFrames(), 4u);
    clock.advanceMs(3800);  // frozen for exactly the limit
    cap.captureFrame();
    EXPECT_FALSE(cap.isDead());
    clock.advanceMs(1);
    cap.captureFrame();
    EXPECT_TRUE(cap.isDead());
    EXPECT_TRUE(
        log.has("[shm2-capture] producer heartbeat frozen for 5000ms — marking capture "
                "dead so the ladder re-acquires"));
}

}  // namespace
}  // namespace kvd
