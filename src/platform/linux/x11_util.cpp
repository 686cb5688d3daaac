#include "platform/linux/x11_util.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>

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

// Connections whose IO broke: Xlib may not be entered on them again.
std::mutex gBrokenMu;
std::set<Display*> gBroken;

void onXIOExit(Display* d, void*) {
    // Returning leaves the connection unusable but the process running; the
    // owner notices failed requests and reconnects.
    std::lock_guard<std::mutex> lk(gBrokenMu);
    gBroken.insert(d);
}

void closeDisplay(Display* d) {
    bool broken = false;
    {
        std::lock_guard<std::mutex> lk(gBrokenMu);
        broken = gBroken.erase(d) > 0;
    }
    const int fd = ConnectionNumber(d);
    if (!broken) {
        // The server may be gone without this connection having noticed yet.
        char c;
        const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        broken = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
    if (broken) {
        // The Display structure is left behind on purpose: freeing it means
        // entering Xlib, which may block on a lock the broken IO left taken.
        ::close(fd);
        return;
    }
    XCloseDisplay(d);
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
