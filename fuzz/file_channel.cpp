// The file channel's binary protocol in both roles, over a transport that
// keeps only what the next steps need: one engine receives an upload into a
// real download directory, one sends a host file the viewer pulls. Each input
// starts with a valid START (and a valid offer), so the messages the fuzzer
// picks after it reach the deep states of both; the directory requests of the
// file browser take paths inside the scratch directory.
//
// Everything written lands in one scratch directory made per process under
// /tmp and emptied after every input; a partial upload left behind once the
// channel closed is a finding.
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/codec.h"
#include "features/file_browser.h"
#include "features/file_downloads.h"
#include "features/file_transfer_engine.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kUploadId = 7;

std::string gScratch;

// What the engine sent, reduced to what acknowledging it needs.
struct Transport final : kvd::IFileTransport {
    std::mutex mu;
    uint64_t buffered = 0;
    bool failSends = false;
    uint32_t lastStartId = 0;
    std::map<uint32_t, uint32_t> highestChunk;  // per outgoing transfer
    uint64_t messages = 0;
    bool sendBinary(const uint8_t* d, size_t n) override {
        std::lock_guard lk(mu);
        if (failSends || n == 0) return false;
        ++messages;
        const auto type = static_cast<kvd::FileMsg>(d[0]);
        uint32_t id = 0;
        if (n >= 5) id = d[1] | d[2] << 8 | d[3] << 16 | static_cast<uint32_t>(d[4]) << 24;
        if (type == kvd::FileMsg::Start) lastStartId = id;
        if (type == kvd::FileMsg::Chunk && n >= 9) {
            const uint32_t index =
                d[5] | d[6] << 8 | d[7] << 16 | static_cast<uint32_t>(d[8]) << 24;
            auto& h = highestChunk[id];
            if (index > h) h = index;
        }
        return true;
    }
    uint64_t bufferedAmount() override {
        std::lock_guard lk(mu);
        return buffered;
    }
    bool isOpen() override { return true; }
};

using Msg = std::vector<uint8_t>;

void put(Msg& m, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) m.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
Msg idMsg(kvd::FileMsg type, uint32_t id) {
    Msg m{static_cast<uint8_t>(type)};
    put(m, id, 4);
    return m;
}

// Payloads of a few sizes, made once: hashing them per input would dominate.
struct Payload {
    std::vector<uint8_t> bytes;
    std::array<uint8_t, 32> sha{};
    std::shared_ptr<kvd::MemorySource> source;
};
const Payload& payload(uint64_t size) {
    static std::map<uint64_t, Payload> cache;
    auto it = cache.find(size);
    if (it != cache.end()) return it->second;
    Payload p;
    p.bytes.resize(size);
    uint32_t seed = static_cast<uint32_t>(size) | 1;
    for (auto& b : p.bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    p.sha = kvd::Sha256::digest(p.bytes.data(), p.bytes.size());
    p.source = std::make_shared<kvd::MemorySource>(p.bytes);
    return cache.emplace(size, std::move(p)).first->second;
}
// Sizes from one byte: up to 20 chunks, whole or with a short tail, so that
// groups, the last chunk and empty files all occur.
uint64_t sizeFrom(uint8_t b) {
    const uint64_t chunks = b % 21;
    static constexpr uint64_t kTails[] = {0, 1, 100, kvd::kFileChunkBytes - 1};
    const uint64_t tail = kTails[(b / 21) % 4];
    if (chunks == 0) return tail;
    return (chunks - 1) * kvd::kFileChunkBytes + (tail ? tail : kvd::kFileChunkBytes);
}

void emptyDirectory(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
}

bool partialLeft(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.path().filename().string().rfind(".kvd-", 0) == 0) return true;
    return false;
}

// A browser path inside the scratch directory; nullopt when it could leave it.
std::optional<std::string> scratchPath(std::string_view piece) {
    if (piece.find("..") != std::string_view::npos) return std::nullopt;
    if (piece.find('\0') != std::string_view::npos) return std::nullopt;
    return gScratch + "/" + std::string(piece);
}

