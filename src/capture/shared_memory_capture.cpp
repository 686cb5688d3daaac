#include "capture/shared_memory_capture.h"

#include <chrono>
#include <limits>
#include <thread>

#include "common/log.h"

namespace kvd {

namespace {

// A mapping shrunk under us by another process reads as zeros from then on
// (the platform layer turns the SIGBUS into zero pages): nothing in it is the
// producer's any more, so the frame is refused and the ladder re-acquires.
bool refuseShrunk(const platform::SharedMemory* m, bool& dead, const char* tag) {
    if (!m || !m->truncated()) return false;
    if (!dead) {
        dead = true;
        logger().error(
            "[{}] mapping shrunk by another process — frame refused, marking capture "
            "dead",
            tag);
    }
    return true;
}

}  // namespace

namespace shm {

int judgeMapping(const uint8_t* region, uint64_t regionBytes, const MappingDescriptor& expected,
                 AcceptedMapping& out) {
    if (!region || regionBytes < kMappingHeaderBytes) return kVerdictTooSmall;
    const auto& h = *reinterpret_cast<const MappingHeader*>(region);
    if (load(h.magic) != kMapMagic) return kVerdictBadMagic;
    if (load(h.version) != kMapVersion) return kVerdictBadVersion;
    if (load(h.mappingState) != kMappingPublished) return kVerdictBadStateOrSlot;
    // One snapshot of the descriptor: every later rule and every later use
    // works on these values, whatever the producer writes meanwhile.
    const MappingDescriptor d = loadDescriptor(h);
    if (d.width == 0 || d.height == 0 || d.width > static_cast<uint32_t>(kMaxSide) ||
        d.height > static_cast<uint32_t>(kMaxSide) || uint64_t{d.stride} < uint64_t{d.width} * 4 ||
        d.stride > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ||
        d.pixelFormat != kPixelFormatBgra)
        return kVerdictBadGeometry;
    if (d.frameBytes < uint64_t{d.height} * d.stride) return kVerdictBadFrameBytes;
    if (!(d == expected)) return kVerdictDescriptorMismatch;
    AcceptedMapping a;
    for (int i = 0; i < kSlotCount; ++i) {
        const uint64_t off = load(h.slots[i].dataOffset);
        const uint64_t size = load(h.slots[i].dataSize);
        if (off < kMappingHeaderBytes || size < d.frameBytes || off > regionBytes ||
            size > regionBytes - off)
            return kVerdictBadStateOrSlot;
        a.dataOffset[i] = off;
    }
    a.width = static_cast<int32_t>(d.width);
    a.height = static_cast<int32_t>(d.height);
    a.stride = static_cast<int32_t>(d.stride);
    a.frameBytes = d.frameBytes;
    out = a;
    return kVerdictAccepted;
}

}  // namespace shm

namespace {

void realSleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

CaptureMonitor singleMonitor(int32_t w, int32_t h) {
    CaptureMonitor m;
    m.index = 0;
    m.width = w;
    m.height = h;
    m.primary = true;
    return m;
}

}  // namespace

// ---------------------------------------------------------------------------
// v1

SharedMemoryCapture::SharedMemoryCapture(SharedMemoryConsumerOptions options)
    : opt_(std::move(options)) {
    if (!opt_.clock) opt_.clock = &SteadyClock::instance();
}

SharedMemoryCapture::~SharedMemoryCapture() = default;

void SharedMemoryCapture::sleepMs(int ms) {
    if (opt_.sleepMs)
        opt_.sleepMs(ms);
    else
        realSleep(ms);
}

std::vector<CaptureMonitor> SharedMemoryCapture::monitors() {
    return {singleMonitor(width_, height_)};
}

bool SharedMemoryCapture::init(int32_t) {
    if (sessionId_.empty()) {
        logger().error("[shm-capture] sessionId not set — call setSessionId() first");
        return false;
    }
    memory_.reset();
    readyEvent_.reset();
    consumedEvent_.reset();
    const std::string suffix = shm::sessionSuffix(sessionId_);
    const std::string name = shm::v1MemoryName(suffix);
    auto opened = platform::openSharedMemory(name, false);
    if (opened.status == platform::ShmStatus::MapFailed) {
        logger().error("[shm-capture] MapViewOfFile failed: {}", opened.error);
        return false;
    }
    if (opened.status != platform::ShmStatus::Ok) {
        logger().error("[shm-capture] OpenFileMapping failed ({}): {} — helper may not be running",
                       opened.error, name);
        return false;
    }
    auto& mem = *opened.memory;
    const uint64_t region = mem.size();
    if (region < shm::kV1HeaderBytes) {
        // Too short to hold even the header: nothing in it can be read.
        logger().error(
            "[shm-capture] header geometry {}x{} does not fit mapped region ({} bytes) — refusing",
            0, 0, region);
        return false;
    }
    const auto& h = *reinterpret_cast<const shm::V1Header*>(mem.data());
    const uint32_t magic = shm::load(h.magic);
    if (magic != shm::kV1Magic) {
        logger().error("[shm-capture] Invalid magic: 0x{:08x} (expected 0x{:08x})", magic,
                       shm::kV1Magic);
        return false;
    }
    const uint32_t w = shm::load(h.width);
    const uint32_t hh = shm::load(h.height);
    const bool sane = w >= 1 && hh >= 1 && w <= static_cast<uint32_t>(shm::kMaxSide) &&
                      hh <= static_cast<uint32_t>(shm::kMaxSide);
    if (!sane || shm::kV1HeaderBytes + uint64_t{w} * hh * 4 > region) {
        logger().error(
            "[shm-capture] header geometry {}x{} does not fit mapped region ({} bytes) — refusing",
            w, hh, region);
        return false;
    }
    width_ = static_cast<int32_t>(w);
    height_ = static_cast<int32_t>(hh);
    memory_ = std::move(opened.memory);
    lastFrameIndex_ = 0;
    lastHeartbeat_ = 0;
    heartbeatSeen_ = false;
    dead_ = false;

    auto ready = platform::openNamedEvent(shm::v1ReadyEventName(suffix));
    auto consumed = platform::openNamedEvent(shm::v1ConsumedEventName(suffix));
    if (!ready.event || !consumed.event)
        logger().warn("[shm-capture] OpenEvent failed ({}), will poll header instead",
                      ready.event ? consumed.error : ready.error);
    readyEvent_ = std::move(ready.event);
    consumedEvent_ = std::move(consumed.event);
    logger().info("[shm-capture] Connected to shared memory: {}x{} shm={}", width_, height_, name);
    return true;
}

CapturedFrame SharedMemoryCapture::captureFrame() {
    CapturedFrame f;
    f.width = width_;
    f.height = height_;
    f.stride = width_ * 4;
    if (!memory_) return f;
    const auto& h = *reinterpret_cast<const shm::V1Header*>(memory_->data());

    const uint64_t hb = shm::load(h.heartbeat);
    const int64_t now = opt_.clock->nowMs();
    if (hb != lastHeartbeat_) {
        lastHeartbeat_ = hb;
        lastHeartbeatChangeAtMs_ = now;
        heartbeatSeen_ = true;
    } else if (heartbeatSeen_ && !dead_ && now - lastHeartbeatChangeAtMs_ > kHeartbeatTimeoutMs) {
        dead_ = true;
        logger().error(
            "[shm-capture] producer heartbeat frozen for {}s — producer gone or stopped "
            "capturing; marking capture dead so the ladder re-acquires",
            kHeartbeatTimeoutMs / 1000);
    }

    if (refuseShrunk(memory_.get(), dead_, "shm-capture")) return f;

    const uint32_t magic = shm::load(h.magic);
    const uint32_t version = shm::load(h.version);
    const uint32_t w = shm::load(h.width);
    const uint32_t hh = shm::load(h.height);
    if (magic != shm::kV1Magic || version != shm::kV1Version || w == 0 || hh == 0 ||
        w != static_cast<uint32_t>(width_) || hh != static_cast<uint32_t>(height_)) {
        logger().warn(
            "[shm-capture] stale/mismatched header (live {}x{} v{} magic 0x{:08x} vs init {}x{}) "
            "— dropping frame",
            w, hh, version, magic, width_, height_);
        return f;
    }

    if (readyEvent_) {
        readyEvent_->wait(100);
    } else if (shm::load(h.frameIndex) == lastFrameIndex_) {
        sleepMs(33);
        if (shm::load(h.frameIndex) == lastFrameIndex_) return f;
    }

    const uint32_t valid = shm::load(h.frameValid);
    const uint64_t index = shm::load(h.frameIndex);
    if (refuseShrunk(memory_.get(), dead_, "shm-capture")) return f;
    if ((valid & 1u) && index != 0 && index != lastFrameIndex_) {
        lastFrameIndex_ = index;
        f.data = memory_->data() + shm::kV1HeaderBytes;
        f.timestampUs = static_cast<int64_t>(shm::load(h.timestampUs));
        f.valid = true;
        if (consumedEvent_) consumedEvent_->set();
    }
    return f;
}

// ---------------------------------------------------------------------------
// v2

SharedMemoryCaptureV2::SharedMemoryCaptureV2(int64_t heartbeatTimeoutMs,
                                             SharedMemoryConsumerOptions options)
    : opt_(std::move(options)), heartbeatTimeoutMs_(heartbeatTimeoutMs) {
    if (!opt_.clock) opt_.clock = &SteadyClock::instance();
}

SharedMemoryCaptureV2::~SharedMemoryCaptureV2() {
    releaseLease();
}

void SharedMemoryCaptureV2::sleepMs(int ms) {
    if (opt_.sleepMs)
        opt_.sleepMs(ms);
    else
        realSleep(ms);
}

shm::Directory* SharedMemoryCaptureV2::dir() const {
    return reinterpret_cast<shm::Directory*>(directory_->data());
}

shm::MappingHeader* SharedMemoryCaptureV2::map() const {
    return reinterpret_cast<shm::MappingHeader*>(mapping_->data());
}

std::vector<CaptureMonitor> SharedMemoryCaptureV2::monitors() {
    return {singleMonitor(width_, height_)};
}

int64_t SharedMemoryCaptureV2::msSinceHeartbeatChange() const {
    return heartbeatSeen_ ? opt_.clock->nowMs() - lastHeartbeatChangeAtMs_ : -1;
}

uint64_t SharedMemoryCaptureV2::overwrittenFrames() const {
    return mapping_ ? shm::load(map()->overwrittenFrames) : 0;
}

bool SharedMemoryCaptureV2::init(int32_t) {
    if (sessionId_.empty()) {
        logger().error("[shm2-capture] sessionId not set — call setSessionId() first");
        return false;
    }
    releaseLease();
    mapping_.reset();
    directory_.reset();
    readyEvent_.reset();
    attachedSeq_ = attachedEpoch_ = attachedGeomGen_ = 0;
    refusedSeq_ = refusedEpoch_ = 0;
    lastFrameSeq_ = 0;
    lastHeartbeat_ = 0;
    heartbeatSeen_ = false;
    dead_ = false;

    suffix_ = shm::sessionSuffix(sessionId_);
    const std::string dirName = shm::v2DirectoryName(suffix_);
    auto opened = platform::openSharedMemory(dirName, false);
    if (opened.status == platform::ShmStatus::MapFailed) {
        logger().error("[shm2-capture] MapViewOfFile(directory) failed: {}", opened.error);
        return false;
    }
    if (opened.status != platform::ShmStatus::Ok) {
        logger().warn("[shm2-capture] OpenFileMapping({}) failed ({}) — no v2 producer", dirName,
                      opened.error);
        return false;
    }
    uint32_t magic = 0, version = 0;
    if (opened.memory->size() >= shm::kDirectoryBytes) {
        const auto& d = *reinterpret_cast<const shm::Directory*>(opened.memory->data());
        magic = shm::load(d.magic);
        version = shm::load(d.version);
    }
    if (opened.memory->size() < shm::kDirectoryBytes || magic != shm::kDirMagic ||
        version != shm::kDirVersion) {
        logger().error(
            "[shm2-capture] directory has foreign layout (magic 0x{:08x} v{}) — refusing", magic,
            version);
        return false;
    }
    directory_ = std::move(opened.memory);

    auto ready = platform::openNamedEvent(shm::v2ReadyEventName(suffix_));
    if (!ready.event)
        logger().warn("[shm2-capture] OpenEvent failed ({}), will poll instead", ready.error);
    readyEvent_ = std::move(ready.event);

    if (attachPublished()) {
        logger().info("[shm2-capture] Connected: {}x{} dir={} mapping=m{}", width_, height_,
                      dirName, attachedSeq_);
        return true;
    }
    logger().warn("[shm2-capture] no mapping published yet — attach deferred to retry");
    directory_.reset();
    readyEvent_.reset();
    return false;
}

bool SharedMemoryCaptureV2::attachPublished() {
    const auto& d = *dir();
    const uint32_t seq = shm::load(d.mappingSeq);
    const uint32_t epoch = shm::load(d.epoch);
    refusedSeq_ = seq;
    refusedEpoch_ = epoch;
    if (seq == 0) return false;
    const shm::MappingDescriptor expected = shm::loadDescriptor(d);
    const std::string name = shm::v2MappingName(suffix_, seq);
    auto opened = platform::openSharedMemory(name, true);
    if (opened.status == platform::ShmStatus::MapFailed) {
        logger().error("[shm2-capture] MapViewOfFile({}) failed: {}", name, opened.error);
        return false;
    }
    if (opened.status != platform::ShmStatus::Ok) {
        logger().warn("[shm2-capture] OpenFileMapping({}) failed: {}", name, opened.error);
        return false;
    }
    shm::AcceptedMapping accepted;
    const int verdict =
        shm::judgeMapping(opened.memory->data(), opened.memory->size(), expected, accepted);
    if (verdict != shm::kVerdictAccepted) {
        logger().warn("[shm2-capture] mapping m{} refused (verdict={}) — will rediscover", seq,
                      verdict);
        return false;
    }
    releaseLease();
    mapping_ = std::move(opened.memory);
    accepted_ = accepted;
    attachedSeq_ = seq;
    attachedEpoch_ = epoch;
    attachedGeomGen_ = expected.geomGen;
    refusedSeq_ = refusedEpoch_ = 0;
    width_ = accepted.width;
    height_ = accepted.height;
    // Every frame of a new mapping is new to us; a restarted producer also
    // counts its frames from 1 again.
    lastFrameSeq_ = 0;
    return true;
}

void SharedMemoryCaptureV2::releaseLease() {
    if (leasedSlot_ >= 0 && mapping_)
        shm::compareExchange(map()->slots[leasedSlot_].slotState, shm::kSlotLeased, shm::kSlotFree);
    leasedSlot_ = -1;
}

void SharedMemoryCaptureV2::releaseFrame(CapturedFrame&) {
    releaseLease();
}

CapturedFrame SharedMemoryCaptureV2::captureFrame() {
    CapturedFrame f;
    f.width = width_;
    f.height = height_;
    f.stride = accepted_.stride;
    if (!directory_) return f;
    releaseLease();

    const auto& d = *dir();
    const uint64_t hb = shm::load(d.heartbeat);
    const int64_t now = opt_.clock->nowMs();
    if (hb != lastHeartbeat_) {
        lastHeartbeat_ = hb;
        lastHeartbeatChangeAtMs_ = now;
        heartbeatSeen_ = true;
    } else if (heartbeatSeen_ && !dead_ && now - lastHeartbeatChangeAtMs_ > heartbeatTimeoutMs_) {
        dead_ = true;
        logger().error(
            "[shm2-capture] producer heartbeat frozen for {}ms — marking capture dead so the "
            "ladder re-acquires",
            heartbeatTimeoutMs_);
    }

    if (refuseShrunk(directory_.get(), dead_, "shm2-capture")) return f;

    const uint32_t seq = shm::load(d.mappingSeq);
    const uint32_t epoch = shm::load(d.epoch);
    const bool moved = seq != attachedSeq_ || epoch != attachedEpoch_;
    const bool knownRefused = seq == refusedSeq_ && epoch == refusedEpoch_;
    if (moved && !knownRefused) attachPublished();
    if (!mapping_) return f;
    f.width = width_;
    f.height = height_;
    f.stride = accepted_.stride;

    if (readyEvent_)
        readyEvent_->wait(100);
    else
        sleepMs(33);

    auto& m = *map();
    // A producer racing us can take the chosen slot back; a bounded number
    // of rounds keeps a hostile one from holding us here.
    for (int round = 0; round < 8; ++round) {
        int best = -1;
        uint64_t bestSeq = lastFrameSeq_;
        for (int i = 0; i < shm::kSlotCount; ++i) {
            if (shm::load(m.slots[i].slotState) != shm::kSlotPublished) continue;
            const uint64_t s = shm::load(m.slots[i].frameSeq);
            if (s > bestSeq) {
                bestSeq = s;
                best = i;
            }
        }
        if (refuseShrunk(mapping_.get(), dead_, "shm2-capture")) return f;
        if (best < 0) return f;
        if (!shm::compareExchange(m.slots[best].slotState, shm::kSlotPublished, shm::kSlotLeased))
            continue;
        leasedSlot_ = best;
        if (refuseShrunk(mapping_.get(), dead_, "shm2-capture")) {
            releaseLease();
            return f;
        }
        // Read again under the lease: the slot may have been refilled between
        // the scan and the exchange.
        lastFrameSeq_ = shm::load(m.slots[best].frameSeq);
        f.data = mapping_->data() + accepted_.dataOffset[best];
        f.timestampUs = static_cast<int64_t>(shm::load(m.slots[best].timestampUs));
        f.valid = true;
        return f;
    }
    return f;
}

}  // namespace kvd
