#include "webrtc/sctp_reassembly.h"

namespace kvd {

namespace {

constexpr size_t kCommonHeader = 12;
constexpr size_t kDataHeader = 16;
constexpr size_t kSeenTsns = 16384;
constexpr uint8_t kChunkData = 0;
constexpr uint8_t kChunkIData = 64;
constexpr uint8_t kChunkForwardTsn = 192;
constexpr uint8_t kChunkIForwardTsn = 194;

uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
// Serial-number order (RFC 1982) of 32- and 16-bit sequence numbers.
bool tsnAtOrBefore(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) <= 0;
}
bool ssnAtOrAfter(uint16_t a, uint16_t b) {
    return static_cast<int16_t>(static_cast<uint16_t>(a - b)) >= 0;
}

}  // namespace

SctpMessageTracker::SctpMessageTracker(size_t maxPendingFragments)
    : maxPending_(maxPendingFragments) {}

void SctpMessageTracker::onPacket(const uint8_t* data, size_t size) {
    std::lock_guard lk(mu_);
    if (!failure_.empty() || size < kCommonHeader) return;
    size_t pos = kCommonHeader;
    while (pos + 4 <= size) {
        const uint8_t type = data[pos];
        const uint8_t flags = data[pos + 1];
        const size_t len = be16(data + pos + 2);
        if (len < 4 || pos + len > size) return;  // malformed: the stack drops it too
        const uint8_t* c = data + pos;
        if (type == kChunkData && len >= kDataHeader) {
            Fragment f;
            f.end = flags & 0x01;
            f.begin = flags & 0x02;
            f.unordered = flags & 0x04;
            f.stream = be16(c + 8);
            f.ssn = be16(c + 10);
            f.ppid = be32(c + 12);
            f.length = static_cast<uint32_t>(len - kDataHeader);
            onData(be32(c + 4), f);
            if (!failure_.empty()) return;
        } else if (type == kChunkIData || type == kChunkIForwardTsn) {
            disable("interleaved (I-DATA) chunks");
            return;
        } else if (type == kChunkForwardTsn && len >= 8) {
            // Abandoned messages: their fragments never complete, and ordered
            // streams skip the listed sequence numbers.
            const uint32_t cumulative = be32(c + 4);
            for (auto it = pending_.begin(); it != pending_.end();)
                it = tsnAtOrBefore(it->first, cumulative) ? pending_.erase(it) : std::next(it);
            for (size_t k = 8; k + 4 <= len; k += 4) {
                Stream& st = streams_[be16(c + k)];
                const uint16_t ssn = be16(c + k + 2);
                if (!ssnAtOrAfter(ssn, st.nextSsn)) continue;
                // What is complete up to the skipped number goes out in order.
                for (auto w = st.waiting.begin(); w != st.waiting.end();) {
                    if (!ssnAtOrAfter(ssn, w->first)) {
                        ++w;
                        continue;
                    }
                    if (w->second.deliverable) st.lengths.push_back(w->second.length);
                    w = st.waiting.erase(w);
                }
                st.nextSsn = static_cast<uint16_t>(ssn + 1);
                release(st);
            }
        }
        pos += (len + 3) & ~size_t{3};
    }
}

void SctpMessageTracker::onData(uint32_t tsn, const Fragment& f) {
    // A retransmission of something already seen changes nothing.
    if (!seen_.insert(tsn).second) return;
    seenOrder_.push_back(tsn);
    if (seenOrder_.size() > kSeenTsns) {
        seen_.erase(seenOrder_.front());
        seenOrder_.pop_front();
    }
    if (f.begin && f.end) {
        complete(tsn, tsn, f);
        return;
    }
    if (pending_.size() >= maxPending_) {
        disable("more than " + std::to_string(maxPending_) + " message fragments in flight");
        return;
    }
    pending_[tsn] = f;
    // Fragments of one message carry consecutive TSNs: find the run around
    // this one and see whether it now reaches from a beginning to an end.
    uint32_t first = tsn, last = tsn;
    for (size_t steps = 0; !pending_[first].begin; ++steps) {
        auto prev = pending_.find(first - 1);
        if (prev == pending_.end() || steps > maxPending_) return;
        first = prev->first;
    }
    for (size_t steps = 0; !pending_[last].end; ++steps) {
        auto next = pending_.find(last + 1);
        if (next == pending_.end() || steps > maxPending_) return;
        last = next->first;
    }
    complete(first, last, pending_[first]);
}

