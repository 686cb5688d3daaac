#include <gtest/gtest.h>

#include "recording/recording_crypto.h"
#include "recording/session_recorder.h"
#include "recording_test_support.h"
#include "support/log_capture.h"

namespace kvd {
namespace {

struct RecorderFixture : ::testing::Test {
    test::TempDir dir;
    test::ScriptedFileStore files;
    ManualClock clock;
    EncryptionKeyLedger ledger;
    std::vector<RecordingError> errors;
    std::vector<RecordingStatus> statuses;
    std::unique_ptr<SessionRecorder> rec;

    void SetUp() override {
        files.free = uint64_t{1} << 40;
        rec = make();
    }
    std::unique_ptr<SessionRecorder> make() {
        SessionRecorder::Deps d;
        d.files = &files;
        d.clock = &clock;
        d.ledger = &ledger;
        d.dirCandidates = [this] { return std::vector<std::string>{dir / "a", dir / "b"}; };
        auto r = std::make_unique<SessionRecorder>(d);
        r->setOnError([this](const RecordingError& e) { errors.push_back(e); });
        r->setOnStatus([this](const RecordingStatus& s) { statuses.push_back(s); });
        return r;
    }
    RecorderConfig cfg(RecordingFormat f = RecordingFormat::Mp4) {
        RecorderConfig c;
        c.sessionId = "sess-1";
        c.outputDir = dir.path();
        c.format = f;
        c.encryptionKey = deriveRecordingKey("tok", "sess-1");
        return c;
    }
    void feed(const std::vector<EncodedFrame>& frames) {
        for (const auto& f : frames)
            rec->writeFrame(f.data.data(), f.data.size(), f.keyframe, f.timestampUs);
    }
};

TEST_F(RecorderFixture, RawStreamBeginsWithAKeyframeAndSidecarHasOneRecordPerFrame) {
    rec->configure(cfg(RecordingFormat::Mp4));
    ASSERT_TRUE(rec->start());
    const uint8_t delta[] = {0, 0, 0, 1, 0x41, 0x9a};
    rec->writeFrame(delta, sizeof(delta), false, 5);  // before any keyframe: dropped
    rec->writeFrame(nullptr, 10, true, 6);
    const auto frames = test::encodeFrames(3);
    feed(frames);
    const auto raw = test::readAll(dir / "sess-1.h264.part");
    const auto side = test::readAll(dir / "sess-1.pts2.part");
    ASSERT_EQ(raw.size(), frames[0].data.size() + frames[1].data.size() + frames[2].data.size());
    EXPECT_TRUE(std::equal(frames[0].data.begin(), frames[0].data.end(), raw.begin()));
    ASSERT_EQ(side.size(), 48u);
    const std::vector<uint8_t> first(side.begin(), side.begin() + 16);
    std::vector<uint8_t> expect(16, 0);
    const uint32_t sz = static_cast<uint32_t>(frames[0].data.size());
    for (int i = 0; i < 4; ++i) expect[8 + i] = static_cast<uint8_t>(sz >> (8 * i));
    expect[12] = 1;
    EXPECT_EQ(first, expect);   // time 0, size, keyframe, zero padding
    EXPECT_EQ(side[16], 0x35);  // 33333 = 0x8235, little-endian
    EXPECT_EQ(side[17], 0x82);

    const auto out = rec->stop();
    EXPECT_EQ(out.path, dir / "sess-1.mp4");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"sess-1.mp4"});
    EXPECT_EQ(out.size, test::readAll(out.path).size());
}

TEST_F(RecorderFixture, StartRefusals) {
    test::LogCapture log;
    auto c = cfg(RecordingFormat::Mp4Encrypted);
    c.encryptionKey.resize(31);
    rec->configure(c);
    EXPECT_FALSE(rec->start());
    EXPECT_EQ(log.count("error|Mp4Encrypted format requires a 32-byte encryption key (got 31)"),
              1u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, "ENCRYPT_ERROR");

    c = cfg(RecordingFormat::Mp4);
    c.encryptionKey.resize(31);  // only the encrypted format needs a key
    rec->configure(c);
    EXPECT_TRUE(rec->start());
    rec->stop();

    c.sessionId.clear();
    rec->configure(c);
    EXPECT_FALSE(rec->start());
    EXPECT_EQ(log.count("error|start() without sessionId"), 1u);

    c = cfg();
    files.refuseOpen = {".h264.part"};
    rec->configure(c);
    EXPECT_FALSE(rec->start());
    // The earlier (empty) recording used the first name.
    EXPECT_EQ(
        log.count("error|failed to open raw H.264 buffer '" + (dir / "sess-1-2.h264.part") + "'"),
        1u);
}

