// Feeds input-channel messages to the real handler and direct injector on an
// X display. One command per stdin line, each answered with "ok" on stdout
// once executed:
//   msg <hex bytes>          one binary input message (e.g. "msg 0201000000")
//   bounds <l> <t> <w> <h>   setActiveMonitorBounds
//   type <delayMs> <hex>     typeText with the UTF-8 bytes given in hex
//   release                  releaseAllKeys
//   viewonly <0|1>           the view-only gate
// Usage: kvdtool_input_driver   (uses $DISPLAY; logs per KELVANDRUM_LOG_*)
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "input/input_channel_handler.h"
#include "input/win32_input_injector.h"

namespace {

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

int main() {
    kvd::InputChannelHandler handler(std::make_unique<kvd::Win32InputInjector>());
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "msg") {
            std::string hex;
            in >> hex;
            const auto bytes = fromHex(hex);
            handler.handleMessage(bytes.data(), bytes.size());
        } else if (cmd == "bounds") {
            int32_t l = 0, t = 0, w = 0, h = 0;
            in >> l >> t >> w >> h;
            handler.injector()->setActiveMonitorBounds(l, t, w, h);
        } else if (cmd == "type") {
            uint32_t delay = 0;
            std::string hex;
            in >> delay >> hex;
            const auto bytes = fromHex(hex);
            handler.injector()->typeText(std::string(bytes.begin(), bytes.end()), delay);
        } else if (cmd == "release") {
            handler.releaseAllKeys();
        } else if (cmd == "viewonly") {
            int on = 0;
            in >> on;
            handler.applyAccessMode(on ? "VIEW_ONLY" : "FULL_CONTROL", false);
        } else if (!cmd.empty()) {
            std::printf("error unknown command\n");
            std::fflush(stdout);
            continue;
        }
        kvd::logger().flush();
        std::printf("ok\n");
        std::fflush(stdout);
    }
    return 0;
}
