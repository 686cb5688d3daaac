#pragma once
// Small byte codecs shared by file transfer, clipboard and recording:
// Base64 (standard alphabet, '=' padding), CRC-32 (reflected 0xEDB88320) and
// SHA-256 (OpenSSL), the latter two incremental so large files stream.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvd {

std::string base64Encode(const void* data, size_t len);
inline std::string base64Encode(std::string_view s) {
    return base64Encode(s.data(), s.size());
}
// Value of a standard-alphabet Base64 character; -1 for any other.
int base64Value(char c);
// Strict decoding: nullopt for characters outside the alphabet, bad padding
// or a length that is not a multiple of four.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

// CRC-32 as used by zip/PNG; pass the previous value to continue.
uint32_t crc32Update(uint32_t crc, const void* data, size_t len);
inline uint32_t crc32(const void* data, size_t len) {
    return crc32Update(0, data, len);
}

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(const void* data, size_t len);
    std::array<uint8_t, 32> finish();
    std::string finishHex();

    static std::array<uint8_t, 32> digest(const void* data, size_t len);
    static std::string hex(const void* data, size_t len);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

std::string toHex(const uint8_t* data, size_t len);

}  // namespace kvd