TEST_F(RecorderFixture, DirectoryCandidatesAreProbedInOrder) {
    test::LogCapture log;
    auto c = cfg();
    c.outputDir.clear();
    rec->configure(c);
    files.refuseCreate = {dir / "a"};
    ASSERT_TRUE(rec->start());
    EXPECT_EQ(rec->outputPath(), dir / "b/sess-1.mp4");
    EXPECT_EQ(log.count("warning|recording dir candidate '" + (dir / "a") +
                        "' rejected (create: Permission denied)"),
              1u);
    EXPECT_FALSE(files.exists(dir / "b/.kelvandrum-write-probe"));
    rec->stop();

    files.refuseCreate.clear();
    files.refuseOpen = {".kelvandrum-write-probe"};
    EXPECT_FALSE(rec->start());
    EXPECT_EQ(
        log.count("warning|recording dir candidate '" + (dir / "b") + "' rejected (not writable)"),
        1u);
    EXPECT_EQ(
        log.count("error|no writable recording dir among 2 candidate(s) — recording cannot start"),
        1u);
    EXPECT_EQ(log.count("error|unable to resolve recording directory"), 1u);
}

TEST_F(RecorderFixture, ZeroBytesLeaveNothingAndConfigureWaitsForTheStop) {
    test::LogCapture log;
    rec->configure(cfg());
    ASSERT_TRUE(rec->start());
    auto other = cfg(RecordingFormat::RawH264);
    rec->configure(other);
    EXPECT_EQ(log.count("warning|configure() ignored while active"), 1u);
    EXPECT_EQ(rec->config().format, RecordingFormat::Mp4);
    EXPECT_TRUE(rec->stop().path.empty());
    EXPECT_TRUE(dir.names().empty());
    rec->configure(other);
    EXPECT_EQ(rec->config().format, RecordingFormat::RawH264);
}

TEST_F(RecorderFixture, EveryRecordingOfAProcessKeepsItsOwnFile) {
    const auto frames = test::encodeFrames(3);
    std::vector<std::string> outputs;
    for (auto f : {RecordingFormat::Mp4, RecordingFormat::Mp4, RecordingFormat::RawH264}) {
        rec->configure(cfg(f));
        ASSERT_TRUE(rec->start());
        feed(frames);
        outputs.push_back(rec->stop().path);
    }
    EXPECT_EQ(outputs, (std::vector<std::string>{dir / "sess-1.mp4", dir / "sess-1-2.mp4",
                                                 dir / "sess-1-3.h264"}));
    EXPECT_EQ(dir.names(),
              (std::vector<std::string>{"sess-1-2.mp4", "sess-1-3.h264", "sess-1.mp4"}));
}

TEST_F(RecorderFixture, SecondEncryptedRecordingIsRefused) {
    const auto frames = test::encodeFrames(3);
    rec->configure(cfg(RecordingFormat::Mp4Encrypted));
    ASSERT_TRUE(rec->start());
    feed(frames);
    const auto out = rec->stop();
    EXPECT_EQ(out.path, dir / "sess-1.mp4.enc");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"sess-1.mp4.enc"});
    EXPECT_TRUE(errors.empty());

    EXPECT_FALSE(rec->start());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, "ENCRYPT_ERROR");
    EXPECT_NE(errors[0].message.find("reuse the encryption key"), std::string::npos);
    // A fresh recorder in the same process is refused as well.
    auto again = make();
    again->configure(cfg(RecordingFormat::Mp4Encrypted));
    EXPECT_FALSE(again->start());
    // Unencrypted recordings still work.
    rec->configure(cfg(RecordingFormat::Mp4));
    EXPECT_TRUE(rec->start());
}

TEST_F(RecorderFixture, EncryptedRecordingThatEncryptedNothingDoesNotBurnTheKey) {
    rec->configure(cfg(RecordingFormat::Mp4Encrypted));
    ASSERT_TRUE(rec->start());
    rec->stop();  // no frames
    EXPECT_TRUE(rec->start());
}

