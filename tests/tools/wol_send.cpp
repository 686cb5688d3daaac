// Sends one Wake-on-LAN magic packet with the engine's sender and prints the
// outcome: {"ok":true} or {"ok":false,"error":"<code>"}.
// Usage: kvdtool_wol_send MAC
#include <cstdio>
#include <string>

#include "common/json_util.h"
#include "features/wake_on_lan.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvdtool_wol_send MAC\n");
        return 2;
    }
    std::string error;
    const bool ok = kvd::sendMagicPacket(argv[1], &error);
    kvd::Json out{{"ok", ok}};
    if (!ok) out["error"] = error;
    std::printf("%s\n", kvd::dumpJson(out).c_str());
    return 0;
}
