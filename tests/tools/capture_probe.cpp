// Drives the capture classes on a real display for the system tests. Reads
// one command a line from stdin and answers each with one JSON line:
//   open gdi|dxgi <monitor> [overlay]  -> {"ok","w","h","ox","oy","dead"}
//   frame                              -> {"valid","w","h","stride","dirty":[[x,y,w,h]..],
//                                          "unchanged","dead","starved"}
//   until_dirty <ms>                   -> frames until one carries dirty rectangles (same shape)
//   until_valid <ms>                   -> frames until a valid one (same shape, plus "tries")
//   px <x> <y>                         -> {"b","g","r"} of the last valid frame
//   cursor                             -> {"visible","w","h","hx","hy","x","y"}
//   monitors                           -> the "monitor_list" message
//   modes                              -> the "resolution_list" message
//   change <w> <h>                     -> {"ok"} (host mode change, restored at exit)
//   restore                            -> {"ok"}
//   watch_start <intervalMs> / watch_stop -> secure desktop messages as {"event":<message>}
//   quit
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/dxgi_capture.h"
#include "capture/gdi_capture.h"
#include "capture/monitor_manager.h"
#include "capture/resolution_manager.h"
#include "capture/secure_desktop_watcher.h"
#include "common/json_util.h"
#include "common/log.h"
#include "platform/desktop_probe.h"
#include "platform/displays.h"

namespace {

std::mutex gOut;

void emit(const kvd::Json& j) {
    // Tests read the log right after an answer.
    kvd::logger().flush();
    std::lock_guard<std::mutex> lk(gOut);
    std::cout << kvd::dumpJson(j) << std::endl;
}

struct Probe {
    std::string display;
    std::unique_ptr<kvd::ScreenCapture> cap;
    std::vector<uint8_t> last;
    int32_t lastW = 0, lastH = 0, lastStride = 0;
    std::unique_ptr<kvd::ResolutionManager> res;
    std::unique_ptr<kvd::SecureDesktopWatcher> watcher;

    kvd::Json frame() {
        const auto f = cap->captureFrame();
        kvd::Json j = {
            {"valid", f.valid && f.data}, {"w", f.width},          {"h", f.height},
            {"stride", f.stride},         {"dead", cap->isDead()}, {"starved", cap->diedStarved()}};
        kvd::Json dirty = kvd::Json::array();
        for (const auto& r : f.dirtyRects) dirty.push_back({r.x, r.y, r.width, r.height});
        j["dirty"] = dirty;
        j["unchanged"] = f.unchanged;
        if (f.valid && f.data) {
            last.assign(f.data, f.data + static_cast<size_t>(f.stride) * f.height);
            lastW = f.width;
            lastH = f.height;
            lastStride = f.stride;
        }
        auto copy = f;
        cap->releaseFrame(copy);
        return j;
    }
};

}  // namespace

int main(int argc, char** argv) {
    Probe p;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::string(argv[i]) == "--display") p.display = argv[i + 1];
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "open") {
            std::string backend, overlay;
            int32_t monitor = -1;
            in >> backend >> monitor >> overlay;
            p.cap.reset();
            if (backend == "gdi")
                p.cap = std::make_unique<kvd::GdiCapture>(p.display);
            else
                p.cap = std::make_unique<kvd::DxgiCapture>(p.display);
            const bool ok = p.cap->init(monitor);
            p.cap->setCursorOverlay(overlay == "overlay");
            emit({{"ok", ok},
                  {"w", p.cap->width()},
                  {"h", p.cap->height()},
                  {"ox", p.cap->originX()},
                  {"oy", p.cap->originY()},
                  {"dead", p.cap->isDead()}});
        } else if (cmd == "frame" && p.cap) {
            emit(p.frame());
        } else if ((cmd == "until_dirty" || cmd == "until_valid") && p.cap) {
            int ms = 2000;
            in >> ms;
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            kvd::Json j;
            int tries = 0;
            do {
                j = p.frame();
                ++tries;
                if (cmd == "until_dirty" ? !j["dirty"].empty() : j["valid"].get<bool>()) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            } while (std::chrono::steady_clock::now() < end);
            j["tries"] = tries;
            emit(j);
        } else if (cmd == "px") {
            int x = 0, y = 0;
            in >> x >> y;
            if (x < 0 || y < 0 || x >= p.lastW || y >= p.lastH) {
                emit({{"error", "outside"}});
                continue;
            }
            const uint8_t* q = p.last.data() + static_cast<size_t>(y) * p.lastStride + x * 4;
            emit({{"b", q[0]}, {"g", q[1]}, {"r", q[2]}});
        } else if (cmd == "cursor" && p.cap) {
            uint16_t x = 0, y = 0;
            p.cap->cursorPosition(x, y);
            emit({{"visible", p.cap->cursorVisible()},
                  {"w", p.cap->cursorWidth()},
                  {"h", p.cap->cursorHeight()},
                  {"hx", p.cap->cursorHotspotX()},
                  {"hy", p.cap->cursorHotspotY()},
                  {"x", x},
                  {"y", y},
                  {"shapeBytes", p.cap->cursorShape().size()}});
        } else if (cmd == "monitors") {
            kvd::MonitorManager m(kvd::platform::createDisplays(p.display));
            std::string sent;
            m.setSendJson([&](const std::string& s) { sent = s; });
            m.refresh();
            m.sendMonitorList();
            emit(*kvd::parseJson(sent));
        } else if (cmd == "modes" || cmd == "change" || cmd == "restore") {
            if (!p.res)
                p.res = std::make_unique<kvd::ResolutionManager>(
                    "", kvd::platform::createDisplays(p.display));
            if (cmd == "modes") {
                emit(*kvd::parseJson(kvd::buildResolutionListJson(p.res->listModes())));
            } else if (cmd == "change") {
                int32_t w = 0, h = 0;
                in >> w >> h;
                emit({{"ok", p.res->change(w, h, true, true)}});
            } else {
                emit({{"ok", p.res->restore()}});
            }
        } else if (cmd == "watch_start") {
            uint32_t interval = 250;
            in >> interval;
            p.watcher = std::make_unique<kvd::SecureDesktopWatcher>(
                interval, kvd::platform::createDesktopProbe(p.display));
            p.watcher->start([](const std::string& msg) {
                if (auto j = kvd::parseJson(msg)) emit({{"event", *j}});
            });
            emit({{"ok", true}});
        } else if (cmd == "watch_stop") {
            if (p.watcher) p.watcher->stop();
            emit({{"ok", true}});
        } else if (cmd == "quit") {
            break;
        } else {
            emit({{"error", "unknown command"}});
        }
    }
    if (p.watcher) p.watcher->stop();
    p.cap.reset();
    p.res.reset();  // restores a changed mode
    return 0;
}
