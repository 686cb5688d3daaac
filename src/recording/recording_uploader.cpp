#include "recording/recording_uploader.h"

#include <algorithm>
#include <cctype>

#include "common/log.h"

namespace kvd {

namespace {

bool isHttps(const std::string& url) {
    static const std::string scheme = "https://";
    if (url.size() < scheme.size()) return false;
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
    return true;
}

bool offsetAnswer(const HttpResponse& r) {
    return r.status == 200 || r.status == 204;
}

UploaderResult failure(const char* code, std::string message, uint64_t bytes = 0) {
    return {false, code, std::move(message), bytes};
}

}  // namespace

RecordingUploader::RecordingUploader() : RecordingUploader(Deps{}) {}

RecordingUploader::RecordingUploader(Deps deps) : deps_(std::move(deps)) {
    if (!deps_.files) deps_.files = &platform::hostFileStore();
    if (!deps_.clock) deps_.clock = &SteadyClock::instance();
}

RecordingUploader::~RecordingUploader() {
    cancel();
    join();
}

void RecordingUploader::setOnProgress(std::function<void(uint64_t, uint64_t)> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    onProgress_ = std::move(fn);
}
void RecordingUploader::setOnResult(std::function<void(const UploaderResult&)> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    onResult_ = std::move(fn);
}
void RecordingUploader::setSendChunk(SendChunk fn) {
    std::lock_guard<std::mutex> lock(mu_);
    sendChunk_ = std::move(fn);
}
void RecordingUploader::setQueryOffset(QueryOffset fn) {
    std::lock_guard<std::mutex> lock(mu_);
    queryOffset_ = std::move(fn);
}

UploaderResult RecordingUploader::result() const {
    std::lock_guard<std::mutex> lock(mu_);
    return result_;
}

void RecordingUploader::cancel() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        cancel_ = true;
    }
    cv_.notify_all();
}

bool RecordingUploader::abortRequested() const {
    if (cancel_.load()) return true;
    const int64_t d = deadlineMs_.load();
    return d != 0 && deps_.clock->nowMs() > d;
}

void RecordingUploader::finishWith(UploaderResult r) {
    std::function<void(const UploaderResult&)> fn;
    {
        std::lock_guard<std::mutex> lock(mu_);
        result_ = r;
        fn = onResult_;
    }
    running_ = false;
    if (fn) fn(r);
}

bool RecordingUploader::start(UploadRequest req) {
    bool expected = false;
    if (!running_.compare_exchange_strong(expected, true)) return false;
    // The previous worker has finished (running was clear); dispose of it.
    join();
    auto& fs = *deps_.files;
    std::string err;
    UploaderResult bad;
    if (!isHttps(req.url)) {
        bad = failure("HTTPS_REQUIRED", "upload URL must use https://");
    } else if (!fs.exists(req.localPath)) {
        bad = failure("IO", "local file does not exist");
    } else if (auto size = fs.fileSize(req.localPath, err);
               req.maxUploadBytes > 0 && size && *size > req.maxUploadBytes) {
        bad = failure("TOO_LARGE", "recording exceeds max upload size");
    }
    if (!bad.code.empty()) {
        finishWith(bad);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        req_ = std::move(req);
        cancel_ = false;
    }
    {
        std::lock_guard<std::mutex> lock(joinMu_);
        workerDone_ = false;
    }
    worker_ = std::thread([this] { work(); });
    return true;
}

void RecordingUploader::join() {
    if (worker_.joinable()) worker_.join();
}

bool RecordingUploader::joinFor(int64_t timeoutMs, const std::function<void()>& whileWaiting) {
    if (!worker_.joinable()) return true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(joinMu_);
    while (!workerDone_) {
        if (whileWaiting) whileWaiting();
        if (std::chrono::steady_clock::now() >= until) return false;
        doneCv_.wait_until(lock, std::min(until, std::chrono::steady_clock::now() +
                                                     std::chrono::milliseconds(500)));
    }
    lock.unlock();
    worker_.join();
    return true;
}

