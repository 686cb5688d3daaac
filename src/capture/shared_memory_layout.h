#pragma once
// Wire layouts of the shared-memory frame exchange between the SYSTEM helper
// (producer) and the engine (consumer), the names of its objects, and the
// atomic accessors both sides use on the mapped memory. Everything here is
// read from memory that another process writes: read each field once, through
// these accessors, and validate it before use.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvd::shm {

static_assert(std::endian::native == std::endian::little, "the exchange is little-endian");

constexpr uint32_t kV1Magic = 0x4B564446;
constexpr uint32_t kV1Version = 1;
constexpr uint32_t kDirMagic = 0x4444564B;
constexpr uint32_t kDirVersion = 1;
constexpr uint32_t kMapMagic = 0x3244564B;
constexpr uint32_t kMapVersion = 2;
constexpr uint32_t kPixelFormatBgra = 1;
constexpr uint32_t kMappingPublished = 3;
constexpr int32_t kMaxSide = 16384;
constexpr int kSlotCount = 3;

enum SlotState : uint32_t { kSlotFree = 0, kSlotWriting = 1, kSlotPublished = 2, kSlotLeased = 3 };
enum ProducerState : uint32_t {
    kProducerNoFrame = 0,
    kProducerFlowing = 1,
    kProducerFailing = 2,
    kProducerShutDown = 3,
};

struct V1Header {
    uint32_t magic;
    uint32_t version;
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t reserved0;
    uint64_t frameIndex;
    uint64_t timestampUs;
    uint32_t frameValid;
    uint32_t reserved1;
    uint64_t heartbeat;
    uint64_t reserved2;
};
static_assert(sizeof(V1Header) == 64);
static_assert(offsetof(V1Header, stride) == 16);
static_assert(offsetof(V1Header, frameIndex) == 24);
static_assert(offsetof(V1Header, timestampUs) == 32);
static_assert(offsetof(V1Header, frameValid) == 40);
static_assert(offsetof(V1Header, heartbeat) == 48);
constexpr uint64_t kV1HeaderBytes = sizeof(V1Header);

// The published mapping's description, as the directory copies it from the
// mapping header (both hold it at the same relative positions).
struct MappingDescriptor {
    uint64_t mappingOwner;
    uint64_t reserved0;
    uint32_t geomGen;
    uint32_t reserved1;
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t pixelFormat;
    uint64_t frameBytes;
    bool operator==(const MappingDescriptor&) const = default;
};
static_assert(sizeof(MappingDescriptor) == 48);

struct Directory {
    uint32_t magic;
    uint32_t version;
    uint32_t epoch;
    uint32_t producerPid;
    uint64_t heartbeat;
    uint32_t producerState;
    uint32_t lastFailedStage;
    uint32_t lastError;
    uint32_t mappingSeq;
    uint64_t mappingOwner;
    uint64_t reserved0;
    uint32_t geomGen;
    uint32_t reserved1;
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t pixelFormat;
    uint64_t frameBytes;
    uint32_t mappingState;
    uint8_t reserved2[36];
};
static_assert(sizeof(Directory) == 128);
static_assert(offsetof(Directory, heartbeat) == 16);
static_assert(offsetof(Directory, producerState) == 24);
static_assert(offsetof(Directory, mappingSeq) == 36);
static_assert(offsetof(Directory, mappingOwner) == 40);
static_assert(offsetof(Directory, geomGen) == 56);
static_assert(offsetof(Directory, width) == 64);
static_assert(offsetof(Directory, pixelFormat) == 76);
static_assert(offsetof(Directory, frameBytes) == 80);
static_assert(offsetof(Directory, mappingState) == 88);
constexpr uint64_t kDirectoryBytes = sizeof(Directory);

struct SlotDescriptor {
    uint32_t slotState;
    uint32_t reserved0;
    uint64_t frameSeq;
    uint64_t timestampUs;
    uint64_t dataOffset;
    uint64_t dataSize;
    uint8_t reserved1[24];
};
static_assert(sizeof(SlotDescriptor) == 64);
static_assert(offsetof(SlotDescriptor, dataOffset) == 24);
static_assert(offsetof(SlotDescriptor, dataSize) == 32);