TEST_F(RecorderFixture, SizeCeilingKeepsWhatWasCapturedWithinTheLimit) {
    test::LogCapture log;
    // Small frames make the container's per-frame tables count.
    const auto frames = test::encodeFrames(200, 64, 64);
    uint64_t total = 0;
    for (const auto& f : frames) total += f.data.size();
    for (auto fmt :
         {RecordingFormat::RawH264, RecordingFormat::Mp4, RecordingFormat::Mp4Encrypted}) {
        SCOPED_TRACE(recordingFormatWord(fmt));
        errors.clear();
        ledger.release(cfg().encryptionKey);
        auto c = cfg(fmt);
        c.maxSizeBytes = total / 2;
        rec->configure(c);
        ASSERT_TRUE(rec->start());
        feed(frames);
        const auto written = rec->status().bytesWritten;
        EXPECT_GT(written, 0u);
        EXPECT_LT(written, total / 2);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].code, "RECORDING_SIZE_LIMIT");
        const auto out = rec->stop();
        ASSERT_FALSE(out.path.empty());
        EXPECT_LE(out.size, c.maxSizeBytes);
        EXPECT_EQ(out.size, test::readAll(out.path).size());
    }
    // The raw-format edge: 1 MiB advertised keeps at most 1047552 raw bytes.
    EXPECT_LE(projectedRecordingSize(RecordingFormat::RawH264, 1047552, 1), 1048576u);
    EXPECT_GT(projectedRecordingSize(RecordingFormat::RawH264, 1047553, 1), 1048576u);
}

TEST_F(RecorderFixture, StatusEveryIntervalAndDiskCheckStopsTheRecording) {
    test::LogCapture log;
    std::vector<CapturedRecording> ended;
    rec->setOnCaptureEnded([&](CapturedRecording r) { ended.push_back(std::move(r)); });
    auto c = cfg();
    c.minFreeBytes = 1000;
    c.diskCheckIntervalSec = 30;
    rec->configure(c);
    ASSERT_TRUE(rec->start());
    feed(test::encodeFrames(2));
    rec->tick();
    ASSERT_EQ(statuses.size(), 1u);
    clock.advanceMs(4999);
    rec->tick();
    EXPECT_EQ(statuses.size(), 1u);
    clock.advanceMs(1);
    rec->tick();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_TRUE(statuses[1].active);
    EXPECT_EQ(statuses[1].elapsedMs, 5000);
    EXPECT_EQ(statuses[1].bytesWritten, rec->status().bytesWritten);

    files.free = 999;
    clock.advanceMs(24999);  // 29999 ms since the first check
    rec->tick();
    EXPECT_TRUE(rec->active());
    clock.advanceMs(1);
    rec->tick();
    EXPECT_FALSE(rec->active());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, "DISK_FULL");
    EXPECT_EQ(errors[0].message, "free disk below threshold — stopping recording");
    EXPECT_EQ(log.count("warning|free disk below threshold — stopping recording"), 1u);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(rec->finish(ended[0]).path, dir / "sess-1.mp4");
}

TEST_F(RecorderFixture, WriteFailureKeepsThePartAlreadyWritten) {
    const auto frames = test::encodeFrames(6);
    files.writeBudget = static_cast<int64_t>(frames[0].data.size() + frames[1].data.size() + 5);
    files.budgetPathSuffix = ".h264.part";
    rec->configure(cfg());
    ASSERT_TRUE(rec->start());
    feed(frames);
    ASSERT_EQ(errors.size(), 1u);  // once, not once per frame
    EXPECT_EQ(errors[0].code, "IO_ERROR");
    EXPECT_EQ(errors[0].message, "write to raw H.264 buffer failed");
    EXPECT_EQ(rec->status().bytesWritten, frames[0].data.size() + frames[1].data.size());
    const auto out = rec->stop();
    EXPECT_FALSE(out.path.empty());
    EXPECT_GT(out.size, 0u);
}

TEST_F(RecorderFixture, MissingSidecarFallsBackToConstantRate) {
    test::LogCapture log;
    files.refuseOpen = {".pts2.part"};
    rec->configure(cfg());
    ASSERT_TRUE(rec->start());
    EXPECT_EQ(log.count("warning|failed to open PTS sidecar '" + (dir / "sess-1.pts2.part") +
                        "' — remux will fall back to CFR"),
              1u);
    feed(test::encodeFrames(4));
    EXPECT_EQ(rec->stop().path, dir / "sess-1.mp4");
}

TEST_F(RecorderFixture, FailedRemuxKeepsTheRawStream) {
    test::LogCapture log;
    rec->configure(cfg());
    ASSERT_TRUE(rec->start());
    // A "keyframe" without parameter sets: the remux cannot describe it.
    const uint8_t bogus[] = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33, 0xff};
    rec->writeFrame(bogus, sizeof(bogus), true, 0);
    const auto out = rec->stop();
    EXPECT_EQ(out.path, dir / "sess-1.h264");
    EXPECT_EQ(out.size, sizeof(bogus));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, "MUX_ERROR");
    EXPECT_EQ(errors[0].message.rfind("remux to MP4 failed: ", 0), 0u);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"sess-1.h264"});
}

}  // namespace
}  // namespace kvd
