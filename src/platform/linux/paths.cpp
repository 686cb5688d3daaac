#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace kvd::platform {

namespace {
std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string homeDir() {
    std::string h = env("HOME");
    if (!h.empty()) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}
}  // namespace

std::string publicDataBase() {
    if (auto p = env("PUBLIC"); !p.empty()) return p;
    if (auto x = env("XDG_STATE_HOME"); !x.empty()) return x;
    return homeDir() + "/.local/state";
}

std::string machineDataDir() {
    return "/var/lib/kelvandrum";
}

std::string tempDir() {
    if (auto t = env("TMPDIR"); !t.empty()) return t;
    return "/tmp";
}

}  // namespace kvd::platform
