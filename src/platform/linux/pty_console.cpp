// Pseudo terminals on Linux: a /dev/ptmx pair opened close-on-exec (as
// openpty does, but without the window in which another thread's fork could
// inherit the descriptors), the shell in a session of its own with the slave
// as its controlling terminal, and a non-blocking master on the engine side.
// The child is reaped by its pid only: nothing here installs a SIGCHLD
// handler or waits for "any child".
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/pseudo_console.h"

extern char** environ;

namespace kvd::platform {

namespace {

constexpr int kHangupGraceMs = 250;

int64_t monoMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int openMaster() {
    return ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
}

int openSlave(int master) {
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) return -1;
    int fd = ::ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) return fd;
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) return -1;
    return ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
}

int setWindowSize(int fd, uint16_t cols, uint16_t rows) {
    struct winsize ws;
    std::memset(&ws, 0, sizeof ws);
    ws.ws_col = cols;
    ws.ws_row = rows;
    return ::ioctl(fd, TIOCSWINSZ, &ws) == 0 ? 0 : errno;
}

// Only async-signal-safe calls between fork and exec: the engine has threads.
[[noreturn]] void childMain(int slave, int errorPipe, const char* program, char* const* argv,
                            char* const* envp, const char* cwd) {
    // The forking thread's signal mask and ignored signals (the engine
    // ignores SIGPIPE) would survive exec; a shell with SIGCHLD blocked hangs
    // in its first command substitution.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);

    int err = 0;
    if (::setsid() < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) err = errno;
    if (!err && (::dup2(slave, 0) < 0 || ::dup2(slave, 1) < 0 || ::dup2(slave, 2) < 0)) err = errno;
    if (!err) {
        // Descriptors some library opened without close-on-exec must not
        // reach the shell either.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = 3; fd < 4096; ++fd)
                if (fd != errorPipe) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        if (cwd[0] && ::chdir(cwd) != 0 && ::chdir("/") != 0) {
        }
        ::execve(program, argv, envp);
        err = errno;
    }
    ssize_t ignored = ::write(errorPipe, &err, sizeof err);
    (void)ignored;
    ::_exit(127);
}

class LinuxPseudoConsole final : public PseudoConsole {
  public:
    LinuxPseudoConsole(int master, pid_t pid) : master_(master), pid_(pid) {}
    ~LinuxPseudoConsole() override { close(); }

    IoResult read(uint8_t* buffer, size_t capacity, int timeoutMs) override {
        struct pollfd p = {master_, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0) return {errno == EINTR ? Io::Timeout : Io::Error, 0, errno};
        if (r == 0) return {Io::Timeout, 0, 0};
        const ssize_t n = ::read(master_, buffer, capacity);
        if (n > 0) return {Io::Data, static_cast<size_t>(n), 0};
        if (n == 0 || errno == EIO) return {Io::End, 0, 0};
        if (errno == EAGAIN || errno == EINTR) return {Io::Timeout, 0, 0};
        return {Io::Error, 0, errno};
    }

    IoResult write(const uint8_t* data, size_t size, int timeoutMs) override {
        const int64_t deadline = monoMs() + timeoutMs;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(master_, data + done, size - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EIO) return {Io::End, done, EIO};
            if (n < 0 && errno != EAGAIN && errno != EINTR) return {Io::Error, done, errno};
            const int64_t left = deadline - monoMs();
            if (left <= 0) return {Io::Timeout, done, 0};
            struct pollfd p = {master_, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(left));
        }
        return {Io::Data, done, 0};
    }

    int resize(uint16_t cols, uint16_t rows) override { return setWindowSize(master_, cols, rows); }

    int64_t pid() const override { return pid_; }

    std::optional<int> exited() override {
        std::lock_guard lk(mu_);
        reapLocked(false);
        return exitCode_;
    }

    void close() override {
        std::lock_guard lk(mu_);
        if (master_ < 0) return;
        if (!exitCode_) {
            // The shell's own group and the terminal's foreground job (a
            // program the shell runs in a group of its own).
            const pid_t foreground = ::tcgetpgrp(master_);
            signalGroups(SIGHUP, foreground);
            const int64_t deadline = monoMs() + kHangupGraceMs;
            while (!reapLocked(false) && monoMs() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!exitCode_) {
                signalGroups(SIGKILL, foreground);
                reapLocked(true);
            }
        }
        ::close(master_);
        master_ = -1;
    }

  private:
    // Signals only while the child is unreaped: its pid (and so its group
    // id) cannot have been reused yet.
    void signalGroups(int sig, pid_t foreground) {
        ::kill(-pid_, sig);
        if (foreground > 0 && foreground != pid_) ::kill(-foreground, sig);
    }

    bool reapLocked(bool block) {
        if (exitCode_) return true;
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (r < 0 && errno == ECHILD) {
            exitCode_ = -1;  // someone else reaped it; nothing left to signal
        }
        return exitCode_.has_value();
    }

    std::mutex mu_;
    int master_;
    const pid_t pid_;
    std::optional<int> exitCode_;
};

