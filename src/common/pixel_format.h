#pragma once
// Pointer images arrive as premultiplied ARGB words (X Fixes, the cursor
// shapes of the duplication path); encoders and viewers want straight BGRA.

#include <algorithm>
#include <cstdint>

namespace kvd {

// Writes one premultiplied 0xAARRGGBB word as straight B, G, R, A bytes.
inline void premultipliedArgbWordToBgra(uint32_t v, uint8_t* out) {
    const uint32_t a = v >> 24;
    if (a == 0) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    auto unmul = [a](uint32_t c) {
        return static_cast<uint8_t>(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
    };
    out[0] = unmul(v & 0xff);
    out[1] = unmul((v >> 8) & 0xff);
    out[2] = unmul((v >> 16) & 0xff);
    out[3] = static_cast<uint8_t>(a);
}

}  // namespace kvd
