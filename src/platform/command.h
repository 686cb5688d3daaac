#pragma once
// Host commands the session may trigger (reboot, lock), run through the
// system shell.
#include <string>

namespace kvd::platform {

// Runs commandLine through /bin/sh after delaySeconds in a process of its
// own that outlives the engine. 0 when it was scheduled, else an errno-style
// code.
int scheduleShellCommand(const std::string& commandLine, int delaySeconds);

// Runs commandLine through /bin/sh and waits: its exit status, or -1.
int runShellCommand(const std::string& commandLine);

}  // namespace kvd::platform
