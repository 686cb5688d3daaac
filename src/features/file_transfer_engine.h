#pragma once
// The file channel's binary transfer protocol, both directions: the viewer
// offers uploads that the host receives, the host offers files that the
// viewer pulls. Nothing here holds a transfer's bytes: received chunks go to
// the application as they arrive (hashed incrementally), and sent chunks are
// read from an OutgoingSource with positioned reads, so memory per transfer
// stays at a few chunks whatever the file size.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/codec.h"

namespace kvd {

inline constexpr uint32_t kFileChunkBytes = 16384;
inline constexpr uint32_t kFileGroupChunks = 16;
inline constexpr uint64_t kFileGroupBytes = uint64_t{kFileChunkBytes} * kFileGroupChunks;
inline constexpr uint16_t kInitialWindow = 10;
inline constexpr uint16_t kMaxWindow = 100;
inline constexpr uint64_t kPauseBufferedBytes = 262144;
inline constexpr uint64_t kResumeBufferedBytes = 131072;
inline constexpr int64_t kWindowSampleMs = 5000;

enum class FileMsg : uint8_t {
    Start = 1,
    StartReply = 2,
    Chunk = 3,
    ChunkAck = 4,
    End = 5,
    Complete = 6,
    Cancel = 7,
    Resume = 8,
    GroupCrc = 9,
    Rewind = 10,
};

// START_REPLY reasons of a refusal.
inline constexpr uint8_t kRefusePolicy = 0;
inline constexpr uint8_t kRefuseExtraLimit = 1;
inline constexpr uint8_t kRefuseTooLarge = 2;
inline constexpr uint8_t kRefuseTooMany = 3;
inline constexpr uint8_t kRefuseDestination = 4;  // rejected or cannot be opened

// CANCEL reasons the host sends.
inline constexpr uint8_t kCancelBadChunk = 1;
inline constexpr uint8_t kCancelWriteFailed = 2;
inline constexpr uint8_t kCancelSourceChanged = 3;
inline constexpr uint8_t kCancelReadFailed = 4;
// Local only (never on the wire): the channel closed under the transfer.
inline constexpr uint8_t kEndedChannelClosed = 255;

using CompleteStatus = uint8_t;
inline constexpr CompleteStatus kCompleteSuccess = 0;
inline constexpr CompleteStatus kCompleteHashMismatch = 1;
inline constexpr CompleteStatus kCompleteStoreFailed = 2;

class IFileTransport {
  public:
    virtual ~IFileTransport() = default;
    // False when the channel is missing or closed, or the send failed.
    virtual bool sendBinary(const uint8_t* data, size_t size) = 0;
    virtual uint64_t bufferedAmount() = 0;
    virtual bool isOpen() = 0;
};

struct FileTransferConfig {
    bool allowFiles = true;
    bool allowClipboardData = true;
    uint64_t maxSize = 2147483648ull;
    uint32_t maxConcurrent = 3;
    uint64_t extraLimit = 0;  // 0: none
};

struct FileStartMessage {
    uint32_t transferId = 0;
    uint8_t kind = 0;  // 0 file, 1 clipboard data
    std::string name;
    uint64_t size = 0;
    std::array<uint8_t, 32> sha256{};
    std::string dest;
};

// The bytes of a host-offered transfer, hashed before the offer goes out.
class OutgoingSource {
  public:
    enum class Read { Ok, Changed, Failed };
    virtual ~OutgoingSource() = default;
    virtual uint64_t size() const = 0;
    virtual std::array<uint8_t, 32> sha256() const = 0;
    // Exactly len bytes at offset. Changed when the source no longer is what
    // was hashed (size or modification time moved).
    virtual Read read(uint64_t offset, uint8_t* out, size_t len) = 0;
    virtual Read check() = 0;
};

// Bytes held in memory (clipboard data, tests).
class MemorySource final : public OutgoingSource {
  public:
    explicit MemorySource(std::vector<uint8_t> bytes);
    uint64_t size() const override { return bytes_.size(); }
    std::array<uint8_t, 32> sha256() const override { return sha_; }
    Read read(uint64_t offset, uint8_t* out, size_t len) override;
    Read check() override { return Read::Ok; }

