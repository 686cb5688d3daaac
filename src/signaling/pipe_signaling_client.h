#pragma once
// Signaling through the local service's relay: newline-delimited JSON over a
// TCP connection to 127.0.0.1:<port>. Signaling messages travel wrapped in
// "SIGNALING_SEND"/"SIGNALING_RECV"; the same link carries the engine's own
// "REMOTE_*" conversation with the service.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/clock.h"
#include "platform/tcp_socket.h"
#include "signaling/signaling.h"
#include "signaling/signaling_messages.h"

namespace kvd {

struct PipeSignalingOptions {
    int connectTries = 20;
    int retryDelayMs = 500;
    int connectTimeoutMs = 2000;
    int waitSteps = 300;  // polls while waiting for SIGNALING_CONNECTED
    int waitStepMs = 50;
    // A write that finds no room in the socket for this long fails.
    int sendTimeoutMs = 5000;
    // How the TCP link is opened; the loopback socket of the platform layer
    // unless a test supplies its own.
    std::function<platform::TcpConnectResult(uint16_t port, int timeoutMs)> connector;
    const Clock* clock = nullptr;  // SteadyClock when null
};

class PipeSignalingClient final : public ISignalingClient {
  public:
    static constexpr size_t kMaxOutgoingLine = 8388608;
    static constexpr size_t kMaxIncomingPending = 1048576;
    static constexpr size_t kRecvQueueCap = 1000;
    static constexpr size_t kReadChunk = 65536;

    using PayloadCallback = std::function<void(const Json& payload)>;

    PipeSignalingClient(std::string portText, std::string token, PipeSignalingOptions options = {});
    ~PipeSignalingClient() override;
    PipeSignalingClient(const PipeSignalingClient&) = delete;
    PipeSignalingClient& operator=(const PipeSignalingClient&) = delete;

    bool connect() override;
    void disconnect() override;
    void send(const Json& msg) override;
    void poll() override;
    void on(const std::string& type, SignalingHandler handler) override;
    bool isConnected() const override { return signalingConnected_; }

    // The service callbacks; they run on the reader thread.
    void setOnSessionConfig(PayloadCallback cb);
    void setOnCredentialInject(PayloadCallback cb);
    void setOnStopSession(PayloadCallback cb);

    // Writes {"type":type,"payload":payload} as one line. False when the
    // line was not written.
    bool sendEnvelope(const std::string& type, const Json& payload);
    bool writeLine(const std::string& text);

    int port() const { return port_; }
    size_t pendingRecvCount() const;

  private:
    void readerLoop(platform::TcpConnection* conn);
    void readLines(platform::TcpConnection* conn);
    void handleLine(const std::string& line);
    void dispatch(const std::string& type, const Json& payload);
    void runCallback(const PayloadCallback& cb, const Json& payload, const char* what);
    // Ends the current link: flags cleared, socket shut down, reader joined,
    // socket closed.
    void closeLink();

    std::string portText_, token_;
    int32_t port_ = 0;
    PipeSignalingOptions options_;
    const Clock& clock_;

    std::mutex lifecycleLock_;  // connect/disconnect/destruction, one at a time
    std::atomic<bool> signalingConnected_{false};
    std::atomic<bool> socketOpen_{false};

    std::mutex writeLock_;  // serialises writes; guards connection_ itself
    std::unique_ptr<platform::TcpConnection> connection_;
    std::thread readerThread_;

    mutable std::mutex recvLock_;
    std::deque<Json> recvQueue_;

    std::mutex callbackLock_;
    PayloadCallback onSessionConfig_, onCredentialInject_, onStopSession_;

    SignalingHandlerTable handlers_;
};

}  // namespace kvd
