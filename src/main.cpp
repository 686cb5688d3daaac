#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/guardian.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // The guardian is a hidden role of the same executable (it must survive
    // the engine's own death); it never reaches the engine's start-up.
    if (auto rc = kvd::platform::runGuardianIfRequested(args)) return *rc;
    return kvd::runEngine(args);
}
