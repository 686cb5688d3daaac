#pragma once
// Records the session's H.264 access units: a raw Annex B stream plus a
// sidecar of presentation times while recording, turned into the configured
// output (raw, MP4, encrypted MP4) when the recording stops.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/clock.h"
#include "platform/file_store.h"

namespace kvd {

enum class RecordingFormat : uint8_t { RawH264 = 0, Mp4 = 1, Mp4Encrypted = 2 };
const char* recordingFormatWord(RecordingFormat f);  // "h264-raw", "mp4", "mp4-enc"
const char* recordingExtension(RecordingFormat f);   // ".h264", ".mp4", ".mp4.enc"

struct RecorderConfig {
    std::string tenantId;
    std::string sessionId;
    std::vector<uint8_t> encryptionKey;
    uint32_t width = 1920;
    uint32_t height = 1080;
    uint32_t fps = 30;
    std::string outputDir;
    uint64_t minFreeBytes = 104857600;
    uint32_t statusIntervalSec = 5;
    uint32_t diskCheckIntervalSec = 30;
    RecordingFormat format = RecordingFormat::Mp4;
    uint64_t maxSizeBytes = 0;
};

struct RecordingStatus {
    bool active = false;
    int64_t elapsedMs = 0;
    uint64_t bytesWritten = 0;
};

struct RecordingError {
    std::string code;
    std::string message;
    bool fatal = false;
};

// A finished recording; an empty path means none was produced.
struct RecordingOutput {
    std::string path;
    uint64_t size = 0;
};

// Keys that have encrypted a recording in this process. AES-GCM with the
// fixed nonce layout must never see the same key twice.
class EncryptionKeyLedger {
  public:
    bool claim(const std::vector<uint8_t>& key);
    void release(const std::vector<uint8_t>& key);
    static EncryptionKeyLedger& processWide();

  private:
    std::mutex mu_;
    std::set<std::vector<uint8_t>> used_;
};

// A recording whose capture has ended and whose output is still to be made.
struct CapturedRecording {
    RecordingFormat format = RecordingFormat::Mp4;
    std::string outputPath, rawPath, sidecarPath, mp4PartPath, keptRawPath;
    uint64_t bytes = 0;
    uint32_t fps = 30;
    std::vector<uint8_t> key;
    bool keyClaimed = false;
};

// The projected size of the finished file after n raw bytes in `frames`
// access units: the MP4 container's per-frame tables and the encryption
// tags included, so that a file stopped at the ceiling stays within it.
uint64_t projectedRecordingSize(RecordingFormat format, uint64_t rawBytes, uint64_t frames);

class SessionRecorder {
  public:
    struct Deps {
        platform::FileStore* files = nullptr;                     // null: the host's
        const Clock* clock = nullptr;                             // null: the steady clock
        EncryptionKeyLedger* ledger = nullptr;                    // null: the process-wide one
        std::function<std::vector<std::string>()> dirCandidates;  // empty: the platform's
        // Called now and then during a long finish (watchdog heartbeat).
        std::function<void()> keepAlive;
    };

    SessionRecorder();
    explicit SessionRecorder(Deps deps);

    void configure(RecorderConfig cfg);
    RecorderConfig config() const;

    bool start();
    void writeFrame(const uint8_t* data, size_t size, bool keyframe, int64_t ptsUs);
    void tick();
    // Ends the recording and produces its output.
    RecordingOutput stop();
    // The two halves of stop: end the capture now (cheap), produce the
    // output later (remux, encryption; may take long) on any thread.
    std::optional<CapturedRecording> stopCapture();
    RecordingOutput finish(CapturedRecording rec);

    RecordingStatus status() const;
    std::string outputPath() const;
    bool active() const;

    void setOnStatus(std::function<void(const RecordingStatus&)> fn);
    void setOnError(std::function<void(const RecordingError&)> fn);
    // A capture that ended on its own (free disk below the threshold). Without
    // it the recorder finishes the recording itself.
    void setOnCaptureEnded(std::function<void(CapturedRecording)> fn);

  private:
    std::string resolveDirLocked();
    RecordingStatus statusLocked(int64_t nowMs) const;
    void reportLocked(const RecordingError& e);
    std::optional<CapturedRecording> stopCaptureLocked();
    void report(const RecordingError& e);

    Deps deps_;
    mutable std::mutex mu_;
    RecorderConfig cfg_;
    bool active_ = false;
    std::atomic<bool> sizeLimitHit_{false};
    bool writeFailed_ = false;
    bool sawKeyframe_ = false;
    int64_t startMs_ = 0;
    uint64_t bytesWritten_ = 0;
    uint64_t framesWritten_ = 0;
    int64_t lastStatusMs_ = 0;
    int64_t lastDiskCheckMs_ = 0;
    uint32_t recordingSeq_ = 0;
    // Per-recording file state.
    CapturedRecording cur_;
    std::string dir_;
    std::unique_ptr<platform::WritableFile> raw_;
    std::unique_ptr<platform::WritableFile> sidecar_;
    std::function<void(const RecordingStatus&)> onStatus_;
    std::function<void(const RecordingError&)> onError_;
    std::function<void(CapturedRecording)> onCaptureEnded_;
};

}  // namespace kvd
