#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/command.h"

namespace kvd::platform {

namespace {

// In a forked child of a threaded process: only async-signal-safe calls.
[[noreturn]] void execShell(const char* script) {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    close_range(3, ~0U, 0);
    execl("/bin/sh", "sh", "-c", script, static_cast<char*>(nullptr));
    _exit(127);
}

}  // namespace

int scheduleShellCommand(const std::string& commandLine, int delaySeconds) {
    const std::string script =
        "sleep " + std::to_string(delaySeconds < 0 ? 0 : delaySeconds) + "; " + commandLine;
    const pid_t child = fork();
    if (child < 0) return errno;
    if (child == 0) {
        // The grandchild is re-parented away from the engine; the child only
        // reports whether it could be started.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild < 0) _exit(1);
        if (grandchild == 0) execShell(script.c_str());
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return errno;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : EAGAIN;
}

int runShellCommand(const std::string& commandLine) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) execShell(commandLine.c_str());
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kvd::platform
