#pragma once
// Helpers for the encoder tests: synthetic BGRA pictures, a log recorder, and
// an H.264 decoder (FFmpeg's) to check what the encoders produced.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/sinks/ringbuffer_sink.h>

namespace kvd::test {

struct Bgra {
    uint8_t b, g, r, a;
};

// Four quadrants (red, green, blue, white) and, when `phase` moves, a grey bar
// that wanders along the top rows so consecutive frames differ.
struct Picture {
    int width = 0, height = 0, stride = 0;
    std::vector<uint8_t> pixels;
    const uint8_t* data() const { return pixels.data(); }
    Bgra at(int x, int y) const;
};
Picture quadrants(int width, int height, int phase = 0, int extraStride = 0);
Bgra quadrantColour(int quadrant);  // 0 top-left, 1 top-right, 2 bottom-left, 3 bottom-right

// Records every message of kvd::logger() (level raised to trace) while alive.
class LogRecorder {
  public:
    LogRecorder();
    ~LogRecorder();
    std::vector<std::string> lines() const;
    int count(const std::string& needle) const;
    bool has(const std::string& needle) const { return count(needle) > 0; }

  private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    int oldLevel_;
};

struct SpsInfo {
    int profileIdc = 0;
    int constraintFlags = 0;  // the byte after profile_idc
    int levelIdc = 0;
};
std::vector<int> nalTypes(const std::vector<uint8_t>& annexB);
std::optional<SpsInfo> findSps(const std::vector<uint8_t>& annexB);
// Constrained baseline: profile 66 with constraint_set1 (what 42e01f/42c01f mean).
bool isConstrainedBaseline(const SpsInfo& sps);

struct DecodedPicture {
    int width = 0, height = 0;
    std::vector<uint8_t> bgra;  // stride 4 * width
    Bgra at(int x, int y) const;
};

class H264Decoder {
  public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;
    // One access unit in; the pictures that came out. False on a decode error.
    bool decode(const std::vector<uint8_t>& au, std::vector<DecodedPicture>& out);
    void flush(std::vector<DecodedPicture>& out);
    int errors() const { return errors_; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int errors_ = 0;
};

int maxChannelDiff(Bgra a, Bgra b);

}  // namespace kvd::test
