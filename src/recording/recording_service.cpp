#include "recording/recording_service.h"

#include <cstdlib>

#include "common/log.h"
#include "recording/curl_transport.h"

namespace kvd {

Json recordingStatusMessage(const RecordingStatus& s) {
    Json j;
    j["active"] = s.active;
    j["durationMs"] = s.elapsedMs;
    j["sizeBytes"] = s.bytesWritten;
    j["type"] = "recording_status";
    j["v"] = 1;
    return j;
}

Json recordingErrorMessage(const RecordingError& e) {
    Json j;
    j["code"] = e.code;
    j["fatal"] = e.fatal;
    j["message"] = e.message;
    j["type"] = "recording_error";
    j["v"] = 1;
    return j;
}

Json recordingUploadMessage(const std::string& state, const std::string& path, uint64_t sent,
                            uint64_t total, const UploaderResult* result) {
    Json j;
    j["path"] = path;
    j["sentBytes"] = sent;
    j["state"] = state;
    j["totalBytes"] = total;
    j["type"] = "recording_upload";
    j["v"] = 1;
    if (result && !result->ok) {
        j["code"] = result->code;
        j["message"] = result->message;
    }
    return j;
}

RecordingService::RecordingService(Deps deps)
    : deps_(std::move(deps)), recorder_(deps_.recorder), uploader_(deps_.uploader) {
    recorder_.setOnStatus([this](const RecordingStatus& s) { send(recordingStatusMessage(s)); });
    recorder_.setOnError([this](const RecordingError& e) {
        logger().warn("[recording] error code={} msg={} fatal={}", e.code, e.message, e.fatal);
        send(recordingErrorMessage(e));
    });
    // A capture that ended on its own is finished off the frame thread.
    recorder_.setOnCaptureEnded([this](CapturedRecording rec) {
        Job j;
        j.capture = std::move(rec);
        enqueue(std::move(j));
    });
    if (deps_.installTransport) {
        deps_.installTransport(uploader_);
    } else {
        CurlTransportOptions o;
        if (const char* ca = std::getenv("KELVANDRUM_CA_CERT"); ca && *ca) o.extraCaFile = ca;
        installCurlTransport(uploader_, std::move(o));
    }
    worker_ = std::thread([this] { workLoop(); });
}

RecordingService::~RecordingService() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        jobs_.clear();
    }
    cv_.notify_all();
    uploader_.cancel();
    if (worker_.joinable()) worker_.join();
}

void RecordingService::send(const Json& j) {
    if (deps_.sendControl) deps_.sendControl(dumpJson(j));
}

UploadTarget RecordingService::currentTarget() const {
    return deps_.uploadTarget ? deps_.uploadTarget() : UploadTarget{};
}

std::optional<Json> RecordingService::viewerStart(bool* started) {
    if (recorder_.active()) return std::nullopt;
    const bool ok = recorder_.start();
    const std::string path = recorder_.outputPath();
    logger().info("[recording] start requested -> ok={} path={}", ok, path);
    if (started) *started = ok;
    Json j;
    j["active"] = ok;
    j["durationMs"] = 0;
    j["path"] = path;
    j["sizeBytes"] = 0;
    j["type"] = "recording_status";
    j["v"] = 1;
    return j;
}

std::optional<Json> RecordingService::viewerStop() {
    const RecordingStatus st = recorder_.status();
    auto captured = recorder_.stopCapture();
    if (!captured) return std::nullopt;
    logger().info("[recording] stopped durationMs={} sizeBytes={} path={}", st.elapsedMs,
                  st.bytesWritten, captured->outputPath);
    Json j;
    j["active"] = false;
    j["durationMs"] = st.elapsedMs;
    j["path"] = captured->outputPath;
    j["sizeBytes"] = st.bytesWritten;
    j["type"] = "recording_status";
    j["v"] = 1;
    Job job;
    job.capture = std::move(*captured);
    job.target = currentTarget();
    enqueue(std::move(job));
    return j;
}

void RecordingService::enqueue(Job job) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        jobs_.push_back(std::move(job));
    }
    cv_.notify_all();
}

void RecordingService::workLoop() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ = true;
        }
        try {
            process(std::move(job));
        } catch (const std::exception& e) {
            logger().error("[recording] finishing failed: {}", e.what());
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            busy_ = false;
        }
        cv_.notify_all();
    }
}

