// Local pipes as Unix-domain stream sockets in a private directory (see
// platform/local_pipe.h for the name mapping and the permission rules).
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/local_pipe.h"

namespace kvd::platform {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

int remainingMs(steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::string sanitiseName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        out += ok ? c : '_';
    }
    // A name may not climb out of the directory or hide as a dot file.
    if (out.empty() || out[0] == '.') out.insert(out.begin(), '_');
    return out;
}

std::string envOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// The directory is trusted when it is a real directory that nobody but its
// owner can write, owned by us (or we are root and serve its owner).
bool trustedDirectory(const std::string& dir, struct stat& st, int& error) {
    if (::lstat(dir.c_str(), &st) != 0) {
        error = errno;
        return false;
    }
    if (!S_ISDIR(st.st_mode) || (st.st_mode & 077) != 0 ||
        (st.st_uid != ::geteuid() && ::geteuid() != 0)) {
        error = EPERM;
        return false;
    }
    return true;
}

bool prepareDirectory(const std::string& dir, struct stat& st, int& error) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = errno;
        return false;
    }
    return trustedDirectory(dir, st, error);
}

bool fillAddress(const std::string& path, sockaddr_un& addr, int& error) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    return true;
}

class UnixPipeConnection final : public LocalPipeConnection {
  public:
    UnixPipeConnection(int fd, PipePeer peer) : fd_(fd), peer_(peer) {}
    ~UnixPipeConnection() override { ::close(fd_); }

    bool writeAll(const char* data, size_t len, int timeoutMs, int& error) override {
        const auto deadline = steady_clock::now() + milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        size_t done = 0;
        while (done < len) {
            const ssize_t n = ::send(fd_, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                error = errno;
                return false;
            }
            const int left = remainingMs(deadline);
            if (left <= 0) {
                error = ETIMEDOUT;
                return false;
            }
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, left) < 0 && errno != EINTR) {
                error = errno;
                return false;
            }
        }
        error = 0;
        return true;
    }

    long available(int& error) override {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) < 0) {
            error = errno;
            return -1;
        }
        int n = 0;
        if (::ioctl(fd_, FIONREAD, &n) != 0) {
            error = errno;
            return -1;
        }
        if (n > 0) return n;
        if (p.revents & (POLLERR | POLLNVAL)) {
            error = EIO;
            return -1;
        }
        // Readable with nothing to read, or hung up: the peer has gone.
        if (p.revents & (POLLIN | POLLHUP)) {
            error = EPIPE;
            return -1;
        }
        error = 0;
        return 0;
    }

    PipeIo read(char* buf, size_t cap, int timeoutMs) override {
        PipeIo r;
        const auto deadline = steady_clock::now() + milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int wait = timeoutMs < 0 ? -1 : remainingMs(deadline);
            const int pr = ::poll(&p, 1, wait);
            if (pr < 0) {
                if (errno == EINTR) continue;
                r.bytes = -1;
                r.error = errno;
                return r;
            }
            if (pr == 0) {
                r.timedOut = true;
                return r;
            }
            const ssize_t n = ::recv(fd_, buf, cap, MSG_DONTWAIT);
            if (n >= 0) {
                r.bytes = static_cast<long>(n);
                return r;
            }
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            r.bytes = -1;
            r.error = errno;
            return r;
        }
    }

    void shutdown() override { ::shutdown(fd_, SHUT_RDWR); }
    PipePeer peer() const override { return peer_; }

  private:
    int fd_;
    PipePeer peer_;
};

PipePeer peerOf(int fd) {
    PipePeer p;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
        p.known = true;
        p.pid = cred.pid;
        p.uid = cred.uid;
        p.gid = cred.gid;
    }
    return p;
}

// 0 when connected; EAGAIN when the server's queue is full (busy).
int tryConnect(const sockaddr_un& addr, int& fdOut) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return errno;
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
            fdOut = fd;
            return 0;
        }
        if (errno == EINTR) continue;
        const int e = errno;
        ::close(fd);
        return e == EWOULDBLOCK ? EAGAIN : e;
    }
}

class UnixPipeServer final : public LocalPipeServer {
  public:
    UnixPipeServer(int fd, std::string path, dev_t dev, ino_t ino)
        : fd_(fd), path_(std::move(path)), dev_(dev), ino_(ino) {}

    ~UnixPipeServer() override {
        // Remove the name only while it is still ours (a successor may have
        // replaced a socket it found stale).
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
            ::unlink(path_.c_str());
        ::close(fd_);
    }

