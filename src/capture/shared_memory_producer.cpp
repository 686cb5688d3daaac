#include "capture/shared_memory_producer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "capture/capture_pixels.h"

namespace kvd {

ShmProducerPlatform realProducerPlatform(const std::string& display) {
    ShmProducerPlatform p;
    p.grabber = platform::createScreenGrabber(display);
    p.displays = platform::createDisplays(display);
    p.pointer = platform::createPointer(display);
    p.probe = platform::createDesktopProbe(display);
    return p;
}

namespace {

constexpr int kPassMs = 33;

void completePlatform(ShmProducerPlatform& p) {
    if (!p.clock) p.clock = &SteadyClock::instance();
    if (!p.processId) p.processId = platform::currentProcessId();
}

bool everyNinetieth(uint64_t n) {
    return n == 1 || n % 90 == 0;
}

}  // namespace

namespace shm_detail {

bool ProducerGrab::setup(int32_t width, int32_t height, int& error, const char*& stage) {
    if (!p_.grabber || !p_.grabber->connect()) {
        stage = "GetDC(NULL)";
        error = p_.grabber ? p_.grabber->lastError() : -1;
        return false;
    }
    if (!p_.grabber->allocate(width, height) || !p_.grabber->buffer()) {
        stage = "CreateDIBSection";
        error = p_.grabber->lastError();
        return false;
    }
    allocW_ = width;
    allocH_ = height;
    return true;
}

ProducerGrab::Result ProducerGrab::grab(int32_t width, int32_t height) {
    Result r;
    if (p_.probe) {
        const auto desk = p_.probe->probe();
        using O = platform::DesktopProbeResult::Outcome;
        if (desk.outcome != O::Ok && desk.outcome != O::Unsupported) {
            r.stage = "input desktop attach";
            r.error = desk.error;
            return r;
        }
    }
    if (!p_.grabber || !p_.grabber->connect()) {
        r.stage = "GetDC(NULL)";
        r.error = p_.grabber ? p_.grabber->lastError() : -1;
        return r;
    }
    if (width != allocW_ || height != allocH_ || !p_.grabber->buffer()) {
        if (!p_.grabber->allocate(width, height) || !p_.grabber->buffer()) {
            allocW_ = allocH_ = 0;
            r.stage = "CreateDIBSection";
            r.error = p_.grabber->lastError();
            return r;
        }
        allocW_ = width;
        allocH_ = height;
    }
    if (!p_.grabber->grab(0, 0)) {
        r.stage = "BitBlt";
        r.error = p_.grabber->lastError();
        return r;
    }
    drawPointer(width, height);
    r.ok = true;
    return r;
}

void ProducerGrab::drawPointer(int32_t width, int32_t height) {
    // The grab never contains the pointer and is refilled every frame, so
    // drawing into it leaves no trail.
    pointerPainter_.paint(p_.pointer.get(), p_.grabber->buffer(), width, height, width * 4, 0, 0);
}

bool CaptureThread::start(std::function<void()> pass) {
    std::lock_guard<std::mutex> lk(lifecycle_);
    if (thread_.joinable()) return false;
    running_ = true;
    thread_ = std::thread([this, pass = std::move(pass)] {
        while (running_.load()) {
            const auto started = std::chrono::steady_clock::now();
            pass();
            std::unique_lock<std::mutex> wl(wakeMutex_);
            wake_.wait_until(wl, started + std::chrono::milliseconds(kPassMs),
                             [this] { return !running_.load(); });
        }
    });
    return true;
}

bool CaptureThread::stop() {
    std::lock_guard<std::mutex> lk(lifecycle_);
    if (!thread_.joinable()) return false;
    {
        std::lock_guard<std::mutex> wl(wakeMutex_);
        running_ = false;
    }
    wake_.notify_all();
    thread_.join();
    return true;
}

}  // namespace shm_detail

// ---------------------------------------------------------------------------
// v1

SharedMemoryProducer::SharedMemoryProducer(const std::string& display)
    : SharedMemoryProducer(realProducerPlatform(display)) {}

SharedMemoryProducer::SharedMemoryProducer(ShmProducerPlatform platform)
    : p_(std::move(platform)), grab_(p_) {
    completePlatform(p_);
}

SharedMemoryProducer::~SharedMemoryProducer() {
    stop();
    release();
}

void SharedMemoryProducer::release() {
    readyEvent_.reset();
    consumedEvent_.reset();
    memory_.reset();
}

bool SharedMemoryProducer::init(const std::string& sessionId) {
    stop();
    release();
    int32_t w = 0, h = 0;
    if (!p_.displays || !p_.displays->primarySize(w, h)) w = h = 0;
    if (w < 1 || h < 1 || w > shm::kMaxSide || h > shm::kMaxSide) {
        logger().error("[shm-producer] Invalid screen dimensions: {}x{}", w, h);
        return false;
    }
    width_ = w;
    height_ = h;
    // Access for every local user is set on the objects themselves when they
    // are created (the POSIX counterpart of the mapping's descriptor).
    const std::string suffix = shm::sessionSuffix(sessionId);
    const std::string name = shm::v1MemoryName(suffix);
    const uint64_t total = shm::kV1HeaderBytes + uint64_t(h) * w * 4;
    auto created = platform::createSharedMemory(name, total);
    if (created.status == platform::ShmStatus::AlreadyExists) {
        // Left behind by a producer that did not end cleanly.
        platform::removeSharedMemory(name);
        created = platform::createSharedMemory(name, total);
    }
    if (created.status == platform::ShmStatus::MapFailed) {
        logger().error("[shm-producer] MapViewOfFile failed: {}", created.error);
        return false;
    }
    if (created.status != platform::ShmStatus::Ok) {
        logger().error("[shm-producer] CreateFileMapping failed: {}", created.error);
        return false;
    }
    memory_ = std::move(created.memory);
    auto& hdr = *reinterpret_cast<shm::V1Header*>(memory_->data());
    shm::store(hdr.version, shm::kV1Version);
    shm::store(hdr.width, uint32_t(w));
    shm::store(hdr.height, uint32_t(h));
    shm::store(hdr.stride, uint32_t(w) * 4);
    shm::store(hdr.reserved0, 0u);
    shm::store(hdr.frameIndex, uint64_t{0});
    shm::store(hdr.timestampUs, uint64_t{0});
    shm::store(hdr.frameValid, 0u);
    // Magic last: a consumer that sees it sees a complete header.
    shm::store(hdr.magic, shm::kV1Magic);

    auto ready = platform::createNamedEvent(shm::v1ReadyEventName(suffix), false, false);
    auto consumed = platform::createNamedEvent(shm::v1ConsumedEventName(suffix), true, false);
    if (!ready.event || !consumed.event) {
        logger().error("[shm-producer] CreateEvent failed: {}",
                       ready.event ? consumed.error : ready.error);
        release();
        return false;
    }
    readyEvent_ = std::move(ready.event);
    consumedEvent_ = std::move(consumed.event);

    int err = 0;
    const char* stage = "";
    if (!grab_.setup(w, h, err, stage)) {
        logger().error("[shm-producer] {} failed: {}", stage, err);
        release();
        return false;
    }
    frameCounter_ = 0;
    consecutiveFailures_ = 0;
    logger().info("[shm-producer] Initialized: {}x{} shm={} total={}KB", w, h, name, total / 1024);
    return true;
}

void SharedMemoryProducer::start() {
    if (!memory_) return;
    if (thread_.start([this] { capturePass(); }))
        logger().info("[shm-producer] Capture thread started");
}

void SharedMemoryProducer::stop() {
    if (thread_.stop()) logger().info("[shm-producer] Capture thread stopped (resources retained)");
}

void SharedMemoryProducer::capturePass() {
    if (!memory_) return;
    captureFrame();
    shm::fetchAdd(reinterpret_cast<shm::V1Header*>(memory_->data())->heartbeat, uint64_t{1});
}

void SharedMemoryProducer::captureFrame() {
    const auto r = grab_.grab(width_, height_);
    if (!r.ok) {
        ++consecutiveFailures_;
        if (everyNinetieth(consecutiveFailures_))
            logger().warn(
                "[shm-producer] {} failed (err={}, consecutive={}) — frame NOT published (consumer "
                "sees a stalled frameIndex, not black)",
                r.stage, r.error, consecutiveFailures_);
        return;
    }
    if (consecutiveFailures_ > 0) {
        logger().info("[shm-producer] capture recovered after {} failed frames",
                      consecutiveFailures_);
        consecutiveFailures_ = 0;
    }
    auto& hdr = *reinterpret_cast<shm::V1Header*>(memory_->data());
    // Anybody who can open the object can write its header; the copy is
    // bounded by the geometry measured at init, whatever the header says.
    const uint32_t claimedH = shm::load(hdr.height);
    const uint32_t claimedW = shm::load(hdr.width);
    const uint32_t claimedStride = shm::load(hdr.stride);
    const uint64_t claimed = uint64_t{claimedH} * claimedStride;
    const uint64_t trusted = uint64_t(height_) * width_ * 4;
    const uint64_t copy = std::min({grab_.bytes(), claimed, trusted});
    if (claimed != trusted && mismatchLog_.shouldLog())
        logger().warn(
            "[shm-producer] header geometry mismatch (claimed {}x{} stride {}, trusted {}x{}); "
            "clamping copy to {} bytes",
            claimedW, claimedH, claimedStride, width_, height_, copy);
    if (copy > 0) std::memcpy(memory_->data() + shm::kV1HeaderBytes, grab_.pixels(), copy);
    shm::store(hdr.frameIndex, ++frameCounter_);
    shm::store(hdr.timestampUs, static_cast<uint64_t>(p_.clock->nowUs()));
    shm::store(hdr.frameValid, 1u);
    readyEvent_->set();
}

// ---------------------------------------------------------------------------
// v2

SharedMemoryProducerV2::SharedMemoryProducerV2(const std::string& display)
    : SharedMemoryProducerV2(realProducerPlatform(display)) {}

SharedMemoryProducerV2::SharedMemoryProducerV2(ShmProducerPlatform platform)
    : p_(std::move(platform)), grab_(p_) {
    completePlatform(p_);
}

SharedMemoryProducerV2::~SharedMemoryProducerV2() {
    stop();
    if (directory_) shm::store(dir().producerState, uint32_t{shm::kProducerShutDown});
    retire(true);
    release();
}

void SharedMemoryProducerV2::release() {
    current_ = Mapping{};
    if (directory_) {
        // The directory may have been adopted rather than created; whoever
        // holds it last removes its name.
        const std::string name = directory_->name();
        directory_.reset();
        platform::removeSharedMemory(name);
    }
    readyEvent_.reset();
}

bool SharedMemoryProducerV2::init(const std::string& sessionId) {
    stop();
    retire(true);
    release();
    suffix_ = shm::sessionSuffix(sessionId);
    const std::string dirName = shm::v2DirectoryName(suffix_);

    auto created = platform::createSharedMemory(dirName, shm::kDirectoryBytes);
    bool adopt = false;
    if (created.status == platform::ShmStatus::AlreadyExists ||
        created.status == platform::ShmStatus::AccessDenied) {
        auto opened = platform::openSharedMemory(dirName, true);
        if (opened.status == platform::ShmStatus::Ok &&
            opened.memory->size() >= shm::kDirectoryBytes) {
            created = std::move(opened);
            adopt = true;
        } else {
            // Not usable as a directory (foreign owner, wrong size): replace.
            platform::removeSharedMemory(dirName);
            created = platform::createSharedMemory(dirName, shm::kDirectoryBytes);
        }
    }
    if (created.status == platform::ShmStatus::MapFailed) {
        logger().error("[shm2-producer] MapViewOfFile(directory) failed: {}", created.error);
        return false;
    }
    if (created.status != platform::ShmStatus::Ok) {
        logger().error("[shm2-producer] CreateFileMapping(directory) failed: {}", created.error);
        return false;
    }
    directory_ = std::move(created.memory);
    auto& d = dir();
    if (adopt && shm::load(d.magic) == shm::kDirMagic && shm::load(d.version) == shm::kDirVersion) {
        shm::store(d.producerPid, p_.processId);
        shm::store(d.mappingSeq, 0u);
        shm::store(d.producerState, uint32_t{shm::kProducerNoFrame});
        shm::store(d.lastFailedStage, 0u);
        shm::store(d.lastError, 0u);
        const uint32_t epoch = shm::fetchAdd(d.epoch, 1u) + 1;
        logger().info("[shm2-producer] adopted existing directory (epoch now {})", epoch);
    } else {
        if (adopt)
            logger().warn(
                "[shm2-producer] existing directory has foreign layout — re-initializing");
        std::memset(directory_->data(), 0, shm::kDirectoryBytes);
        shm::store(d.version, shm::kDirVersion);
        shm::store(d.producerPid, p_.processId);
        shm::store(d.magic, shm::kDirMagic);
    }

    auto ready = platform::createNamedEvent(shm::v2ReadyEventName(suffix_), false, true);
    if (!ready.event) {
        logger().error("[shm2-producer] CreateEvent/OpenEvent(ready) failed: {}", ready.error);
        release();
        return false;
    }
    readyEvent_ = std::move(ready.event);

    int32_t w = 0, h = 0;
    if (!p_.displays || !p_.displays->primarySize(w, h)) w = h = 0;
    if (w <= 0 || h <= 0) {
        logger().warn(
            "[shm2-producer] no geometry at init ({}x{}) — mapping deferred to first frame", w, h);
    } else if (!publishMapping(w, h)) {
        logger().warn(
            "[shm2-producer] initial mapping publish failed — the consumer's 2s retry will pick it "
            "up once the capture loop republishes");
    }
    frameSeq_ = 0;
    consecutiveFailures_ = 0;
    logger().info("[shm2-producer] Initialized: dir={} pid={} mappingSeq={}", dirName, p_.processId,
                  current_.seq);
    return true;
}

bool SharedMemoryProducerV2::publishMapping(int32_t width, int32_t height) {
    if (width < 1 || height < 1 || width > shm::kMaxSide || height > shm::kMaxSide) return false;
    const uint64_t frameBytes = shm::v2FrameBytes(uint32_t(width), uint32_t(height));
    const uint64_t slotStride = shm::v2SlotStride(frameBytes);
    const uint64_t size = shm::v2MappingBytes(slotStride);
    const uint32_t gen = geomGen_ + 1;

    Mapping next;
    for (int attempt = 1; attempt <= kSeqAttempts && !next.memory; ++attempt) {
        const uint32_t seq = lastSeq_ + uint32_t(attempt);
        const std::string name = shm::v2MappingName(suffix_, seq);
        auto created = platform::createSharedMemory(name, size);
        switch (created.status) {
            case platform::ShmStatus::Ok:
                next.memory = std::move(created.memory);
                next.seq = seq;
                break;
            case platform::ShmStatus::AlreadyExists:
            case platform::ShmStatus::AccessDenied:
                break;
            case platform::ShmStatus::MapFailed:
                logger().error("[shm2-producer] MapViewOfFile({}) failed: {}", name, created.error);
                return false;
            default:
                logger().error("[shm2-producer] CreateFileMapping({}) failed: {}", name,
                               created.error);
                return false;
        }
    }
    if (!next.memory) {
        // Step past the taken names, so the next publish tries fresh ones.
        lastSeq_ += kSeqAttempts;
        logger().error("[shm2-producer] no free mapping seq after 5 attempts");
        return false;
    }
    lastSeq_ = next.seq;
    geomGen_ = gen;
    next.width = width;
    next.height = height;
    next.slotStride = slotStride;
    next.frameBytes = frameBytes;

    auto& m = *reinterpret_cast<shm::MappingHeader*>(next.memory->data());
    shm::store(m.version, shm::kMapVersion);
    shm::store(m.mappingOwner, uint64_t{p_.processId});
    shm::store(m.geomGen, gen);
    shm::store(m.width, uint32_t(width));
    shm::store(m.height, uint32_t(height));
    shm::store(m.stride, uint32_t(width) * 4);
    shm::store(m.pixelFormat, shm::kPixelFormatBgra);
    shm::store(m.frameBytes, frameBytes);
    for (int i = 0; i < shm::kSlotCount; ++i) {
        shm::store(m.slots[i].slotState, uint32_t{shm::kSlotFree});
        shm::store(m.slots[i].dataOffset, shm::kMappingHeaderBytes + uint64_t(i) * slotStride);
        shm::store(m.slots[i].dataSize, frameBytes);
    }
    shm::store(m.mappingState, shm::kMappingPublished);
    shm::store(m.magic, shm::kMapMagic);

    if (current_.memory)
        retired_.push_back({std::move(current_), p_.clock->nowMs() + kRetireAfterMs});
    current_ = std::move(next);

    auto& d = dir();
    shm::store(d.mappingOwner, uint64_t{p_.processId});
    shm::store(d.reserved0, uint64_t{0});
    shm::store(d.geomGen, gen);
    shm::store(d.reserved1, 0u);
    shm::store(d.width, uint32_t(width));
    shm::store(d.height, uint32_t(height));
    shm::store(d.stride, uint32_t(width) * 4);
    shm::store(d.pixelFormat, shm::kPixelFormatBgra);
    shm::store(d.frameBytes, frameBytes);
    shm::store(d.mappingState, shm::kMappingPublished);
    shm::store(d.mappingSeq, current_.seq);
    shm::store(d.producerState, uint32_t{shm::kProducerFlowing});
    readyEvent_->set();
    logger().info("[shm2-producer] mapping m{} published: {}x{} geomGen={} ({} KB)", current_.seq,
                  width, height, gen, size / 1024);
    return true;
}

void SharedMemoryProducerV2::start() {
    if (!directory_) return;
    if (thread_.start([this] { capturePass(); }))
        logger().info("[shm2-producer] Capture thread started");
}

void SharedMemoryProducerV2::stop() {
    if (!thread_.stop()) return;
    if (directory_) shm::store(dir().producerState, uint32_t{shm::kProducerNoFrame});
    logger().info("[shm2-producer] Capture thread stopped (resources retained)");
}

void SharedMemoryProducerV2::capturePass() {
    if (!directory_) return;
    captureFrame();
    shm::fetchAdd(dir().heartbeat, uint64_t{1});
    if (current_.memory)
        shm::fetchAdd(
            reinterpret_cast<shm::MappingHeader*>(current_.memory->data())->mappingHeartbeat,
            uint64_t{1});
    retire(false);
}

void SharedMemoryProducerV2::stageFailed(uint32_t stage, int error) {
    ++consecutiveFailures_;
    auto& d = dir();
    shm::store(d.lastFailedStage, stage);
    shm::store(d.lastError, static_cast<uint32_t>(error));
    shm::store(d.producerState, uint32_t{shm::kProducerFailing});
    if (everyNinetieth(consecutiveFailures_))
        logger().warn(
            "[shm2-producer] capture stage {} failed (err={}, consecutive={}) — frame NOT "
            "published",
            stage, error, consecutiveFailures_);
}

void SharedMemoryProducerV2::captureFrame() {
    int32_t w = 0, h = 0;
    if (!p_.displays || !p_.displays->primarySize(w, h) || w <= 0 || h <= 0) {
        stageFailed(3, 0);
        return;
    }
    if (!current_.memory || w != current_.width || h != current_.height) {
        if (!publishMapping(w, h)) {
            stageFailed(2, 0);
            return;
        }
    }
    // Grab before taking a slot: a failed grab then costs no published frame.
    const auto g = grab_.grab(w, h);
    if (!g.ok) {
        stageFailed(1, g.error);
        return;
    }

    auto& m = *reinterpret_cast<shm::MappingHeader*>(current_.memory->data());
    int slot = -1;
    for (int i = 0; i < shm::kSlotCount && slot < 0; ++i)
        if (shm::compareExchange(m.slots[i].slotState, shm::kSlotFree, shm::kSlotWriting)) slot = i;
    for (int round = 0; slot < 0 && round < 8; ++round) {
        int oldest = -1;
        uint64_t oldestSeq = UINT64_MAX;
        for (int i = 0; i < shm::kSlotCount; ++i) {
            if (shm::load(m.slots[i].slotState) != shm::kSlotPublished) continue;
            const uint64_t s = shm::load(m.slots[i].frameSeq);
            if (s < oldestSeq) {
                oldestSeq = s;
                oldest = i;
            }
        }
        if (oldest < 0) break;
        if (shm::compareExchange(m.slots[oldest].slotState, shm::kSlotPublished,
                                 shm::kSlotWriting)) {
            slot = oldest;
            shm::fetchAdd(m.overwrittenFrames, uint64_t{1});
        }
    }
    if (slot < 0) return;  // every slot leased or being written: skip this frame

    // Our own offsets, never the ones in shared memory.
    uint8_t* dst =
        current_.memory->data() + shm::kMappingHeaderBytes + uint64_t(slot) * current_.slotStride;
    const uint64_t copy = std::min(grab_.bytes(), current_.frameBytes);
    std::memcpy(dst, grab_.pixels(), copy);
    const uint64_t seq = ++frameSeq_;
    const uint64_t ts = static_cast<uint64_t>(p_.clock->nowUs());
    shm::store(m.slots[slot].frameSeq, seq);
    shm::store(m.slots[slot].timestampUs, ts);
    shm::compareExchange(m.slots[slot].slotState, shm::kSlotWriting, shm::kSlotPublished);
    shm::store(m.latestFrameSeq, seq);
    shm::store(m.latestTimestampUs, ts);
    readyEvent_->set();

    if (consecutiveFailures_ > 0) {
        logger().info("[shm2-producer] capture recovered after {} failed frames",
                      consecutiveFailures_);
        consecutiveFailures_ = 0;
    }
    auto& d = dir();
    if (shm::load(d.producerState) != shm::kProducerFlowing) {
        shm::store(d.lastFailedStage, 0u);
        shm::store(d.lastError, 0u);
        shm::store(d.producerState, uint32_t{shm::kProducerFlowing});
    }
}

void SharedMemoryProducerV2::retire(bool force) {
    const int64_t now = p_.clock->nowMs();
    for (auto it = retired_.begin(); it != retired_.end();) {
        const auto& m = *reinterpret_cast<const shm::MappingHeader*>(it->mapping.memory->data());
        bool leased = false;
        for (int i = 0; i < shm::kSlotCount; ++i)
            leased = leased || shm::load(m.slots[i].slotState) == shm::kSlotLeased;
        if (leased && !force && now < it->deadlineMs) {
            ++it;
            continue;
        }
        if (leased)
            logger().warn(
                "[shm2-producer] retiring mapping with an undrained lease after 5s deadline "
                "(consumer stalled?)");
        it = retired_.erase(it);
    }
}

}  // namespace kvd
