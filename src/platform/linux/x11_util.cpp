#include "platform/linux/x11_util.h"

#include <atomic>
#include <mutex>

#include "common/log.h"
#include "platform/displays.h"

namespace kvd::platform {

namespace {
std::atomic<int> gLastErrorCode{0};
std::atomic<unsigned long> gErrorCount{0};
// Set when a connection broke, cleared by the next connection that opens.
std::atomic<bool> gServerLost{false};

int onXError(Display*, XErrorEvent* e) {
    gLastErrorCode = e->error_code;
    ++gErrorCount;
    return 0;
}

int onXIOError(Display*) {
    // Connections opened here get an exit handler (below) that keeps the
    // process alive; this one only records the loss.
    if (!gServerLost.exchange(true)) logger().error("[x11] connection to the X server lost");
    logger().flush();
    return 0;
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(onXError);
        XSetIOErrorHandler(onXIOError);
    });
}
}  // namespace

void onXIOExit(Display*, void*) {
    // Returning leaves the connection unusable but the process running; the
    // owner notices failed requests and reconnects.
}

XDisplayPtr openDisplay(const std::string& name) {
    installHandlers();
    Display* d = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (d) {
        XSetIOErrorExitHandler(d, onXIOExit, nullptr);
        gServerLost = false;
    }
    return XDisplayPtr(d);
}

bool displayServerLost() {
    return gServerLost.load();
}

unsigned long xErrorCount() {
    return gErrorCount.load();
}
int lastXErrorCode() {
    return gLastErrorCode.load();
}

bool syncAndCheck(Display* dpy, unsigned long countBefore) {
    XSync(dpy, False);
    return gErrorCount.load() == countBefore;
}

}  // namespace kvd::platform
