#pragma once
// The viewer's JSON control messages: parse, gate, hand to the owning
// feature. Features register their handlers at start-up; the dispatcher owns
// the messages that only touch session flags.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "common/json_util.h"

namespace kvd {

class ControlDispatcher {
  public:
    using Handler = std::function<void(const Json& msg)>;
    // For features that take the message as it arrived (their own size bound).
    using TextHandler = std::function<void(const Json& msg, const std::string& text)>;
    using SendJson = std::function<void(const Json& reply)>;

    // Session flags written by "viewer_config" and "remote_stop_session".
    struct Flags {
        std::atomic<bool>* cursorOverlay = nullptr;
        std::atomic<bool>* cursorOnInputChannel = nullptr;
        std::atomic<bool>* videoOverDataChannel = nullptr;
        std::atomic<bool>* running = nullptr;
    };

    // The session policy the local service may change during the session.
    struct Policy {
        std::string accessMode = "FULL_CONTROL";
        bool allowClipboard = true;
        bool allowFileTransfer = true;
        bool recordingEnabled = true;
        std::string tenantId;
        std::string uploadUrl;
        std::string uploadToken;
        uint64_t maxSizeBytes = 0;
        bool emitStatus = false;
    };
    // Where an accepted "REMOTE_SESSION_CONFIG" goes besides the policy; all
    // optional.
    struct SessionConfigHooks {
        std::function<void(const std::string& accessMode)> accessModeChanged;
        std::function<void(bool allow)> clipboardPolicyChanged;
        std::function<void(const Policy&)> recordingReconfigure;  // tenant non-empty
        // Relay sender; empty without a relay client.
        std::function<void(const std::string& type, const Json& payload)> sendRelay;
    };

    ControlDispatcher(Flags flags, SendJson send);

    void setPolicy(Policy policy);
    Policy policy() const;
    void setSessionConfigHooks(SessionConfigHooks hooks);
    // "REMOTE_SESSION_CONFIG" from the service: all or nothing; acknowledged
    // on the relay. Never throws.
    void applySessionConfig(const Json& payload);

    // Installs (or replaces) the handler of one message type.
    void setHandler(const std::string& type, Handler handler);
    void setTextHandler(const std::string& type, TextHandler handler);

    // One control message from the viewer; never throws.
    void dispatch(const std::string& text);

    // Adaptive bitrate level callback: "agent_stats" to the viewer.
    void reportDegradation(int level);
    static std::string degradationName(int level);

    void sendReply(const Json& reply) const;

  private:
    void viewerConfig(const Json& msg);

    Flags flags_;
    SendJson send_;
    mutable std::mutex policyMu_;
    Policy policy_;
    SessionConfigHooks configHooks_;
    std::mutex mu_;
    std::map<std::string, TextHandler, std::less<>> handlers_;
};

}  // namespace kvd
