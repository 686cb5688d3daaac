#include "capture/capture_pixels.h"

#include "common/pixel_format.h"

#include <algorithm>
#include <cstring>

namespace kvd {

DirtyRect nativeRectToLogical(const platform::DuplicationRect& r, int32_t rotation,
                              int32_t logicalWidth, int32_t logicalHeight) {
    switch (rotation) {
        case kRotation90:
            return {logicalWidth - r.bottom, r.left, r.bottom - r.top, r.right - r.left};
        case kRotation180:
            return {logicalWidth - r.right, logicalHeight - r.bottom, r.right - r.left,
                    r.bottom - r.top};
        case kRotation270:
            return {r.top, logicalHeight - r.right, r.bottom - r.top, r.right - r.left};
        default:
            return {r.left, r.top, r.right - r.left, r.bottom - r.top};
    }
}

DirtyRect clipRect(const DirtyRect& r, int32_t width, int32_t height) {
    const int64_t x0 = std::clamp<int64_t>(r.x, 0, width);
    const int64_t y0 = std::clamp<int64_t>(r.y, 0, height);
    const int64_t x1 = std::clamp<int64_t>(int64_t{r.x} + r.width, 0, width);
    const int64_t y1 = std::clamp<int64_t>(int64_t{r.y} + r.height, 0, height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {static_cast<int32_t>(x0), static_cast<int32_t>(y0), static_cast<int32_t>(x1 - x0),
            static_cast<int32_t>(y1 - y0)};
}

void copyRegion(const uint8_t* src, int32_t srcStride, uint8_t* dst, int32_t dstStride,
                const DirtyRect& r, int32_t width, int32_t height) {
    const DirtyRect c = clipRect(r, width, height);
    if (c.width <= 0 || !src || !dst) return;
    const size_t bytes = static_cast<size_t>(c.width) * 4;
    for (int32_t y = c.y; y < c.y + c.height; ++y) {
        const size_t off = static_cast<size_t>(c.x) * 4;
        std::memcpy(dst + static_cast<size_t>(y) * dstStride + off,
                    src + static_cast<size_t>(y) * srcStride + off, bytes);
    }
}

bool keepIfChanged(const uint8_t* image, int32_t stride, int32_t rowBytes, int32_t height,
                   std::vector<uint8_t>& previous) {
    const size_t row = static_cast<size_t>(std::max(rowBytes, 0));
    const size_t need = row * static_cast<size_t>(std::max(height, 0));
    int32_t first = 0;
    if (previous.size() != need) {
        previous.resize(need);
    } else {
        while (first < height && std::memcmp(image + static_cast<size_t>(first) * stride,
                                             previous.data() + first * row, row) == 0)
            ++first;
        if (first == height) return true;
    }
    for (int32_t y = first; y < height; ++y)
        std::memcpy(previous.data() + y * row, image + static_cast<size_t>(y) * stride, row);
    return false;
}

void copyRotated(const uint8_t* src, int32_t srcPitch, int32_t nativeWidth, int32_t nativeHeight,
                 int32_t rotation, uint8_t* dst, int32_t width, int32_t height) {
    if (!src || !dst || nativeWidth <= 0 || nativeHeight <= 0) return;
    const size_t dstStride = static_cast<size_t>(width) * 4;
    auto srcPx = [&](int32_t row, int32_t col) {
        return src + static_cast<size_t>(row) * srcPitch + static_cast<size_t>(col) * 4;
    };
    auto dstPx = [&](int32_t x, int32_t y) {
        return dst + static_cast<size_t>(y) * dstStride + static_cast<size_t>(x) * 4;
    };
    switch (rotation) {
        case kRotation90:
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x)
                    std::memcpy(dstPx(x, y), srcPx(nativeHeight - 1 - x, y), 4);
            break;
        case kRotation180:
            for (int32_t r = 0; r < nativeHeight; ++r)
                for (int32_t c = 0; c < nativeWidth; ++c)
                    std::memcpy(dstPx(width - 1 - c, height - 1 - r), srcPx(r, c), 4);
            break;
        case kRotation270:
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x)
                    std::memcpy(dstPx(x, y), srcPx(x, nativeWidth - 1 - y), 4);
            break;
        default:
            for (int32_t r = 0; r < nativeHeight; ++r)
                std::memcpy(dst + static_cast<size_t>(r) * dstStride, srcPx(r, 0),
                            static_cast<size_t>(nativeWidth) * 4);
            break;
    }
}

