#pragma once
// The engine's recording side: the recorder, the finishing of stopped
// recordings off the frame thread, their upload, and the messages the
// viewer sees about them. Owned by start-up; driven by the frame pipeline,
// the session loop, the control dispatcher and shutdown.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/json_util.h"
#include "recording/recording_uploader.h"
#include "recording/session_recorder.h"

namespace kvd {

// Where finished recordings go; an empty url means nowhere.
struct UploadTarget {
    std::string url;
    std::string token;
    uint64_t maxSizeBytes = 0;
};

// Texts the viewer receives.
Json recordingStatusMessage(const RecordingStatus& s);
Json recordingErrorMessage(const RecordingError& e);
// {"type":"recording_upload","v":1,"state":..,"path":..,"sentBytes":..,"totalBytes":..}
// plus "code" and "message" when it failed.
Json recordingUploadMessage(const std::string& state, const std::string& path, uint64_t sent,
                            uint64_t total, const UploaderResult* result = nullptr);

class RecordingService {
  public:
    struct Deps {
        SessionRecorder::Deps recorder;
        RecordingUploader::Deps uploader;
        // JSON text to the viewer's control channel (dropped when closed).
        std::function<void(const std::string& json)> sendControl;
        // The current upload target (the session configuration's).
        std::function<UploadTarget()> uploadTarget;
        // Watchdog heartbeat while finishing and uploading.
        std::function<void()> keepAlive;
        // Installs the HTTP transport; empty: libcurl with KELVANDRUM_CA_CERT.
        std::function<void(RecordingUploader&)> installTransport;
        // Request fields other than url/token/path/size (chunking, back-off).
        UploadRequest uploadDefaults;
    };

    explicit RecordingService(Deps deps);
    ~RecordingService();
    RecordingService(const RecordingService&) = delete;
    RecordingService& operator=(const RecordingService&) = delete;

    SessionRecorder& recorder() { return recorder_; }
    RecordingUploader& uploader() { return uploader_; }

    // "recording_start" / "recording_stop" from the viewer: the replies.
    // Empty when the message is ignored (already recording / not recording).
    std::optional<Json> viewerStart(bool* started = nullptr);
    std::optional<Json> viewerStop();

    void tick() { recorder_.tick(); }

    // Shutdown: stop the recording, finish it, start its upload (with any
    // finished recording still waiting for one).
    void stopAtSessionEnd();
    // Shutdown: wait for uploads and finishing at most timeoutMs; false when
    // they had to be abandoned (cancelled; the worker may still be ending).
    bool drain(int64_t timeoutMs);
    // Whether a recording is being finished or uploaded, or waits for it.
    bool busy() const;

    // Finished recordings that were not uploaded (yet).
    std::vector<RecordingOutput> pendingUploads() const;

  private:
    struct Job {
        std::optional<CapturedRecording> capture;  // to finish first
        RecordingOutput output;                    // or already finished
        // Where the recording goes, as configured when it was stopped; a
        // configuration that arrives while it is still being finished is
        // for later recordings.
        std::optional<UploadTarget> target;
    };
    void enqueue(Job job);
    void workLoop();
    void process(Job job);
    void upload(const RecordingOutput& out, const UploadTarget& target);
    void send(const Json& j);
    UploadTarget currentTarget() const;

    Deps deps_;
    SessionRecorder recorder_;
    RecordingUploader uploader_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    bool busy_ = false;
    bool stopping_ = false;
    std::vector<RecordingOutput> awaitingUpload_;
    // An upload URL is a resumable slot for one file: the file it was given.
    std::map<std::string, std::string> urlFile_;
    std::thread worker_;
};

}  // namespace kvd
