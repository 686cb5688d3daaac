#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kvd::platform {

namespace {

class PosixTcpConnection final : public TcpConnection {
  public:
    explicit PosixTcpConnection(int fd) : fd_(fd) {}
    ~PosixTcpConnection() override { close(); }

    IoResult receive(char* buf, size_t cap) override {
        IoResult r;
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, cap, 0);
            if (n >= 0) {
                r.bytes = static_cast<long>(n);
                return r;
            }
            if (errno == EINTR) continue;
            r.bytes = -1;
            r.error = errno;
            r.localAbort = errno == ECONNABORTED || errno == EBADF;
            return r;
        }
    }

    IoResult sendSome(const char* data, size_t len, int timeoutMs) override {
        using namespace std::chrono;
        IoResult r;
        const auto deadline = steady_clock::now() + milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;) {
            const ssize_t n = ::send(fd_, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                r.bytes = static_cast<long>(n);
                return r;
            }
            if (n == 0) return r;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                r.bytes = -1;
                r.error = errno;
                return r;
            }
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            if (left <= 0) {
                r.bytes = -1;
                r.error = ETIMEDOUT;
                r.timedOut = true;
                return r;
            }
            pollfd p{fd_, POLLOUT, 0};
            const int pr = ::poll(&p, 1, static_cast<int>(left));
            if (pr < 0 && errno != EINTR) {
                r.bytes = -1;
                r.error = errno;
                return r;
            }
        }
    }

    void shutdownBoth() override {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }

    void close() override {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_;
};

}  // namespace

TcpConnectResult connectLoopbackTcp(uint16_t port, int timeoutMs) {
    TcpConnectResult res;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        res.socketFailed = true;
        res.error = errno;
        return res;
    }
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (rc < 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int pr;
        do {
            pr = ::poll(&p, 1, timeoutMs);
        } while (pr < 0 && errno == EINTR);
        if (pr == 1) {
            int soErr = 0;
            socklen_t len = sizeof soErr;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
            rc = soErr ? -1 : 0;
            errno = soErr;
        } else {
            rc = -1;
            errno = pr == 0 ? ETIMEDOUT : errno;
        }
    }
    if (rc < 0) {
        res.error = errno;
        ::close(fd);
        return res;
    }
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    res.connection = std::make_unique<PosixTcpConnection>(fd);
    return res;
}

}  // namespace kvd::platform