void removeScratch() {
    std::error_code ec;
    if (!gScratch.empty()) fs::remove_all(gScratch, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    gScratch = "/tmp/kvd-fuzz-file-channel-" + std::to_string(::getpid());
    fs::remove_all(gScratch);
    fs::create_directories(gScratch + "/downloads");
    fs::create_directories(gScratch + "/Desktop");
    fs::create_directories(gScratch + "/host/sub");
    // Files the viewer can pull.
    const auto& p = payload(sizeFrom(3));
    {
        FILE* f = std::fopen((gScratch + "/host/small.bin").c_str(), "wb");
        std::fwrite(p.bytes.data(), 1, p.bytes.size(), f);
        std::fclose(f);
        f = std::fopen((gScratch + "/host/sub/empty").c_str(), "wb");
        std::fclose(f);
    }
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvd::fuzz::Reader in(data, size);
    const uint8_t flags = in.byte();
    kvd::ManualClock clock;

    kvd::FileTransferConfig config;
    config.maxConcurrent = 1 + flags % 3;
    config.allowClipboardData = flags & 4;
    config.allowFiles = !(flags & 8) || (flags & 16);
    if (flags & 32) config.extraLimit = 3 * kvd::kFileChunkBytes;

    const std::string downloads = gScratch + "/downloads";
    const std::string desktop = gScratch + "/Desktop";
    kvd::EnvLookup env = [](const std::string& name) -> std::optional<std::string> {
        if (name == "USERPROFILE" || name == "HOME") return gScratch;
        return std::nullopt;
    };

    // The receiving side, wired as the session wires it.
    Transport upTransport;
    kvd::FileTransferEngine up(upTransport, config, clock);
    kvd::FileDownloads store(downloads, env);
    {
        kvd::FileTransferEngine::Callbacks cb;
        cb.start = [&store](const kvd::FileStartMessage& s) { return store.start(s); };
        cb.chunk = [&store](uint32_t id, uint32_t, const uint8_t* d, size_t n) {
            return store.chunk(id, d, n);
        };
        cb.completion = [&store](uint32_t id, kvd::CompleteStatus st, const std::string& name) {
            return store.completion(id, st, name);
        };
        cb.error = [&store](uint32_t id, uint8_t reason) { store.ended(id, reason); };
        up.setCallbacks(std::move(cb));
    }

    // The sending side and the browser that offers pulls on it.
    Transport downTransport;
    kvd::FileTransferEngine down(downTransport, config, clock);
    uint64_t completions = 0;
    {
        kvd::FileTransferEngine::Callbacks cb;
        cb.completion = [&completions](uint32_t, kvd::CompleteStatus st, const std::string&) {
            ++completions;
            return st;
        };
        cb.error = [&completions](uint32_t, uint8_t) { ++completions; };
        down.setCallbacks(std::move(cb));
    }
    std::mutex replyMu;
    std::condition_variable replyCv;
    uint64_t replies = 0;
    kvd::FileBrowser browser(kvd::FileBrowser::Deps{env, [flags] { return !(flags & 64); },
                                                    [&](const kvd::Json& j) {
                                                        (void)kvd::dumpJson(j);
                                                        std::lock_guard lk(replyMu);
                                                        ++replies;
                                                        replyCv.notify_all();
                                                    },
                                                    &down, config.maxConcurrent});

    // The prefix: a valid upload START and an offer of ours.
    const uint64_t upSize = sizeFrom(in.byte());
    const Payload& upData = payload(upSize);
    const std::string_view name = in.piece(64);
    static constexpr const char* kDests[] = {"", "Desktop", "Documents", "elsewhere"};
    const std::string dest = kDests[in.byte() % 4];
    {
        Msg m = idMsg(kvd::FileMsg::Start, kUploadId);
        m.push_back(flags & 128 ? 1 : 0);
        put(m, name.size(), 2);
        m.insert(m.end(), name.begin(), name.end());
        put(m, upSize, 8);
        m.insert(m.end(), upData.sha.begin(), upData.sha.end());
        if (!dest.empty()) {
            put(m, dest.size(), 2);
            m.insert(m.end(), dest.begin(), dest.end());
        }
        up.onFileBinary(m.data(), m.size());
    }
    uint32_t nextUpChunk = 0;
    const Payload& downData = payload(sizeFrom(in.byte()));
    const uint32_t downId = down.enqueueOutgoing(0, "pull.bin", downData.source);

    while (!in.empty()) {
        const uint8_t op = in.byte();
        switch ((op & 15) % 12) {
            case 0: {  // any message to the receiver
                const std::string_view m = op & 16 ? in.take(in.u16()) : in.piece();
                up.onFileBinary(reinterpret_cast<const uint8_t*>(m.data()), m.size());
                break;
            }
            case 1: {  // any message to the sender
                const std::string_view m = in.piece();
                down.onFileBinary(reinterpret_cast<const uint8_t*>(m.data()), m.size());
                break;
            }
            case 2: {  // the upload's next chunk, as the viewer sends it
                const uint64_t off = uint64_t{nextUpChunk} * kvd::kFileChunkBytes;
                const size_t len = off >= upSize ? (op >> 4)
                                                 : static_cast<size_t>(std::min<uint64_t>(
                                                       kvd::kFileChunkBytes, upSize - off));
                Msg m = idMsg(kvd::FileMsg::Chunk, kUploadId);
                put(m, (op & 16) ? nextUpChunk - 1 : nextUpChunk, 4);
                put(m, len, 2);
                if (off < upSize) {
                    m.insert(m.end(), upData.bytes.begin() + static_cast<std::ptrdiff_t>(off),
                             upData.bytes.begin() + static_cast<std::ptrdiff_t>(off + len));
                    if (op & 32) m.back() ^= 1;  // damaged in transit
                } else {
                    m.resize(m.size() + len, 0);
                }
                up.onFileBinary(m.data(), m.size());
                if (!(op & 16)) ++nextUpChunk;
                break;
            }
            case 3: {  // END of the upload
                Msg m = idMsg(kvd::FileMsg::End, kUploadId);
                put(m, nextUpChunk, 4);
                up.onFileBinary(m.data(), m.size());
                break;
            }
            case 4: {  // the viewer accepts the last offer, or acknowledges the highest chunk
                uint32_t id = downId, index = 0;
                {
                    std::lock_guard lk(downTransport.mu);
                    if (op & 16) id = downTransport.lastStartId;
                    index = downTransport.highestChunk[id];
                }
                Msg m;
                if (op & 32) {
                    m = idMsg(kvd::FileMsg::StartReply, id);
                    m.push_back(op & 64 ? 0 : 1);
                    m.push_back(0);
                } else {
                    m = idMsg(kvd::FileMsg::ChunkAck, id);
                    put(m, index - (op >> 6), 4);
                    put(m, 10, 2);
                }
                down.onFileBinary(m.data(), m.size());
                break;
            }
            case 5: {  // the viewer's verdict on a group, a rewind or a resume
                const uint16_t seq = in.byte() % 3;
                uint32_t crc = in.u16();
                if (op & 64) {  // the right sum for the offer's group
                    const uint64_t from = std::min<uint64_t>(downData.bytes.size(),
                                                             uint64_t{seq} * kvd::kFileGroupBytes);
                    const uint64_t to =
                        std::min<uint64_t>(downData.bytes.size(), from + kvd::kFileGroupBytes);
                    crc = kvd::crc32(downData.bytes.data() + from, to - from);
                }
                Msg m = idMsg(op & 16   ? kvd::FileMsg::GroupCrc
                              : op & 32 ? kvd::FileMsg::Rewind
                                        : kvd::FileMsg::Resume,
                              downId);
                if (op & 16) {
                    put(m, seq, 2);
                    put(m, crc, 4);
                } else if (op & 32) {
                    put(m, seq, 2);
                    put(m, uint32_t{seq} * kvd::kFileGroupChunks, 4);
                } else {
                    put(m, in.byte(), 4);
                }
                down.onFileBinary(m.data(), m.size());
                break;
            }
            case 6: {  // the sender's channel fills, drains or fails
                std::lock_guard lk(downTransport.mu);
                downTransport.buffered = uint64_t{in.u16()} * 8;
                downTransport.failSends = op & 16;
                break;
            }
            case 7:
                clock.advanceMs(int64_t{in.u16()});
                down.pumpPaused();
                break;
            case 8:
                (void)down.enqueueOutgoing(op & 16 ? 1 : 0, std::string(in.piece(32)),
                                           payload(sizeFrom(in.byte())).source);
                break;
            case 9:
                (op & 16 ? up : down).reset();
                break;
            case 10: {  // a directory listing
                if (const auto path = scratchPath(in.piece(64)))
                    browser.dirList(kvd::Json{{"path", *path}});
                break;
            }
            case 11: {  // a pull: wait for its one reply so the input stays deterministic
                const auto path = scratchPath(in.piece(64));
                if (!path) break;
                uint64_t before;
                {
                    std::lock_guard lk(replyMu);
                    before = replies;
                }
                browser.filePull(kvd::Json{{"path", *path}});
                std::unique_lock lk(replyMu);
                replyCv.wait_for(lk, std::chrono::seconds(10), [&] { return replies > before; });
                break;
            }
        }
    }

    browser.stop();
    // The channel closes: no partial upload may stay behind.
    up.reset();
    down.reset();
    if (store.openTransfers() != 0 || partialLeft(downloads) || partialLeft(desktop))
        __builtin_trap();
    emptyDirectory(downloads);
    emptyDirectory(desktop);
    return 0;
}
