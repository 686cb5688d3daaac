#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "recording/recording_crypto.h"
#include "recording/recording_service.h"
#include "recording_test_support.h"
#include "support/log_capture.h"

namespace kvd {
namespace {

struct ServiceFixture : ::testing::Test {
    test::TempDir dir;
    EncryptionKeyLedger ledger;
    std::mutex mu;
    std::vector<Json> sent;
    std::vector<uint64_t> putSizes;
    std::atomic<int> keepAlives{0};
    UploadTarget target;
    std::function<void()> duringFinish;  // set before the recording is stopped
    std::unique_ptr<RecordingService> svc;

    void SetUp() override {
        RecordingService::Deps d;
        d.recorder.ledger = &ledger;
        d.sendControl = [this](const std::string& j) {
            std::lock_guard<std::mutex> lock(mu);
            sent.push_back(Json::parse(j));
        };
        d.uploadTarget = [this] {
            std::lock_guard<std::mutex> lock(mu);
            return target;
        };
        d.keepAlive = [this] { ++keepAlives; };
        d.recorder.keepAlive = [this] {
            if (duringFinish) duringFinish();
        };
        d.installTransport = [this](RecordingUploader& u) {
            u.setQueryOffset([](auto&&...) { return HttpResponse{404, "", 0}; });
            u.setSendChunk([this](const std::string&, const std::string&, uint64_t, uint64_t,
                                  const std::vector<uint8_t>& c) {
                std::lock_guard<std::mutex> lock(mu);
                putSizes.push_back(c.size());
                return HttpResponse{200, "OK", 0};
            });
        };
        svc = std::make_unique<RecordingService>(d);
        RecorderConfig c;
        c.sessionId = "s";
        c.outputDir = dir.path();
        c.encryptionKey = deriveRecordingKey("t", "s");
        c.format = RecordingFormat::Mp4Encrypted;
        svc->recorder().configure(c);
    }
    void feed() {
        for (const auto& f : test::encodeFrames(4))
            svc->recorder().writeFrame(f.data.data(), f.data.size(), f.keyframe, f.timestampUs);
    }
    std::vector<std::string> sentTypes() {
        std::lock_guard<std::mutex> lock(mu);
        std::vector<std::string> t;
        for (const auto& j : sent) t.push_back(j.value("type", "") + ":" + j.value("state", ""));
        return t;
    }
};

TEST_F(ServiceFixture, ViewerStopFinishesAndUploadsOffTheCallingThread) {
    target.url = "https://u.example/r";
    bool started = false;
    auto reply = svc->viewerStart(&started);
    ASSERT_TRUE(reply && started);
    EXPECT_EQ(dumpJson(*reply), "{\"active\":true,\"durationMs\":0,\"path\":\"" +
                                    (dir / "s.mp4.enc") +
                                    "\",\"sizeBytes\":0,\"type\":\"recording_status\",\"v\":1}");
    EXPECT_FALSE(svc->viewerStart());  // already recording: ignored
    feed();
    const auto bytes = svc->recorder().status().bytesWritten;
    auto stop = svc->viewerStop();
    ASSERT_TRUE(stop);
    EXPECT_EQ((*stop)["active"], false);
    EXPECT_EQ((*stop)["sizeBytes"], bytes);
    EXPECT_FALSE(svc->viewerStop());
    ASSERT_TRUE(svc->drain(20000));
    EXPECT_EQ(sentTypes(),
              (std::vector<std::string>{"recording_upload:started", "recording_upload:progress",
                                        "recording_upload:done"}));
    ASSERT_EQ(putSizes.size(), 1u);
    EXPECT_EQ(putSizes[0], test::readAll(dir / "s.mp4.enc").size());
    EXPECT_GT(keepAlives.load(), 0);
    EXPECT_TRUE(svc->pendingUploads().empty());

    // A second encrypted recording is refused, and the viewer is told why.
    started = true;
    reply = svc->viewerStart(&started);
    EXPECT_FALSE(started);
    EXPECT_EQ((*reply)["active"], false);
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(sent.back()["type"], "recording_error");
    EXPECT_EQ(sent.back()["code"], "ENCRYPT_ERROR");
}

TEST_F(ServiceFixture, SessionEndUploadsTheLastRecordingAndKeepsTheOthers) {
    test::LogCapture log;
    ASSERT_TRUE(svc->viewerStart());
    feed();
    svc->viewerStop();  // no URL yet: kept for later
    ASSERT_TRUE(svc->drain(20000));
    ASSERT_EQ(svc->pendingUploads().size(), 1u);

    auto c = svc->recorder().config();
    c.format = RecordingFormat::Mp4;
    svc->recorder().configure(c);
    ASSERT_TRUE(svc->viewerStart());
    feed();
    {
        std::lock_guard<std::mutex> lock(mu);
        target.url = "https://u.example/r";
    }
    svc->stopAtSessionEnd();
    EXPECT_EQ(log.count("info|[recording] stopped at session end"), 1u);
    ASSERT_TRUE(svc->drain(20000));
    // The last recording takes the session's upload URL; the earlier one
    // waits for a URL of its own instead of being appended to it.
    ASSERT_EQ(putSizes.size(), 1u);
    EXPECT_EQ(putSizes[0], test::readAll(dir / "s-2.mp4").size());
    const auto pending = svc->pendingUploads();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].path, dir / "s.mp4.enc");
}

TEST_F(ServiceFixture, UrlConfiguredWhileAStoppedRecordingIsFinishingIsNotItsTarget) {
    // Hold the worker inside the remux of the stopped recording until the
    // service has configured an upload URL: that recording was made before,
    // so it must not claim the URL.
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    std::atomic<bool> held{false};
    auto c = svc->recorder().config();
    c.format = RecordingFormat::Mp4;
    svc->recorder().configure(c);
    duringFinish = [gate, &held] {
        held = true;
        gate.wait_for(std::chrono::seconds(10));
    };
    ASSERT_TRUE(svc->viewerStart());
    // Enough frames for the remux to report progress (every 256 frames).
    for (const auto& f : test::encodeFrames(260))
        svc->recorder().writeFrame(f.data.data(), f.data.size(), f.keyframe, f.timestampUs);
    svc->viewerStop();
    for (int i = 0; i < 500 && !held; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(held.load());
    {
        std::lock_guard<std::mutex> lock(mu);
        target.url = "https://u.example/r";
    }
    open.set_value();
    ASSERT_TRUE(svc->drain(20000));
    EXPECT_TRUE(putSizes.empty());
    const auto pending = svc->pendingUploads();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].path, dir / "s.mp4");
}

TEST_F(ServiceFixture, SessionEndWithoutUrlSkipsTheUpload) {
    test::LogCapture log;
    svc->stopAtSessionEnd();
    EXPECT_EQ(log.count("info|[recording] upload skipped: tempFilePath EMPTY, uploadUrl EMPTY"),
              1u);
    ASSERT_TRUE(svc->viewerStart());
    feed();
    svc->stopAtSessionEnd();
    EXPECT_EQ(log.count("info|[recording] upload skipped: tempFilePath set, uploadUrl EMPTY"), 1u);
    EXPECT_EQ(svc->pendingUploads().size(), 1u);
    EXPECT_FALSE(svc->busy());
}

}  // namespace
}  // namespace kvd
