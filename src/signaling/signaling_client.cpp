#include "signaling/signaling_client.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <libwebsockets.h>

#include "common/log.h"
#include "signaling/signaling_url.h"

namespace kvd {

struct SignalingClient::State {
    // Guards `context` against senders on other threads that wake the
    // service; only the signaling thread creates or destroys the context.
    std::mutex ctxLock;
    lws_context* context = nullptr;
    // Touched only on the signaling thread (callbacks run inside lws_service).
    lws* wsi = nullptr;
    std::atomic<bool> established{false};
    SignalingSendQueue sendQueue{kSendQueueCap};
    SignalingReceiver receiver{kRecvQueueCap, kMaxMessageBytes};

    SignalingEndpoint endpoint;
    std::string caCertPath;
    bool tlsInsecure = false;
    lws_protocols protocols[2];
};

namespace {

std::mutex gLogSetupMutex;
bool gLogSetupDone = false;

void lwsLogEmit(int level, const char* line) {
    static LogThinner thinner(20, 90);
    std::string text(line ? line : "");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (level & LLL_ERR) {
        if (thinner.shouldLog()) logger().warn("[signaling] lws: {}", text);
    } else {
        logger().debug("[signaling] lws: {}", text);
    }
}

// libwebsockets writes to stderr by default, which carries status records.
void routeLwsLogging() {
    std::lock_guard<std::mutex> lk(gLogSetupMutex);
    if (gLogSetupDone) return;
    gLogSetupDone = true;
    lws_set_log_level(LLL_ERR | LLL_WARN, lwsLogEmit);
}

int signalingCallback(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t len) {
    lws_context* ctx = lws_get_context(wsi);
    auto* st = ctx ? static_cast<SignalingClient::State*>(lws_context_user(ctx)) : nullptr;
    if (!st) return 0;
    switch (reason) {
        case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
            if (in && len > 0)
                logger().error("Signaling WebSocket connection error: {}",
                               std::string(static_cast<const char*>(in), len));
            else if (in)
                logger().error("Signaling WebSocket connection error: {}",
                               static_cast<const char*>(in));
            else
                logger().error("Signaling WebSocket connection error (no details)");
            st->established = false;
            if (st->wsi == wsi) st->wsi = nullptr;
            st->receiver.resetPartial();
            break;
        case LWS_CALLBACK_CLIENT_ESTABLISHED:
            logger().info("Signaling WebSocket connected");
            st->established = true;
            lws_callback_on_writable(wsi);
            break;
        case LWS_CALLBACK_CLIENT_RECEIVE:
            st->receiver.onFragment(static_cast<const char*>(in), len,
                                    lws_is_final_fragment(wsi) != 0);
            break;
        case LWS_CALLBACK_CLIENT_WRITEABLE: {
            auto text = st->sendQueue.front();
            if (!text) break;
            std::vector<unsigned char> buf(LWS_PRE + text->size());
            std::memcpy(buf.data() + LWS_PRE, text->data(), text->size());
            const int n = lws_write(wsi, buf.data() + LWS_PRE, text->size(), LWS_WRITE_TEXT);
            if (n < static_cast<int>(text->size())) {
                // The message stays queued for the next connection.
                logger().warn("Signaling write failed ({} of {} bytes)", n, text->size());
                return -1;
            }
            st->sendQueue.popFront();
            if (st->sendQueue.size() > 0) lws_callback_on_writable(wsi);
            break;
        }
        case LWS_CALLBACK_CLIENT_CLOSED:
            logger().info("Signaling WebSocket closed");
            st->established = false;
            if (st->wsi == wsi) st->wsi = nullptr;
            st->receiver.resetPartial();
            break;
        case LWS_CALLBACK_WSI_DESTROY:
            if (st->wsi == wsi) {
                st->wsi = nullptr;
                st->established = false;
            }
            break;
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            // A sender on another thread queued something: only this thread
            // may ask for the writable callback.
            if (st->wsi && st->established && st->sendQueue.size() > 0)
                lws_callback_on_writable(st->wsi);
            break;
        default:
            break;
    }
    return 0;
}

bool envFlagOn(const char* name) {
    const char* v = std::getenv(name);
    return v && v[0] == '1';
}

}  // namespace

SignalingClient::SignalingClient(std::string url, std::string token, std::string sessionId,
                                 SignalingRetryPolicy policy)
    : url_(std::move(url)),
      token_(std::move(token)),
      sessionId_(std::move(sessionId)),
      policy_(policy),
      state_(std::make_unique<State>()) {
    std::memset(state_->protocols, 0, sizeof state_->protocols);
    state_->protocols[0].name = "signaling";
    state_->protocols[0].callback = signalingCallback;
    state_->protocols[0].per_session_data_size = 0;
    state_->protocols[0].rx_buffer_size = kRxBufferBytes;
}

SignalingClient::~SignalingClient() {
    disconnect();
}

bool SignalingClient::createContext() {
    routeLwsLogging();
    lws_context_creation_info info;
    std::memset(&info, 0, sizeof info);
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = state_->protocols;
    info.gid = -1;
    info.uid = -1;
    info.user = state_.get();
    if (state_->endpoint.secure) {
        info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
        if (!state_->caCertPath.empty()) info.client_ssl_ca_filepath = state_->caCertPath.c_str();
    }
    lws_context* ctx = lws_create_context(&info);
    if (!ctx) return false;
    std::lock_guard<std::mutex> lk(state_->ctxLock);
    state_->context = ctx;
    return true;
}

bool SignalingClient::startConnection() {
    const SignalingEndpoint& ep = state_->endpoint;
    lws_client_connect_info ci;
    std::memset(&ci, 0, sizeof ci);
    ci.context = state_->context;
    ci.address = ep.host.c_str();
    ci.port = ep.port;
    ci.path = ep.path.c_str();
    ci.host = ep.host.c_str();
    ci.origin = ep.host.c_str();
    ci.protocol = "signaling";
    // libwebsockets may report an error for the new connection before it
    // returns; pwsi lets the callback see and clear the handle in time.
    ci.pwsi = &state_->wsi;
    if (ep.secure) {
        ci.ssl_connection = LCCSCF_USE_SSL;
        if (state_->tlsInsecure)
            ci.ssl_connection |= LCCSCF_ALLOW_SELFSIGNED | LCCSCF_ALLOW_EXPIRED |
                                 LCCSCF_SKIP_SERVER_CERT_HOSTNAME_CHECK | LCCSCF_ALLOW_INSECURE;
    }
    state_->established = false;
    lws* wsi = lws_client_connect_via_info(&ci);
    if (!wsi) {
        state_->wsi = nullptr;
        return false;
    }
    return true;
}

bool SignalingClient::serviceFor(int steps) {
    using namespace std::chrono;
    // lws_service with a timeout >= 0 blocks until the next scheduled event
    // on libwebsockets 4.1, however small the timeout: service without
    // waiting and do the waiting here, a few milliseconds at a time.
    for (int i = 0; i < steps && !abortConnect_; ++i) {
        const auto deadline = steady_clock::now() + milliseconds(policy_.stepMs);
        for (;;) {
            if (state_->context) lws_service(state_->context, -1);
            if (state_->established) return true;
            const auto now = steady_clock::now();
            if (now >= deadline) break;
            std::this_thread::sleep_for(
                std::min<steady_clock::duration>(milliseconds(5), deadline - now));
        }
    }
    return state_->established;
}

void SignalingClient::destroyContext() {
    lws_context* ctx = nullptr;
    {
        std::lock_guard<std::mutex> lk(state_->ctxLock);
        ctx = state_->context;
        state_->context = nullptr;
    }
    if (ctx) lws_context_destroy(ctx);
    state_->wsi = nullptr;
    state_->established = false;
    state_->receiver.resetPartial();
}

bool SignalingClient::connect() {
    std::lock_guard<std::recursive_mutex> lk(serviceLock_);
    SignalingEndpoint ep = parseSignalingUrl(url_, token_);
    if (!ep.valid) {
        logger().error("{}", ep.error);
        return false;
    }
    for (const auto& w : ep.warnings) logger().warn("{}", w);
    logger().info("{}", ep.connectingLine());

    // A reconnect replaces whatever is left of the previous connection, and
    // a failed one must not report the old link as up.
    destroyContext();
    connected_ = false;
    state_->endpoint = std::move(ep);
    state_->caCertPath.clear();
    state_->tlsInsecure = false;
    if (state_->endpoint.secure) {
        if (const char* ca = std::getenv("KELVANDRUM_CA_CERT"); ca && *ca) {
            state_->caCertPath = ca;
            logger().info("Using custom CA cert: {}", state_->caCertPath);
        }
        state_->tlsInsecure = envFlagOn("KELVANDRUM_TLS_INSECURE");
    }

    if (!createContext()) {
        logger().error("lws_create_context failed");
        return false;
    }
    if (state_->tlsInsecure)
        logger().warn(
            "[signaling] KELVANDRUM_TLS_INSECURE=1 — TLS verification DISABLED (dev only)");
    if (!startConnection()) {
        logger().error("lws_client_connect failed");
        destroyContext();
        return false;
    }
    bool established = serviceFor(policy_.handshakeSteps);
    int attempt = 1;
    while (!established && attempt < policy_.attempts && !abortConnect_) {
        logger().warn("Signaling connection attempt {} failed, retrying in 2s...", attempt);
        if (serviceFor(policy_.pauseSteps)) {
            established = true;
            break;
        }
        destroyContext();
        if (!createContext()) {
            logger().error("lws_create_context retry {} failed", attempt);
            break;
        }
        if (!startConnection())
            logger().error("lws_client_connect retry {} failed", attempt);
        else
            established = serviceFor(policy_.handshakeSteps);
        ++attempt;
    }
    if (established) {
        send(makeJoinMessage(sessionId_));
        connected_ = true;
        logger().info("Signaling connected to {}", url_);
        return true;
    }
    logger().error("Signaling connection failed after {} attempts", policy_.attempts);
    // No half-open socket is left behind for poll() to finish later.
    destroyContext();
    return connected_;
}

void SignalingClient::disconnect() {
    abortConnect_ = true;
    std::lock_guard<std::recursive_mutex> lk(serviceLock_);
    connected_ = false;
    destroyContext();
    abortConnect_ = false;
}

void SignalingClient::send(const Json& msg) {
    std::string text;
    try {
        text = msg.dump();
    } catch (const Json::exception&) {
        // Strings from a peer or the OS may carry invalid UTF-8; a sender on a
        // callback thread must not be ended by it.
        logger().warn("Signaling send: invalid UTF-8 replaced (type={})", signalingType(msg));
        text = dumpJson(msg);
    }
    if (state_->sendQueue.push(std::move(text)) > 0)
        logger().warn("Signaling sendQueue full ({}), dropped oldest", kSendQueueCap);
    std::lock_guard<std::mutex> lk(state_->ctxLock);
    if (state_->context) lws_cancel_service(state_->context);
}

void SignalingClient::poll() {
    std::lock_guard<std::recursive_mutex> lk(serviceLock_);
    if (state_->context) {
        if (state_->wsi && state_->established && state_->sendQueue.size() > 0)
            lws_callback_on_writable(state_->wsi);
        lws_service(state_->context, -1);
    }
    for (const Json& msg : state_->receiver.takeAll()) {
        const std::string type = signalingType(msg);
        logger().info("Signaling recv: type={}", type);
        if (!handlers_.deliver(msg, type, "[signaling]"))
            logger().warn("No handler for signaling message type: {}", type);
    }
}

void SignalingClient::on(const std::string& type, SignalingHandler handler) {
    handlers_.set(type, std::move(handler));
}

bool SignalingClient::isConnected() const {
    return connected_ && state_->established;
}

size_t SignalingClient::pendingSendCount() const {
    return state_->sendQueue.size();
}

size_t SignalingClient::pendingRecvCount() const {
    return state_->receiver.queued();
}

}  // namespace kvd
