#pragma once
// Raw Annex B H.264 to MP4 with libavformat.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kvd {

// times: one presentation time (µs) per access unit in stream order, or
// none for constant frame rate. The MP4's times start at 0 for the first
// frame and its dts strictly increase; frames beyond the list continue from
// the last listed time at fps. progress (optional) is called now and then
// with the packet count so far. probeTimeoutMs bounds the stream probe.
bool remuxH264ToMp4(const std::string& rawPath, const std::string& mp4Path,
                    const std::optional<std::vector<int64_t>>& times, int fps, std::string& error,
                    const std::function<void(uint64_t packets)>& progress = {},
                    int64_t probeTimeoutMs = 10000);

// The timing of packet i (µs, relative to the first frame) as the remux
// applies it; exposed for tests.
struct PacketTiming {
    int64_t ptsUs = 0;
    int64_t durationUs = 0;
};
PacketTiming remuxPacketTiming(const std::vector<int64_t>* times, uint64_t index, int fps);

}  // namespace kvd
