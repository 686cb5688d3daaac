// Both encoders encode real pictures; the output is decoded back with FFmpeg's
// H.264 decoder. HwEncoder runs over libx264 so that its whole open, keyframe,
// reconfigure and failure logic works on machines without a GPU.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

extern "C" {
#include <libavutil/log.h>
}

#include "encode/hw_encoder.h"
#include "encode/sw_encoder.h"
#include "encode/video_encoder.h"
#include "encode_test_util.h"

namespace kvd {
namespace {

using test::Bgra;
using test::DecodedPicture;
using test::H264Decoder;
using test::LogRecorder;
using test::Picture;

enum class Kind { Sw, Hw };

std::unique_ptr<VideoEncoder> makeEncoder(Kind kind) {
    if (kind == Kind::Sw) return std::make_unique<SwEncoder>();
    return std::make_unique<HwEncoder>(std::vector<std::string>{"libx264"});
}

EncoderConfig configOf(int w, int h, int kbps = 4000) {
    EncoderConfig c;
    c.width = w;
    c.height = h;
    c.bitrateKbps = kbps;
    return c;
}

Picture solid(int w, int h, Bgra c) {
    Picture p;
    p.width = w;
    p.height = h;
    p.stride = 4 * w;
    p.pixels.resize(static_cast<size_t>(p.stride) * h);
    for (size_t i = 0; i < p.pixels.size(); i += 4) {
        p.pixels[i] = c.b;
        p.pixels[i + 1] = c.g;
        p.pixels[i + 2] = c.r;
        p.pixels[i + 3] = 255;
    }
    return p;
}

// Encodes frames 33 ms apart and decodes every non-empty output.
struct EncodeRun {
    std::vector<EncodedFrame> out;
    std::vector<DecodedPicture> pics;
};

EncodeRun encodeFrames(VideoEncoder& enc, H264Decoder& dec,
                       const std::function<Picture(int)>& pictureAt, int count, int64_t& tUs) {
    EncodeRun r;
    for (int i = 0; i < count; ++i) {
        const Picture p = pictureAt(i);
        EncodedFrame f = enc.encode(p.data(), p.stride, tUs);
        EXPECT_EQ(f.timestampUs, tUs);
        tUs += 33'333;
        if (!f.data.empty()) {
            EXPECT_TRUE(dec.decode(f.data, r.pics)) << "frame " << i;
        }
        r.out.push_back(std::move(f));
    }
    return r;
}

void expectQuadrants(const DecodedPicture& d, int tolerance = 40) {
    const int xs[2] = {d.width / 4, d.width * 3 / 4};
    const int ys[2] = {d.height * 5 / 16, d.height * 3 / 4};
    for (int q = 0; q < 4; ++q) {
        const Bgra got = d.at(xs[q % 2], ys[q / 2]);
        EXPECT_LE(test::maxChannelDiff(got, test::quadrantColour(q)), tolerance)
            << "quadrant " << q << " got b=" << int(got.b) << " g=" << int(got.g)
            << " r=" << int(got.r);
    }
}

struct SizeCase {
    Kind kind;
    int width, height;
};

class EncoderSizes : public ::testing::TestWithParam<SizeCase> {};

// Odd sizes encode at the even size below (2 at least), scaled from the true
// source size; tiny pictures survive; the first access unit is an IDR with
// SPS and PPS in constrained baseline; every frame decodes.
TEST_P(EncoderSizes, ProducesDecodableConstrainedBaselineStream) {
    const auto [kind, w, h] = GetParam();
    auto enc = makeEncoder(kind);
    ASSERT_TRUE(enc->init(configOf(w, h)));
    const bool tiny = w < 16 || h < 16;
    const Bgra tinyColour{40, 200, 90, 255};
    H264Decoder dec;
    int64_t t = 1'000'000;
    EncodeRun r = encodeFrames(
        *enc, dec, [&](int i) { return tiny ? solid(w, h, tinyColour) : test::quadrants(w, h, i); },
        12, t);
    dec.flush(r.pics);

    ASSERT_FALSE(r.out.front().data.empty());
    EXPECT_TRUE(r.out.front().keyframe);
    const auto types = test::nalTypes(r.out.front().data);
    EXPECT_NE(std::find(types.begin(), types.end(), 7), types.end());
    EXPECT_NE(std::find(types.begin(), types.end(), 8), types.end());
    EXPECT_NE(std::find(types.begin(), types.end(), 5), types.end());
    const auto sps = test::findSps(r.out.front().data);
    ASSERT_TRUE(sps.has_value());
    EXPECT_TRUE(test::isConstrainedBaseline(*sps))
        << "profile_idc=" << sps->profileIdc << " flags=0x" << std::hex << sps->constraintFlags;

    size_t produced = 0;
    for (const auto& f : r.out) produced += !f.data.empty();
    EXPECT_EQ(dec.errors(), 0);
    EXPECT_EQ(r.pics.size(), produced);
    ASSERT_FALSE(r.pics.empty());
    // OpenH264 refuses pictures below 16 pixels: tiny sources are scaled up.
    const int minSize = kind == Kind::Sw ? 16 : 2;
    for (const auto& p : r.pics) {
        EXPECT_EQ(p.width, std::max(minSize, evenDimension(w)));
        EXPECT_EQ(p.height, std::max(minSize, evenDimension(h)));
    }
    if (tiny)
        EXPECT_LE(test::maxChannelDiff(r.pics.back().at(0, 0), tinyColour), 40);
    else
        expectQuadrants(r.pics.back());
}

INSTANTIATE_TEST_SUITE_P(All, EncoderSizes,
                         ::testing::Values(SizeCase{Kind::Sw, 1280, 720},
                                           SizeCase{Kind::Sw, 641, 361}, SizeCase{Kind::Sw, 2, 2},
                                           SizeCase{Kind::Sw, 1, 1}, SizeCase{Kind::Hw, 1280, 720},
                                           SizeCase{Kind::Hw, 641, 361}, SizeCase{Kind::Hw, 2, 2},
                                           SizeCase{Kind::Hw, 1, 1}),
                         [](const auto& info) {
                             return std::string(info.param.kind == Kind::Sw ? "Sw" : "Hw") + "_" +
                                    std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

class EncoderKinds : public ::testing::TestWithParam<Kind> {};

TEST_P(EncoderKinds, KeyframeOnRequestOnly) {
    auto enc = makeEncoder(GetParam());
    ASSERT_TRUE(enc->init(configOf(320, 240)));
    H264Decoder dec;
    int64_t t = 0;
    auto pic = [](int i) { return test::quadrants(320, 240, i); };
    EncodeRun a = encodeFrames(*enc, dec, pic, 8, t);
    for (size_t i = 1; i < a.out.size(); ++i) EXPECT_FALSE(a.out[i].keyframe) << i;
    enc->requestKeyframe();
    EncodeRun b = encodeFrames(*enc, dec, pic, 3, t);
    ASSERT_FALSE(b.out[0].data.empty());
    EXPECT_TRUE(b.out[0].keyframe);
    const auto types = test::nalTypes(b.out[0].data);
    EXPECT_NE(std::find(types.begin(), types.end(), 7), types.end());  // decodable on its own
    EXPECT_FALSE(b.out[1].keyframe);                                   // the request is used once
    EXPECT_FALSE(b.out[2].keyframe);
    EXPECT_EQ(dec.errors(), 0);

    // A keyframe alone starts a fresh decoder.
    enc->requestKeyframe();
    H264Decoder fresh;
    EncodeRun c = encodeFrames(*enc, fresh, pic, 1, t);
    fresh.flush(c.pics);
    ASSERT_EQ(c.pics.size(), 1u);
    expectQuadrants(c.pics[0]);
}

// A size change rebuilds the encoder and starts the new stream with a
// keyframe at the new size, scaled from the unchanged source.
TEST_P(EncoderKinds, ReconfigureToNewSizeRestartsWithKeyframe) {
    auto enc = makeEncoder(GetParam());
    ASSERT_TRUE(enc->init(configOf(640, 360)));
    H264Decoder dec;
    int64_t t = 0;
    encodeFrames(
        *enc, dec, [](int i) { return test::quadrants(640, 360, i); }, 3, t);
    ASSERT_TRUE(enc->reconfigure(321, 181, 30, 1000, 640, 360));
    EncodeRun r = encodeFrames(
        *enc, dec, [](int i) { return test::quadrants(640, 360, i); }, 3, t);
    dec.flush(r.pics);
    EXPECT_TRUE(r.out[0].keyframe);
    EXPECT_EQ(dec.errors(), 0);
    ASSERT_FALSE(r.pics.empty());
    EXPECT_EQ(r.pics.back().width, 320);
    EXPECT_EQ(r.pics.back().height, 180);
    expectQuadrants(r.pics.back());
}

TEST_P(EncoderKinds, RejectsBadGeometryWithoutCountingFailures) {
    auto enc = makeEncoder(GetParam());
    EXPECT_FALSE(enc->init(configOf(0, 720)));
    EXPECT_FALSE(enc->init(configOf(1280, -2)));
    EXPECT_FALSE(enc->init(configOf(100000, 720)));
    ASSERT_TRUE(enc->init(configOf(1001, 720)));
    std::vector<uint8_t> buf(4000 * 720);
    LogRecorder log;
    EXPECT_TRUE(enc->encode(buf.data(), 4000, 1).data.empty());  // needs 4004
    EXPECT_TRUE(enc->encode(nullptr, 4004, 2).data.empty());
    EXPECT_FALSE(enc->reconfigure(0, 720, 30, 1000, 1001, 720));
    EXPECT_FALSE(enc->reconfigure(1280, 720, 0, 1000, 1001, 720));
    if (GetParam() == Kind::Sw) {
        EXPECT_TRUE(log.has(
            "[sw-encoder] dropping frame: stride 4000 too small for src width 1001 (min 4004)"));
        EXPECT_EQ(static_cast<SwEncoder&>(*enc).failureCount(), 0);
    } else {
        EXPECT_EQ(static_cast<HwEncoder&>(*enc).failureCount(), 0);
    }
    // Still fine afterwards.
    const Picture p = test::quadrants(1001, 720);
    EXPECT_FALSE(enc->encode(p.data(), p.stride, 3).data.empty());
}

INSTANTIATE_TEST_SUITE_P(All, EncoderKinds, ::testing::Values(Kind::Sw, Kind::Hw),
                         [](const auto& info) { return info.param == Kind::Sw ? "Sw" : "Hw"; });

// ---- SwEncoder -------------------------------------------------------------

TEST(SwEncoder, SliceThreadsFollowTheHost) {
    struct Case {
        unsigned hw;
        int slices;
    };
    for (const Case& c : {Case{16, 4}, Case{4, 4}, Case{3, 3}, Case{1, 1}, Case{0, 2}})
        EXPECT_EQ(SwEncoder::sliceThreadsFor(c.hw), c.slices) << c.hw;
    SwEncoder enc;
    enc.setHardwareThreadsForTest(16);
    LogRecorder log;
    ASSERT_TRUE(enc.init(configOf(1280, 720)));
    EXPECT_TRUE(log.has(
        "Software encoder initialized: openh264 SCREEN_CONTENT low-complexity (1280x720 @ 30 fps, "
        "4000 kbps, 4 slice-threads)"));
}

// Only the changed regions are converted, into the picture kept from the
// previous frame, and the result is the picture a full conversion gives.
TEST(SwEncoder, ChangedRegionsConvertOnlyThoseAndMatchAFullConversion) {
    const int w = 320, h = 240;
    Picture a = solid(w, h, {0, 0, 0, 255});
    uint32_t seed = 12345;
    for (auto& byte : a.pixels)
        byte = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    Picture b = a;
    const std::vector<DirtyRect> regions = {{13, 7, 50, 21}, {201, 150, 33, 61}, {319, 239, 1, 1}};
    for (const auto& r : regions)
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x) b.pixels[(y * w + x) * 4 + 1] ^= 0x5A;

    SwEncoder partial, full;
    ASSERT_TRUE(partial.init(configOf(w, h)));
    ASSERT_TRUE(full.init(configOf(w, h)));
    partial.encode(a.data(), a.stride, 0);
    partial.setChangedRegions(regions);
    EXPECT_FALSE(partial.encode(b.data(), b.stride, 33'333).data.empty());
    EXPECT_LT(partial.convertedPixels(), w * h / 20);
    full.encode(b.data(), b.stride, 0);
    EXPECT_EQ(partial.pictureForTest(), full.pictureForTest());

    // No regions given: everything. A dropped frame: the next regions are
    // not trusted, the picture no longer holds the previous frame.
    partial.encode(a.data(), a.stride, 66'666);
    EXPECT_EQ(partial.convertedPixels(), w * h);
    partial.encode(b.data(), 4, 99'999);
    partial.setChangedRegions(regions);
    partial.encode(b.data(), b.stride, 133'333);
    EXPECT_EQ(partial.convertedPixels(), w * h);
    EXPECT_EQ(partial.pictureForTest(), full.pictureForTest());
    // An unchanged frame converts nothing.
    partial.setChangedRegions({});
    partial.encode(b.data(), b.stride, 166'666);
    EXPECT_EQ(partial.convertedPixels(), 0);
    EXPECT_EQ(partial.pictureForTest(), full.pictureForTest());
}

TEST(SwEncoder, SameSizeReconfigureOnlyRetunesTheRunningEncoder) {
    SwEncoder enc;
    ASSERT_TRUE(enc.init(configOf(1280, 720)));
    H264Decoder dec;
    int64_t t = 0;
    encodeFrames(
        enc, dec, [](int i) { return test::quadrants(1280, 720, i); }, 2, t);
    LogRecorder log;
    // A 1366x768 source arriving at the same encoded size is scaled down.
    ASSERT_TRUE(enc.reconfigure(1280, 720, 20, 1500, 1366, 768));
    EXPECT_FALSE(log.has("reconfigure"));
    EXPECT_EQ(enc.currentConfig().bitrateKbps, 4000);  // config keeps its values
    EXPECT_EQ(enc.currentConfig().fps, 30);
    EXPECT_EQ(enc.liveBitrate(), 1500000);
    EXPECT_FLOAT_EQ(enc.liveFrameRate(), 20.0f);
    EncodeRun r = encodeFrames(
        enc, dec, [](int i) { return test::quadrants(1366, 768, i); }, 3, t);
    dec.flush(r.pics);
    EXPECT_FALSE(r.out[0].keyframe);  // the running stream continues
    EXPECT_EQ(dec.errors(), 0);
    ASSERT_FALSE(r.pics.empty());
    EXPECT_EQ(r.pics.back().width, 1280);
    expectQuadrants(r.pics.back());
}

// A failed size change keeps the old encoded size and the old source size:
// frames keep arriving at the source size, and reading them as the encoded
// size would encode the wrong part of the picture.
TEST(SwEncoder, FailedSizeChangeRestoresEncodedAndSourceSize) {
    SwEncoder enc;
    ASSERT_TRUE(enc.init(configOf(1280, 720)));
    ASSERT_TRUE(enc.reconfigure(640, 360, 30, 1000, 1280, 720));
    LogRecorder log;
    enc.failNextInits(1);
    EXPECT_FALSE(enc.reconfigure(320, 180, 30, 500, 1280, 720));
    EXPECT_TRUE(log.has("[sw-encoder] reconfigure reinit failed — attempting restore at old dims"));
    EXPECT_EQ(enc.currentConfig().width, 640);
    EXPECT_EQ(enc.currentSourceWidth(), 1280);
    EXPECT_EQ(enc.currentSourceHeight(), 720);

    H264Decoder dec;
    int64_t t = 0;
    EncodeRun r = encodeFrames(
        enc, dec, [](int i) { return test::quadrants(1280, 720, i); }, 2, t);
    dec.flush(r.pics);
    EXPECT_TRUE(r.out[0].keyframe);
    ASSERT_FALSE(r.pics.empty());
    EXPECT_EQ(r.pics.back().width, 640);
    expectQuadrants(r.pics.back());
}

TEST(SwEncoder, ThirtyFailuresRecoverInPlace) {
    SwEncoder enc;
    ASSERT_TRUE(enc.init(configOf(320, 240)));
    const Picture p = test::quadrants(320, 240);
    LogRecorder log;
    enc.failNextEncodes(30);
    for (int i = 0; i < 29; ++i)
        EXPECT_TRUE(enc.encode(p.data(), p.stride, i * 33'000).data.empty());
    EXPECT_EQ(enc.failureCount(), 29);
    EXPECT_FALSE(log.has("reinit attempt"));
    EXPECT_TRUE(enc.encode(p.data(), p.stride, 29 * 33'000).data.empty());
    EXPECT_TRUE(log.has("[sw-encoder] 30 consecutive EncodeFrame failures — reinit attempt"));
    EXPECT_TRUE(log.has("[sw-encoder] reinit succeeded — resuming"));
    EXPECT_EQ(enc.failureCount(), 0);
    EXPECT_EQ(enc.reinitCount(), 0);
    EXPECT_FALSE(enc.encode(p.data(), p.stride, 30 * 33'000).data.empty());
}

// Both inits of a size change failing leaves no instance: frames count as
// failures, the recovery rebuilds at the kept size, and three failed
// rebuilds end in the dead state.
TEST(SwEncoder, LostInstanceIsRebuiltOrDeclaredDead) {
    for (const bool rebuildWorks : {true, false}) {
        SCOPED_TRACE(rebuildWorks);
        SwEncoder enc;
        ASSERT_TRUE(enc.init(configOf(640, 360)));
        enc.failNextInits(2);
        LogRecorder log;
        EXPECT_FALSE(enc.reconfigure(320, 180, 30, 500, 640, 360));
        EXPECT_TRUE(log.has("[sw-encoder] restore also failed — encoder dead"));
        EXPECT_FALSE(enc.hasInstance());
        EXPECT_EQ(enc.currentConfig().width, 640);

        const Picture p = test::quadrants(640, 360);
        if (!rebuildWorks) enc.failNextInits(1000);
        int64_t t = 0;
        for (int i = 0; i < 29; ++i)
            EXPECT_TRUE(enc.encode(p.data(), p.stride, t += 33'000).data.empty());
        EncodedFrame f = enc.encode(p.data(), p.stride, t += 33'000);  // 30th: recovery
        if (rebuildWorks) {
            EXPECT_TRUE(log.has("[sw-encoder] reinit succeeded — resuming"));
            f = enc.encode(p.data(), p.stride, t += 33'000);
            ASSERT_FALSE(f.data.empty());
            EXPECT_TRUE(f.keyframe);
        } else {
            enc.encode(p.data(), p.stride, t += 33'000);
            enc.encode(p.data(), p.stride, t += 33'000);
            EXPECT_TRUE(log.has("[sw-encoder] reinit FAILED (1/3)"));
            EXPECT_TRUE(log.has(
                "[sw-encoder] reinit FAILED (3/3) — software encoder DEAD, dropping frames"));
            EXPECT_TRUE(enc.isDead());
            const int attempts = log.count("reinit attempt");
            for (int i = 0; i < 40; ++i) enc.encode(p.data(), p.stride, t += 33'000);
            EXPECT_EQ(log.count("reinit attempt"), attempts);
        }
    }
}

// ---- HwEncoder over libx264 ---------------------------------------------------

TEST(HwEncoder, OpensWithLowLatencySettingsAndForcedIdr) {
    HwEncoder enc({"h264_missing_from_ffmpeg", "libx264"});
    LogRecorder log;
    const int level = av_log_get_level();
    ASSERT_TRUE(enc.init(configOf(1280, 720, 2500)));
    EXPECT_EQ(av_log_get_level(), level);  // the probe's silence is undone
    EXPECT_EQ(enc.name(), "libx264");
    EXPECT_TRUE(
        log.has("[encode] forced-idr enabled on libx264 — forced keyframes will be true IDR"));
    EXPECT_TRUE(log.has("Hardware encoder initialized: libx264 (1280x720 @ 30 fps, 2500 kbps)"));

    enc.setBitrate(1200);
    enc.setFrameRate(15);
    EXPECT_TRUE(log.has("Bitrate updated to 1200 kbps"));
    EXPECT_EQ(enc.liveBitrate(), 1'200'000);
    EXPECT_EQ(enc.liveFrameRate(), 15);
    EXPECT_EQ(enc.currentConfig().bitrateKbps, 2500);
    EXPECT_EQ(enc.currentConfig().fps, 30);

    // One packet out per frame in.
    const Picture p = test::quadrants(1280, 720);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(enc.encode(p.data(), p.stride, i).data.empty()) << i;
}

TEST(HwEncoder, NoCandidateMeansNoEncoderAndSilentRateCalls) {
    HwEncoder enc({"h264_missing_from_ffmpeg"});
    LogRecorder log;
    EXPECT_FALSE(enc.init(configOf(1280, 720)));
    EXPECT_TRUE(log.has("No hardware encoder available"));
    const size_t before = log.lines().size();
    enc.setBitrate(1000);
    enc.setFrameRate(10);
    EXPECT_EQ(log.lines().size(), before);
}

TEST(HwEncoder, ReconfigureStartsAtFrameZeroWithRequestedKeyframe) {
    HwEncoder enc({"libx264"});
    ASSERT_TRUE(enc.init(configOf(640, 360)));
    const Picture p = test::quadrants(640, 360);
    for (int i = 0; i < 7; ++i) enc.encode(p.data(), p.stride, i);
    ASSERT_TRUE(enc.reconfigure(640, 360, 30, 800, 640, 360));
    LogRecorder log;
    const EncodedFrame f = enc.encode(p.data(), p.stride, 100);
    EXPECT_TRUE(f.keyframe);
    EXPECT_TRUE(log.has("Encode: frame=0 size=" + std::to_string(f.data.size()) +
                        " keyframe=true wantedKF=true"));
}

// A failed reconfigure leaves the running encoder exactly as it was: the
// stream goes on without a new keyframe and still decodes.
TEST(HwEncoder, FailedReconfigureKeepsTheRunningEncoder) {
    HwEncoder enc({"libx264"});
    ASSERT_TRUE(enc.init(configOf(640, 360, 1500)));
    H264Decoder dec;
    int64_t t = 0;
    auto pic = [](int i) { return test::quadrants(640, 360, i); };
    encodeFrames(enc, dec, pic, 4, t);
    LogRecorder log;
    enc.failNextOpens(1);
    EXPECT_FALSE(enc.reconfigure(320, 180, 15, 500, 640, 360));
    EXPECT_TRUE(log.has("Reconfigure: avcodec_open2 failed (ret="));
    EXPECT_TRUE(log.has("— keeping old encoder"));
    EXPECT_EQ(enc.currentConfig().width, 640);
    EXPECT_EQ(enc.currentConfig().bitrateKbps, 1500);
    EXPECT_EQ(enc.framesSubmitted(), 4);
    EncodeRun r = encodeFrames(enc, dec, pic, 4, t);
    dec.flush(r.pics);
    for (const auto& f : r.out) {
        EXPECT_FALSE(f.data.empty());
        EXPECT_FALSE(f.keyframe);
    }
    EXPECT_EQ(dec.errors(), 0);
    ASSERT_FALSE(r.pics.empty());
    EXPECT_EQ(r.pics.back().width, 640);
    expectQuadrants(r.pics.back());
}

TEST(HwEncoder, ThirtyFailedSendsReinitializeOnce) {
    HwEncoder enc({"libx264"});
    ASSERT_TRUE(enc.init(configOf(320, 240)));
    int callbacks = 0;
    enc.errorCallback = [&](const std::string&) { ++callbacks; };
    const Picture p = test::quadrants(320, 240);
    enc.encode(p.data(), p.stride, 0);
    LogRecorder log;
    enc.failNextSends(30);
    for (int i = 0; i < 29; ++i) EXPECT_TRUE(enc.encode(p.data(), p.stride, i).data.empty());
    EXPECT_EQ(log.count("[encode] avcodec_send_frame failed"), 5);  // failures 1-5
    EXPECT_TRUE(log.has("consecutive=5"));
    EXPECT_FALSE(log.has("reinit attempt"));
    EXPECT_TRUE(enc.encode(p.data(), p.stride, 29).data.empty());
    EXPECT_TRUE(log.has("[encode] avcodec_send_frame failed: ret=-5 consecutive=30"));
    EXPECT_TRUE(log.has("[encode] 30 consecutive failures — reinit attempt 1/3"));
    EXPECT_TRUE(log.has("[encode] encoder reinit succeeded — resuming"));
    EXPECT_EQ(enc.failureCount(), 0);
    EXPECT_EQ(enc.reinitCount(), 0);
    const EncodedFrame f = enc.encode(p.data(), p.stride, 30);
    EXPECT_TRUE(f.keyframe);
    EXPECT_EQ(callbacks, 0);
}

TEST(HwEncoder, ThreeFailedReinitsMakeItDeadAndReportOnce) {
    HwEncoder enc({"libx264"});
    ASSERT_TRUE(enc.init(configOf(320, 240)));
    std::vector<std::string> reasons;
    enc.errorCallback = [&](const std::string& r) { reasons.push_back(r); };
    const Picture p = test::quadrants(320, 240);
    LogRecorder log;
    enc.failNextSends(1000);
    enc.failNextOpens(3);
    for (int i = 0; i < 31; ++i) enc.encode(p.data(), p.stride, i);
    EXPECT_EQ(log.count("[encode] encoder reinit FAILED — will retry after next error burst"), 2);
    EXPECT_FALSE(enc.isDead());
    enc.encode(p.data(), p.stride, 31);  // 32nd failure, attempt 3/3
    EXPECT_TRUE(log.has("reinit attempt 3/3"));
    EXPECT_TRUE(
        log.has("[encode] encoder reinit FAILED — hardware encoder DEAD, no more attempts"));
    EXPECT_TRUE(enc.isDead());
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(enc.encode(p.data(), p.stride, 40 + i).data.empty());
    EXPECT_EQ(reasons, std::vector<std::string>{"hw_encoder_dead"});
    EXPECT_EQ(log.count("reinit attempt"), 3);
    EXPECT_EQ(log.count("avcodec_send_frame failed"), 5 + 4);  // 1-5, 30, 60, 90, 120
}

// A keyframe asked for on a frame that never reached the encoder is not lost.
TEST(HwEncoder, KeyframeRequestSurvivesAFailedSend) {
    HwEncoder enc({"libx264"});
    ASSERT_TRUE(enc.init(configOf(320, 240)));
    const Picture p = test::quadrants(320, 240);
    enc.encode(p.data(), p.stride, 0);
    enc.encode(p.data(), p.stride, 1);
    enc.requestKeyframe();
    enc.failNextSends(1);
    EXPECT_TRUE(enc.encode(p.data(), p.stride, 2).data.empty());
    EXPECT_TRUE(enc.encode(p.data(), p.stride, 3).keyframe);
}

// ---- Factory -------------------------------------------------------------------

TEST(EncoderFactory, PicksHardwareThenSoftware) {
    struct Case {
        const char* what;
        EncoderFactoryOptions opts;
        std::string name;
        std::vector<std::string> logged;
        std::vector<std::string> notLogged;
    };
    const std::vector<Case> cases{
        {"forced",
         {true, {"libx264"}},
         "openh264",
         {"Using software encoder: openh264"},
         {"No hardware encoder available", "Hardware encoder not available"}},
        {"hardware opens",
         {false, {"h264_missing_from_ffmpeg", "libx264"}},
         "libx264",
         {"Using hardware encoder: libx264"},
         {"Using software encoder"}},
        {"no hardware",
         {false, {"h264_missing_from_ffmpeg"}},
         "openh264",
         {"No hardware encoder available",
          "Hardware encoder not available, falling back to openh264 software encoder",
          "Using software encoder: openh264"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogRecorder log;
        auto enc = createEncoder(configOf(640, 480), c.opts);
        ASSERT_TRUE(enc);
        EXPECT_EQ(enc->name(), c.name);
        for (const auto& l : c.logged) EXPECT_TRUE(log.has(l)) << l;
        for (const auto& l : c.notLogged) EXPECT_FALSE(log.has(l)) << l;
    }
    LogRecorder log;
    EXPECT_FALSE(createEncoder(configOf(0, 0), {false, {"libx264"}}));
    EXPECT_TRUE(log.has("No encoder available!"));
}

TEST(EncoderFactory, EnvironmentForcesSoftwareWithoutProbing) {
    ::setenv("KELVANDRUM_FORCE_SW_ENCODER", "", 1);
    LogRecorder log;
    auto enc = createEncoder(configOf(640, 480));
    ::unsetenv("KELVANDRUM_FORCE_SW_ENCODER");
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->name(), "openh264");
    EXPECT_FALSE(log.has("No hardware encoder available"));
    // Without the variable the built-in probe runs; on a machine without a
    // GPU it ends on the software encoder.
    auto probed = createEncoder(configOf(640, 480));
    ASSERT_TRUE(probed);
    if (probed->name() == "openh264") {
        EXPECT_TRUE(log.has("No hardware encoder available"));
    }
}

}  // namespace
}  // namespace kvd