    std::unique_ptr<LocalPipeConnection> accept(int timeoutMs, int& error) override {
        pollfd p{fd_, POLLIN, 0};
        const int pr = ::poll(&p, 1, timeoutMs);
        if (pr == 0) {
            error = ETIMEDOUT;
            return nullptr;
        }
        if (pr < 0) {
            error = errno == EINTR ? ETIMEDOUT : errno;
            return nullptr;
        }
        const int cfd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (cfd < 0) {
            // A client that gave up between poll and accept is not a failure.
            error =
                (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) ? ETIMEDOUT : errno;
            return nullptr;
        }
        error = 0;
        return std::make_unique<UnixPipeConnection>(cfd, peerOf(cfd));
    }

    const std::string& path() const override { return path_; }

  private:
    int fd_;
    std::string path_;
    dev_t dev_;
    ino_t ino_;
};

}  // namespace

std::string localPipeDirectory() {
    if (auto d = envOrEmpty("KELVANDRUM_PIPE_DIR"); !d.empty()) return d;
    if (auto x = envOrEmpty("XDG_RUNTIME_DIR"); !x.empty() && x[0] == '/') return x + "/kelvandrum";
    return "/tmp/kelvandrum-" + std::to_string(::geteuid());
}

std::string localPipePath(const std::string& pipeName) {
    const std::string dir = localPipeDirectory();
    if (dir.empty()) return {};
    return dir + "/" + sanitiseName(pipeName) + ".sock";
}

PipeServerResult createLocalPipeServer(const std::string& pipeName) {
    PipeServerResult r;
    const std::string dir = localPipeDirectory();
    r.path = localPipePath(pipeName);
    struct stat dirSt {};
    if (!prepareDirectory(dir, dirSt, r.error)) {
        r.step = "directory";
        return r;
    }
    sockaddr_un addr{};
    if (!fillAddress(r.path, addr, r.error)) {
        r.step = "path";
        return r;
    }
    struct stat st {};
    if (::lstat(r.path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            r.error = EEXIST;
            r.step = "path";
            return r;
        }
        int fd = -1;
        const int e = tryConnect(addr, fd);
        if (e == 0 || e == EAGAIN) {
            if (fd >= 0) ::close(fd);
            r.error = EADDRINUSE;
            r.step = "bind";
            return r;
        }
        ::unlink(r.path.c_str());  // left behind by a server that died
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        r.error = errno;
        r.step = "socket";
        return r;
    }
    // Keeps errno of the failed step; the socket file goes when it exists.
    auto failWith = [&](const char* step, bool unlinkPath) {
        r.error = errno;
        r.step = step;
        if (unlinkPath) ::unlink(r.path.c_str());
        ::close(fd);
    };
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        failWith("bind", false);
        return r;
    }
    if (::chmod(r.path.c_str(), 0660) != 0 ||
        (dirSt.st_uid != ::geteuid() && ::chown(r.path.c_str(), dirSt.st_uid, -1) != 0)) {
        failWith("chmod", true);
        return r;
    }
    // Backlog 0: one client waits while another is served; more are busy.
    if (::listen(fd, 0) != 0) {
        failWith("listen", true);
        return r;
    }
    if (::lstat(r.path.c_str(), &st) != 0) {
        failWith("stat", true);
        return r;
    }
    r.server = std::make_unique<UnixPipeServer>(fd, r.path, st.st_dev, st.st_ino);
    return r;
}

PipeConnectResult connectLocalPipe(const std::string& pipeName, int busyWaitMs) {
    PipeConnectResult r;
    r.path = localPipePath(pipeName);
    struct stat dirSt {};
    // The token goes to whoever listens here: only a directory that no other
    // user controls is trusted.
    if (!trustedDirectory(localPipeDirectory(), dirSt, r.error)) return r;
    sockaddr_un addr{};
    if (!fillAddress(r.path, addr, r.error)) return r;
    const auto deadline = steady_clock::now() + milliseconds(busyWaitMs < 0 ? 0 : busyWaitMs);
    for (;;) {
        int fd = -1;
        const int e = tryConnect(addr, fd);
        if (e == 0) {
            r.connection = std::make_unique<UnixPipeConnection>(fd, peerOf(fd));
            r.error = 0;
            r.busy = false;
            return r;
        }
        r.error = e;
        r.busy = e == EAGAIN;
        if (!r.busy || remainingMs(deadline) <= 0) return r;
        std::this_thread::sleep_for(milliseconds(10));
    }
}

}  // namespace kvd::platform