namespace {
bool sideOk(int32_t v) {
    return v >= 1 && v <= kMaxPointerSide;
}
bool bufferCovers(const platform::DuplicationPointerShape& s, int32_t rowBytes, int32_t rows) {
    if (s.pitch < rowBytes) return false;
    const size_t need = static_cast<size_t>(s.pitch) * static_cast<size_t>(rows - 1) +
                        static_cast<size_t>(rowBytes);
    return s.bytes.size() >= need;
}
bool bit(const uint8_t* row, int32_t x) {
    return (row[x / 8] >> (7 - x % 8)) & 1;
}
}  // namespace

ConvertedPointer convertPointerShape(const platform::DuplicationPointerShape& s) {
    ConvertedPointer out;
    out.type = s.type;
    if (s.type == kPointerTypeColour || s.type == kPointerTypeMaskedColour) {
        if (!sideOk(s.width) || !sideOk(s.height) || !bufferCovers(s, s.width * 4, s.height)) {
            out.verdict = ConvertedPointer::Verdict::RejectedColour;
            return out;
        }
        out.width = s.width;
        out.height = s.height;
        out.bgra.resize(static_cast<size_t>(s.width) * s.height * 4);
        for (int32_t r = 0; r < s.height; ++r)
            std::memcpy(out.bgra.data() + static_cast<size_t>(r) * s.width * 4,
                        s.bytes.data() + static_cast<size_t>(r) * s.pitch,
                        static_cast<size_t>(s.width) * 4);
        out.verdict = ConvertedPointer::Verdict::Ok;
        return out;
    }
    if (s.type == kPointerTypeMonochrome) {
        if (!sideOk(s.width) || !sideOk(s.height) || s.height < 2 ||
            !bufferCovers(s, (s.width + 7) / 8, s.height)) {
            out.verdict = ConvertedPointer::Verdict::RejectedMonochrome;
            return out;
        }
        out.width = s.width;
        out.height = s.height / 2;
        out.bgra.resize(static_cast<size_t>(out.width) * out.height * 4);
        for (int32_t y = 0; y < out.height; ++y) {
            const uint8_t* andRow = s.bytes.data() + static_cast<size_t>(y) * s.pitch;
            const uint8_t* xorRow = s.bytes.data() + static_cast<size_t>(y + out.height) * s.pitch;
            for (int32_t x = 0; x < out.width; ++x) {
                const bool a = bit(andRow, x), xo = bit(xorRow, x);
                uint8_t* p = out.bgra.data() + (static_cast<size_t>(y) * out.width + x) * 4;
                uint8_t c = 0, alpha = 0;
                if (!a && !xo) {
                    c = 0, alpha = 255;
                } else if (!a && xo) {
                    c = 255, alpha = 255;
                } else if (a && !xo) {
                    c = 0, alpha = 0;
                } else {
                    c = 255, alpha = 1;
                }
                p[0] = p[1] = p[2] = c;
                p[3] = alpha;
            }
        }
        out.verdict = ConvertedPointer::Verdict::Ok;
        return out;
    }
    out.verdict = ConvertedPointer::Verdict::UnknownType;
    return out;
}

std::vector<uint8_t> premultipliedArgbToBgra(const std::vector<uint32_t>& argb) {
    std::vector<uint8_t> out(argb.size() * 4);
    for (size_t i = 0; i < argb.size(); ++i)
        premultipliedArgbWordToBgra(argb[i], out.data() + i * 4);
    return out;
}