std::vector<char*> cArray(std::vector<std::string>& items) {
    std::vector<char*> out;
    out.reserve(items.size() + 1);
    for (auto& s : items) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

bool pseudoConsoleAvailable() {
    static const bool available = [] {
        const int fd = openMaster();
        if (fd < 0) return false;
        const int slave = openSlave(fd);
        if (slave >= 0) ::close(slave);
        ::close(fd);
        return slave >= 0;
    }();
    return available;
}

PseudoConsoleResult spawnPseudoConsole(const PseudoConsoleSpawn& spawn) {
    PseudoConsoleResult result;
    const int master = openMaster();
    const int slave = master >= 0 ? openSlave(master) : -1;
    if (slave < 0) {
        result.failedStep = "pty";
        result.error = errno;
        if (master >= 0) ::close(master);
        return result;
    }
    setWindowSize(master, spawn.cols, spawn.rows);

    std::vector<std::string> argvStore{spawn.program};
    argvStore.insert(argvStore.end(), spawn.args.begin(), spawn.args.end());
    std::vector<std::string> envStore = spawn.environment;
    auto argv = cArray(argvStore);
    auto envp = cArray(envStore);
    std::string cwd = spawn.workingDirectory;

    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        result.failedStep = "spawn";
        result.error = errno;
        ::close(slave);
        ::close(master);
        return result;
    }
    const pid_t pid = ::fork();
    if (pid == 0)
        childMain(slave, errorPipe[1], spawn.program.c_str(), argv.data(), envp.data(),
                  cwd.c_str());
    const int forkErr = errno;
    ::close(slave);
    ::close(errorPipe[1]);
    if (pid < 0) {
        ::close(errorPipe[0]);
        ::close(master);
        result.failedStep = "spawn";
        result.error = forkErr;
        return result;
    }
    // The pipe closes at exec; anything read is the child's errno.
    int childErr = 0;
    ssize_t n;
    do {
        n = ::read(errorPipe[0], &childErr, sizeof childErr);
    } while (n < 0 && errno == EINTR);
    ::close(errorPipe[0]);
    auto console = std::make_unique<LinuxPseudoConsole>(master, pid);
    if (n > 0) {
        console->close();  // reaps the child that failed to exec
        result.failedStep = "spawn";
        result.error = childErr;
        return result;
    }
    result.console = std::move(console);
    return result;
}

std::string findOnPath(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return {};
    const char* p = ::getenv("PATH");
    const std::string path = p && *p ? p : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string dir = path.substr(start, end - start);
        start = end + 1;
        if (dir.empty() || dir[0] != '/') continue;
        const std::string full = dir + "/" + name;
        struct stat st;
        if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(full.c_str(), X_OK) == 0)
            return full;
    }
    return {};
}

std::string lastResortShell() {
    return "/bin/sh";
}

std::string homeDirectory() {
    if (const char* h = ::getenv("HOME"); h && h[0] == '/') return h;
    struct passwd pw;
    struct passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return found->pw_dir;
    return "/";
}

std::vector<std::string> environmentEntries() {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
    return out;
}

}  // namespace kvd::platform
