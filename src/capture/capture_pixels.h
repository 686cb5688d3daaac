#pragma once
// Pixel work shared by the capture backends: rotation of duplicated surfaces
// and their dirty rectangles, pointer shape conversion and drawing, and the
// thumbnail hash. No OS calls of their own.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/screen_capture.h"
#include "platform/desktop_duplication.h"
#include "platform/pointer.h"

namespace kvd {

constexpr int32_t kRotationIdentity = 1;
constexpr int32_t kRotation90 = 2;
constexpr int32_t kRotation180 = 3;
constexpr int32_t kRotation270 = 4;

// A rectangle (left, top, right, bottom) on the native surface as (x, y,
// width, height) on the logical image of width x height.
DirtyRect nativeRectToLogical(const platform::DuplicationRect& r, int32_t rotation,
                              int32_t logicalWidth, int32_t logicalHeight);

// Copies a native surface (nativeWidth x nativeHeight, srcPitch bytes a row)
// into the logical image dst (width x height, stride 4 * width).
void copyRotated(const uint8_t* src, int32_t srcPitch, int32_t nativeWidth, int32_t nativeHeight,
                 int32_t rotation, uint8_t* dst, int32_t width, int32_t height);

// `r` cut to the image (width x height); an empty rectangle when outside.
DirtyRect clipRect(const DirtyRect& r, int32_t width, int32_t height);

// Copies the pixels of `r` (clipped to width x height) between two images of
// the same geometry, 4 bytes a pixel.
void copyRegion(const uint8_t* src, int32_t srcStride, uint8_t* dst, int32_t dstStride,
                const DirtyRect& r, int32_t width, int32_t height);

// Makes `previous` a copy of `image` (height rows of rowBytes, rows `stride`
// apart in `image`, packed in `previous`) and says whether it already was
// one. Rows are compared top-down and the comparison stops at the first
// difference, from where on the rows are copied: an unchanged image costs one
// read, a changed one at most one read and one copy.
bool keepIfChanged(const uint8_t* image, int32_t stride, int32_t rowBytes, int32_t height,
                   std::vector<uint8_t>& previous);

constexpr int32_t kPointerTypeMonochrome = 1;
constexpr int32_t kPointerTypeColour = 2;
constexpr int32_t kPointerTypeMaskedColour = 4;
constexpr int32_t kMaxPointerSide = 512;

struct ConvertedPointer {
    enum class Verdict { Ok, RejectedColour, RejectedMonochrome, UnknownType };
    Verdict verdict = Verdict::UnknownType;
    int32_t type = kPointerTypeColour;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> bgra;  // width x height x 4
};

// Converts a duplication pointer shape to BGRA. Monochrome shapes (AND mask
// over XOR mask) become black, white, transparent, or the invert marker
// (255, 255, 255, alpha 1). Sizes outside 1..512 are rejected; so is a buffer
// too short for the stated pitch and height.
ConvertedPointer convertPointerShape(const platform::DuplicationPointerShape& shape);

// Premultiplied 0xAARRGGBB pixels to straight-alpha B, G, R, A bytes.
std::vector<uint8_t> premultipliedArgbToBgra(const std::vector<uint32_t>& argb);

// Draws a BGRA pointer shape whose top-left lands at (left, top) of the frame;
// pixels outside the frame are skipped. `type` selects the combination rule
// (masked colour XORs where alpha is 0, monochrome inverts where alpha is 1,
// otherwise alpha blending).
void drawPointer(uint8_t* frame, int32_t width, int32_t height, int32_t stride,
                 const uint8_t* shape, int32_t shapeWidth, int32_t shapeHeight, int32_t left,
                 int32_t top, int32_t type);

// Draws the current pointer into a grab that never contains it (X grabs do
// not), the grab's top-left being (originX, originY) on the desktop. The
// converted pointer image is kept until the pointer's serial changes.
class PointerPainter {
  public:
    void paint(platform::Pointer* pointer, uint8_t* frame, int32_t width, int32_t height,
               int32_t stride, int32_t originX, int32_t originY);

  private:
    uint64_t serial_ = 0;
    std::vector<uint8_t> bgra_;
};

// 64-bit FNV-1a; a hash of 0 becomes 1 so that 0 can mean "no reading".
uint64_t thumbnailHash(const uint8_t* data, size_t size);

// Point-samples the image (width x height, stride) into a 32 x 32 picture.
std::vector<uint8_t> sampleThumbnail(const uint8_t* image, int32_t width, int32_t height,
                                     int32_t stride);

// A pointer coordinate relative to an output edge of `extent` pixels,
// normalised to 0..65535 (truncating, then clamping).
uint16_t normalisePointer(int64_t offset, int32_t extent);

}  // namespace kvd