void RecordingService::process(Job job) {
    RecordingOutput out = job.output;
    if (job.capture) out = recorder_.finish(std::move(*job.capture));
    if (out.path.empty()) return;
    const UploadTarget target = job.target ? *job.target : currentTarget();
    {
        std::lock_guard<std::mutex> lock(mu_);
        bool keep = target.url.empty();
        if (!keep) {
            auto [it, fresh] = urlFile_.emplace(target.url, out.path);
            // A second file sent to the same URL would be taken for the
            // continuation of the first: it waits for a URL of its own.
            if (!fresh && it->second != out.path) {
                keep = true;
                logger().warn(
                    "[recording] {} kept for a later upload: the upload URL already received {}",
                    out.path, it->second);
            }
        }
        if (keep) {
            awaitingUpload_.push_back(out);
            return;
        }
    }
    upload(out, target);
}

void RecordingService::upload(const RecordingOutput& out, const UploadTarget& target) {
    UploadRequest req = deps_.uploadDefaults;
    req.url = target.url;
    req.token = target.token;
    req.localPath = out.path;
    req.maxUploadBytes = target.maxSizeBytes;
    const std::string path = out.path;
    uploader_.setOnProgress([this, path](uint64_t sent, uint64_t total) {
        if (deps_.keepAlive) deps_.keepAlive();
        send(recordingUploadMessage("progress", path, sent, total));
    });
    send(recordingUploadMessage("started", path, 0, out.size));
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    UploaderResult result;
    uploader_.setOnResult([&](const UploaderResult& r) {
        std::lock_guard<std::mutex> lock(m);
        result = r;
        done = true;
        cv.notify_all();
    });
    if (uploader_.start(req)) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return done; });
    }
    uploader_.join();
    uploader_.setOnResult({});
    uploader_.setOnProgress({});
    if (!done) result = uploader_.result();
    if (result.ok) {
        logger().info("[recording] upload complete: {} bytes", result.bytesUploaded);
        send(recordingUploadMessage("done", path, result.bytesUploaded, out.size));
    } else {
        logger().warn("[recording] upload failed: code={} msg={}", result.code, result.message);
        send(recordingUploadMessage("failed", path, result.bytesUploaded, out.size, &result));
        // The file stays; a later attempt (or the operator) can send it.
        std::lock_guard<std::mutex> lock(mu_);
        awaitingUpload_.push_back(out);
    }
}

void RecordingService::stopAtSessionEnd() {
    if (auto captured = recorder_.stopCapture()) {
        logger().info("[recording] stopped at session end");
        // Finished here, on the shutdown path, so that the upload below can
        // include it; the heartbeat is refreshed while this takes.
        const RecordingOutput out = recorder_.finish(std::move(*captured));
        if (!out.path.empty()) {
            // The session's last recording goes first.
            std::lock_guard<std::mutex> lock(mu_);
            awaitingUpload_.insert(awaitingUpload_.begin(), out);
        }
    }
    // Recordings still finishing in the worker join the queue first.
    const UploadTarget target = currentTarget();
    const std::string temp = recorder_.outputPath();
    if (temp.empty() || target.url.empty()) {
        logger().info("[recording] upload skipped: tempFilePath {}, uploadUrl {}",
                      temp.empty() ? "EMPTY" : "set", target.url.empty() ? "EMPTY" : "set");
        return;
    }
    std::vector<RecordingOutput> waiting;
    {
        std::lock_guard<std::mutex> lock(mu_);
        waiting.swap(awaitingUpload_);
    }
    if (waiting.empty()) {
        logger().info("[recording] no frames recorded, skipping upload");
        return;
    }
    std::string owner;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (const auto it = urlFile_.find(target.url); it != urlFile_.end()) owner = it->second;
    }
    for (const auto& out : waiting) {
        if (owner.empty()) owner = out.path;
        const bool owned = owner == out.path;
        if (owned) {
            logger().info("[recording] starting upload: file={} size={} url={}", out.path, out.size,
                          target.url.substr(0, 60));
        }
        // The worker claims the URL for the first of them and keeps the
        // rest (logging why).
        Job j;
        j.output = out;
        enqueue(std::move(j));
    }
}

bool RecordingService::drain(int64_t timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mu_);
    while (busy_ || !jobs_.empty()) {
        if (deps_.keepAlive) deps_.keepAlive();
        if (std::chrono::steady_clock::now() >= until) {
            jobs_.clear();
            lock.unlock();
            uploader_.cancel();
            return false;
        }
        cv_.wait_until(lock, std::min(until, std::chrono::steady_clock::now() +
                                                 std::chrono::milliseconds(500)));
    }
    return true;
}

bool RecordingService::busy() const {
    std::lock_guard<std::mutex> lock(mu_);
    return busy_ || !jobs_.empty();
}

std::vector<RecordingOutput> RecordingService::pendingUploads() const {
    std::lock_guard<std::mutex> lock(mu_);
    return awaitingUpload_;
}

}  // namespace kvd