  private:
    std::vector<uint8_t> bytes_;
    std::array<uint8_t, 32> sha_;
};

class FileTransferEngine {
  public:
    // Invoked with the engine mutex held: they must not call back in.
    struct Callbacks {
        // An accepted offer; false refuses it (destination rejected or not
        // openable) before any reply went out.
        std::function<bool(const FileStartMessage&)> start;
        // One accepted chunk in arrival order; false (write failed) cancels.
        std::function<bool(uint32_t id, uint32_t index, const uint8_t* data, size_t len)> chunk;
        // Incoming: the verdict of the hash check; the returned status is
        // what the sender is told (finishing the file may still fail).
        // Outgoing: the receiver's status; the return value is not used.
        std::function<CompleteStatus(uint32_t id, CompleteStatus status, const std::string& name)>
            completion;
        // A transfer that ended without completion: CANCEL from either side,
        // refusal of our offer, or the channel closing (kEndedChannelClosed).
        std::function<void(uint32_t id, uint8_t reason)> error;
    };

    struct OutgoingView {
        uint8_t state = 0;
        uint16_t window = 0;
        bool slowStart = false;
        uint32_t nextChunk = 0;
        uint32_t totalChunks = 0;
    };

    FileTransferEngine(IFileTransport& transport, FileTransferConfig config,
                       const Clock& clock = SteadyClock::instance());

    void setCallbacks(Callbacks callbacks);

    // One binary message of the file channel; false for empty input, unknown
    // types and wrong lengths.
    bool onFileBinary(const uint8_t* data, size_t size);

    // Offers the source to the viewer; the transfer id, 0 when refused.
    uint32_t enqueueOutgoing(uint8_t kind, const std::string& name,
                             std::shared_ptr<OutgoingSource> source);
    // Whether an offer of this kind and size would be taken now.
    bool outgoingAllowed(uint8_t kind, uint64_t size) const;

    // Resumes transfers paused by back-pressure once the channel drained;
    // run periodically (acknowledgements do the rest).
    void pumpPaused();

    // The channel closed or the peer connection was reset: every record goes
    // (incoming ones through error, so the application removes partials).
    void reset();

    size_t incomingCount() const;
    size_t outgoingCount() const;
    uint8_t lastError() const;
    std::optional<OutgoingView> outgoing(uint32_t id) const;

  private:
    struct Incoming {
        uint8_t kind = 0;
        std::string name;
        uint64_t size = 0;
        uint64_t totalChunks = 0;
        uint32_t lastChunkIndex = 0;
        bool anyChunk = false;
        uint64_t receivedBytes = 0;
        uint8_t state = 2;
        std::array<uint8_t, 32> expected{};
        std::unique_ptr<Sha256> hash;
        uint32_t groupCrc = 0;
        uint32_t chunksInGroup = 0;
        uint16_t groupSeq = 0;
    };
    struct Outgoing {
        uint8_t kind = 0;
        std::string name;
        std::shared_ptr<OutgoingSource> source;
        uint64_t size = 0;
        uint32_t totalChunks = 0;
        uint32_t nextChunk = 0;
        uint32_t highestAcked = 0;
        bool anyAck = false;
        uint16_t window = kInitialWindow;
        bool slowStart = true;
        uint64_t ackedBytesSinceSample = 0;
        int64_t lastSampleMs = 0;
        uint8_t state = 1;
        bool paused = false;
    };

    bool kindAllowed(uint8_t kind) const;
    size_t activeOutgoing() const;
    bool send(const std::vector<uint8_t>& msg);
    void sendStartReply(uint32_t id, bool accepted, uint8_t reason);
    void sendCancel(uint32_t id, uint8_t reason);

    bool handleStart(const uint8_t* p, size_t n);
    bool handleChunk(const uint8_t* p, size_t n);
    bool handleEnd(uint32_t id);
    void cancelIncoming(uint32_t id, uint8_t reason);

    bool handleStartReply(uint32_t id, uint8_t accepted);
    bool handleAck(uint32_t id, uint32_t index);
    bool handleGroupCrc(uint32_t id, uint16_t seq, uint32_t crc);
    bool handleRewind(uint32_t id, uint32_t index);
    bool handleResume(uint32_t id, uint32_t index);
    bool handleComplete(const uint8_t* p, size_t n);
    bool handleCancel(uint32_t id, uint8_t reason);
    void failOutgoing(uint32_t id, uint8_t reason);

    void pumpLocked(bool pausedOnly);
    // False when the record ended (cancelled) during the pump.
    bool pumpOne(uint32_t id, Outgoing& o);
    void growWindow(Outgoing& o, uint32_t newlyAcked);

    IFileTransport& transport_;
    const FileTransferConfig config_;
    const Clock& clock_;
    mutable std::mutex mu_;
    Callbacks cb_;
    std::map<uint32_t, Outgoing> outgoing_;
    std::map<uint32_t, Incoming> incoming_;
    uint32_t nextTransferId_ = 1;
    uint8_t lastError_ = 0;
    std::vector<uint8_t> chunkBuf_;  // one chunk message, reused
};

}  // namespace kvd
