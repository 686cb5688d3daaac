// Drives the platform's local input block and display power on one display,
// for the privacy tests. Reads commands from stdin and answers each on stdout:
//   block    -> "ok" | "fail <errno>"      unblock -> "ok"
//   sleep    -> "ok" | "fail <errno>"      wake    -> "ok"     reassert -> "ok"
//   grab X Y -> "px R G B" (one pixel of the screen as a capture reads it)
//   privacy JSON -> "ok screen=none|asleep|notice" after updateFromJson of the
//               message (privacy mode over the real platform, as in the engine)
// Prints "ready" first. Ends at end of input, leaving what it took to the
// objects' destructors. Also serves as its own guardian (the guardian is the
// calling executable run in a hidden role).
//
//   kvdtool_privacy_probe DISPLAY
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <chrono>
#include <thread>

#include "features/privacy_mode.h"
#include "features/privacy_notice.h"
#include "platform/display_power.h"
#include "platform/guardian.h"
#include "platform/local_input_blocker.h"
#include "platform/screen_grabber.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (auto rc = kvd::platform::runGuardianIfRequested(args)) return *rc;
    const std::string display = args.empty() ? "" : args[0];
    auto blocker = kvd::platform::createLocalInputBlocker(display);
    auto power = kvd::platform::createDisplayPower(display);
    kvd::SharedInputBlocker shared(kvd::platform::createLocalInputBlocker(display));
    kvd::PrivacyMode::Deps deps;
    deps.makeDisplayPower = [display] { return kvd::platform::createDisplayPower(display); };
    deps.makeNotice = [display] {
        return std::make_unique<kvd::OverlayPrivacyNotice>(
            [display](const kvd::platform::OverlayOptions& o, std::string& error) {
                return kvd::platform::createOverlayWindow(o, error, display);
            });
    };
    deps.inputBlocker = &shared;
    kvd::PrivacyMode privacy(std::move(deps));
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        int err = 0;
        if (cmd == "block") {
            std::cout << (blocker->block(err) ? "ok" : "fail " + std::to_string(err)) << std::endl;
        } else if (cmd == "unblock") {
            blocker->unblock();
            std::cout << "ok" << std::endl;
        } else if (cmd == "sleep") {
            std::cout << (power->sleep(err) ? "ok" : "fail " + std::to_string(err)) << std::endl;
        } else if (cmd == "wake") {
            power->wake();
            std::cout << "ok" << std::endl;
        } else if (cmd == "reassert") {
            power->reassert();
            std::cout << "ok" << std::endl;
        } else if (cmd == "grab") {
            int x = 0, y = 0;
            in >> x >> y;
            auto g = kvd::platform::createScreenGrabber(display);
            if (!g->connect() || !g->allocate(1, 1) || !g->grab(x, y)) {
                std::cout << "fail " << g->lastError() << std::endl;
                continue;
            }
            const uint8_t* p = g->buffer();
            std::cout << "px " << int(p[2]) << " " << int(p[1]) << " " << int(p[0]) << std::endl;
        } else if (cmd == "privacy") {
            std::string json;
            std::getline(in, json);
            const bool accepted = privacy.updateFromJson(json);
            // The worker settles the screen shortly after enable returns.
            const char* names[] = {"none", "asleep", "notice"};
            auto want = [&] {
                return privacy.isActive() == (privacy.screen() != kvd::PrivacyMode::Screen::None);
            };
            for (int i = 0; i < 100 && !want(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // painted and presented
            std::cout << (accepted ? "ok" : "refused")
                      << " screen=" << names[static_cast<int>(privacy.screen())] << std::endl;
        } else {
            std::cout << "unknown" << std::endl;
        }
    }
    return 0;
}
