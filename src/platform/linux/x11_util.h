#pragma once
// Shared X11 plumbing for the Linux platform layer: display connections that
// close themselves and an error handler that never ends the process.
#include <X11/Xlib.h>

#include <memory>
#include <string>

namespace kvd::platform {

// Closes a connection; one whose server went away is only shut, never handed
// back to Xlib (XCloseDisplay on it can wait forever on Xlib's own lock).
void closeDisplay(Display* d);

struct XDisplayCloser {
    void operator()(Display* d) const {
        if (d) closeDisplay(d);
    }
};
using XDisplayPtr = std::unique_ptr<Display, XDisplayCloser>;

// Opens a connection to `name` (empty: $DISPLAY). Installs the process-wide
// non-fatal error handlers on first use. Returns null when unreachable.
XDisplayPtr openDisplay(const std::string& name = {});

// Number of X protocol errors seen by the handler so far, and the last code;
// lets callers notice that a request failed without the default handler's exit.
unsigned long xErrorCount();
int lastXErrorCode();

// Runs XSync and reports whether no protocol error arrived since the count
// was `countBefore` (take it with xErrorCount() before the requests).
bool syncAndCheck(Display* dpy, unsigned long countBefore);

}  // namespace kvd::platform
