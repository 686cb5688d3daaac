#pragma once
// A scripted file channel and message builders for the transfer tests.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/codec.h"
#include "features/file_transfer_engine.h"

namespace kvd::test {

using Msg = std::vector<uint8_t>;

struct FakeTransport : IFileTransport {
    std::vector<Msg> sent;
    uint64_t buffered = 0;
    bool open = true;
    bool failSends = false;
    bool sendBinary(const uint8_t* d, size_t n) override {
        if (!open || failSends) return false;
        sent.emplace_back(d, d + n);
        return true;
    }
    uint64_t bufferedAmount() override { return buffered; }
    bool isOpen() override { return open; }

    std::vector<Msg> take(FileMsg type) {
        std::vector<Msg> out, rest;
        for (auto& m : sent) (m[0] == static_cast<uint8_t>(type) ? out : rest).push_back(m);
        sent = rest;
        return out;
    }
    size_t count(FileMsg type) const {
        size_t n = 0;
        for (const auto& m : sent) n += m[0] == static_cast<uint8_t>(type);
        return n;
    }
};

inline void put(Msg& m, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) m.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint64_t get(const Msg& m, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t{m[at + i]} << (8 * i);
    return v;
}

inline Msg startMsg(uint32_t id, uint64_t size, const std::array<uint8_t, 32>& sha,
                    const std::string& name = "a.bin", uint8_t kind = 0,
                    const std::string& dest = "") {
    Msg m{1};
    put(m, id, 4);
    m.push_back(kind);
    put(m, name.size(), 2);
    m.insert(m.end(), name.begin(), name.end());
    put(m, size, 8);
    m.insert(m.end(), sha.begin(), sha.end());
    if (!dest.empty()) {
        put(m, dest.size(), 2);
        m.insert(m.end(), dest.begin(), dest.end());
    }
    return m;
}
inline Msg chunkMsg(uint32_t id, uint32_t index, const uint8_t* data, size_t len) {
    Msg m{3};
    put(m, id, 4);
    put(m, index, 4);
    put(m, len, 2);
    m.insert(m.end(), data, data + len);
    return m;
}
inline Msg idMsg(FileMsg type, uint32_t id) {
    Msg m{static_cast<uint8_t>(type)};
    put(m, id, 4);
    return m;
}
inline Msg endMsg(uint32_t id, uint32_t total) {
    Msg m = idMsg(FileMsg::End, id);
    put(m, total, 4);
    return m;
}
inline Msg ackMsg(uint32_t id, uint32_t index) {
    Msg m = idMsg(FileMsg::ChunkAck, id);
    put(m, index, 4);
    put(m, 10, 2);
    return m;
}
inline Msg replyMsg(uint32_t id, bool accepted, uint8_t reason = 0) {
    Msg m = idMsg(FileMsg::StartReply, id);
    m.push_back(accepted ? 1 : 0);
    m.push_back(reason);
    return m;
}

inline Msg cancelMsg(uint32_t id, uint8_t reason) {
    Msg m = idMsg(FileMsg::Cancel, id);
    m.push_back(reason);
    return m;
}

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed = 7) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(seed >> 16);
    }
    return v;
}

// Sends data as a viewer would: START, every chunk, END.
inline void upload(FileTransferEngine& e, uint32_t id, const std::vector<uint8_t>& data,
                   const std::string& name = "a.bin", const std::string& dest = "",
                   const std::array<uint8_t, 32>* sha = nullptr) {
    const auto digest = sha ? *sha : Sha256::digest(data.data(), data.size());
    auto s = startMsg(id, data.size(), digest, name, 0, dest);
    e.onFileBinary(s.data(), s.size());
    for (size_t off = 0, i = 0; off < data.size(); off += kFileChunkBytes, ++i) {
        const size_t len = std::min<size_t>(kFileChunkBytes, data.size() - off);
        auto c = chunkMsg(id, static_cast<uint32_t>(i), data.data() + off, len);
        e.onFileBinary(c.data(), c.size());
    }
    auto end =
        endMsg(id, static_cast<uint32_t>((data.size() + kFileChunkBytes - 1) / kFileChunkBytes));
    e.onFileBinary(end.data(), end.size());
}

inline bool feed(FileTransferEngine& e, const Msg& m) {
    return e.onFileBinary(m.data(), m.size());
}

}  // namespace kvd::test
