#include "recording/session_recorder.h"

#include <cstring>

#include "common/log.h"
#include "recording/recording_crypto.h"
#include "recording/remux.h"

namespace kvd {

namespace {

// Upper bounds of what the MP4 container adds: moov/ftyp/mdat headers, and
// per frame the sample size, sync, chunk offset, sample-to-chunk and time
// entries plus a length prefix that may replace a 3-byte start code for a
// few NAL units.
constexpr uint64_t kMp4FixedOverhead = 4096;
constexpr uint64_t kMp4PerFrameOverhead = 48;

constexpr const char* kSizeLimitMessage =
    "Recording reached the maximum size allowed by the server; the part captured so far is "
    "kept and uploaded.";

void putLe(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int64_t getLe64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return static_cast<int64_t>(v);
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/' || dir.back() == '\\') return dir + name;
    return dir + "/" + name;
}

}  // namespace

const char* recordingFormatWord(RecordingFormat f) {
    switch (f) {
        case RecordingFormat::RawH264:
            return "h264-raw";
        case RecordingFormat::Mp4:
            return "mp4";
        case RecordingFormat::Mp4Encrypted:
            return "mp4-enc";
    }
    return "mp4";
}

const char* recordingExtension(RecordingFormat f) {
    switch (f) {
        case RecordingFormat::RawH264:
            return ".h264";
        case RecordingFormat::Mp4:
            return ".mp4";
        case RecordingFormat::Mp4Encrypted:
            return ".mp4.enc";
    }
    return ".mp4";
}

uint64_t projectedRecordingSize(RecordingFormat format, uint64_t rawBytes, uint64_t frames) {
    uint64_t plain = rawBytes;
    if (format != RecordingFormat::RawH264)
        plain += kMp4FixedOverhead + kMp4PerFrameOverhead * frames;
    // The encryption tags count for every format, as the server expects.
    return encryptedSize(plain);
}

bool EncryptionKeyLedger::claim(const std::vector<uint8_t>& key) {
    std::lock_guard<std::mutex> lock(mu_);
    return used_.insert(key).second;
}

void EncryptionKeyLedger::release(const std::vector<uint8_t>& key) {
    std::lock_guard<std::mutex> lock(mu_);
    used_.erase(key);
}

EncryptionKeyLedger& EncryptionKeyLedger::processWide() {
    static EncryptionKeyLedger ledger;
    return ledger;
}

SessionRecorder::SessionRecorder() : SessionRecorder(Deps{}) {}

SessionRecorder::SessionRecorder(Deps deps) : deps_(std::move(deps)) {
    if (!deps_.files) deps_.files = &platform::hostFileStore();
    if (!deps_.clock) deps_.clock = &SteadyClock::instance();
    if (!deps_.ledger) deps_.ledger = &EncryptionKeyLedger::processWide();
    if (!deps_.dirCandidates) deps_.dirCandidates = platform::recordingDirCandidates;
}

void SessionRecorder::configure(RecorderConfig cfg) {
    std::lock_guard<std::mutex> lock(mu_);
    if (active_) {
        logger().warn("configure() ignored while active");
        return;
    }
    cfg_ = std::move(cfg);
}

RecorderConfig SessionRecorder::config() const {
    std::lock_guard<std::mutex> lock(mu_);
    return cfg_;
}

void SessionRecorder::setOnStatus(std::function<void(const RecordingStatus&)> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    onStatus_ = std::move(fn);
}

void SessionRecorder::setOnError(std::function<void(const RecordingError&)> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    onError_ = std::move(fn);
}

void SessionRecorder::setOnCaptureEnded(std::function<void(CapturedRecording)> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    onCaptureEnded_ = std::move(fn);
}

void SessionRecorder::reportLocked(const RecordingError& e) {
    if (onError_) onError_(e);
}

void SessionRecorder::report(const RecordingError& e) {
    std::function<void(const RecordingError&)> fn;
    {
        std::lock_guard<std::mutex> lock(mu_);
        fn = onError_;
    }
    if (fn) fn(e);
}

std::string SessionRecorder::resolveDirLocked() {
    if (!cfg_.outputDir.empty()) return cfg_.outputDir;
    const auto candidates = deps_.dirCandidates();
    auto& fs = *deps_.files;
    for (const auto& dir : candidates) {
        std::string err;
        if (!fs.createDirectories(dir, err)) {
            logger().warn("recording dir candidate '{}' rejected (create: {})", dir, err);
            continue;
        }
        const std::string probe = joinPath(dir, ".kelvandrum-write-probe");
        auto f = fs.openWrite(probe);
        if (!f) {
            logger().warn("recording dir candidate '{}' rejected (not writable)", dir);
            continue;
        }
        const bool wrote = f->write("ok", 2) && f->close();
        fs.remove(probe);
        if (!wrote) {
            logger().warn("recording dir candidate '{}' rejected (write failed)", dir);
            continue;
        }
        return dir;
    }
    logger().error("no writable recording dir among {} candidate(s) — recording cannot start",
                   candidates.size());
    return {};
}

bool SessionRecorder::start() {
    std::lock_guard<std::mutex> lock(mu_);
    if (active_) return true;
    if (cfg_.sessionId.empty()) {
        logger().error("start() without sessionId");
        return false;
    }
    const bool encrypted = cfg_.format == RecordingFormat::Mp4Encrypted;
    if (encrypted && cfg_.encryptionKey.size() != 32) {
        logger().error("Mp4Encrypted format requires a 32-byte encryption key (got {})",
                       cfg_.encryptionKey.size());
        reportLocked({"ENCRYPT_ERROR",
                      "No usable encryption key for this session (got " +
                          std::to_string(cfg_.encryptionKey.size()) +
                          " bytes, need 32); the encrypted recording was refused.",
                      false});
        return false;
    }
    if (encrypted && !deps_.ledger->claim(cfg_.encryptionKey)) {
        logger().error(
            "[recording] refusing a second encrypted recording with this session's key (it "
            "would reuse every nonce)");
        reportLocked({"ENCRYPT_ERROR",
                      "Only one encrypted recording is possible per session: a second one would "
                      "reuse the encryption key and nonces. Start a new session to record again.",
                      false});
        return false;
    }
    auto unclaim = [&] {
        if (encrypted) deps_.ledger->release(cfg_.encryptionKey);
    };
    const std::string dir = resolveDirLocked();
    if (dir.empty()) {
        logger().error("unable to resolve recording directory");
        unclaim();
        return false;
    }
    auto& fs = *deps_.files;
    // Every recording of the process gets its own names; a later one never
    // overwrites an earlier one (nor one left by a previous process).
    const std::string base = sanitiseForFileName(cfg_.sessionId);
    CapturedRecording rec;
    for (uint32_t n = recordingSeq_ + 1;; ++n) {
        const std::string stem = joinPath(dir, n == 1 ? base : base + "-" + std::to_string(n));
        rec.outputPath = stem + recordingExtension(cfg_.format);
        rec.rawPath =
            cfg_.format == RecordingFormat::RawH264 ? rec.outputPath : stem + ".h264.part";
        rec.sidecarPath = stem + ".pts2.part";
        rec.mp4PartPath = stem + ".mp4.part";
        rec.keptRawPath = stem + ".h264";
        const bool taken = fs.exists(rec.outputPath) || fs.exists(rec.rawPath) ||
                           (cfg_.format != RecordingFormat::RawH264 && fs.exists(rec.keptRawPath));
        if (!taken || n > 100000) {
            recordingSeq_ = n;
            break;
        }
    }
    raw_ = fs.openWrite(rec.rawPath);
    if (!raw_) {
        logger().error("failed to open raw H.264 buffer '{}'", rec.rawPath);
        unclaim();
        return false;
    }
    sidecar_.reset();
    if (cfg_.format != RecordingFormat::RawH264) {
        sidecar_ = fs.openWrite(rec.sidecarPath);
        if (!sidecar_)
            logger().warn("failed to open PTS sidecar '{}' — remux will fall back to CFR",
                          rec.sidecarPath);
    }
    rec.format = cfg_.format;
    rec.fps = cfg_.fps >= 1 ? cfg_.fps : 30;
    rec.key = cfg_.encryptionKey;
    rec.keyClaimed = encrypted;
    cur_ = std::move(rec);
    dir_ = dir;
    bytesWritten_ = 0;
    framesWritten_ = 0;
    sawKeyframe_ = false;
    sizeLimitHit_ = false;
    writeFailed_ = false;
    lastStatusMs_ = 0;
    lastDiskCheckMs_ = 0;
    startMs_ = deps_.clock->nowMs();
    active_ = true;
    logger().info("recording started, file='{}' format={}", cur_.outputPath,
                  recordingFormatWord(cfg_.format));
    return true;
}

void SessionRecorder::writeFrame(const uint8_t* data, size_t size, bool keyframe, int64_t ptsUs) {
    if (sizeLimitHit_.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(mu_);
    if (!active_ || !data || size == 0 || sizeLimitHit_ || writeFailed_) return;
    if (!sawKeyframe_) {
        if (!keyframe) return;
        sawKeyframe_ = true;
    }
    if (cfg_.maxSizeBytes > 0) {
        const uint64_t projected =
            projectedRecordingSize(cfg_.format, bytesWritten_ + size, framesWritten_ + 1);
        if (projected > cfg_.maxSizeBytes) {
            sizeLimitHit_ = true;
            logger().warn(
                "[recording] size ceiling reached ({} bytes advertised) — capture stopped, "
                "keeping {} raw bytes for upload",
                cfg_.maxSizeBytes, bytesWritten_);
            reportLocked({"RECORDING_SIZE_LIMIT", kSizeLimitMessage, false});
            return;
        }
    }
    if (!raw_->write(data, size)) {
        // Whatever reached the file stays; nothing more is appended to a
        // stream that failed (a full disk would fail every frame).
        writeFailed_ = true;
        logger().error("[recording] raw H.264 write failed: {}", raw_->errorText());
        reportLocked({"IO_ERROR", "write to raw H.264 buffer failed", false});
        return;
    }
    if (sidecar_) {
        uint8_t rec[16] = {};
        putLe(rec, static_cast<uint64_t>(ptsUs), 8);
        putLe(rec + 8, static_cast<uint32_t>(size), 4);
        rec[12] = keyframe ? 1 : 0;
        if (!sidecar_->write(rec, sizeof(rec))) {
            logger().warn("PTS sidecar write failed — remux will fall back to CFR");
            sidecar_->close();
            sidecar_.reset();
        }
    }
    bytesWritten_ += size;
    ++framesWritten_;
}

RecordingStatus SessionRecorder::statusLocked(int64_t nowMs) const {
    RecordingStatus s;
    s.active = active_;
    s.elapsedMs = active_ ? nowMs - startMs_ : 0;
    s.bytesWritten = bytesWritten_;
    return s;
}

void SessionRecorder::tick() {
    std::optional<CapturedRecording> ended;
    std::function<void(CapturedRecording)> endedFn;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!active_) return;
        const int64_t now = deps_.clock->nowMs();
        if (lastStatusMs_ == 0 ||
            now - lastStatusMs_ >= static_cast<int64_t>(cfg_.statusIntervalSec) * 1000) {
            lastStatusMs_ = now;
            if (onStatus_) onStatus_(statusLocked(now));
        }
        if (lastDiskCheckMs_ == 0 ||
            now - lastDiskCheckMs_ >= static_cast<int64_t>(cfg_.diskCheckIntervalSec) * 1000) {
            lastDiskCheckMs_ = now;
            const auto free = deps_.files->freeSpace(dir_);
            if (free && *free < cfg_.minFreeBytes) {
                const RecordingError e{"DISK_FULL",
                                       "free disk below threshold — stopping recording", false};
                reportLocked(e);
                logger().warn("{}", e.message);
                ended = stopCaptureLocked();
                endedFn = onCaptureEnded_;
            }
        }
    }
    if (!ended) return;
    if (endedFn)
        endedFn(std::move(*ended));
    else
        finish(std::move(*ended));
}

