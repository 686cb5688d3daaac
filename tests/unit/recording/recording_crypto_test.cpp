#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "recording/recording_crypto.h"
#include "recording_test_support.h"

namespace kvd {
namespace {

std::vector<uint8_t> testKey() {
    std::vector<uint8_t> k(32);
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(i * 7 + 1);
    return k;
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131) ^ (i >> 8));
    return v;
}

// Decrypts one record written for chunk `index`; false when its tag fails.
bool decryptRecord(const std::vector<uint8_t>& key, uint64_t index, const uint8_t* rec, size_t n,
                   std::vector<uint8_t>& plain) {
    uint8_t iv[12] = {0xd7, 0x91, 0x3e, 0x5c};
    for (int i = 0; i < 8; ++i) iv[4 + i] = static_cast<uint8_t>(index >> (8 * i));
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    plain.assign(n, 0);
    int len = 0, fin = 0;
    bool ok =
        EVP_DecryptInit_ex(c, EVP_aes_256_gcm(), nullptr, key.data(), iv) == 1 &&
        EVP_DecryptUpdate(c, plain.data(), &len, rec, static_cast<int>(n)) == 1 &&
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, 16, const_cast<uint8_t*>(rec + n)) == 1 &&
        EVP_DecryptFinal_ex(c, plain.data() + len, &fin) == 1;
    EVP_CIPHER_CTX_free(c);
    return ok;
}

TEST(RecordingCrypto, LayoutSizesAndRoundTrip) {
    const auto key = testKey();
    for (size_t n : {size_t{0}, size_t{1}, size_t{16384}, size_t{16385}, size_t{50000}}) {
        SCOPED_TRACE(n);
        const auto plain = pattern(n);
        std::vector<uint8_t> enc{1, 2, 3};
        ASSERT_TRUE(encryptBuffer(key, plain, enc));
        EXPECT_EQ(enc.size(), encryptedSize(n));
        std::vector<uint8_t> back, part;
        size_t pos = 0;
        for (uint64_t i = 0; pos < enc.size(); ++i) {
            const size_t m = std::min<size_t>(16384, enc.size() - pos - 16);
            ASSERT_TRUE(decryptRecord(key, i, enc.data() + pos, m, part));
            back.insert(back.end(), part.begin(), part.end());
            pos += m + 16;
        }
        EXPECT_EQ(back, plain);
    }
    EXPECT_EQ(encryptedSize(16384), 16400u);
    EXPECT_EQ(encryptedSize(16385), 16417u);
}

TEST(RecordingCrypto, ChunksAreBoundToTheirPositionAndContent) {
    const auto key = testKey();
    std::vector<uint8_t> enc;
    ASSERT_TRUE(encryptBuffer(key, pattern(2 * 16384), enc));
    std::vector<uint8_t> plain;
    // Swapped: each record decrypted at the other's index fails.
    EXPECT_FALSE(decryptRecord(key, 1, enc.data(), 16384, plain));
    EXPECT_FALSE(decryptRecord(key, 0, enc.data() + 16400, 16384, plain));
    enc[100] ^= 1;
    EXPECT_FALSE(decryptRecord(key, 0, enc.data(), 16384, plain));
    EXPECT_TRUE(decryptRecord(key, 1, enc.data() + 16400, 16384, plain));
}

TEST(RecordingCrypto, WrongKeySizeIsRefusedWithEmptyOutput) {
    std::vector<uint8_t> out{9, 9};
    EXPECT_FALSE(encryptBuffer(std::vector<uint8_t>(31, 1), pattern(10), out));
    EXPECT_TRUE(out.empty());
}

TEST(RecordingCrypto, StreamedFileMatchesTheBufferLayout) {
    test::TempDir dir;
    const auto key = testKey();
    // Several read batches and a short tail chunk.
    const auto plain = pattern(64 * 16384 * 2 + 777);
    {
        std::ofstream f(dir / "in.mp4", std::ios::binary);
        f.write(reinterpret_cast<const char*>(plain.data()),
                static_cast<std::streamsize>(plain.size()));
    }
    std::string err;
    int reports = 0;
    ASSERT_TRUE(encryptFile(key, platform::hostFileStore(), dir / "in.mp4", dir / "out.enc", err,
                            [&](uint64_t) { ++reports; }))
        << err;
    std::vector<uint8_t> expected;
    ASSERT_TRUE(encryptBuffer(key, plain, expected));
    EXPECT_EQ(test::readAll(dir / "out.enc"), expected);
    EXPECT_FALSE(encryptFile(key, platform::hostFileStore(), dir / "missing", dir / "x", err));
    EXPECT_EQ(err, "failed to reopen plaintext mp4 for encrypt");
}

TEST(RecordingCrypto, KeyDerivationDependsOnTokenAndSession) {
    const auto a = deriveRecordingKey("token-1", "session-1");
    ASSERT_EQ(a.size(), 32u);
    EXPECT_EQ(a, deriveRecordingKey("token-1", "session-1"));
    EXPECT_NE(a, deriveRecordingKey("token-2", "session-1"));
    EXPECT_NE(a, deriveRecordingKey("token-1", "session-2"));
    EXPECT_EQ(deriveRecordingKey("token-1", "").size(), 32u);  // no salt
}

}  // namespace
}  // namespace kvd
