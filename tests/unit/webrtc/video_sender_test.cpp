#include "webrtc/video_sender.h"

#include <gtest/gtest.h>

#include "unit/webrtc/fakes.h"

namespace kvd {
namespace {

using test::FakeChannel;
using test::FakeTrack;
using test::TextLogCapture;

EncodedFrame frameOf(size_t size, bool key = false, int64_t ts = 0) {
    EncodedFrame f;
    f.data.resize(size);
    for (size_t i = 0; i < size; ++i) f.data[i] = static_cast<uint8_t>(i * 7 + 3);
    f.keyframe = key;
    f.timestampUs = ts;
    return f;
}

uint32_t le32(const std::vector<uint8_t>& m, size_t off) {
    return m[off] | (m[off + 1] << 8) | (m[off + 2] << 16) | (uint32_t(m[off + 3]) << 24);
}

struct Fixture {
    ManualClock clock;
    std::shared_ptr<FakeTrack> track = std::make_shared<FakeTrack>();
    std::shared_ptr<FakeChannel> channel = [] {
        auto c = std::make_shared<FakeChannel>();
        c->open = true;
        return c;
    }();
    std::atomic<bool> skip{false};
    VideoSender sender{track, channel, clock};
    Fixture() { sender.skipRtpDoubleSend = &skip; }
};

TEST(VideoChunkHeader, LittleEndianLayout) {
    const auto h = makeVideoChunkHeader(0x01020304, true, 0xABCDEF, 0xBEEF, 3, 9);
    EXPECT_EQ(
        std::vector<uint8_t>(h.begin(), h.end()),
        (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01, 1, 0xEF, 0xCD, 0xAB, 0xEF, 0xBE, 3, 9}));
}

TEST(VideoSender, ChunkingTable) {
    struct Case {
        size_t size;
        std::vector<size_t> messageSizes;
    } cases[] = {
        {1, {13}},
        {204800, {204812}},
        {204801, {204812, 13}},
        {3 * 204800 + 5, {204812, 204812, 204812, 17}},
    };
    for (const auto& c : cases) {
        Fixture fx;
        ASSERT_TRUE(fx.sender.sendFrame(frameOf(c.size, true)));
        const auto& msgs = fx.channel->binaries;
        ASSERT_EQ(msgs.size(), c.messageSizes.size()) << c.size;
        std::vector<uint8_t> reassembled;
        for (size_t i = 0; i < msgs.size(); ++i) {
            EXPECT_EQ(msgs[i].size(), c.messageSizes[i]);
            EXPECT_EQ(le32(msgs[i], 0), c.size);
            EXPECT_EQ(msgs[i][4], 1);
            EXPECT_EQ(msgs[i][10], i);
            EXPECT_EQ(msgs[i][11], msgs.size());
            reassembled.insert(reassembled.end(), msgs[i].begin() + 12, msgs[i].end());
        }
        EXPECT_EQ(reassembled, frameOf(c.size).data);
        EXPECT_EQ(fx.track->frames.size(), 1u);
    }
}

TEST(VideoSender, FrameNeedingMoreThan255ChunksIsRefused) {
    Fixture fx;
    TextLogCapture log;
    EXPECT_TRUE(fx.sender.sendFrame(frameOf(255 * kVideoChunkPayloadBytes)));
    EXPECT_EQ(fx.channel->binaries.size(), 255u);
    EXPECT_EQ(fx.channel->binaries.back()[11], 255);
    fx.channel->binaries.clear();
    EXPECT_FALSE(fx.sender.sendFrame(frameOf(255 * kVideoChunkPayloadBytes + 1)));
    EXPECT_TRUE(fx.channel->binaries.empty());
    EXPECT_TRUE(log.has("needs 256 chunks (max 255) — not sent on the data channel"));
    // The refused frame consumed no id: the next frame continues the sequence.
    fx.sender.sendFrame(frameOf(10));
    EXPECT_EQ(fx.channel->binaries.back()[8], 1);
    EXPECT_EQ(fx.track->frames.size(), 3u);  // RTP still carries it
}

TEST(VideoSender, FrameIdsAndTimestampsWrap) {
    Fixture fx;
    fx.clock.advanceMs(5000);  // construction is not the epoch
    fx.sender.sendFrame(frameOf(4));
    auto& m = fx.channel->binaries;
    EXPECT_EQ(m[0][5] | m[0][6] << 8 | m[0][7] << 16, 0);
    EXPECT_EQ(m[0][8] | m[0][9] << 8, 0);
    fx.clock.advanceUs(1234999);
    fx.sender.sendFrame(frameOf(4));
    EXPECT_EQ(m[1][5] | m[1][6] << 8 | m[1][7] << 16, 1234);
    fx.clock.advanceMs((1 << 24) - 1234 + 7);
    fx.sender.sendFrame(frameOf(4));
    EXPECT_EQ(m[2][5] | m[2][6] << 8 | m[2][7] << 16, 7);
    for (int i = 3; i < 65537; ++i) fx.sender.sendFrame(frameOf(1));
    EXPECT_EQ(m[65535][8] | m[65535][9] << 8, 65535);
    EXPECT_EQ(m[65536][8] | m[65536][9] << 8, 0);
}

TEST(VideoSender, PathSelection) {
    struct Case {
        bool channelExists, channelOpen, skip, trackClosed;
        size_t rtp, dc;
    } cases[] = {
        {true, true, false, false, 1, 1},   // both
        {true, true, true, false, 0, 1},    // viewer decodes from the channel
        {true, false, true, false, 1, 0},   // channel closed: RTP despite the flag
        {false, false, true, false, 1, 0},  // no channel yet
        {true, true, false, true, 0, 1},    // closed track skipped silently
    };
    for (const auto& c : cases) {
        ManualClock clock;
        auto track = std::make_shared<FakeTrack>();
        track->closed = c.trackClosed;
        auto channel = std::make_shared<FakeChannel>();
        channel->open = c.channelOpen;
        std::atomic<bool> skip{c.skip};
        VideoSender s(track, c.channelExists ? channel : nullptr, clock);
        s.skipRtpDoubleSend = &skip;
        EXPECT_TRUE(s.sendFrame(frameOf(100, false, 777)));
        EXPECT_EQ(track->frames.size(), c.rtp);
        EXPECT_EQ(channel->binaries.size(), c.dc);
        if (c.rtp) {
            EXPECT_EQ(track->frames[0].second, 777);  // capture time drives the RTP clock
        }
        EXPECT_EQ(s.framesSent(), 1u);
        EXPECT_EQ(s.bytesSent(), 100u);
    }
    VideoSender none(nullptr, nullptr);
    EXPECT_FALSE(none.sendFrame(EncodedFrame{}));
    EXPECT_TRUE(none.sendFrame(frameOf(1)));
    EXPECT_EQ(none.framesSent(), 1u);
}

TEST(VideoSender, SendFailuresStopTheFrameAndAreLoggedWithCaps) {
    Fixture fx;
    TextLogCapture log;
    fx.channel->failAfter = 1;  // first chunk goes, the second throws
    EXPECT_FALSE(fx.sender.sendFrame(frameOf(3 * kVideoChunkPayloadBytes)));
    EXPECT_EQ(fx.channel->binaries.size(), 1u);
    EXPECT_TRUE(log.has("DC send failed: frame=0 chunk=2/3 size=204812: boom"));
    // The next frame is sent normally with the next id.
    fx.channel->failAfter = -1;
    EXPECT_TRUE(fx.sender.sendFrame(frameOf(10)));
    EXPECT_EQ(fx.channel->binaries.back()[8], 1);
    EXPECT_EQ(fx.sender.framesSent(), 2u);

    // Process-wide caps: at most 10 DC lines and 5 RTP lines in all.
    fx.channel->throwOnSend = true;
    fx.track->throwOnSend = true;
    for (int i = 0; i < 20; ++i) fx.sender.sendFrame(frameOf(10));
    EXPECT_LE(log.count("DC send failed"), 10u);
    EXPECT_LE(log.count("Failed to send video frame via RTP: rtp boom"), 5u);
    EXPECT_GE(log.count("Failed to send video frame via RTP: rtp boom"), 1u);
}

TEST(VideoSender, InfoLineForEarlyPeriodicAndMultiChunkFrames) {
    Fixture fx;
    TextLogCapture log;
    std::vector<int> logged;
    for (int n = 1; n <= 121; ++n) {
        const size_t before = log.count("Video DC: frame=");
        fx.sender.sendFrame(frameOf(n == 7 || n == 8 ? 204801 : 10));
        if (log.count("Video DC: frame=") > before) logged.push_back(n);
    }
    EXPECT_EQ(logged, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 61, 121}));
    EXPECT_TRUE(log.has("Video DC: frame=7 id=6 bytes=204801 keyframe=false chunks=2 ts=0ms"));
}

TEST(VideoSender, BufferedAmountOnlyWhenOpen) {
    Fixture fx;
    fx.channel->buffered = 4242;
    EXPECT_EQ(fx.sender.bufferedAmount(), 4242u);
    fx.channel->open = false;
    EXPECT_EQ(fx.sender.bufferedAmount(), 0u);
    EXPECT_EQ(VideoSender(nullptr, nullptr).bufferedAmount(), 0u);
}

}  // namespace
}  // namespace kvd
