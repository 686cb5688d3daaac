#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace kvd::platform {

namespace {
std::atomic<bool>* gRunning = nullptr;

void onTerminate(int) {
    if (gRunning) gRunning->store(false);
}
}  // namespace

void installTerminationHandlers(std::atomic<bool>* running) {
    gRunning = running;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTerminate;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A vanished peer on a socket or pipe must be an error result, not death.
    signal(SIGPIPE, SIG_IGN);
}

void exitProcessNow(int code) {
    _exit(code);
}

void hideConsoleWindow() {}

const char* platformName() {
    return "linux";
}

}  // namespace kvd::platform
