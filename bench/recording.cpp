// Recording costs, one step per run so that each step's peak memory can be
// measured on its own (bench/recording_compare.sh runs them side by side
// with `openssl speed`):
//   bench_recording write DIR MIB   real 1280x720 access units through the
//                                   recorder until MIB of raw stream exist;
//                                   per-frame cost of writeFrame (the part
//                                   that runs on the frame pipeline's thread)
//   bench_recording remux DIR       raw stream + sidecar -> MP4
//   bench_recording encrypt DIR     MP4 -> chunked AES-256-GCM file
//   bench_recording cipher DIR      the same cipher over 64 MiB in memory
// Each prints one JSON line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "encode/sw_encoder.h"
#include "platform/file_store.h"
#include "recording/recording_crypto.h"
#include "recording/remux.h"
#include "recording/session_recorder.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Processor time of this process: on a busy shared machine the wall time
// mostly measures the wait for a core.
double cpuSecondsSince(std::clock_t c0) {
    return static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
}

uint64_t fileSize(const std::string& p) {
    std::string err;
    return kvd::platform::hostFileStore().fileSize(p, err).value_or(0);
}

// Busy screen content: a moving gradient with noise, so that the encoder
// produces sizeable frames (about what a scrolling document gives).
std::vector<kvd::EncodedFrame> encodeSequence(int frames) {
    const int w = 1280, h = 720;
    kvd::SwEncoder enc;
    kvd::EncoderConfig cfg;
    cfg.width = w;
    cfg.height = h;
    cfg.bitrateKbps = 20000;
    cfg.keyframeIntervalSec = 60;
    std::vector<kvd::EncodedFrame> out;
    if (!enc.init(cfg)) return out;
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    uint32_t seed = 1;
    for (int i = 0; i < frames; ++i) {
        for (size_t p = 0; p < px.size(); p += 4) {
            seed = seed * 1664525u + 1013904223u;
            const size_t x = (p / 4) % w, y = p / 4 / w;
            px[p] = static_cast<uint8_t>(x + i * 3 + (seed >> 29));
            px[p + 1] = static_cast<uint8_t>(y + i);
            px[p + 2] = static_cast<uint8_t>((x ^ y) + (seed >> 30));
            px[p + 3] = 255;
        }
        auto f = enc.encode(px.data(), w * 4, int64_t{i} * 33333);
        if (!f.data.empty()) out.push_back(std::move(f));
    }
    return out;
}

int write(const std::string& dir, uint64_t mib) {
    const auto seq = encodeSequence(120);
    if (seq.empty() || !seq[0].keyframe) return 1;
    kvd::SessionRecorder rec;
    kvd::RecorderConfig cfg;
    cfg.sessionId = "bench";
    cfg.outputDir = dir;
    cfg.format = kvd::RecordingFormat::Mp4;
    cfg.minFreeBytes = 0;
    rec.configure(cfg);
    if (!rec.start()) return 1;
    std::vector<double> us;
    const uint64_t target = mib << 20;
    uint64_t bytes = 0;
    int64_t pts = 5'000'000;
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; bytes < target; ++i) {
        const auto& f = seq[i % seq.size()];
        const auto a = std::chrono::steady_clock::now();
        rec.writeFrame(f.data.data(), f.data.size(), f.keyframe, pts);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - a)
                         .count());
        bytes += f.data.size();
        pts += 33333;
    }
    const double total = secondsSince(t0);
    rec.stopCapture();  // leaves the raw stream and sidecar for the next steps
    std::vector<double> sorted = us;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double v : us) sum += v;
    std::printf(
        "{\"step\":\"write\",\"frames\":%zu,\"rawBytes\":%llu,\"avgFrameBytes\":%llu,"
        "\"usPerFrameAvg\":%.1f,\"usPerFrameP50\":%.1f,\"usPerFrameP99\":%.1f,"
        "\"usPerFrameMax\":%.1f,\"MBps\":%.1f}\n",
        us.size(), static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(bytes / us.size()), sum / us.size(),
        sorted[sorted.size() / 2], sorted[sorted.size() * 99 / 100], sorted.back(),
        bytes / 1048576.0 / total);
    return 0;
}

