#include "features/file_transfer_engine.h"

#include <algorithm>
#include <cstring>

#include "common/log.h"

namespace kvd {

namespace {

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t le64(const uint8_t* p) {
    return static_cast<uint64_t>(le32(p)) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}
void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void put64(std::vector<uint8_t>& v, uint64_t x) {
    for (int i = 0; i < 8; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
std::vector<uint8_t> header(FileMsg type, uint32_t id) {
    std::vector<uint8_t> v;
    v.push_back(static_cast<uint8_t>(type));
    put32(v, id);
    return v;
}
uint64_t chunksFor(uint64_t size) {
    return (size + kFileChunkBytes - 1) / kFileChunkBytes;
}

}  // namespace

MemorySource::MemorySource(std::vector<uint8_t> bytes)
    : bytes_(std::move(bytes)), sha_(Sha256::digest(bytes_.data(), bytes_.size())) {}

OutgoingSource::Read MemorySource::read(uint64_t offset, uint8_t* out, size_t len) {
    if (offset > bytes_.size() || len > bytes_.size() - offset) return Read::Failed;
    std::memcpy(out, bytes_.data() + offset, len);
    return Read::Ok;
}

FileTransferEngine::FileTransferEngine(IFileTransport& transport, FileTransferConfig config,
                                       const Clock& clock)
    : transport_(transport), config_(config), clock_(clock) {
    chunkBuf_.reserve(11 + kFileChunkBytes);
}

void FileTransferEngine::setCallbacks(Callbacks callbacks) {
    std::lock_guard lk(mu_);
    cb_ = std::move(callbacks);
}

bool FileTransferEngine::kindAllowed(uint8_t kind) const {
    return kind == 1 ? config_.allowClipboardData : config_.allowFiles;
}

size_t FileTransferEngine::activeOutgoing() const {
    return static_cast<size_t>(std::count_if(outgoing_.begin(), outgoing_.end(), [](const auto& e) {
        return e.second.state >= 1 && e.second.state <= 3;
    }));
}

bool FileTransferEngine::send(const std::vector<uint8_t>& msg) {
    return transport_.sendBinary(msg.data(), msg.size());
}

void FileTransferEngine::sendStartReply(uint32_t id, bool accepted, uint8_t reason) {
    auto m = header(FileMsg::StartReply, id);
    m.push_back(accepted ? 1 : 0);
    m.push_back(reason);
    send(m);
}

void FileTransferEngine::sendCancel(uint32_t id, uint8_t reason) {
    auto m = header(FileMsg::Cancel, id);
    m.push_back(reason);
    send(m);
}

bool FileTransferEngine::onFileBinary(const uint8_t* p, size_t n) {
    if (!p || n == 0) return false;
    std::lock_guard lk(mu_);
    switch (static_cast<FileMsg>(p[0])) {
        case FileMsg::Start:
            return handleStart(p, n);
        case FileMsg::StartReply:
            return n == 7 && handleStartReply(le32(p + 1), p[5]);
        case FileMsg::Chunk:
            return handleChunk(p, n);
        case FileMsg::ChunkAck:
            return n == 11 && handleAck(le32(p + 1), le32(p + 5));
        case FileMsg::End:
            return n == 9 && handleEnd(le32(p + 1));
        case FileMsg::Complete:
            return handleComplete(p, n);
        case FileMsg::Cancel:
            return n == 6 && handleCancel(le32(p + 1), p[5]);
        case FileMsg::Resume:
            return n == 9 && handleResume(le32(p + 1), le32(p + 5));
        case FileMsg::GroupCrc:
            return n == 11 && handleGroupCrc(le32(p + 1), le16(p + 5), le32(p + 7));
        case FileMsg::Rewind:
            return n == 11 && handleRewind(le32(p + 1), le32(p + 7));
    }
    return false;
}

// --- receiving ---------------------------------------------------------------

bool FileTransferEngine::handleStart(const uint8_t* p, size_t n) {
    if (n < 8) return false;
    const uint16_t nameLen = le16(p + 6);
    if (size_t{nameLen} + 48 > n) return false;
    FileStartMessage s;
    s.transferId = le32(p + 1);
    s.kind = p[5];
    s.name.assign(reinterpret_cast<const char*>(p + 8), nameLen);
    s.size = le64(p + 8 + nameLen);
    std::memcpy(s.sha256.data(), p + 16 + nameLen, 32);
    if (size_t{nameLen} + 50 <= n) {
        const uint16_t destLen = le16(p + 48 + nameLen);
        if (destLen > 0 && size_t{nameLen} + 50 + destLen <= n)
            s.dest.assign(reinterpret_cast<const char*>(p + 50 + nameLen), destLen);
    }
    const uint32_t id = s.transferId;

    // A second START for a transfer already running must not touch the
    // file that transfer is writing.
    if (incoming_.count(id)) {
        logger().warn("[file] duplicate START for transfer {} ignored", id);
        sendStartReply(id, true, 0);
        return true;
    }
    std::optional<uint8_t> refusal;
    if (!kindAllowed(s.kind))
        refusal = kRefusePolicy;
    else if (s.size > config_.maxSize)
        refusal = kRefuseTooLarge;
    else if (incoming_.size() >= config_.maxConcurrent)
        refusal = kRefuseTooMany;
    else if (config_.extraLimit != 0 && s.size > config_.extraLimit)
        refusal = kRefuseExtraLimit;
    if (refusal) {
        logger().info("[file] refused request {} name={} size={} reason={}", id, s.name, s.size,
                      *refusal);
        sendStartReply(id, false, *refusal);
        return true;
    }

    Incoming rec;
    rec.kind = s.kind;
    rec.name = s.name;
    rec.size = s.size;
    rec.totalChunks = chunksFor(s.size);
    rec.expected = s.sha256;
    rec.hash = std::make_unique<Sha256>();
    incoming_.emplace(id, std::move(rec));
    if (cb_.start && !cb_.start(s)) {
        incoming_.erase(id);
        sendStartReply(id, false, kRefuseDestination);
        return true;
    }
    sendStartReply(id, true, 0);
    return true;
}

bool FileTransferEngine::handleChunk(const uint8_t* p, size_t n) {
    if (n < 11) return false;
    const uint16_t dataLen = le16(p + 9);
    if (n != size_t{11} + dataLen) return false;
    const uint32_t id = le32(p + 1);
    const uint32_t index = le32(p + 5);
    auto it = incoming_.find(id);
    if (it == incoming_.end()) return true;
    Incoming& r = it->second;
    if (index >= r.totalChunks) {
        cancelIncoming(id, kCancelBadChunk);
        return true;
    }
    if (r.anyChunk && index <= r.lastChunkIndex) return true;  // duplicate: no second ack
    if (r.receivedBytes + dataLen > r.size) {
        cancelIncoming(id, kCancelBadChunk);
        return true;
    }
    const uint8_t* data = p + 11;
    if (cb_.chunk && !cb_.chunk(id, index, data, dataLen)) {
        cancelIncoming(id, kCancelWriteFailed);
        return true;
    }
    r.lastChunkIndex = index;
    r.anyChunk = true;
    r.receivedBytes += dataLen;
    r.hash->update(data, dataLen);
    r.groupCrc = crc32Update(r.groupCrc, data, dataLen);
    if (++r.chunksInGroup == kFileGroupChunks) {
        auto m = header(FileMsg::GroupCrc, id);
        put16(m, r.groupSeq);
        put32(m, r.groupCrc);
        send(m);
        r.groupCrc = 0;
        r.chunksInGroup = 0;
        ++r.groupSeq;
    }
    auto ack = header(FileMsg::ChunkAck, id);
    put32(ack, index);
    put16(ack, kInitialWindow);
    send(ack);
    return true;
}

bool FileTransferEngine::handleEnd(uint32_t id) {
    auto it = incoming_.find(id);
    if (it == incoming_.end()) return true;
    Incoming& r = it->second;
    const auto digest = r.hash->finish();
    // Fewer bytes than announced is no success either, even with a hash
    // that matches them.
    CompleteStatus status = (r.receivedBytes == r.size && digest == r.expected)
                                ? kCompleteSuccess
                                : kCompleteHashMismatch;
    r.state = status == kCompleteSuccess ? 4 : 6;
    const std::string name = r.name;
    if (cb_.completion) status = cb_.completion(id, status, name);
    auto m = header(FileMsg::Complete, id);
    m.push_back(status);
    const size_t nameLen = std::min<size_t>(name.size(), 0xFFFF);
    put16(m, static_cast<uint16_t>(nameLen));
    m.insert(m.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(nameLen));
    send(m);
    incoming_.erase(id);
    return true;
}

void FileTransferEngine::cancelIncoming(uint32_t id, uint8_t reason) {
    sendCancel(id, reason);
    lastError_ = reason;
    incoming_.erase(id);
    if (cb_.error) cb_.error(id, reason);
}

// --- sending -----------------------------------------------------------------

bool FileTransferEngine::outgoingAllowed(uint8_t kind, uint64_t size) const {
    std::lock_guard lk(mu_);
    return kindAllowed(kind) && size != 0 && size <= config_.maxSize &&
           activeOutgoing() < config_.maxConcurrent;
}

uint32_t FileTransferEngine::enqueueOutgoing(uint8_t kind, const std::string& name,
                                             std::shared_ptr<OutgoingSource> source) {
    if (!source) return 0;
    const uint64_t size = source->size();
    std::lock_guard lk(mu_);
    if (!kindAllowed(kind) || size == 0 || size > config_.maxSize ||
        activeOutgoing() >= config_.maxConcurrent)
        return 0;
    uint32_t id = nextTransferId_++;
    if (id == 0) id = nextTransferId_++;
    Outgoing o;
    o.kind = kind;
    o.name = name.substr(0, 0xFFFF);
    o.size = size;
    o.totalChunks = static_cast<uint32_t>(chunksFor(size));
    o.lastSampleMs = clock_.nowMs();
    o.source = std::move(source);
    auto m = header(FileMsg::Start, id);
    m.push_back(kind);
    put16(m, static_cast<uint16_t>(o.name.size()));
    m.insert(m.end(), o.name.begin(), o.name.end());
    put64(m, size);
    const auto sha = o.source->sha256();
    m.insert(m.end(), sha.begin(), sha.end());
    if (!send(m)) return 0;
    outgoing_.emplace(id, std::move(o));
    return id;
}

bool FileTransferEngine::handleStartReply(uint32_t id, uint8_t accepted) {
    auto it = outgoing_.find(id);
    if (it == outgoing_.end()) return true;
    if (accepted == 1) {
        if (it->second.state == 1) it->second.state = 2;
        pumpLocked(false);
        return true;
    }
    logger().info("[file] offer {} ({}) refused by the viewer", id, it->second.name);
    outgoing_.erase(it);
    lastError_ = 2;
    if (cb_.error) cb_.error(id, 2);
    return true;
}

void FileTransferEngine::growWindow(Outgoing& o, uint32_t newlyAcked) {
    o.ackedBytesSinceSample += uint64_t{newlyAcked} * kFileChunkBytes;
    const int64_t now = clock_.nowMs();
    if (o.slowStart) {
        o.window = static_cast<uint16_t>(std::min<uint32_t>(o.window * 2u, kMaxWindow));
        o.lastSampleMs = now;
        if (o.window >= kMaxWindow) o.slowStart = false;
        return;
    }
    if (now - o.lastSampleMs >= kWindowSampleMs && o.ackedBytesSinceSample > 0) {
        o.window = static_cast<uint16_t>(std::min<uint32_t>(o.window + 1u, kMaxWindow));
        o.lastSampleMs = now;
        o.ackedBytesSinceSample = 0;
    }
}

bool FileTransferEngine::handleAck(uint32_t id, uint32_t index) {
    auto it = outgoing_.find(id);
    if (it == outgoing_.end()) return true;
    Outgoing& o = it->second;
    // Only chunks that went out can be acknowledged.
    if ((o.state != 2 && o.state != 3) || index >= o.nextChunk) return true;
    if (!o.anyAck || index > o.highestAcked) {
        const uint32_t newly = o.anyAck ? index - o.highestAcked : index + 1;
        o.highestAcked = index;
        o.anyAck = true;
        growWindow(o, newly);
    }
    pumpLocked(false);
    return true;
}

bool FileTransferEngine::handleGroupCrc(uint32_t id, uint16_t seq, uint32_t crc) {
    auto it = outgoing_.find(id);
    if (it == outgoing_.end()) return true;
    Outgoing& o = it->second;
    const uint64_t start = uint64_t{seq} * kFileGroupBytes;
    const uint64_t end = std::min(o.size, start + kFileGroupBytes);
    // Only a group that was sent whole can be checked.
    if (end <= start || end > uint64_t{o.nextChunk} * kFileChunkBytes) return true;
    uint32_t mine = 0;
    std::vector<uint8_t> buf(kFileChunkBytes);
    for (uint64_t off = start; off < end; off += kFileChunkBytes) {
        const size_t len = static_cast<size_t>(std::min<uint64_t>(kFileChunkBytes, end - off));
        const auto r = o.source->read(off, buf.data(), len);
        if (r != OutgoingSource::Read::Ok) {
            failOutgoing(
                id, r == OutgoingSource::Read::Changed ? kCancelSourceChanged : kCancelReadFailed);
            return true;
        }
        mine = crc32Update(mine, buf.data(), len);
    }
    if (mine != crc) {
        auto m = header(FileMsg::Rewind, id);
        put16(m, seq);
        put32(m, uint32_t{seq} * kFileGroupChunks);
        send(m);
    }
    return true;
}

bool FileTransferEngine::handleRewind(uint32_t id, uint32_t index) {
    auto it = outgoing_.find(id);
    if (it == outgoing_.end()) return true;
    Outgoing& o = it->second;
    // A rewind goes back, never past what was sent.
    if ((o.state != 2 && o.state != 3) || index > o.nextChunk) return true;
    o.nextChunk = index;
    pumpLocked(false);
    return true;
}

bool FileTransferEngine::handleResume(uint32_t id, uint32_t index) {
    auto it = outgoing_.find(id);
    if (it == outgoing_.end()) return true;
    Outgoing& o = it->second;
    if ((o.state != 2 && o.state != 3) || index >= o.totalChunks) return true;
    o.nextChunk = index + 1;
    o.highestAcked = index;
    o.anyAck = true;
    o.state = 2;
    pumpLocked(false);
    return true;
}

bool FileTransferEngine::handleComplete(const uint8_t* p, size_t n) {
    if (n < 8) return false;
    const uint16_t nameLen = le16(p + 6);
    if (n != size_t{8} + nameLen) return false;
    const uint32_t id = le32(p + 1);
    const uint8_t status = p[5];
    auto it = outgoing_.find(id);
    if (it == outgoing_.end()) return true;
    it->second.state = status != 0 ? 6 : 4;
    const std::string name(reinterpret_cast<const char*>(p + 8), nameLen);
    outgoing_.erase(it);  // releases the source (and its file) before the callback
    if (cb_.completion) cb_.completion(id, status, name);
    return true;
}

bool FileTransferEngine::handleCancel(uint32_t id, uint8_t reason) {
    const bool had = outgoing_.erase(id) + incoming_.erase(id) > 0;
    if (!had) return true;
    lastError_ = reason;
    if (cb_.error) cb_.error(id, reason);
    return true;
}

void FileTransferEngine::failOutgoing(uint32_t id, uint8_t reason) {
    sendCancel(id, reason);
    lastError_ = reason;
    outgoing_.erase(id);
    if (cb_.error) cb_.error(id, reason);
}

void FileTransferEngine::pumpPaused() {
    std::lock_guard lk(mu_);
    pumpLocked(true);
}

void FileTransferEngine::pumpLocked(bool pausedOnly) {
    std::vector<uint32_t> ids;
    for (const auto& [id, o] : outgoing_)
        if (o.state == 3 || (!pausedOnly && o.state == 2)) ids.push_back(id);
    for (uint32_t id : ids) {
        auto it = outgoing_.find(id);
        if (it != outgoing_.end()) pumpOne(id, it->second);
    }
}

bool FileTransferEngine::pumpOne(uint32_t id, Outgoing& o) {
    // A pause leaves slow start alone: it says the local queue is full,
    // not that the path is. Ending slow start here froze the window at the
    // 20 to 40 chunks reached by then, fewer than the two SCTP queues below
    // us hold, and the channel went idle between acknowledgements.
    auto pause = [&o] {
        o.paused = true;
        o.state = 3;
    };
    uint64_t buffered = transport_.bufferedAmount();
    if (buffered > kPauseBufferedBytes) {
        pause();
        return true;
    }
    if (o.paused && buffered >= kResumeBufferedBytes) return true;
    if (o.paused) {
        o.paused = false;
        o.state = 2;
    }
    const uint64_t acked = o.anyAck ? uint64_t{o.highestAcked} + 1 : 0;
    while (o.nextChunk < o.totalChunks) {
        const uint64_t inFlight = o.nextChunk > acked ? o.nextChunk - acked : 0;
        if (inFlight >= o.window) break;
        const uint64_t offset = uint64_t{o.nextChunk} * kFileChunkBytes;
        const auto len =
            static_cast<uint16_t>(std::min<uint64_t>(kFileChunkBytes, o.size - offset));
        chunkBuf_.assign(11 + size_t{len}, 0);
        chunkBuf_[0] = static_cast<uint8_t>(FileMsg::Chunk);
        for (int i = 0; i < 4; ++i) {
            chunkBuf_[1 + i] = static_cast<uint8_t>(id >> (8 * i));
            chunkBuf_[5 + i] = static_cast<uint8_t>(o.nextChunk >> (8 * i));
        }
        chunkBuf_[9] = static_cast<uint8_t>(len);
        chunkBuf_[10] = static_cast<uint8_t>(len >> 8);
        const auto r = o.source->read(offset, chunkBuf_.data() + 11, len);
        if (r != OutgoingSource::Read::Ok) {
            logger().warn("[file] outgoing transfer {} ({}) cancelled: {}", id, o.name,
                          r == OutgoingSource::Read::Changed ? "the file changed during the send"
                                                             : "the file could not be read");
            failOutgoing(
                id, r == OutgoingSource::Read::Changed ? kCancelSourceChanged : kCancelReadFailed);
            return false;
        }
        if (!send(chunkBuf_)) {
            pause();
            return true;
        }
        ++o.nextChunk;
        // Keep the channel's queue within the pause threshold, not a window
        // beyond it.
        if (transport_.bufferedAmount() > kPauseBufferedBytes) {
            pause();
            return true;
        }
    }
    if (o.nextChunk == o.totalChunks && o.state == 2) {
        // The last check before the receiver is told the data is complete.
        const auto r = o.source->check();
        if (r != OutgoingSource::Read::Ok) {
            logger().warn("[file] outgoing transfer {} ({}) cancelled: the file changed", id,
                          o.name);
            failOutgoing(
                id, r == OutgoingSource::Read::Changed ? kCancelSourceChanged : kCancelReadFailed);
            return false;
        }
        auto m = header(FileMsg::End, id);
        put32(m, o.totalChunks);
        send(m);
    }
    return true;
}

void FileTransferEngine::reset() {
    std::vector<uint32_t> ended;
    std::lock_guard lk(mu_);
    for (const auto& e : incoming_) ended.push_back(e.first);
    for (const auto& e : outgoing_) ended.push_back(e.first);
    const size_t in = incoming_.size(), out = outgoing_.size();
    incoming_.clear();
    outgoing_.clear();
    if (in + out > 0)
        logger().info("[file] channel closed: dropped {} incoming and {} outgoing transfers", in,
                      out);
    if (cb_.error)
        for (uint32_t id : ended) cb_.error(id, kEndedChannelClosed);
}

size_t FileTransferEngine::incomingCount() const {
    std::lock_guard lk(mu_);
    return incoming_.size();
}

size_t FileTransferEngine::outgoingCount() const {
    std::lock_guard lk(mu_);
    return outgoing_.size();
}

uint8_t FileTransferEngine::lastError() const {
    std::lock_guard lk(mu_);
    return lastError_;
}

std::optional<FileTransferEngine::OutgoingView> FileTransferEngine::outgoing(uint32_t id) const {
    std::lock_guard lk(mu_);
    auto it = outgoing_.find(id);
    if (it == outgoing_.end()) return std::nullopt;
    const Outgoing& o = it->second;
    return OutgoingView{o.state, o.window, o.slowStart, o.nextChunk, o.totalChunks};
}

}  // namespace kvd
