#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "recording/remux.h"
#include "recording_test_support.h"

namespace kvd {
namespace {

struct Probe {
    bool ok = false;
    int width = 0, height = 0;
    std::vector<int64_t> dtsUs;  // per packet, in microseconds
};

Probe probeMp4(const std::string& path) {
    Probe p;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return p;
    if (avformat_find_stream_info(ctx, nullptr) >= 0 && ctx->nb_streams == 1) {
        const AVStream* st = ctx->streams[0];
        p.width = st->codecpar->width;
        p.height = st->codecpar->height;
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(ctx, pkt) >= 0) {
            p.dtsUs.push_back(av_rescale_q(pkt->dts, st->time_base, AVRational{1, 1000000}));
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        p.ok = true;
    }
    avformat_close_input(&ctx);
    return p;
}

void writeFrames(const std::string& path, const std::vector<EncodedFrame>& frames,
                 size_t from = 0) {
    std::ofstream f(path, std::ios::binary);
    for (size_t i = from; i < frames.size(); ++i)
        f.write(reinterpret_cast<const char*>(frames[i].data.data()),
                static_cast<std::streamsize>(frames[i].data.size()));
}

TEST(RemuxTiming, TableOfCases) {
    const std::vector<int64_t> three{0, 33333, 66667};
    const std::vector<int64_t> offset{5'000'000, 5'040'000, 5'040'000, 5'100'000};
    struct Case {
        const std::vector<int64_t>* times;
        uint64_t index;
        int fps;
        int64_t pts, duration;
    } cases[] = {
        {&three, 0, 30, 0, 33333},
        {&three, 1, 30, 33333, 33334},
        {&three, 2, 30, 66667, 33333},          // last entry: one frame at fps
        {&three, 3, 30, 66667 + 33333, 33333},  // beyond the list: from the last time
        {&three, 5, 25, 66667 + 3 * 40000, 40000},
        {&offset, 0, 30, 0, 40000},      // relative to the first frame
        {&offset, 1, 30, 40000, 33333},  // equal next time: one frame at fps
        {&offset, 3, 30, 100000, 33333},
        {nullptr, 0, 30, 0, 33333},
        {nullptr, 30, 30, 1000000, 33333},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.index << " fps " << c.fps);
        const auto t = remuxPacketTiming(c.times, c.index, c.fps);
        EXPECT_EQ(t.ptsUs, c.pts);
        EXPECT_EQ(t.durationUs, c.duration);
    }
}

TEST(Remux, ProducesMp4StartingAtZeroWithIncreasingDts) {
    test::TempDir dir;
    const auto frames = test::encodeFrames(12);
    ASSERT_EQ(frames.size(), 12u);
    writeFrames(dir / "in.h264", frames);
    // Capture times far from zero, two equal ones, fewer entries than frames.
    std::vector<int64_t> times{9'000'000, 9'033'333, 9'033'333, 9'100'000, 9'133'333,
                               9'166'666, 9'200'000, 9'233'333, 9'266'666, 9'300'000};
    std::string err;
    ASSERT_TRUE(remuxH264ToMp4(dir / "in.h264", dir / "out.mp4", times, 30, err)) << err;
    const auto p = probeMp4(dir / "out.mp4");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.width, 160);
    EXPECT_EQ(p.height, 96);
    ASSERT_EQ(p.dtsUs.size(), 12u);
    EXPECT_EQ(p.dtsUs.front(), 0);
    for (size_t i = 1; i < p.dtsUs.size(); ++i) EXPECT_GT(p.dtsUs[i], p.dtsUs[i - 1]) << i;
    // The two frames past the sidecar follow its last time at 30 fps.
    EXPECT_NEAR(p.dtsUs[10], 300000 + 33333, 20);
    EXPECT_NEAR(p.dtsUs[11], 300000 + 66666, 20);
}

TEST(Remux, ConstantRateWithoutTimes) {
    test::TempDir dir;
    writeFrames(dir / "in.h264", test::encodeFrames(6));
    std::string err;
    ASSERT_TRUE(remuxH264ToMp4(dir / "in.h264", dir / "out.mp4", std::nullopt, 0, err)) << err;
    const auto p = probeMp4(dir / "out.mp4");
    ASSERT_EQ(p.dtsUs.size(), 6u);
    EXPECT_NEAR(p.dtsUs[5], 5 * 33333, 20);  // fps 0 means 30
}

TEST(Remux, RefusesStreamsWithoutParameterSetsAndMissingFiles) {
    test::TempDir dir;
    writeFrames(dir / "mid.h264", test::encodeFrames(8), 1);  // no keyframe, no SPS/PPS
    std::string err;
    EXPECT_FALSE(remuxH264ToMp4(dir / "mid.h264", dir / "mid.mp4", std::nullopt, 30, err));
    EXPECT_NE(err.find("recorder likely started mid-GOP; MP4 cannot be produced"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.rfind("raw H.264 stream has no SPS/PPS (width=", 0), 0u) << err;

    EXPECT_FALSE(remuxH264ToMp4(dir / "absent.h264", dir / "x.mp4", std::nullopt, 30, err));
    EXPECT_EQ(err.rfind("avformat_open_input: ", 0), 0u) << err;
}

TEST(Remux, ProbeIsCutOffAtItsDeadline) {
    test::TempDir dir;
    writeFrames(dir / "in.h264", test::encodeFrames(4));
    std::string err;
    EXPECT_FALSE(remuxH264ToMp4(dir / "in.h264", dir / "out.mp4", std::nullopt, 30, err, {}, -1));
    EXPECT_NE(err.find("(probe aborted or stream invalid)"), std::string::npos) << err;
}

}  // namespace
}  // namespace kvd
