#pragma once
// Text to keyboard records: the pure half of typing, shared by the injectors.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/input_backend.h"

namespace kvd {

// UTF-8 to UTF-16. Invalid sequences (bad lead or continuation bytes,
// overlong forms, surrogates, values above U+10FFFF, a sequence cut off by
// the end) each yield U+FFFD; code points above U+FFFF become surrogate pairs.
std::u16string utf8ToUtf16(const std::string& utf8);

// Two records per UTF-16 unit: CR is skipped, LF becomes Return (VK 0x0D)
// down/up, TAB becomes VK 0x09 down/up, everything else a Unicode down/up.
std::vector<platform::KeyRecord> typingRecords(const std::u16string& text);

// Windows MulDiv: a * b / c rounded half away from zero; -1 when c is 0.
int32_t mulDiv(int32_t a, int32_t b, int32_t c);

}  // namespace kvd