void drawPointer(uint8_t* frame, int32_t width, int32_t height, int32_t stride,
                 const uint8_t* shape, int32_t shapeWidth, int32_t shapeHeight, int32_t left,
                 int32_t top, int32_t type) {
    if (!frame || !shape || shapeWidth <= 0 || shapeHeight <= 0) return;
    const int32_t y0 = std::max(0, -top), y1 = std::min(shapeHeight, height - top);
    const int32_t x0 = std::max(0, -left), x1 = std::min(shapeWidth, width - left);
    for (int32_t sy = y0; sy < y1; ++sy) {
        uint8_t* row = frame + static_cast<size_t>(top + sy) * stride;
        for (int32_t sx = x0; sx < x1; ++sx) {
            const uint8_t* s = shape + (static_cast<size_t>(sy) * shapeWidth + sx) * 4;
            uint8_t* d = row + static_cast<size_t>(left + sx) * 4;
            const uint32_t a = s[3];
            if (type == kPointerTypeMaskedColour) {
                if (a != 0) {
                    d[0] = s[0], d[1] = s[1], d[2] = s[2];
                } else {
                    d[0] ^= s[0], d[1] ^= s[1], d[2] ^= s[2];
                }
            } else if (type == kPointerTypeMonochrome && a == 1) {
                d[0] = static_cast<uint8_t>(~d[0]);
                d[1] = static_cast<uint8_t>(~d[1]);
                d[2] = static_cast<uint8_t>(~d[2]);
            } else if (a == 255) {
                d[0] = s[0], d[1] = s[1], d[2] = s[2];
            } else if (a >= 2) {
                for (int c = 0; c < 3; ++c)
                    d[c] = static_cast<uint8_t>((s[c] * a + d[c] * (255 - a)) / 255);
            }
        }
    }
}

void PointerPainter::paint(platform::Pointer* pointer, uint8_t* frame, int32_t width,
                           int32_t height, int32_t stride, int32_t originX, int32_t originY) {
    if (!pointer) return;
    int32_t px = 0, py = 0;
    if (!pointer->position(px, py)) return;
    platform::PointerImage img;
    if (!pointer->image(img) || img.width <= 0 || img.height <= 0 ||
        img.argb.size() < static_cast<size_t>(img.width) * img.height)
        return;
    if (img.serial == 0 || img.serial != serial_ || bgra_.empty()) {
        bgra_ = premultipliedArgbToBgra(img.argb);
        serial_ = img.serial;
    }
    drawPointer(frame, width, height, stride, bgra_.data(), img.width, img.height,
                px - img.hotspotX - originX, py - img.hotspotY - originY, kPointerTypeColour);
}

uint64_t thumbnailHash(const uint8_t* data, size_t size) {
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < size; ++i) {
        h ^= data[i];
        h *= 0x100000001b3ULL;
    }
    return h == 0 ? 1 : h;
}

std::vector<uint8_t> sampleThumbnail(const uint8_t* image, int32_t width, int32_t height,
                                     int32_t stride) {
    std::vector<uint8_t> out(32 * 32 * 4, 0);
    if (!image || width <= 0 || height <= 0) return out;
    for (int32_t ty = 0; ty < 32; ++ty) {
        const int32_t sy = static_cast<int32_t>((static_cast<int64_t>(ty) * 2 + 1) * height / 64);
        for (int32_t tx = 0; tx < 32; ++tx) {
            const int32_t sx =
                static_cast<int32_t>((static_cast<int64_t>(tx) * 2 + 1) * width / 64);
            std::memcpy(out.data() + (ty * 32 + tx) * 4,
                        image + static_cast<size_t>(sy) * stride + static_cast<size_t>(sx) * 4, 4);
        }
    }
    return out;
}

uint16_t normalisePointer(int64_t offset, int32_t extent) {
    if (extent < 1) return 0;
    const int64_t v = offset * 65535 / extent;
    return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535));
}

}  // namespace kvd
