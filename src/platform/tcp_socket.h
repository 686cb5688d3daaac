#pragma once
// A TCP client connection to a port on the loopback interface (the local
// service's relay). Blocking receive on one thread, bounded sends from others.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kvd::platform {

struct IoResult {
    // > 0: bytes moved; 0: the peer closed the connection; < 0: error.
    long bytes = 0;
    int error = 0;            // OS error code when bytes < 0
    bool timedOut = false;    // a send found no room within its time limit
    bool localAbort = false;  // interrupted, or aborted on this side
};

class TcpConnection {
  public:
    virtual ~TcpConnection() = default;
    // Waits for data, the peer's close or an error. Safe to run while
    // another thread calls shutdownBoth().
    virtual IoResult receive(char* buf, size_t cap) = 0;
    // Writes as much of the data as fits, waiting at most timeoutMs for room.
    // Never raises SIGPIPE.
    virtual IoResult sendSome(const char* data, size_t len, int timeoutMs) = 0;
    // Ends both directions; a blocked receive returns. The handle stays
    // valid until close().
    virtual void shutdownBoth() = 0;
    // Releases the handle; call once no other thread uses the connection.
    virtual void close() = 0;
};

struct TcpConnectResult {
    std::unique_ptr<TcpConnection> connection;  // set on success
    bool socketFailed = false;                  // no socket could be created at all
    int error = 0;
};

// Connects to 127.0.0.1:port with Nagle's algorithm off, giving up after
// timeoutMs.
TcpConnectResult connectLoopbackTcp(uint16_t port, int timeoutMs);

}  // namespace kvd::platform