std::optional<CapturedRecording> SessionRecorder::stopCaptureLocked() {
    if (!active_) return std::nullopt;
    active_ = false;
    if (raw_) {
        raw_->flush();
        raw_->close();
        raw_.reset();
    }
    if (sidecar_) {
        sidecar_->flush();
        sidecar_->close();
        sidecar_.reset();
    }
    logger().info("recording stopped, bytes={}", bytesWritten_);
    CapturedRecording rec = cur_;
    rec.bytes = bytesWritten_;
    return rec;
}

std::optional<CapturedRecording> SessionRecorder::stopCapture() {
    std::lock_guard<std::mutex> lock(mu_);
    return stopCaptureLocked();
}

RecordingOutput SessionRecorder::stop() {
    auto rec = stopCapture();
    if (!rec) return {};
    return finish(std::move(*rec));
}

RecordingOutput SessionRecorder::finish(CapturedRecording rec) {
    auto& fs = *deps_.files;
    auto releaseKey = [&] {
        if (rec.keyClaimed) deps_.ledger->release(rec.key);
    };
    std::string err;
    if (rec.bytes == 0) {
        logger().info("recording stopped with 0 bytes captured — leaving no output file");
        fs.remove(rec.rawPath);
        fs.remove(rec.sidecarPath);
        releaseKey();
        return {};
    }
    if (rec.format == RecordingFormat::RawH264) {
        const auto size = fs.fileSize(rec.outputPath, err);
        return {rec.outputPath, size.value_or(rec.bytes)};
    }

    std::optional<std::vector<int64_t>> times;
    uint64_t records = 0;
    if (auto sidecarSize = fs.fileSize(rec.sidecarPath, err); sidecarSize && *sidecarSize >= 16) {
        records = *sidecarSize / 16;
        std::vector<int64_t> t;
        t.reserve(records);
        if (auto in = fs.openRead(rec.sidecarPath)) {
            std::vector<uint8_t> buf(16 * 4096);
            uint64_t off = 0;
            while (t.size() < records) {
                const int64_t got = in->readAt(off, buf.data(), buf.size());
                if (got <= 0) break;
                for (int64_t i = 0; i + 16 <= got && t.size() < records; i += 16)
                    t.push_back(getLe64(buf.data() + i));
                off += static_cast<uint64_t>(got);
            }
        }
        records = t.size();
        if (!t.empty()) times = std::move(t);
    }
    const uint64_t rawSize = fs.fileSize(rec.rawPath, err).value_or(0);
    if (rawSize < 16 * records)
        logger().warn(
            "recording: raw .h264 is {} bytes for ~{} expected frames (sidecar) — likely "
            "truncated; remux will recover what it can",
            rawSize, records);

    std::string reason;
    auto keep = [this](uint64_t) {
        if (deps_.keepAlive) deps_.keepAlive();
    };
    if (!remuxH264ToMp4(rec.rawPath, rec.mp4PartPath, times, static_cast<int>(rec.fps), reason,
                        keep)) {
        logger().error("remux H.264 -> MP4 failed: {}", reason);
        report({"MUX_ERROR", "remux to MP4 failed: " + reason, false});
        fs.remove(rec.mp4PartPath);
        fs.remove(rec.sidecarPath);
        releaseKey();
        if (!fs.rename(rec.rawPath, rec.keptRawPath)) {
            report({"IO_ERROR", "failed to keep the raw H.264 stream", false});
            return {};
        }
        return {rec.keptRawPath, fs.fileSize(rec.keptRawPath, err).value_or(rawSize)};
    }
    fs.remove(rec.rawPath);
    fs.remove(rec.sidecarPath);

    if (rec.format == RecordingFormat::Mp4) {
        if (!fs.rename(rec.mp4PartPath, rec.outputPath)) {
            report({"IO_ERROR", "failed to rename .mp4.part to the output", false});
            return {rec.mp4PartPath, fs.fileSize(rec.mp4PartPath, err).value_or(0)};
        }
        return {rec.outputPath, fs.fileSize(rec.outputPath, err).value_or(0)};
    }

    if (!encryptFile(rec.key, fs, rec.mp4PartPath, rec.outputPath, reason, [this](uint64_t) {
            if (deps_.keepAlive) deps_.keepAlive();
        })) {
        logger().error("[recording] encryption failed: {}", reason);
        const bool io = reason.rfind("encryptBuffer", 0) != 0;
        report({io ? "IO_ERROR" : "ENCRYPT_ERROR", io ? reason : "encryptBuffer failed", false});
        fs.remove(rec.outputPath);
        // The plain MP4 is never offered for upload in place of the
        // encrypted one; it stays on disk for the operator.
        return {};
    }
    fs.remove(rec.mp4PartPath);
    return {rec.outputPath, fs.fileSize(rec.outputPath, err).value_or(0)};
}

RecordingStatus SessionRecorder::status() const {
    std::lock_guard<std::mutex> lock(mu_);
    return statusLocked(deps_.clock->nowMs());
}

std::string SessionRecorder::outputPath() const {
    std::lock_guard<std::mutex> lock(mu_);
    return cur_.outputPath;
}

bool SessionRecorder::active() const {
    std::lock_guard<std::mutex> lock(mu_);
    return active_;
}

}  // namespace kvd
