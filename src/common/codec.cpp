#include "common/codec.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace kvd {

namespace {
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
}  // namespace

int base64Value(char c) {
    return b64Value(c);
}

std::string base64Encode(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve((len + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += kB64[v & 63];
    }
    if (len - i == 1) {
        const uint32_t v = p[i] << 16;
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += "==";
    } else if (len - i == 2) {
        const uint32_t v = (p[i] << 16) | (p[i + 1] << 8);
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad) return std::nullopt;  // data after padding
            v[k] = b64Value(c);
            if (v[k] < 0) return std::nullopt;
        }
        const uint32_t w = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out.push_back(static_cast<uint8_t>(w >> 16));
        if (pad < 2) out.push_back(static_cast<uint8_t>(w >> 8));
        if (pad < 1) out.push_back(static_cast<uint8_t>(w));
    }
    return out;
}

uint32_t crc32Update(uint32_t crc, const void* data, size_t len) {
    static const auto table = makeCrcTable();
    const auto* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < len; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

struct Sha256::Impl {
    EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
    impl_->ctx = EVP_MD_CTX_new();
    if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 init failed");
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(impl_->ctx);
}

void Sha256::update(const void* data, size_t len) {
    if (len) EVP_DigestUpdate(impl_->ctx, data, len);
}

std::array<uint8_t, 32> Sha256::finish() {
    std::array<uint8_t, 32> out{};
    unsigned int n = 0;
    EVP_DigestFinal_ex(impl_->ctx, out.data(), &n);
    EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr);
    return out;
}

std::string Sha256::finishHex() {
    auto d = finish();
    return toHex(d.data(), d.size());
}

std::array<uint8_t, 32> Sha256::digest(const void* data, size_t len) {
    Sha256 h;
    h.update(data, len);
    return h.finish();
}

std::string Sha256::hex(const void* data, size_t len) {
    auto d = digest(data, len);
    return toHex(d.data(), d.size());
}

std::string toHex(const uint8_t* data, size_t len) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    s.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        s += kHex[data[i] >> 4];
        s += kHex[data[i] & 15];
    }
    return s;
}

}  // namespace kvd
