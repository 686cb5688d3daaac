#pragma once
// The signaling transport as the rest of the engine sees it. Two
// implementations: SignalingClient (direct WebSocket) and PipeSignalingClient
// (the local service's relay).
#include <functional>
#include <string>

#include "common/json_util.h"

namespace kvd {

using SignalingHandler = std::function<void(const Json&)>;

class ISignalingClient {
  public:
    virtual ~ISignalingClient() = default;
    virtual bool connect() = 0;
    virtual void disconnect() = 0;
    // Queues a message; never blocks on the network.
    virtual void send(const Json& msg) = 0;
    // Services the transport once and delivers queued messages to handlers
    // on the calling thread.
    virtual void poll() = 0;
    // One handler per exact type; a later registration replaces the earlier.
    virtual void on(const std::string& type, SignalingHandler handler) = 0;
    virtual bool isConnected() const = 0;
};

}  // namespace kvd