struct MappingHeader {
    uint32_t magic;
    uint32_t version;
    uint64_t mappingOwner;
    uint64_t reserved0;
    uint32_t geomGen;
    uint32_t reserved1;
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t pixelFormat;
    uint64_t frameBytes;
    uint32_t mappingState;
    uint32_t reserved2;
    uint64_t reserved3;
    uint64_t latestFrameSeq;
    uint64_t latestTimestampUs;
    uint64_t mappingHeartbeat;
    uint64_t overwrittenFrames;
    uint8_t reserved4[24];
    SlotDescriptor slots[kSlotCount];
};
static_assert(offsetof(MappingHeader, mappingOwner) == 8);
static_assert(offsetof(MappingHeader, reserved0) == 16);
static_assert(offsetof(MappingHeader, geomGen) == 24);
static_assert(offsetof(MappingHeader, width) == 32);
static_assert(offsetof(MappingHeader, stride) == 40);
static_assert(offsetof(MappingHeader, frameBytes) == 48);
static_assert(offsetof(MappingHeader, mappingState) == 56);
static_assert(offsetof(MappingHeader, latestFrameSeq) == 72);
static_assert(offsetof(MappingHeader, mappingHeartbeat) == 88);
static_assert(offsetof(MappingHeader, overwrittenFrames) == 96);
static_assert(offsetof(MappingHeader, slots) == 128);
static_assert(sizeof(MappingHeader) == 320);
constexpr uint64_t kMappingHeaderBytes = sizeof(MappingHeader);

// --- Object names -----------------------------------------------------------

// The first 8 characters of the session id (all of it when shorter).
inline std::string sessionSuffix(const std::string& sessionId) {
    return sessionId.substr(0, 8);
}
inline std::string v1MemoryName(const std::string& suffix) {
    return "Global\\kelvandrum-shm-" + suffix;
}
inline std::string v1ReadyEventName(const std::string& suffix) {
    return "Global\\kelvandrum-frame-ready-" + suffix;
}
inline std::string v1ConsumedEventName(const std::string& suffix) {
    return "Global\\kelvandrum-frame-consumed-" + suffix;
}
inline std::string v2DirectoryName(const std::string& suffix) {
    return "Global\\kelvandrum-shm2-dir-" + suffix;
}
inline std::string v2MappingName(const std::string& suffix, uint32_t seq) {
    return "Global\\kelvandrum-shm2-map-" + suffix + "-m" + std::to_string(seq);
}
inline std::string v2ReadyEventName(const std::string& suffix) {
    return "Global\\kelvandrum-shm2-ready-" + suffix;
}

// Security descriptors the objects carry on systems that have them; POSIX
// shared memory objects are private to their user instead (mode 0600, handed
// to the session's user by a privileged helper).
constexpr const char* kMappingSddl = "D:(A;;GA;;;SY)(A;;GRGW;;;BU)";
constexpr const char* kEventSddl = "D:(A;;GA;;;SY)(A;;0x00100003;;;BU)";

// --- Geometry ---------------------------------------------------------------

inline uint64_t v2FrameBytes(uint32_t width, uint32_t height) {
    return uint64_t{width} * 4 * height;
}
inline uint64_t v2SlotStride(uint64_t frameBytes) {
    return (frameBytes + 63) / 64 * 64;
}
inline uint64_t v2MappingBytes(uint64_t slotStride) {
    return kMappingHeaderBytes + kSlotCount * slotStride;
}

// --- Atomic access to mapped memory ----------------------------------------
// Every field is naturally aligned in a page-aligned mapping, so the builtins
// work on the words in place and each read is one read.

template <class T>
inline T load(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <class T>
inline void store(T& field, T value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}
template <class T>
inline T fetchAdd(T& field, T delta) {
    return __atomic_fetch_add(&field, delta, __ATOMIC_ACQ_REL);
}
inline bool compareExchange(uint32_t& field, uint32_t expected, uint32_t desired) {
    return __atomic_compare_exchange_n(&field, &expected, desired, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

inline MappingDescriptor loadDescriptor(const Directory& d) {
    return {load(d.mappingOwner), load(d.reserved0),   load(d.geomGen),
            load(d.reserved1),    load(d.width),       load(d.height),
            load(d.stride),       load(d.pixelFormat), load(d.frameBytes)};
}
inline MappingDescriptor loadDescriptor(const MappingHeader& m) {
    return {load(m.mappingOwner), load(m.reserved0),   load(m.geomGen),
            load(m.reserved1),    load(m.width),       load(m.height),
            load(m.stride),       load(m.pixelFormat), load(m.frameBytes)};
}

// Verdicts of judging a v2 mapping; 0 = accepted.
enum MappingVerdict : int {
    kVerdictAccepted = 0,
    kVerdictTooSmall = 1,
    kVerdictBadMagic = 2,
    kVerdictBadVersion = 3,
    kVerdictBadGeometry = 4,
    kVerdictBadFrameBytes = 5,
    kVerdictDescriptorMismatch = 6,
    kVerdictBadStateOrSlot = 7,
};

// The parts of an accepted mapping the consumer uses afterwards; never
// re-read from shared memory.
struct AcceptedMapping {
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    uint64_t frameBytes = 0;
    uint64_t dataOffset[kSlotCount] = {};
};

// Judges a mapped region of `regionBytes` against the directory's copy of its
// descriptor. The first failing rule gives the verdict.
int judgeMapping(const uint8_t* region, uint64_t regionBytes, const MappingDescriptor& expected,
                 AcceptedMapping& out);

}  // namespace kvd::shm
