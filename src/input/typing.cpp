#include "input/typing.h"

#include <cstdlib>

namespace kvd {

namespace {
constexpr char16_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

void appendCodePoint(std::u16string& out, uint32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}
}  // namespace

std::u16string utf8ToUtf16(const std::string& utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    const size_t n = utf8.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        // Length and the allowed range of the second byte; the narrowed
        // ranges exclude overlong forms, surrogates and values past U+10FFFF.
        size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        uint32_t cp = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            len = 2;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            len = 3;
            cp = lead & 0x0F;
            if (lead == 0xE0) lo = 0xA0;
            if (lead == 0xED) hi = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            len = 4;
            cp = lead & 0x07;
            if (lead == 0xF0) lo = 0x90;
            if (lead == 0xF4) hi = 0x8F;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        size_t j = 1;
        bool ok = true;
        for (; j < len; ++j) {
            if (i + j >= n) {
                ok = false;
                break;
            }
            const unsigned char b = static_cast<unsigned char>(utf8[i + j]);
            const bool inRange = j == 1 ? (b >= lo && b <= hi) : isContinuation(b);
            if (!inRange) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (!ok) {
            // One replacement for the valid prefix; resume at the offending byte.
            out.push_back(kReplacement);
            i += j;
            continue;
        }
        appendCodePoint(out, cp);
        i += len;
    }
    return out;
}

std::vector<platform::KeyRecord> typingRecords(const std::u16string& text) {
    std::vector<platform::KeyRecord> records;
    records.reserve(text.size() * 2);
    for (char16_t unit : text) {
        if (unit == 0x0D) continue;
        if (unit == 0x0A || unit == 0x09) {
            const uint16_t vk = unit == 0x0A ? 0x0D : 0x09;
            records.push_back({vk, false, false});
            records.push_back({vk, false, true});
        } else {
            records.push_back({static_cast<uint16_t>(unit), true, false});
            records.push_back({static_cast<uint16_t>(unit), true, true});
        }
    }
    return records;
}

int32_t mulDiv(int32_t a, int32_t b, int32_t c) {
    if (c == 0) return -1;
    const int64_t num = static_cast<int64_t>(a) * b;
    const bool negative = (num < 0) != (c < 0);
    const int64_t absNum = num < 0 ? -num : num;
    const int64_t absDen = c < 0 ? -static_cast<int64_t>(c) : c;
    int64_t q = (absNum + absDen / 2) / absDen;
    if (negative) q = -q;
    if (q > INT32_MAX || q < INT32_MIN) return -1;
    return static_cast<int32_t>(q);
}

}  // namespace kvd
