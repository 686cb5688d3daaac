#pragma once
// Whole data-channel messages out of the SCTP stack's partial deliveries.
//
// The SCTP stack inside webrtcbin hands a message larger than its partial
// delivery point (64 KiB) to the data channel in pieces and drops the
// end-of-record flag on the way, so every piece looks like a message of its
// own. The peer's packets still say where each message ends: the tracker
// reads the DATA chunk headers of every packet before the stack sees it and
// keeps, per stream and in delivery order, the length of every completed
// message. The assembler of a channel then joins pieces until they add up to
// the next length. No GStreamer type appears here.
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace kvd {

class SctpMessageTracker {
  public:
    explicit SctpMessageTracker(size_t maxPendingFragments = 8192);

    // One SCTP packet (common header and chunks) as it enters the stack.
    void onPacket(const uint8_t* data, size_t size);

    // The length of the next message the stack will deliver on stream, if
    // that message is complete; take() also removes it.
    std::optional<uint64_t> peek(uint16_t stream) const;
    std::optional<uint64_t> take(uint16_t stream);

    // False once the packets showed something it cannot follow (interleaved
    // I-DATA chunks, too many fragments in flight); callers then pass pieces
    // through unchanged.
    bool usable() const;
    std::string failure() const;

  private:
    struct Fragment {
        uint16_t stream = 0;
        uint16_t ssn = 0;
        uint32_t ppid = 0;
        uint32_t length = 0;
        bool begin = false, end = false, unordered = false;
    };
    struct Ready {
        uint64_t length = 0;
        bool deliverable = true;  // control messages of the channel protocol are not
    };
    struct Stream {
        uint16_t nextSsn = 0;
        std::map<uint16_t, Ready> waiting;  // complete ordered messages by SSN
        std::deque<uint64_t> lengths;       // in delivery order
    };

    void onData(uint32_t tsn, const Fragment& f);
    void complete(uint32_t firstTsn, uint32_t lastTsn, const Fragment& first);
    void release(Stream& s);
    void disable(const std::string& why);

    mutable std::mutex mu_;
    size_t maxPending_;
    std::unordered_map<uint32_t, Fragment> pending_;  // fragments by TSN
    std::unordered_set<uint32_t> seen_;               // recent TSNs, for duplicates
    std::deque<uint32_t> seenOrder_;
    std::unordered_map<uint16_t, Stream> streams_;
    std::string failure_;
};

// The SCTP stack splits a message only into pieces of at least this many
// bytes (its partial delivery point); a shorter piece always ends a message.
inline constexpr uint64_t kSctpPartialDeliveryBytes = 65536;

// Joins the pieces of one channel's messages.
class DataChannelAssembler {
  public:
    enum class Result { Hold, Deliver, Refuse, Mismatch };

    DataChannelAssembler(SctpMessageTracker* tracker, uint64_t maxMessageBytes)
        : tracker_(tracker), max_(maxMessageBytes) {}

    // One piece as the channel received it. Deliver: `whole` holds the
    // message. Refuse: a message over the limit ended and was dropped (its
    // size in refusedBytes). Mismatch: the pieces went past every message
    // the packets announced (dropped). Hold: more pieces are due.
    Result add(uint16_t stream, const uint8_t* data, size_t size, std::string& whole,
               uint64_t& refusedBytes);
    // The length the packets announced for the last message that ended.
    uint64_t announced() const { return announced_; }
    size_t pieces() const { return lastPieces_; }
    // Announced messages skipped because the pieces went past them.
    uint64_t skipped() const { return skipped_; }

  private:
    SctpMessageTracker* tracker_;
    uint64_t max_;
    std::string buffer_;
    uint64_t have_ = 0;  // bytes of the current message so far (also when discarding)
    uint64_t announced_ = 0;
    size_t pieces_ = 0, lastPieces_ = 0;
    uint64_t skipped_ = 0;
};

inline constexpr uint32_t kSctpPpidDcep = 50;
inline constexpr uint32_t kSctpPpidEmptyString = 56;
inline constexpr uint32_t kSctpPpidEmptyBinary = 57;

}  // namespace kvd
