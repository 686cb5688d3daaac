// Runs the engine's temporary-file clean-up on a directory and prints the
// outcome: {"ok":true,"files":N,"bytes":N}.
// Usage: kvdtool_cleanup_tree DIR PREFIX
#include <cstdio>

#include "common/json_util.h"
#include "features/session_cleanup.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kvdtool_cleanup_tree DIR PREFIX\n");
        return 2;
    }
    uint64_t files = 0, bytes = 0;
    const bool ok = kvd::removeTempFiles(argv[1], argv[2], files, bytes);
    std::printf("%s\n",
                kvd::dumpJson(kvd::Json{{"ok", ok}, {"files", files}, {"bytes", bytes}}).c_str());
    return 0;
}
