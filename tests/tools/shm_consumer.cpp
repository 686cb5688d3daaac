// Attaches the engine's shared-memory consumer for the system tests. Reads one
// command a line and answers each with one JSON line:
//   init                 -> {"ok"}, plus "w", "h"
//   frame                -> {"valid","w","h","stride","ts","dead"} (keeps a v2 lease)
//   until_valid <ms>     -> frames until a valid one (same shape, plus "tries")
//   until_dead <ms>      -> {"dead","ms"}: frames until the capture declares death
//   px <x> <y>           -> {"b","g","r"} of the last valid frame
//   release              -> {"ok"}: ends a v2 lease
//   stats                -> {"dead","geomGen","hbAgeMs","overwritten","seq","leased"}
//   quit
//   kvdtool_shm_consumer --version 1|2 --session ID
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "capture/shared_memory_capture.h"
#include "common/json_util.h"
#include "common/log.h"

namespace {

void emit(const kvd::Json& j) {
    kvd::logger().flush();
    std::cout << kvd::dumpJson(j) << std::endl;
}

int64_t nowMs() {
    return kvd::steadyNowMs();
}

}  // namespace

int main(int argc, char** argv) {
    std::string session;
    int version = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        if (k == "--session")
            session = argv[i + 1];
        else if (k == "--version")
            version = std::atoi(argv[i + 1]);
    }
    std::unique_ptr<kvd::ScreenCapture> cap;
    kvd::SharedMemoryCaptureV2* v2 = nullptr;
    if (version == 1) {
        auto c = std::make_unique<kvd::SharedMemoryCapture>();
        c->setSessionId(session);
        cap = std::move(c);
    } else {
        auto c = std::make_unique<kvd::SharedMemoryCaptureV2>(5000);
        c->setSessionId(session);
        v2 = c.get();
        cap = std::move(c);
    }
    std::vector<uint8_t> last;
    int32_t lw = 0, lh = 0, ls = 0;
    auto frameJson = [&](const kvd::CapturedFrame& f) {
        if (f.valid && f.data) {
            last.assign(f.data, f.data + size_t(f.stride) * f.height);
            lw = f.width;
            lh = f.height;
            ls = f.stride;
        }
        return kvd::Json{{"valid", f.valid && f.data != nullptr},
                         {"w", f.width},
                         {"h", f.height},
                         {"stride", f.stride},
                         {"ts", f.timestampUs},
                         {"dead", cap->isDead()}};
    };
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "init") {
            const bool ok = cap->init(-1);
            emit({{"ok", ok}, {"w", cap->width()}, {"h", cap->height()}});
        } else if (cmd == "frame") {
            emit(frameJson(cap->captureFrame()));
        } else if (cmd == "until_valid") {
            int64_t ms = 0;
            in >> ms;
            const int64_t end = nowMs() + ms;
            int tries = 0;
            kvd::Json j;
            do {
                ++tries;
                j = frameJson(cap->captureFrame());
            } while (!j["valid"].get<bool>() && nowMs() < end);
            j["tries"] = tries;
            emit(j);
        } else if (cmd == "until_dead") {
            int64_t ms = 0;
            in >> ms;
            const int64_t start = nowMs();
            while (!cap->isDead() && nowMs() - start < ms) {
                auto f = cap->captureFrame();
                cap->releaseFrame(f);
            }
            emit({{"dead", cap->isDead()}, {"ms", nowMs() - start}});
        } else if (cmd == "px") {
            int32_t x = 0, y = 0;
            in >> x >> y;
            if (x < 0 || y < 0 || x >= lw || y >= lh) {
                emit({{"error", "out of frame"}});
                continue;
            }
            const uint8_t* p = last.data() + size_t(y) * ls + size_t(x) * 4;
            emit({{"b", p[0]}, {"g", p[1]}, {"r", p[2]}});
        } else if (cmd == "release") {
            kvd::CapturedFrame f;
            cap->releaseFrame(f);
            emit({{"ok", true}});
        } else if (cmd == "stats") {
            kvd::Json j = {{"dead", cap->isDead()}};
            if (v2) {
                j["geomGen"] = v2->geometryGeneration();
                j["hbAgeMs"] = v2->msSinceHeartbeatChange();
                j["overwritten"] = v2->overwrittenFrames();
                j["seq"] = v2->attachedSeq();
                j["leased"] = v2->leasedSlot();
            }
            emit(j);
        } else if (cmd == "quit") {
            break;
        } else {
            emit({{"error", "unknown command"}});
        }
    }
    return 0;
}
