#include <gtest/gtest.h>

#include <deque>
#include <future>

#include "recording/recording_uploader.h"
#include "recording_test_support.h"

namespace kvd {
namespace {

struct Put {
    uint64_t offset, total, size;
};

struct UploaderFixture : ::testing::Test {
    test::TempDir dir;
    ManualClock clock;
    std::vector<int64_t> pauses;
    std::mutex mu;
    std::vector<Put> puts;
    std::deque<HttpResponse> putAnswers;    // then 200
    std::deque<HttpResponse> queryAnswers;  // then 404
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    std::function<void()> onPut;
    std::unique_ptr<RecordingUploader> up;
    std::promise<UploaderResult> done;

    void SetUp() override {
        RecordingUploader::Deps d;
        d.clock = &clock;
        d.pause = [this](int64_t ms) {
            pauses.push_back(ms);
            clock.advanceMs(ms);
        };
        up = std::make_unique<RecordingUploader>(d);
        up->setSendChunk([this](const std::string&, const std::string&, uint64_t off,
                                uint64_t total, const std::vector<uint8_t>& chunk) {
            std::lock_guard<std::mutex> lock(mu);
            puts.push_back({off, total, chunk.size()});
            if (onPut) onPut();
            if (putAnswers.empty()) return HttpResponse{200, "OK", 0};
            auto r = putAnswers.front();
            putAnswers.pop_front();
            return r;
        });
        up->setQueryOffset([this](const std::string&, const std::string&) {
            std::lock_guard<std::mutex> lock(mu);
            if (queryAnswers.empty()) return HttpResponse{404, "Not Found", 0};
            auto r = queryAnswers.front();
            queryAnswers.pop_front();
            return r;
        });
        up->setOnProgress([this](uint64_t s, uint64_t t) { progress.emplace_back(s, t); });
        up->setOnResult([this](const UploaderResult& r) { done.set_value(r); });
    }
    std::string file(uint64_t size) {
        const std::string p = dir / "rec.mp4.enc";
        std::ofstream f(p, std::ios::binary);
        std::vector<char> buf(size, 'x');
        f.write(buf.data(), static_cast<std::streamsize>(buf.size()));
        return p;
    }
    UploadRequest req(uint64_t size) {
        UploadRequest r;
        r.url = "https://upload.example/rec";
        r.localPath = file(size);
        return r;
    }
    UploaderResult run(const UploadRequest& r) {
        EXPECT_TRUE(up->start(r));
        auto res = done.get_future().get();
        up->join();
        return res;
    }
};

TEST_F(UploaderFixture, ValidationFailsBeforeAnyRequest) {
    struct Case {
        std::string url, path;
        uint64_t max;
        const char* code;
        const char* message;
    } cases[] = {
        {"http://h/x", "", 0, "HTTPS_REQUIRED", "upload URL must use https://"},
        {"ftp://h/x", "", 0, "HTTPS_REQUIRED", "upload URL must use https://"},
        {"HTTPS://h/x", "/nonexistent/file", 0, "IO", "local file does not exist"},
        {"https://h/x", "", 99, "TOO_LARGE", "recording exceeds max upload size"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        done = {};
        UploadRequest r;
        r.url = c.url;
        r.localPath = c.path.empty() ? file(100) : c.path;
        r.maxUploadBytes = c.max;
        EXPECT_FALSE(up->start(r));
        const auto res = done.get_future().get();
        EXPECT_EQ(res.code, c.code);
        EXPECT_EQ(res.message, c.message);
        EXPECT_EQ(up->result().code, c.code);
        EXPECT_FALSE(up->running());
    }
    EXPECT_TRUE(puts.empty());
}

TEST_F(UploaderFixture, SendsFixedChunksWithOffsetsAndProgress) {
    auto r = req(25 * 1024 * 1024);
    r.url = "HTTPS://upload.example/rec";  // scheme letter case does not matter
    const auto res = run(r);
    EXPECT_TRUE(res.ok);
    EXPECT_EQ(res.bytesUploaded, 26214400u);
    ASSERT_EQ(puts.size(), 3u);
    const uint64_t offs[] = {0, 10485760, 20971520}, sizes[] = {10485760, 10485760, 5242880};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(puts[i].offset, offs[i]);
        EXPECT_EQ(puts[i].size, sizes[i]);
        EXPECT_EQ(puts[i].total, 26214400u);
    }
    EXPECT_EQ(progress.back(), std::make_pair(uint64_t{26214400}, uint64_t{26214400}));
    EXPECT_EQ(progress.size(), 3u);
}

TEST_F(UploaderFixture, ResumePointFromTheServer) {
    struct Case {
        HttpResponse answer;
        size_t puts;
        uint64_t firstOffset;
    } cases[] = {
        {{204, "", 1000}, 0, 0},   // server has it all: no PUT
        {{200, "", 400}, 1, 400},  // resume
        {{200, "", 5000}, 1, 0},   // beyond the file: from 0
        {{500, "", 400}, 1, 0},    // not an offset answer
    };
    for (const auto& c : cases) {
        done = {};
        puts.clear();
        queryAnswers = {c.answer};
        auto r = req(1000);
        const auto res = run(r);
        EXPECT_TRUE(res.ok);
        ASSERT_EQ(puts.size(), c.puts);
        if (c.puts) {
            EXPECT_EQ(puts[0].offset, c.firstOffset);
        }
    }
}

TEST_F(UploaderFixture, BackoffDoublesToItsCeilingAndTheTenthFailureEndsTheUpload) {
    putAnswers.assign(10, HttpResponse{503, "Service Unavailable", 0});
    const auto res = run(req(100));
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.code, "HTTP_5XX");
    EXPECT_EQ(res.message, "Service Unavailable");
    EXPECT_EQ(puts.size(), 10u);
    EXPECT_EQ(pauses,
              (std::vector<int64_t>{2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000, 60000}));
}

TEST_F(UploaderFixture, FailureCodesFollowTheLastStatus) {
    struct Case {
        HttpResponse answer;
        const char* code;
        const char* message;
    } cases[] = {
        {{403, "Forbidden", 0}, "HTTP_4XX", "Forbidden"},
        {{302, "Found", 0}, "HTTP_5XX", "Found"},
        {{0, "Connection reset by peer", 0}, "NETWORK", "Connection reset by peer"},
        {{0, "", 0}, "NETWORK", "no response"},
    };
    for (const auto& c : cases) {
        done = {};
        puts.clear();
        auto r = req(10);
        r.maxRetries = 2;
        putAnswers.assign(2, c.answer);
        const auto res = run(r);
        EXPECT_EQ(res.code, c.code);
        EXPECT_EQ(res.message, c.message);
        EXPECT_EQ(puts.size(), 2u);
    }
}

TEST_F(UploaderFixture, ConflictResynchronisesAndASameOffsetCountsAsFailure) {
    auto r = req(25 * 1024 * 1024);
    r.maxRetries = 3;
    // First chunk: 409, the server says it already has 10 MiB -> go on from
    // there without a pause. Then 409 naming the offset we sent: a failed
    // attempt with back-off, twice, then success.
    putAnswers = {{409, "Conflict", 0}, {409, "Conflict", 0}, {409, "Conflict", 0}};
    queryAnswers = {{404, "", 0}, {204, "", 10485760}, {204, "", 10485760}, {204, "", 10485760}};
    const auto res = run(r);
    EXPECT_TRUE(res.ok) << res.code << " " << res.message;
    ASSERT_EQ(puts.size(), 5u);
    EXPECT_EQ(puts[0].offset, 0u);
    EXPECT_EQ(puts[1].offset, 10485760u);
    EXPECT_EQ(puts[3].offset, 10485760u);
    EXPECT_EQ(puts[4].offset, 20971520u);
    EXPECT_EQ(pauses, (std::vector<int64_t>{2000, 4000}));

    // A conflict whose offset query fails ends the upload at once.
    done = {};
    puts.clear();
    putAnswers = {{409, "Conflict", 0}};
    queryAnswers = {};
    const auto res2 = run(req(10));
    EXPECT_EQ(res2.code, "HTTP_4XX");
    EXPECT_EQ(puts.size(), 1u);
}

TEST_F(UploaderFixture, DeadlineAndCancellation) {
    auto r = req(30);
    r.chunkSize = 10;
    r.overallTimeoutSec = 5;
    onPut = [this] { clock.advanceMs(3000); };
    auto res = run(r);
    EXPECT_EQ(res.code, "TIMEOUT");
    EXPECT_EQ(res.message, "upload overall timeout exceeded");
    EXPECT_EQ(res.bytesUploaded, 20u);
    EXPECT_EQ(puts.size(), 2u);

    // Cancelled during a real back-off pause: ends at once.
    RecordingUploader real;
    std::promise<UploaderResult> p;
    real.setSendChunk([](auto&&...) { return HttpResponse{500, "x", 0}; });
    real.setQueryOffset([](auto&&...) { return HttpResponse{404, "", 0}; });
    real.setOnResult([&](const UploaderResult& x) { p.set_value(x); });
    auto slow = req(10);
    slow.backoffInitialMs = 600000;
    ASSERT_TRUE(real.start(slow));
    EXPECT_FALSE(real.start(slow));  // one at a time
    real.cancel();
    EXPECT_TRUE(real.joinFor(5000));
    EXPECT_EQ(p.get_future().get().code, "CANCELLED");
}

TEST_F(UploaderFixture, MissingTransportIsANetworkFailure) {
    RecordingUploader bare;
    std::promise<UploaderResult> p;
    bare.setOnResult([&](const UploaderResult& x) { p.set_value(x); });
    ASSERT_TRUE(bare.start(req(10)));
    const auto res = p.get_future().get();
    EXPECT_EQ(res.code, "NETWORK");
    EXPECT_EQ(res.message, "no transport configured");
}

}  // namespace
}  // namespace kvd
