#include <gtest/gtest.h>

#include <cstring>

#include "capture/capture_pixels.h"

namespace kvd {
namespace {

using platform::DuplicationPointerShape;
using platform::DuplicationRect;

struct RotationCase {
    int32_t rotation;
    int32_t width, height;  // logical
    DuplicationRect native;
    DirtyRect logical;
};

TEST(DirtyRectRotation, ConvertsNativeRectanglesToLogicalOnes) {
    const RotationCase cases[] = {
        // A 90-degree 1080 x 1920 monitor: native surface 1920 x 1080.
        {kRotation90, 1080, 1920, {0, 0, 100, 50}, {1030, 0, 50, 100}},
        {kRotationIdentity, 1920, 1080, {10, 20, 110, 70}, {10, 20, 100, 50}},
        {0, 1920, 1080, {10, 20, 110, 70}, {10, 20, 100, 50}},
        {kRotation180, 1920, 1080, {0, 0, 100, 50}, {1820, 1030, 100, 50}},
        {kRotation270, 1080, 1920, {0, 0, 100, 50}, {0, 1820, 50, 100}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nativeRectToLogical(c.native, c.rotation, c.width, c.height), c.logical)
            << "rotation " << c.rotation;
    }
}

// The rectangle rule and the pixel copy must agree: every native pixel inside
// a rectangle lands inside the converted rectangle, for every rotation.
TEST(DirtyRectRotation, AgreesWithThePixelCopy) {
    const int32_t nw = 5, nh = 3;
    std::vector<uint8_t> native(nw * nh * 4);
    for (int32_t r = 0; r < nh; ++r)
        for (int32_t c = 0; c < nw; ++c) {
            uint8_t* p = &native[(r * nw + c) * 4];
            p[0] = static_cast<uint8_t>(r);
            p[1] = static_cast<uint8_t>(c);
            p[2] = 0;
            p[3] = 7;
        }
    const DuplicationRect rect{1, 0, 3, 2};  // columns 1..2, rows 0..1
    for (int32_t rot : {kRotationIdentity, kRotation90, kRotation180, kRotation270}) {
        const bool swapped = rot == kRotation90 || rot == kRotation270;
        const int32_t w = swapped ? nh : nw, h = swapped ? nw : nh;
        std::vector<uint8_t> out(w * h * 4, 0xEE);
        copyRotated(native.data(), nw * 4, nw, nh, rot, out.data(), w, h);
        const DirtyRect d = nativeRectToLogical(rect, rot, w, h);
        int inside = 0;
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                const uint8_t* p = &out[(y * w + x) * 4];
                ASSERT_EQ(p[3], 7) << "unfilled pixel, rotation " << rot;
                const bool fromRect = p[0] >= rect.top && p[0] < rect.bottom && p[1] >= rect.left &&
                                      p[1] < rect.right;
                const bool inRect = x >= d.x && x < d.x + d.width && y >= d.y && y < d.y + d.height;
                EXPECT_EQ(fromRect, inRect) << "rotation " << rot << " at " << x << "," << y;
                inside += inRect;
            }
        EXPECT_EQ(inside, 4) << "rotation " << rot;
    }
}

DuplicationPointerShape monochrome(int w, int h, std::vector<uint8_t> andRows,
                                   std::vector<uint8_t> xorRows) {
    DuplicationPointerShape s;
    s.type = kPointerTypeMonochrome;
    s.width = w;
    s.height = h * 2;
    s.pitch = 1;
    s.bytes = std::move(andRows);
    s.bytes.insert(s.bytes.end(), xorRows.begin(), xorRows.end());
    return s;
}

TEST(PointerShapeConversion, MonochromeMasksMapToFourPixelKinds) {
    // One row of four pixels: (AND, XOR) = (0,0) (0,1) (1,0) (1,1).
    const auto conv = convertPointerShape(monochrome(4, 1, {0b00110000}, {0b01010000}));
    ASSERT_EQ(conv.verdict, ConvertedPointer::Verdict::Ok);
    EXPECT_EQ(conv.width, 4);
    EXPECT_EQ(conv.height, 1);
    EXPECT_EQ(conv.type, kPointerTypeMonochrome);
    const std::vector<uint8_t> want = {0,   0,   0,   255,  // black
                                       255, 255, 255, 255,  // white
                                       0,   0,   0,   0,    // transparent
                                       255, 255, 255, 1};   // invert marker
    EXPECT_EQ(conv.bgra, want);
}

TEST(PointerShapeConversion, RejectsUnreasonableOrShortShapes) {
    auto colour = [](int w, int h, size_t bytes) {
        DuplicationPointerShape s;
        s.type = kPointerTypeColour;
        s.width = w;
        s.height = h;
        s.pitch = w * 4;
        s.bytes.assign(bytes, 0x80);
        return s;
    };
    using V = ConvertedPointer::Verdict;
    EXPECT_EQ(convertPointerShape(colour(513, 32, 513 * 32 * 4)).verdict, V::RejectedColour);
    EXPECT_EQ(convertPointerShape(colour(0, 32, 0)).verdict, V::RejectedColour);
    EXPECT_EQ(convertPointerShape(colour(32, 32, 32 * 32 * 4 - 1)).verdict, V::RejectedColour);
    EXPECT_EQ(convertPointerShape(colour(512, 512, 512 * 512 * 4)).verdict, V::Ok);
    // Monochrome: the total (AND + XOR) height counts against the cap.
    auto mono = monochrome(8, 257, std::vector<uint8_t>(257, 0), std::vector<uint8_t>(257, 0));
    EXPECT_EQ(convertPointerShape(mono).verdict, V::RejectedMonochrome);
    auto shortMono = monochrome(8, 4, {0, 0, 0, 0}, {0, 0});
    EXPECT_EQ(convertPointerShape(shortMono).verdict, V::RejectedMonochrome);
    DuplicationPointerShape odd = colour(2, 2, 16);
    odd.type = 3;
    EXPECT_EQ(convertPointerShape(odd).verdict, V::UnknownType);
}

TEST(PointerShapeConversion, ColourRowsHonourThePitch) {
    DuplicationPointerShape s;
    s.type = kPointerTypeMaskedColour;
    s.width = 1;
    s.height = 2;
    s.pitch = 8;
    s.bytes = {1, 2, 3, 4, 9, 9, 9, 9, 5, 6, 7, 8};
    const auto conv = convertPointerShape(s);
    ASSERT_EQ(conv.verdict, ConvertedPointer::Verdict::Ok);
    EXPECT_EQ(conv.bgra, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(conv.type, kPointerTypeMaskedColour);
}

TEST(PointerShapeConversion, PremultipliedArgbBecomesStraightBgra) {
    const std::vector<uint32_t> argb = {
        0xFF102030,  // opaque: unchanged
        0x80400000,  // half-transparent red 0x40 premultiplied -> 0x80
        0x00000000,  // transparent
        0x00FFFFFF,  // alpha 0 with colour (invalid premultiplication) -> transparent
        0x10FF0000,  // colour above alpha clamps at 255
    };
    const auto out = premultipliedArgbToBgra(argb);
    const std::vector<uint8_t> want = {0x30, 0x20, 0x10, 0xFF, 0, 0, 0x80, 0x80, 0,   0,
                                       0,    0,    0,    0,    0, 0, 0,    0,    255, 0x10};
    EXPECT_EQ(out, want);
}

struct Frame {
    int32_t w, h;
    std::vector<uint8_t> px;
    Frame(int32_t w_, int32_t h_, uint8_t fill) : w(w_), h(h_), px(w_ * h_ * 4, fill) {}
    const uint8_t* at(int32_t x, int32_t y) const { return &px[(y * w + x) * 4]; }
};

TEST(PointerDrawing, AppliesTheCombinationRuleOfEachType) {
    struct Case {
        int32_t type;
        uint8_t shape[4];
        uint8_t frame;
        uint8_t want[3];
    };
    const Case cases[] = {
        {kPointerTypeColour, {10, 20, 30, 255}, 100, {10, 20, 30}},
        {kPointerTypeColour, {255, 255, 255, 128}, 0, {128, 128, 128}},
        {kPointerTypeColour, {255, 255, 255, 1}, 100, {100, 100, 100}},
        {kPointerTypeColour, {255, 255, 255, 0}, 100, {100, 100, 100}},
        {kPointerTypeMonochrome, {255, 255, 255, 1}, 0x0F, {0xF0, 0xF0, 0xF0}},
        {kPointerTypeMaskedColour, {0xFF, 0x00, 0x0F, 0}, 0x0F, {0xF0, 0x0F, 0x00}},
        {kPointerTypeMaskedColour, {1, 2, 3, 200}, 0x0F, {1, 2, 3}},
    };
    for (const auto& c : cases) {
        Frame f(1, 1, c.frame);
        drawPointer(f.px.data(), 1, 1, 4, c.shape, 1, 1, 0, 0, c.type);
        EXPECT_EQ(f.px[0], c.want[0]) << "type " << c.type << " alpha " << int(c.shape[3]);
        EXPECT_EQ(f.px[1], c.want[1]);
        EXPECT_EQ(f.px[2], c.want[2]);
    }
}

TEST(PointerDrawing, ClipsAtEveryEdge) {
    const std::vector<uint8_t> shape(3 * 3 * 4, 255);  // opaque white 3 x 3
    for (auto [left, top] : {std::pair{-2, -2}, {3, 3}, {-1, 4}, {-5, 0}, {10, 10}}) {
        Frame f(4, 5, 0);
        drawPointer(f.px.data(), 4, 5, 16, shape.data(), 3, 3, left, top, kPointerTypeColour);
        for (int32_t y = 0; y < 5; ++y)
            for (int32_t x = 0; x < 4; ++x) {
                const bool covered = x >= left && x < left + 3 && y >= top && y < top + 3;
                EXPECT_EQ(f.at(x, y)[0], covered ? 255 : 0) << left << "," << top;
            }
    }
}

TEST(ThumbnailHash, SeesOneByteChangesAndSamplesTheWholeArea) {
    EXPECT_EQ(thumbnailHash(nullptr, 0), 1469598103934665603ULL);
    std::vector<uint8_t> a(4096, 0x55), b = a;
    b[4095] ^= 1;
    EXPECT_NE(thumbnailHash(a.data(), a.size()), thumbnailHash(b.data(), b.size()));
    EXPECT_EQ(thumbnailHash(a.data(), a.size()), thumbnailHash(a.data(), a.size()));
    std::vector<uint8_t> img(64 * 48 * 4);
    for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i * 7);
    const auto t = sampleThumbnail(img.data(), 64, 48, 64 * 4);
    ASSERT_EQ(t.size(), 4096u);
    // Sample (0, 0) comes from pixel (1, 0); sample (31, 31) from (63, 47).
    EXPECT_EQ(0, std::memcmp(&t[0], &img[4], 4));
    EXPECT_EQ(0, std::memcmp(&t[(31 * 32 + 31) * 4], &img[(47 * 64 + 63) * 4], 4));
}

TEST(PointerNormalisation, MapsTheOutputOntoFullRange) {
    EXPECT_EQ(normalisePointer(1920, 1920), 65535);  // right edge
    EXPECT_EQ(normalisePointer(5000, 1920), 65535);
    EXPECT_EQ(normalisePointer(-1, 1920), 0);  // left of the output
    EXPECT_EQ(normalisePointer(960, 1920), 32767);
    EXPECT_EQ(normalisePointer(10, 0), 0);
}

}  // namespace
}  // namespace kvd
