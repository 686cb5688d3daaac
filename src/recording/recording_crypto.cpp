#include "recording/recording_crypto.h"

#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <array>
#include <memory>

namespace kvd {

namespace {

constexpr char kInfo[] = "kelvandrum/recording/aes-256-gcm";

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

std::array<uint8_t, 12> chunkNonce(uint64_t index) {
    std::array<uint8_t, 12> n{0xd7, 0x91, 0x3e, 0x5c};
    for (int i = 0; i < 8; ++i) n[4 + i] = static_cast<uint8_t>(index >> (8 * i));
    return n;
}

// One AES-256-GCM context per buffer or file, keyed once. Every chunk sets
// its own nonce, which restarts the GCM state (counter, hash, tag), so each
// record is independent of the others exactly as with a fresh context.
class ChunkCipher {
  public:
    explicit ChunkCipher(const uint8_t* key) : ctx_(EVP_CIPHER_CTX_new()) {
        ok_ = ctx_ &&
              EVP_EncryptInit_ex(ctx_.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1 &&
              EVP_EncryptInit_ex(ctx_.get(), nullptr, nullptr, key, nullptr) == 1;
    }
    bool ok() const { return ok_; }
    // Writes the ciphertext of n bytes and then the tag to out.
    bool encrypt(uint64_t index, const uint8_t* in, size_t n, uint8_t* out) {
        EVP_CIPHER_CTX* ctx = ctx_.get();
        const auto nonce = chunkNonce(index);
        int len = 0, fin = 0;
        if (EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()) != 1) return false;
        if (EVP_EncryptUpdate(ctx, out, &len, in, static_cast<int>(n)) != 1) return false;
        if (EVP_EncryptFinal_ex(ctx, out + len, &fin) != 1) return false;
        if (static_cast<size_t>(len + fin) != n) return false;
        return EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kRecordingTagSize, out + n) == 1;
    }

  private:
    CipherCtx ctx_;
    bool ok_ = false;
};

}  // namespace

std::vector<uint8_t> deriveRecordingKey(const std::string& sessionToken,
                                        const std::string& sessionId) {
    std::vector<uint8_t> key(32);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    if (!ctx) return {};
    size_t len = key.size();
    const bool ok =
        EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha256()) == 1 &&
        (sessionId.empty() ||
         EVP_PKEY_CTX_set1_hkdf_salt(ctx, reinterpret_cast<const unsigned char*>(sessionId.data()),
                                     static_cast<int>(sessionId.size())) == 1) &&
        EVP_PKEY_CTX_set1_hkdf_key(ctx, reinterpret_cast<const unsigned char*>(sessionToken.data()),
                                   static_cast<int>(sessionToken.size())) == 1 &&
        EVP_PKEY_CTX_add1_hkdf_info(ctx, reinterpret_cast<const unsigned char*>(kInfo),
                                    static_cast<int>(sizeof(kInfo) - 1)) == 1 &&
        EVP_PKEY_derive(ctx, key.data(), &len) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok || len != 32) return {};
    return key;
}

uint64_t encryptedSize(uint64_t plainSize) {
    return plainSize +
           kRecordingTagSize * ((plainSize + kRecordingChunkSize - 1) / kRecordingChunkSize);
}

bool encryptBuffer(const std::vector<uint8_t>& key, const std::vector<uint8_t>& plaintext,
                   std::vector<uint8_t>& out) {
    out.clear();
    if (key.size() != 32) return false;
    if (plaintext.empty()) return true;
    out.resize(encryptedSize(plaintext.size()));
    ChunkCipher cipher(key.data());
    if (!cipher.ok()) {
        out.clear();
        return false;
    }
    size_t pos = 0, w = 0;
    for (uint64_t i = 0; pos < plaintext.size(); ++i) {
        const size_t n = std::min(kRecordingChunkSize, plaintext.size() - pos);
        if (!cipher.encrypt(i, plaintext.data() + pos, n, out.data() + w)) {
            out.clear();
            return false;
        }
        pos += n;
        w += n + kRecordingTagSize;
    }
    return true;
}

bool encryptFile(const std::vector<uint8_t>& key, platform::FileStore& fs,
                 const std::string& plainPath, const std::string& outPath, std::string& error,
                 const std::function<void(uint64_t done)>& progress) {
    if (key.size() != 32) {
        error = "encryption key must be 32 bytes";
        return false;
    }
    auto in = fs.openRead(plainPath);
    if (!in) {
        error = "failed to reopen plaintext mp4 for encrypt";
        return false;
    }
    auto out = fs.openWrite(outPath);
    if (!out) {
        error = "failed to open .mp4.enc for write";
        return false;
    }
    ChunkCipher chunkCipher(key.data());
    if (!chunkCipher.ok()) {
        error = "encryptBuffer failed";
        return false;
    }
    // A batch of chunks per read and write keeps system calls few while the
    // memory stays bounded (64 chunks, about 1 MiB).
    constexpr size_t kBatch = 64;
    std::vector<uint8_t> plain(kRecordingChunkSize * kBatch);
    std::vector<uint8_t> cipher((kRecordingChunkSize + kRecordingTagSize) * kBatch);
    uint64_t offset = 0, index = 0, lastReport = 0;
    for (;;) {
        const int64_t got = in->readAt(offset, plain.data(), plain.size());
        if (got < 0) {
            error = "failed to reopen plaintext mp4 for encrypt";
            return false;
        }
        if (got == 0) break;
        size_t pos = 0, w = 0;
        while (pos < static_cast<size_t>(got)) {
            const size_t n = std::min(kRecordingChunkSize, static_cast<size_t>(got) - pos);
            if (!chunkCipher.encrypt(index++, plain.data() + pos, n, cipher.data() + w)) {
                error = "encryptBuffer failed";
                return false;
            }
            pos += n;
            w += n + kRecordingTagSize;
        }
        if (!out->write(cipher.data(), w)) {
            error = "write to .mp4.enc failed: " + out->errorText();
            return false;
        }
        offset += static_cast<uint64_t>(got);
        if (progress && offset - lastReport >= (8u << 20)) {
            lastReport = offset;
            progress(offset);
        }
        // A short batch is the end of the file, unless it was not a whole
        // number of chunks (then the next read returns 0).
        if (static_cast<size_t>(got) < plain.size()) break;
    }
    if (!out->close()) {
        error = "write to .mp4.enc failed: " + out->errorText();
        return false;
    }
    return true;
}

}  // namespace kvd
