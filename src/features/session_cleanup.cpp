#include "features/session_cleanup.h"

#include <cstdlib>

#include "common/log.h"
#include "input/input_channel_handler.h"
#include "platform/clipboard.h"
#include "platform/command.h"
#include "platform/file_tree.h"

namespace kvd {

bool clearClipboard() {
    int err = 0;
    if (!platform::clearDesktopClipboard(err)) {
        logger().warn("clearClipboard: OpenClipboard failed, err={}", err);
        return false;
    }
    logger().info("clipboard cleared");
    return true;
}

std::string lockCommand() {
    const char* v = std::getenv("KELVANDRUM_LOCK_COMMAND");
    return v && *v ? v : "loginctl lock-session";
}

bool lockWorkstationNow() {
    const int rc = platform::runShellCommand(lockCommand());
    if (rc != 0) {
        logger().warn("lockWorkstation: LockWorkStation failed, err={}", rc);
        return false;
    }
    logger().info("workstation locked");
    return true;
}

namespace {

// One trailing "/" removed; the comparison is case-sensitive (Linux names).
std::string comparisonForm(std::string p) {
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

bool denyListed(const std::string& form) {
    static const char* const roots[] = {
        "/",         "/bin",       "/boot",  "/dev",     "/etc",     "/home",
        "/lib",      "/lib32",     "/lib64", "/libx32",  "/media",   "/mnt",
        "/opt",      "/proc",      "/root",  "/run",     "/sbin",    "/srv",
        "/sys",      "/tmp",       "/usr",   "/usr/bin", "/usr/lib", "/usr/local",
        "/usr/sbin", "/usr/share", "/var",   "/var/lib", "/var/log", "/var/tmp"};
    for (const char* r : roots) {
        if (form == r) return true;
    }
    return false;
}

}  // namespace

bool removeTempFiles(const std::string& dir, const std::string& expectedRootPrefix,
                     uint64_t& filesDeleted, uint64_t& bytesDeleted) {
    auto& log = logger();
    if (dir.empty()) return true;
    if (dir.find("..") != std::string::npos) {
        log.warn("removeTempFiles: refusing path containing '..'");
        return false;
    }
    if (expectedRootPrefix.empty()) {
        log.warn("removeTempFiles: expectedRootPrefix is required — refusing");
        return false;
    }
    const auto st = platform::inspectPath(dir);
    if (!st.exists || !st.directory || st.symlink || st.mountPoint) {
        log.warn("removeTempFiles: {} is not a directory", dir);
        return false;
    }
    std::string canonDir, canonPrefix, error;
    if (!platform::canonicalPath(dir, canonDir, error)) {
        log.warn("removeTempFiles: canonical({}) failed: {}", dir, error);
        return false;
    }
    if (!platform::canonicalPath(expectedRootPrefix, canonPrefix, error)) {
        log.warn("removeTempFiles: canonical(prefix={}) failed: {}", expectedRootPrefix, error);
        return false;
    }
    const std::string d = comparisonForm(canonDir), p = comparisonForm(canonPrefix);
    if (denyListed(d)) {
        log.warn("removeTempFiles: refusing deny-listed system root");
        return false;
    }
    const bool under = d == p || (d.size() > p.size() && d.compare(0, p.size(), p) == 0 &&
                                  (p == "/" || d[p.size()] == '/'));
    if (!under) {
        log.warn("removeTempFiles: path is not under expectedRootPrefix — refusing");
        return false;
    }
    uint64_t files = 0, bytes = 0;
    platform::TreeRemovalEvents events;
    events.deleteFailed = [&](const std::string& path, const std::string& e) {
        log.warn("removeTempFiles: failed to delete {}: {}", path, e);
    };
    events.iteratorError = [&](const std::string& e) {
        log.warn("removeTempFiles: iterator error: {}", e);
    };
    platform::removeRegularFiles(canonDir, files, bytes, events);
    filesDeleted += files;
    bytesDeleted += bytes;
    log.info("removeTempFiles: {} files, {} bytes", files, bytes);
    return true;
}

CleanupResult performCleanup(const CleanupOptions& o) {
    CleanupResult r;
    auto note = [&](const char* text) {
        if (!r.notes.empty()) r.notes += "; ";
        r.notes += text;
    };
    if (o.lockWorkstation) r.locked = o.lockHook ? o.lockHook() : lockWorkstationNow();
    if (o.clearClipboard)
        r.clipboardCleared = o.clipboardHook ? o.clipboardHook() : clearClipboard();
    if (!o.tempDir.empty() &&
        !removeTempFiles(o.tempDir, o.expectedRootPrefix, r.filesDeleted, r.bytesDeleted))
        note("temp cleanup failed");
    if (o.inputReceiver) {
        r.inputReleased = o.inputReceiver->releaseAllKeys();
    } else {
        note("no input receiver provided (skipped)");
    }
    logger().info("performCleanup: lock={} clipboard={} files={} bytes={} input={}", r.locked,
                  r.clipboardCleared, r.filesDeleted, r.bytesDeleted, r.inputReleased);
    return r;
}

CleanupResult runEndOfSessionCleanup(InputChannelHandler* input) {
    CleanupOptions o;
    o.clearClipboard = true;
    o.inputReceiver = input;
    return performCleanup(o);
}

}  // namespace kvd
