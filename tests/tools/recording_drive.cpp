// Drives the engine's recording side (recorder, finishing, libcurl upload)
// with real H.264 access units from the software encoder, as the frame
// pipeline would, for the system tests.
//
//   kvdtool_recording_drive --dir DIR --session ID [--token T] [--format mp4|mp4-enc|h264]
//       [--frames N] [--fps F] [--size WxH] [--max-size BYTES] [--min-free BYTES]
//       [--disk-check-sec S] [--url URL] [--upload-token T] [--chunk BYTES]
//       [--backoff-ms MS] [--retries N] [--timeout-sec S] [--drain-ms MS]
//       [--recordings N]
//
// Frames are stamped as a capture would (steady µs, starting far from 0) and
// paced at fps only in the status timing (no sleeping). Every message the
// viewer would get is printed as one JSON line {"viewer": MESSAGE}; the end is
// {"done": true, "framesWritten": N, "pending": [...], "drained": BOOL}
// (framesWritten counts the last recording's access units handed over)..
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/json_util.h"
#include "encode/sw_encoder.h"
#include "recording/recording_crypto.h"
#include "recording/recording_service.h"

namespace {

std::vector<uint8_t> picture(int w, int h, int i) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = px.data() + (static_cast<size_t>(y) * w + x) * 4;
            p[0] = static_cast<uint8_t>(x + i * 4);
            p[1] = static_cast<uint8_t>(y * 2 + (x ^ i));
            p[2] = static_cast<uint8_t>((x * y + i * 13) >> 3);
            p[3] = 255;
        }
    return px;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, session = "drive-1", token = "drive-token", format = "mp4", url, uploadToken;
    int frames = 60, fps = 30, w = 320, h = 240, recordings = 1;
    uint64_t maxSize = 0, minFree = 0, chunk = 10485760;
    int diskCheckSec = 30, backoffMs = 2000, retries = 10, timeoutSec = 86400;
    int64_t drainMs = 25000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--dir")
            dir = v;
        else if (k == "--session")
            session = v;
        else if (k == "--token")
            token = v;
        else if (k == "--format")
            format = v;
        else if (k == "--frames")
            frames = std::atoi(v);
        else if (k == "--fps")
            fps = std::atoi(v);
        else if (k == "--size")
            std::sscanf(v, "%dx%d", &w, &h);
        else if (k == "--max-size")
            maxSize = std::strtoull(v, nullptr, 10);
        else if (k == "--min-free")
            minFree = std::strtoull(v, nullptr, 10);
        else if (k == "--disk-check-sec")
            diskCheckSec = std::atoi(v);
        else if (k == "--url")
            url = v;
        else if (k == "--upload-token")
            uploadToken = v;
        else if (k == "--chunk")
            chunk = std::strtoull(v, nullptr, 10);
        else if (k == "--backoff-ms")
            backoffMs = std::atoi(v);
        else if (k == "--retries")
            retries = std::atoi(v);
        else if (k == "--timeout-sec")
            timeoutSec = std::atoi(v);
        else if (k == "--drain-ms")
            drainMs = std::atoll(v);
        else if (k == "--recordings")
            recordings = std::atoi(v);
        else
            return 2;
    }
    if (dir.empty() || fps < 1) return 2;

    kvd::ManualClock clock;
    kvd::RecordingService::Deps d;
    d.recorder.clock = &clock;
    d.sendControl = [](const std::string& json) {
        std::printf("{\"viewer\":%s}\n", json.c_str());
        std::fflush(stdout);
    };
    d.uploadTarget = [&] { return kvd::UploadTarget{url, uploadToken, maxSize}; };
    d.uploadDefaults.chunkSize = chunk;
    d.uploadDefaults.backoffInitialMs = backoffMs;
    d.uploadDefaults.backoffMaxMs = backoffMs * 4;
    d.uploadDefaults.maxRetries = retries;
    d.uploadDefaults.overallTimeoutSec = timeoutSec;
    kvd::RecordingService svc(d);

    kvd::RecorderConfig rc;
    rc.tenantId = "drive";
    rc.sessionId = session;
    rc.encryptionKey = kvd::deriveRecordingKey(token, session);
    rc.width = static_cast<uint32_t>(w);
    rc.height = static_cast<uint32_t>(h);
    rc.fps = static_cast<uint32_t>(fps);
    rc.outputDir = dir;
    rc.minFreeBytes = minFree;
    rc.diskCheckIntervalSec = static_cast<uint32_t>(diskCheckSec);
    rc.format = format == "mp4-enc" ? kvd::RecordingFormat::Mp4Encrypted
                : format == "h264"  ? kvd::RecordingFormat::RawH264
                                    : kvd::RecordingFormat::Mp4;
    rc.maxSizeBytes = maxSize;
    svc.recorder().configure(rc);

    kvd::SwEncoder enc;
    kvd::EncoderConfig ec;
    ec.width = w;
    ec.height = h;
    ec.fps = fps;
    ec.bitrateKbps = 2000;
    ec.keyframeIntervalSec = 2;
    if (!enc.init(ec)) {
        std::fprintf(stderr, "encoder init failed\n");
        return 1;
    }
    const int64_t frameUs = 1000000 / fps;
    int64_t captureUs = 7'000'000'000;
    int framesWritten = 0;  // a steady clock far from zero
    for (int r = 0; r < recordings; ++r) {
        framesWritten = 0;
        if (auto reply = svc.viewerStart()) d.sendControl(kvd::dumpJson(*reply));
        enc.requestKeyframe();
        for (int i = 0; i < frames; ++i) {
            const auto px = picture(w, h, i);
            const auto f = enc.encode(px.data(), w * 4, captureUs);
            if (!f.data.empty()) {
                svc.recorder().writeFrame(f.data.data(), f.data.size(), f.keyframe, captureUs);
                ++framesWritten;
            }
            captureUs += frameUs;
            clock.advanceUs(frameUs);
            svc.tick();
            if (!svc.recorder().active()) break;  // stopped on its own (disk)
        }
        if (r + 1 < recordings) {
            if (auto reply = svc.viewerStop()) d.sendControl(kvd::dumpJson(*reply));
        }
    }
    svc.stopAtSessionEnd();
    const bool drained = svc.drain(drainMs);
    kvd::Json outputs = kvd::Json::array(), pending = kvd::Json::array();
    for (const auto& p : svc.pendingUploads())
        pending.push_back({{"path", p.path}, {"size", p.size}});
    std::printf("%s\n", kvd::dumpJson(kvd::Json{{"done", true},
                                                {"framesWritten", framesWritten},
                                                {"pending", pending},
                                                {"drained", drained}})
                            .c_str());
    std::fflush(stdout);
    if (!drained) std::_Exit(0);  // an abandoned upload thread may still be ending
    return 0;
}
