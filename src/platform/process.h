#pragma once
// Process-level services: termination signals, immediate exit, console.
#include <atomic>

namespace kvd::platform {

// SIGINT/SIGTERM (Ctrl-C / service stop) clear *running and nothing else.
void installTerminationHandlers(std::atomic<bool>* running);

// Ends the process at once with the code: no destructors, no atexit handlers.
// Callers flush what must survive first.
[[noreturn]] void exitProcessNow(int code);

// Hides the console window when the process has one (nothing to do on X11).
void hideConsoleWindow();

// Operating-system name for the start-up log line.
const char* platformName();

}  // namespace kvd::platform