int remux(const std::string& dir) {
    std::vector<int64_t> times;
    {
        std::ifstream side(dir + "/bench.pts2.part", std::ios::binary);
        char rec[16];
        while (side.read(rec, sizeof(rec))) {
            int64_t t = 0;
            for (int i = 7; i >= 0; --i) t = (t << 8) | static_cast<uint8_t>(rec[i]);
            times.push_back(t);
        }
    }
    const std::string raw = dir + "/bench.h264.part", mp4 = dir + "/bench.mp4";
    std::string err;
    const auto t0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    if (!kvd::remuxH264ToMp4(raw, mp4, times, 30, err)) {
        std::fprintf(stderr, "remux failed: %s\n", err.c_str());
        return 1;
    }
    const double s = secondsSince(t0), cpu = cpuSecondsSince(c0);
    std::printf(
        "{\"step\":\"remux\",\"rawBytes\":%llu,\"mp4Bytes\":%llu,\"seconds\":%.2f,"
        "\"MBps\":%.1f,\"cpuMBps\":%.1f}\n",
        static_cast<unsigned long long>(fileSize(raw)),
        static_cast<unsigned long long>(fileSize(mp4)), s, fileSize(raw) / 1048576.0 / s,
        fileSize(raw) / 1048576.0 / cpu);
    return 0;
}

int encrypt(const std::string& dir) {
    const auto key = kvd::deriveRecordingKey("bench-token", "bench");
    const std::string mp4 = dir + "/bench.mp4", enc = dir + "/bench.mp4.enc";
    std::string err;
    const auto t0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    if (!kvd::encryptFile(key, kvd::platform::hostFileStore(), mp4, enc, err)) {
        std::fprintf(stderr, "encrypt failed: %s\n", err.c_str());
        return 1;
    }
    const double s = secondsSince(t0), cpu = cpuSecondsSince(c0);
    std::printf(
        "{\"step\":\"encrypt\",\"plainBytes\":%llu,\"encBytes\":%llu,\"seconds\":%.2f,"
        "\"MBps\":%.1f,\"cpuMBps\":%.1f}\n",
        static_cast<unsigned long long>(fileSize(mp4)),
        static_cast<unsigned long long>(fileSize(enc)), s, fileSize(mp4) / 1048576.0 / s,
        fileSize(mp4) / 1048576.0 / cpu);
    return 0;
}

// The cipher alone, in memory (no file I/O), over 64 MiB of the MP4.
int cipher(const std::string& dir) {
    const auto key = kvd::deriveRecordingKey("bench-token", "bench");
    const std::string mp4 = dir + "/bench.mp4";
    std::vector<uint8_t> plain(std::min<uint64_t>(fileSize(mp4), 64u << 20)), out;
    std::ifstream(mp4, std::ios::binary)
        .read(reinterpret_cast<char*>(plain.data()), static_cast<std::streamsize>(plain.size()));
    out.reserve(kvd::encryptedSize(plain.size()));
    const std::clock_t c0 = std::clock();
    if (!kvd::encryptBuffer(key, plain, out)) return 1;
    std::printf("{\"step\":\"cipher\",\"bytes\":%zu,\"cpuMBps\":%.1f}\n", plain.size(),
                plain.size() / 1048576.0 / cpuSecondsSince(c0));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "write")
        return write(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (argc >= 3 && std::string(argv[1]) == "remux") return remux(argv[2]);
    if (argc >= 3 && std::string(argv[1]) == "encrypt") return encrypt(argv[2]);
    if (argc >= 3 && std::string(argv[1]) == "cipher") return cipher(argv[2]);
    std::fprintf(stderr,
                 "usage: bench_recording write DIR MIB | remux DIR | encrypt DIR | cipher DIR\n");
    return 2;
}
