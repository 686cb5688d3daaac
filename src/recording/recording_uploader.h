#pragma once
// Resumable chunked upload of a finished recording over HTTPS: ask the
// server for its offset, then PUT the rest piece by piece with retries and
// back-off, bounded by cancellation and an overall deadline. One upload at a
// time, on a worker thread; the HTTP requests go through replaceable
// transport functions.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "platform/file_store.h"

namespace kvd {

struct UploadRequest {
    std::string url;
    std::string token;
    std::string localPath;
    uint64_t maxUploadBytes = 0;
    uint64_t chunkSize = 10485760;
    int32_t maxRetries = 10;
    int32_t backoffInitialMs = 2000;
    int32_t backoffMaxMs = 60000;
    int32_t overallTimeoutSec = 86400;
};

struct HttpResponse {
    int32_t status = 0;
    std::string errorText;
    uint64_t uploadOffset = 0;
};

struct UploaderResult {
    bool ok = false;
    std::string code;
    std::string message;
    uint64_t bytesUploaded = 0;
};

class RecordingUploader {
  public:
    using SendChunk = std::function<HttpResponse(const std::string& url, const std::string& token,
                                                 uint64_t offset, uint64_t total,
                                                 const std::vector<uint8_t>& chunk)>;
    using QueryOffset =
        std::function<HttpResponse(const std::string& url, const std::string& token)>;

    struct Deps {
        platform::FileStore* files = nullptr;  // null: the host's
        const Clock* clock = nullptr;          // null: the steady clock
        // Back-off pause; returns early when cancelled. Empty: a real wait.
        std::function<void(int64_t ms)> pause;
    };

    RecordingUploader();
    explicit RecordingUploader(Deps deps);
    ~RecordingUploader();
    RecordingUploader(const RecordingUploader&) = delete;
    RecordingUploader& operator=(const RecordingUploader&) = delete;

    bool start(UploadRequest req);
    void cancel();
    UploaderResult result() const;
    void join();
    // Waits at most timeoutMs for the worker; true when it has ended.
    bool joinFor(int64_t timeoutMs, const std::function<void()>& whileWaiting = {});
    bool running() const { return running_.load(); }
    // For transports: true once the running upload should give up at once
    // (cancelled, or past its overall deadline).
    bool abortRequested() const;

    void setOnProgress(std::function<void(uint64_t sent, uint64_t total)> fn);
    void setOnResult(std::function<void(const UploaderResult&)> fn);
    void setSendChunk(SendChunk fn);
    void setQueryOffset(QueryOffset fn);

  private:
    void work();
    UploaderResult upload(const UploadRequest& req);
    void finishWith(UploaderResult r);
    void waitPause(int64_t ms);

    Deps deps_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    UploadRequest req_;
    UploaderResult result_;
    std::function<void(uint64_t, uint64_t)> onProgress_;
    std::function<void(const UploaderResult&)> onResult_;
    SendChunk sendChunk_;
    QueryOffset queryOffset_;
    std::atomic<bool> running_{false};
    std::atomic<bool> cancel_{false};
    std::atomic<int64_t> deadlineMs_{0};
    std::thread worker_;
    std::mutex joinMu_;
    bool workerDone_ = true;
    std::condition_variable doneCv_;
};

}  // namespace kvd