void RecordingUploader::work() {
    UploadRequest req;
    {
        std::lock_guard<std::mutex> lock(mu_);
        req = req_;
    }
    UploaderResult r;
    try {
        r = upload(req);
    } catch (const std::exception& e) {
        r = failure("NETWORK", std::string("upload failed: ") + e.what());
    }
    deadlineMs_ = 0;
    finishWith(r);
    {
        std::lock_guard<std::mutex> lock(joinMu_);
        workerDone_ = true;
    }
    doneCv_.notify_all();
}

void RecordingUploader::waitPause(int64_t ms) {
    if (deps_.pause) {
        deps_.pause(ms);
        return;
    }
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return cancel_.load(); });
}

UploaderResult RecordingUploader::upload(const UploadRequest& req) {
    SendChunk send;
    QueryOffset query;
    std::function<void(uint64_t, uint64_t)> progress;
    {
        std::lock_guard<std::mutex> lock(mu_);
        send = sendChunk_;
        query = queryOffset_;
        progress = onProgress_;
    }
    if (!send || !query) return failure("NETWORK", "no transport configured");
    auto& fs = *deps_.files;
    std::string err;
    const auto sizeOpt = fs.fileSize(req.localPath, err);
    if (!sizeOpt) return failure("IO", "file_size failed: " + err);
    const uint64_t size = *sizeOpt;
    auto file = fs.openRead(req.localPath);
    if (!file) return failure("IO", "failed to open local file");

    const int64_t startMs = deps_.clock->nowMs();
    deadlineMs_ = startMs + static_cast<int64_t>(req.overallTimeoutSec) * 1000;
    auto pastDeadline = [&] {
        return deps_.clock->nowMs() - startMs > static_cast<int64_t>(req.overallTimeoutSec) * 1000;
    };
    uint64_t offset = 0;
    if (const auto q = query(req.url, req.token); offsetAnswer(q) && q.uploadOffset <= size)
        offset = q.uploadOffset;

    const uint64_t chunkSize = std::max<uint64_t>(req.chunkSize, 1);
    std::vector<uint8_t> chunk;
    while (offset < size) {
        if (cancel_) return failure("CANCELLED", "upload cancelled", offset);
        if (pastDeadline()) return failure("TIMEOUT", "upload overall timeout exceeded", offset);
        const uint64_t n = std::min(chunkSize, size - offset);
        chunk.resize(n);
        if (file->readAt(offset, chunk.data(), n) != static_cast<int64_t>(n))
            return failure("IO", "failed to read chunk from local file", offset);

        HttpResponse last;
        bool acked = false, moved = false;
        int32_t failed = 0;
        int64_t pause = req.backoffInitialMs;
        while (!acked && !moved) {
            last = send(req.url, req.token, offset, size, chunk);
            if (last.status >= 200 && last.status <= 299) {
                acked = true;
                break;
            }
            if (last.status == 409) {
                const auto q = query(req.url, req.token);
                if (!offsetAnswer(q) || q.uploadOffset > size) break;  // failed for good
                if (q.uploadOffset != offset) {
                    logger().info("[recording] upload resynchronised at offset {} (was {})",
                                  q.uploadOffset, offset);
                    offset = q.uploadOffset;
                    moved = true;
                    break;
                }
                // The server disagrees but names the same offset: retrying at
                // once would loop forever, so this is a failed attempt.
            }
            if (cancel_) return failure("CANCELLED", "upload cancelled", offset);
            if (pastDeadline())
                return failure("TIMEOUT", "upload overall timeout exceeded", offset);
            if (++failed >= req.maxRetries) break;
            waitPause(pause);
            if (cancel_) return failure("CANCELLED", "upload cancelled", offset);
            if (pastDeadline())
                return failure("TIMEOUT", "upload overall timeout exceeded", offset);
            pause = std::min<int64_t>(pause * 2, req.backoffMaxMs);
        }
        if (moved) continue;
        if (!acked) {
            if (last.status >= 400 && last.status <= 499)
                return failure("HTTP_4XX", last.errorText, offset);
            if (last.status != 0) return failure("HTTP_5XX", last.errorText, offset);
            return failure("NETWORK", last.errorText.empty() ? "no response" : last.errorText,
                           offset);
        }
        offset += n;
        if (progress) progress(offset, size);
    }
    if (offset == size) return {true, "", "", size};
    return failure("NETWORK", "upload incomplete", offset);
}

}  // namespace kvd
