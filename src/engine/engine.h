#pragma once
// Process entry of the engine: mode selection, start-up, session, shutdown.
#include <string>
#include <vector>

namespace kvd {

// Runs the whole process for the arguments (without the program name) and
// returns the exit code. Exceptions never leave it.
int runEngine(const std::vector<std::string>& args);

}  // namespace kvd
