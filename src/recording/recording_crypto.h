#pragma once
// Recording key derivation and the chunked AES-256-GCM file layout:
// every 16384-byte chunk of the plain file becomes its ciphertext followed by
// a 16-byte tag; the nonce is d7 91 3e 5c + the chunk index (uint64 LE).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/file_store.h"

namespace kvd {

inline constexpr size_t kRecordingChunkSize = 16384;
inline constexpr size_t kRecordingTagSize = 16;

// HKDF-SHA256(ikm = token, salt = session id (none when empty),
// info = "kelvandrum/recording/aes-256-gcm"), 32 bytes; empty on failure.
std::vector<uint8_t> deriveRecordingKey(const std::string& sessionToken,
                                        const std::string& sessionId);

// Size of the encrypted form of a plain file of plainSize bytes.
uint64_t encryptedSize(uint64_t plainSize);

// Whole buffer at once; false for a key that is not 32 bytes or an OpenSSL
// failure. out is cleared first.
bool encryptBuffer(const std::vector<uint8_t>& key, const std::vector<uint8_t>& plaintext,
                   std::vector<uint8_t>& out);

// The same bytes as encryptBuffer, streamed from file to file one chunk at a
// time. progress (optional) is called every few MiB with the bytes done.
bool encryptFile(const std::vector<uint8_t>& key, platform::FileStore& fs,
                 const std::string& plainPath, const std::string& outPath, std::string& error,
                 const std::function<void(uint64_t done)>& progress = {});

}  // namespace kvd
