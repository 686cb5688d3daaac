#pragma once
// Local named pipes between processes of one machine: a server that serves
// one client at a time and a client that opens it by name.
//
// Linux mapping: a pipe name becomes a Unix-domain stream socket
//   <dir>/<sanitised name>.sock
// where <dir> is the private runtime directory
//   $KELVANDRUM_PIPE_DIR when set (the launcher hands the same value to the
//     engine and to the helper),
//   else $XDG_RUNTIME_DIR/kelvandrum,
//   else /tmp/kelvandrum-<effective uid>.
// The directory is created with mode 0700 and refused when it is a symbolic
// link, is writable by group or others, or belongs to another user (root may
// use any user's directory: the SYSTEM helper serves that user's engine).
// The socket gets mode 0660 and, when the directory belongs to someone else,
// that owner, so the interactive user can reach a socket made by root.
// Anything outside [A-Za-z0-9._-] in the name becomes '_'.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kvd::platform {

struct PipeIo {
    // > 0: bytes moved; 0: the peer closed (read) or nothing moved; < 0: error.
    long bytes = 0;
    int error = 0;          // errno-style code when bytes < 0
    bool timedOut = false;  // the wait ended before anything happened
};

struct PipePeer {
    bool known = false;
    long pid = -1;
    long uid = -1;
    long gid = -1;
};

class LocalPipeConnection {
  public:
    virtual ~LocalPipeConnection() = default;
    // Writes every byte, waiting at most timeoutMs in all for room. True only
    // when the whole buffer went out; error holds the cause otherwise
    // (ETIMEDOUT when the peer stopped reading). Never raises SIGPIPE.
    virtual bool writeAll(const char* data, size_t len, int timeoutMs, int& error) = 0;
    // Bytes readable without waiting. Negative with error set when the
    // connection is broken or the peer has closed it.
    virtual long available(int& error) = 0;
    // Waits at most timeoutMs (negative: without limit) for data and reads
    // up to cap bytes.
    virtual PipeIo read(char* buf, size_t cap, int timeoutMs) = 0;
    // Ends both directions; the peer sees the end, blocked calls return.
    virtual void shutdown() = 0;
    virtual PipePeer peer() const = 0;
};

class LocalPipeServer {
  public:
    virtual ~LocalPipeServer() = default;
    // Waits at most timeoutMs for the next client. Null with error ETIMEDOUT
    // when none came, or another code when the server failed.
    virtual std::unique_ptr<LocalPipeConnection> accept(int timeoutMs, int& error) = 0;
    virtual const std::string& path() const = 0;
};

struct PipeServerResult {
    std::unique_ptr<LocalPipeServer> server;  // set on success
    std::string path;
    int error = 0;
    std::string step;  // which step failed ("directory", "socket", "bind", ...)
};

// Creates the pipe. Fails with EADDRINUSE while another live server holds the
// name; a stale socket left by a dead server is replaced. The socket file is
// removed again when the server is destroyed.
PipeServerResult createLocalPipeServer(const std::string& pipeName);

struct PipeConnectResult {
    std::unique_ptr<LocalPipeConnection> connection;  // set on success
    std::string path;
    int error = 0;
    bool busy = false;  // the server exists but cannot take another client now
};

// Opens the pipe; while the server is busy, keeps trying for up to busyWaitMs
// (0: a single try).
PipeConnectResult connectLocalPipe(const std::string& pipeName, int busyWaitMs = 0);

// The private directory and the socket path a name maps to (empty when no
// usable directory can be determined).
std::string localPipeDirectory();
std::string localPipePath(const std::string& pipeName);

}  // namespace kvd::platform
