#pragma once
// Direct WebSocket signaling over libwebsockets. No thread of its own: the
// socket is serviced inside connect() while it waits and inside poll().
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "signaling/signaling.h"
#include "signaling/signaling_messages.h"

namespace kvd {

// How long connect() waits: `attempts` tries of `handshakeSteps` x `stepMs`
// with pauses of `pauseSteps` x `stepMs` between them (about 46 s in all).
struct SignalingRetryPolicy {
    int attempts = 4;
    int stepMs = 50;
    int handshakeSteps = 200;
    int pauseSteps = 40;
};

class SignalingClient final : public ISignalingClient {
  public:
    static constexpr size_t kSendQueueCap = 5000;
    static constexpr size_t kRecvQueueCap = 1000;
    static constexpr size_t kRxBufferBytes = 65536;
    static constexpr size_t kMaxMessageBytes = 1024 * 1024;

    SignalingClient(std::string url, std::string token, std::string sessionId,
                    SignalingRetryPolicy policy = {});
    ~SignalingClient() override;
    SignalingClient(const SignalingClient&) = delete;
    SignalingClient& operator=(const SignalingClient&) = delete;

    bool connect() override;
    void disconnect() override;
    void send(const Json& msg) override;
    void poll() override;
    void on(const std::string& type, SignalingHandler handler) override;
    // False once the server closed the socket or it failed, not only after
    // disconnect(), so that the session loop reconnects a dropped link.
    bool isConnected() const override;

    size_t pendingSendCount() const;
    size_t pendingRecvCount() const;

    struct State;  // the socket state the libwebsockets callback works on

  private:
    bool createContext();
    bool startConnection();
    // Services for up to `steps` x stepMs; true as soon as established.
    bool serviceFor(int steps);
    void destroyContext();

    std::string url_, token_, sessionId_;
    SignalingRetryPolicy policy_;
    std::atomic<bool> connected_{false};
    // connect/poll run on the signaling thread, but shutdown disconnects
    // from the main thread: the context is only ever used under this lock.
    // Recursive so that a handler inside poll() may disconnect.
    std::recursive_mutex serviceLock_;
    // Set by disconnect() so that a connect() in progress gives up at once
    // instead of holding the lock for its whole retry schedule.
    std::atomic<bool> abortConnect_{false};
    std::unique_ptr<State> state_;
    SignalingHandlerTable handlers_;
};

}  // namespace kvd