void SctpMessageTracker::complete(uint32_t firstTsn, uint32_t lastTsn, const Fragment& first) {
    uint64_t length = 0;
    const Fragment head = first;
    for (uint32_t t = firstTsn;; ++t) {
        auto it = pending_.find(t);
        if (it != pending_.end()) {
            length += it->second.length;
            pending_.erase(it);
        } else {
            length += head.length;  // a single-chunk message is never stored
        }
        if (t == lastTsn) break;
    }
    Ready r;
    r.deliverable = head.ppid != kSctpPpidDcep;
    // Empty messages travel as one placeholder byte.
    r.length =
        (head.ppid == kSctpPpidEmptyString || head.ppid == kSctpPpidEmptyBinary) ? 0 : length;
    Stream& s = streams_[head.stream];
    if (head.unordered) {
        if (r.deliverable) s.lengths.push_back(r.length);
        return;
    }
    if (!ssnAtOrAfter(head.ssn, s.nextSsn)) return;  // already delivered
    s.waiting[head.ssn] = r;
    release(s);
}

void SctpMessageTracker::release(Stream& s) {
    for (auto w = s.waiting.find(s.nextSsn); w != s.waiting.end(); w = s.waiting.find(s.nextSsn)) {
        if (w->second.deliverable) s.lengths.push_back(w->second.length);
        s.waiting.erase(w);
        ++s.nextSsn;
    }
}

void SctpMessageTracker::disable(const std::string& why) {
    failure_ = why;
    pending_.clear();
    streams_.clear();
}

std::optional<uint64_t> SctpMessageTracker::peek(uint16_t stream) const {
    std::lock_guard lk(mu_);
    auto it = streams_.find(stream);
    if (it == streams_.end() || it->second.lengths.empty()) return std::nullopt;
    return it->second.lengths.front();
}

std::optional<uint64_t> SctpMessageTracker::take(uint16_t stream) {
    std::lock_guard lk(mu_);
    auto it = streams_.find(stream);
    if (it == streams_.end() || it->second.lengths.empty()) return std::nullopt;
    const uint64_t v = it->second.lengths.front();
    it->second.lengths.pop_front();
    return v;
}

bool SctpMessageTracker::usable() const {
    std::lock_guard lk(mu_);
    return failure_.empty();
}

std::string SctpMessageTracker::failure() const {
    std::lock_guard lk(mu_);
    return failure_;
}

DataChannelAssembler::Result DataChannelAssembler::add(uint16_t stream, const uint8_t* data,
                                                       size_t size, std::string& whole,
                                                       uint64_t& refusedBytes) {
    if (!tracker_ || !tracker_->usable()) {
        // Pieces pass as they come; a message already begun goes with them.
        buffer_.append(reinterpret_cast<const char*>(data), size);
        whole.swap(buffer_);
        buffer_.clear();
        have_ = 0;
        return Result::Deliver;
    }
    if (have_ == 0 && size < kSctpPartialDeliveryBytes) {
        // A whole message on its own, whatever the tracker knows: small
        // messages never depend on it. Its announcement (and any older one
        // that never found its pieces) is consumed.
        auto next = tracker_->peek(stream);
        while (next && *next < size) {
            tracker_->take(stream);
            next = tracker_->peek(stream);
            ++skipped_;
        }
        if (next && *next == size) tracker_->take(stream);
        whole.assign(reinterpret_cast<const char*>(data), size);
        return Result::Deliver;
    }
    have_ += size;
    ++pieces_;
    if (have_ <= max_)
        buffer_.append(reinterpret_cast<const char*>(data), size);
    else
        std::string().swap(buffer_);  // over the limit: count, keep nothing
    auto next = tracker_->peek(stream);
    // An announced message shorter than what has already arrived cannot be
    // the one these pieces belong to: the pieces did not line up (a message
    // overtaken on an unordered channel). Skip to the one that fits.
    bool skipped = false;
    while (next && *next < have_) {
        tracker_->take(stream);
        next = tracker_->peek(stream);
        skipped = true;
        ++skipped_;
    }
    if (!next || have_ < *next) {
        if (skipped) {
            refusedBytes = have_;
            announced_ = 0;
            lastPieces_ = pieces_;
            pieces_ = 0;
            have_ = 0;
            std::string().swap(buffer_);
            return Result::Mismatch;
        }
        return Result::Hold;
    }
    tracker_->take(stream);
    const uint64_t got = have_;
    have_ = 0;
    announced_ = *next;
    lastPieces_ = pieces_;
    pieces_ = 0;
    if (got > max_) {
        refusedBytes = got;
        return Result::Refuse;
    }
    whole.swap(buffer_);
    buffer_.clear();
    return Result::Deliver;
}

}  // namespace kvd
