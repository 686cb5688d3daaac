// The WebRTC adapter over GStreamer's webrtcbin.
//
// Per peer connection: appsrc ! rtph264pay ! webrtcbin in one pipeline. Every
// webrtcbin signal, promise reply and bus message arrives on a GStreamer
// thread; they are turned into tasks for a dispatch thread of our own, which
// is where every callback of the adapter runs. Promises are only ever waited
// for on our threads, never on webrtcbin's.
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "common/log.h"
#include "webrtc/rtc_adapter.h"
#include "webrtc/sctp_reassembly.h"
#include "webrtc/sdp_guard.h"

namespace kvd {

namespace {

// The first offer of a process makes a DTLS certificate: on a loaded machine
// that alone has taken more than 5 s.
constexpr auto kPromiseTimeout = std::chrono::seconds(15);
constexpr uint64_t kSctpMaxMessageBytes = 262144;
constexpr guint kIceReceiveBufferBytes = 2 * 1024 * 1024;
// Messages of one channel waiting for our dispatch thread: a viewer that
// floods faster than the handlers run loses its oldest messages, never our
// memory.
constexpr size_t kInboundQueueMessages = 1024;
constexpr size_t kInboundQueueBytes = 4 * 1024 * 1024;
constexpr size_t kInboundBatch = 32;
// The manager creates its channels back to back; the offer waits until
// creations have been quiet this long so that they all share one negotiation.
constexpr int64_t kChannelSettleUs = 15000;

int64_t monoUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// --- logging -------------------------------------------------------------------

void gstLogToLogger(GstDebugCategory* category, GstDebugLevel level, const gchar* file,
                    const gchar* function, gint line, GObject*, GstDebugMessage* message,
                    gpointer) {
    if (level > gst_debug_category_get_threshold(category)) return;
    const gchar* text = gst_debug_message_get(message);
    const char* cat = gst_debug_category_get_name(category);
    switch (level) {
        case GST_LEVEL_ERROR:
            logger().error("[gst] {} {}:{} {}: {}", cat, file, line, function, text);
            break;
        case GST_LEVEL_WARNING:
        case GST_LEVEL_FIXME:
            logger().warn("[gst] {} {}: {}", cat, function, text);
            break;
        case GST_LEVEL_INFO:
            logger().info("[gst] {} {}: {}", cat, function, text);
            break;
        default:
            logger().debug("[gst] {} {}: {}", cat, function, text);
            break;
    }
}

void glibLogToLogger(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    const char* d = domain ? domain : "glib";
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL))
        logger().error("[glib] {}: {}", d, message ? message : "");
    else if (level & G_LOG_LEVEL_WARNING)
        logger().warn("[glib] {}: {}", d, message ? message : "");
    else if (level & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO))
        logger().info("[glib] {}: {}", d, message ? message : "");
    else
        logger().debug("[glib] {}: {}", d, message ? message : "");
}

void glibPrintToLogger(const gchar* text) {
    logger().info("[glib] {}", text ? text : "");
}

// Standard output carries only status records: nothing of GLib or
// GStreamer may reach it.
void ensureGstInitialised() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_log_set_default_handler(glibLogToLogger, nullptr);
        g_set_print_handler(glibPrintToLogger);
        g_set_printerr_handler(glibPrintToLogger);
        gst_init(nullptr, nullptr);
        gst_debug_remove_log_function(gst_debug_log_default);
        gst_debug_add_log_function(gstLogToLogger, nullptr, nullptr);
        if (!std::getenv("GST_DEBUG")) gst_debug_set_default_threshold(GST_LEVEL_WARNING);
        logger().info("[webrtc] GStreamer {} initialised", gst_version_string());
    });
}

std::string percentEncode(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string hostForUri(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool hasProperty(gpointer obj, const char* name) {
    return obj && g_object_class_find_property(G_OBJECT_GET_CLASS(obj), name) != nullptr;
}

// Replies of webrtcbin promises, waited for on our own threads with a bound.
class PromiseWaiter {
  public:
    PromiseWaiter() {
        promise_ = gst_promise_new_with_change_func(
            [](GstPromise*, gpointer self) {
                auto* w = static_cast<PromiseWaiter*>(self);
                std::lock_guard lk(w->mu_);
                w->done_ = true;
                w->cv_.notify_all();
            },
            this, nullptr);
    }
    ~PromiseWaiter() { gst_promise_unref(promise_); }
    GstPromise* promise() { return promise_; }
    // Returns the reply structure (owned by the promise) or throws.
    const GstStructure* wait(const char* what) {
        std::unique_lock lk(mu_);
        if (!cv_.wait_for(lk, kPromiseTimeout, [this] { return done_; })) {
            lk.unlock();
            gst_promise_interrupt(promise_);
            lk.lock();
            cv_.wait(lk, [this] { return done_; });
            throw RtcError(std::string(what) + " timed out");
        }
        lk.unlock();
        if (gst_promise_wait(promise_) != GST_PROMISE_RESULT_REPLIED)
            throw RtcError(std::string(what) + " failed");
        const GstStructure* reply = gst_promise_get_reply(promise_);
        if (reply && gst_structure_has_field(reply, "error")) {
            GError* err = nullptr;
            gst_structure_get(reply, "error", G_TYPE_ERROR, &err, nullptr);
            std::string msg = std::string(what) + ": " + (err ? err->message : "error");
            if (err) g_error_free(err);
            throw RtcError(msg);
        }
        return reply;
    }

  private:
    GstPromise* promise_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
};

// A single thread running posted tasks in order. Its state is shared with the
// thread so that the owner may be destroyed on the dispatch thread itself.
class Dispatcher {
  public:
    Dispatcher() : state_(std::make_shared<State>()) {
        thread_ = std::thread([s = state_] { run(*s); });
    }
    ~Dispatcher() { stop(); }
    void post(std::function<void()> fn) {
        std::lock_guard lk(state_->mu);
        if (state_->stopping) return;
        state_->tasks.push_back(std::move(fn));
        state_->cv.notify_one();
    }
    // Drops what is queued; joins unless called from the dispatch thread
    // itself, which then ends after its current task.
    void stop() {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard lk(state_->mu);
            state_->stopping = true;
            dropped.swap(state_->tasks);
            state_->cv.notify_one();
        }
        if (!thread_.joinable()) return;
        if (std::this_thread::get_id() == thread_.get_id())
            thread_.detach();
        else
            thread_.join();
    }

  private:
    struct State {
        std::mutex mu;
        std::condition_variable cv;
        std::deque<std::function<void()>> tasks;
        bool stopping = false;
    };
    static void run(State& s) {
        std::unique_lock lk(s.mu);
        while (true) {
            s.cv.wait(lk, [&s] { return s.stopping || !s.tasks.empty(); });
            if (s.stopping) return;
            auto fn = std::move(s.tasks.front());
            s.tasks.pop_front();
            lk.unlock();
            try {
                fn();
            } catch (const std::exception& e) {
                logger().error("[webrtc] callback threw: {}", e.what());
            } catch (...) {
                logger().error("[webrtc] callback threw: unknown");
            }
            fn = nullptr;
            lk.lock();
        }
    }
    std::shared_ptr<State> state_;
    std::thread thread_;
};

class PeerCore;

// --- data channel ------------------------------------------------------------

class GstDataChannel final : public RtcDataChannel,
                             public std::enable_shared_from_this<GstDataChannel> {
  public:
    GstDataChannel(GstWebRTCDataChannel* ch, std::string label, RtcDataChannelCallbacks cb,
                   std::weak_ptr<PeerCore> core)
        : ch_(ch), label_(std::move(label)), cb_(std::move(cb)), core_(std::move(core)) {}
    ~GstDataChannel() override {
        disconnectSignals();
        gst_object_unref(ch_);
    }

    void connectSignals();
    void disconnectSignals() {
        std::lock_guard lk(mu_);
        for (gulong id : handlers_) g_signal_handler_disconnect(ch_, id);
        handlers_.clear();
    }

    std::string label() const override { return label_; }
    bool isOpen() const override {
        if (forcedClosed_) return false;
        GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
        g_object_get(ch_, "ready-state", &state, nullptr);
        return state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN;
    }
    void close() override {
        forcedClosed_ = true;
        gst_webrtc_data_channel_close(ch_);
    }
    void sendText(const std::string& text) override {
        if (!isOpen()) throw RtcError("DataChannel is closed");
        GError* err = nullptr;
        if (!gst_webrtc_data_channel_send_string_full(ch_, text.c_str(), &err)) throwError(err);
    }
    void sendBinary(std::vector<uint8_t> bytes) override {
        if (!isOpen()) throw RtcError("DataChannel is closed");
        auto* heap = new std::vector<uint8_t>(std::move(bytes));
        GBytes* data = g_bytes_new_with_free_func(
            heap->data(), heap->size(),
            [](gpointer p) { delete static_cast<std::vector<uint8_t>*>(p); }, heap);
        GError* err = nullptr;
        const gboolean ok = gst_webrtc_data_channel_send_data_full(ch_, data, &err);
        g_bytes_unref(data);
        if (!ok) throwError(err);
    }
    uint64_t bufferedAmount() const override {
        guint64 amount = 0;
        g_object_get(ch_, "buffered-amount", &amount, nullptr);
        return amount;
    }
    uint64_t maxMessageSize() const override;

    // Events, already on the dispatch thread.
    void deliverOpen() {
        if (!forcedClosed_ && !openDelivered_.exchange(true) && cb_.onOpen) cb_.onOpen();
    }
    void deliverClosed() {
        if (!closedDelivered_.exchange(true) && cb_.onClosed) cb_.onClosed();
    }
    void deliverError(const std::string& e) {
        if (cb_.onError) cb_.onError(e);
    }
    // A piece from webrtcbin's thread: joined into whole messages, which
    // wait in the bounded queue for the dispatch thread.
    void receivePiece(bool text, const uint8_t* data, size_t size);
    // On the dispatch thread: hands a batch of queued messages to the callbacks.
    void pump();
    // The transport went away underneath: the channel is closed for us.
    void forceClosed() {
        forcedClosed_ = true;
        gst_webrtc_data_channel_close(ch_);
        deliverClosed();
    }

  private:
    [[noreturn]] static void throwError(GError* err) {
        std::string msg = err ? err->message : "send failed";
        if (err) g_error_free(err);
        throw RtcError(msg);
    }

    struct Inbound {
        bool text = false;
        std::string bytes;
    };
    void schedulePump();

    GstWebRTCDataChannel* ch_;
    std::string label_;
    RtcDataChannelCallbacks cb_;
    std::weak_ptr<PeerCore> core_;
    std::mutex mu_;
    std::vector<gulong> handlers_;
    // Inbound path, guarded by inMu_.
    std::mutex inMu_;
    std::shared_ptr<SctpMessageTracker> tracker_;
    std::optional<DataChannelAssembler> assembler_;
    int streamId_ = -1;
    std::deque<Inbound> inbound_;
    size_t inboundBytes_ = 0;
    uint64_t inboundDropped_ = 0;
    bool pumpScheduled_ = false;
    LogThinner dropLog_{3, 90};
    LogThinner mismatchLog_{3, 90};
    uint64_t skippedSeen_ = 0;
    std::atomic<bool> forcedClosed_{false};
    std::atomic<bool> openDelivered_{false};
    std::atomic<bool> closedDelivered_{false};
};

// --- video track ---------------------------------------------------------------

class GstVideoTrack final : public RtcVideoTrack {
  public:
    // Holds its own references: a frame may be pushed while the connection closes.
    GstVideoTrack(GstElement* appsrc, GstElement* pipeline)
        : appsrc_(GST_ELEMENT(gst_object_ref(appsrc))),
          pipeline_(GST_ELEMENT(gst_object_ref(pipeline))) {}
    ~GstVideoTrack() override {
        gst_object_unref(appsrc_);
        gst_object_unref(pipeline_);
    }
    bool isOpen() const override { return open_ && !closed_; }
    bool isClosed() const override { return closed_; }
    void sendFrame(const uint8_t* data, size_t size, int64_t captureTimestampUs) override {
        if (closed_) throw RtcError("track is closed");
        if (!open_) throw RtcError("track is not open");
        GstClock* clock = gst_element_get_clock(pipeline_);
        if (!clock) throw RtcError("pipeline has no clock");
        const GstClockTime now = gst_clock_get_time(clock);
        gst_object_unref(clock);
        const GstClockTime base = gst_element_get_base_time(pipeline_);
        const GstClockTime running = now > base ? now - base : 0;
        GstClockTime pts;
        {
            std::lock_guard lk(mu_);
            // The RTP clock follows the capture clock: the first frame maps to
            // the current running time, later frames keep their capture spacing.
            if (!haveFirst_ || captureTimestampUs < firstCaptureUs_) {
                haveFirst_ = true;
                firstCaptureUs_ = captureTimestampUs;
                firstRunning_ = running;
            }
            pts = firstRunning_ +
                  static_cast<GstClockTime>(captureTimestampUs - firstCaptureUs_) * GST_USECOND;
            if (lastPts_ != GST_CLOCK_TIME_NONE && pts <= lastPts_) pts = lastPts_ + 1;
            lastPts_ = pts;
        }
        GstBuffer* buf = gst_buffer_new_memdup(data, size);
        GST_BUFFER_PTS(buf) = pts;
        GST_BUFFER_DTS(buf) = pts;
        const GstFlowReturn ret = gst_app_src_push_buffer(GST_APP_SRC(appsrc_), buf);
        if (ret != GST_FLOW_OK)
            throw RtcError(std::string("appsrc push: ") + gst_flow_get_name(ret));
    }
    void setOpen() { open_ = true; }
    void setClosed() { closed_ = true; }

    RtcVideoTrackCallbacks callbacks;
    std::atomic<bool> openDelivered{false};
    std::atomic<bool> closedDelivered{false};

  private:
    GstElement* appsrc_;
    GstElement* pipeline_;
    std::atomic<bool> open_{false};
    std::atomic<bool> closed_{false};
    std::mutex mu_;
    bool haveFirst_ = false;
    int64_t firstCaptureUs_ = 0;
    GstClockTime firstRunning_ = 0;
    GstClockTime lastPts_ = GST_CLOCK_TIME_NONE;
};

// --- peer connection -----------------------------------------------------------

class PeerCore : public std::enable_shared_from_this<PeerCore> {
  public:
    PeerCore(RtcPeerCallbacks cb) : cb_(std::move(cb)) {}
    ~PeerCore() { teardown(); }

    void build(const RtcPeerConfig& config);
    std::shared_ptr<RtcVideoTrack> addVideoTrack(const RtcVideoTrackInit& init,
                                                 RtcVideoTrackCallbacks callbacks);
    std::shared_ptr<RtcDataChannel> createDataChannel(const std::string& label,
                                                      const RtcDataChannelInit& init,
                                                      RtcDataChannelCallbacks callbacks);
    std::optional<RtcDescription> localDescription() const {
        std::lock_guard lk(mu_);
        return localDesc_;
    }
    void setRemoteDescription(const RtcDescription& d);
    void addRemoteCandidate(const std::string& candidate, const std::string& mid);
    void close();

    // Runs fn on the dispatch thread unless the connection was closed.
    void post(std::function<void()> fn) {
        if (closed_) return;
        std::weak_ptr<PeerCore> weak = weak_from_this();
        dispatcher_.post([weak, fn = std::move(fn)] {
            auto self = weak.lock();
            if (self && !self->closed_) fn();
        });
    }
    uint64_t sctpMaxMessageSize() const;
    std::optional<uint64_t> packetsReceived() const {
        if (!counting_) return std::nullopt;
        return received_->load(std::memory_order_relaxed);
    }
    // Message boundaries of the association (null until the SCTP decoder
    // was found).
    std::shared_ptr<SctpMessageTracker> tracker() const {
        std::lock_guard lk(mu_);
        return tracker_;
    }

    // GStreamer-thread entry points.
    static void onNegotiationNeeded(GstElement*, gpointer);
    static void onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer self);
    static void onNotify(GObject* obj, GParamSpec* pspec, gpointer self);
    static void onDtlsState(GObject* obj, GParamSpec*, gpointer self);
    static GstBusSyncReply onBusMessage(GstBus*, GstMessage* msg, gpointer self);
    static GstPadProbeReturn onUpstreamEvent(GstPad*, GstPadProbeInfo* info, gpointer self);

  private:
    void negotiate();
    void watchTransport();
    void countReceivedPackets(GObject* dtls);
    void attachMessageTracker();
    void deliverState(RtcPeerState s);
    void transportGone(RtcPeerState s);
    void teardown();
    template <typename F>
    void forEachChannel(F f) {
        std::vector<std::shared_ptr<GstDataChannel>> live;
        {
            std::lock_guard lk(mu_);
            for (auto& w : channels_)
                if (auto c = w.lock()) live.push_back(c);
        }
        for (auto& c : live) f(*c);
    }

    RtcPeerCallbacks cb_;
    Dispatcher dispatcher_;
    std::atomic<bool> closed_{false};
    GstElement* pipeline_ = nullptr;
    GstElement* webrtc_ = nullptr;
    GstElement* appsrc_ = nullptr;
    GObject* dtls_ = nullptr;
    gulong dtlsHandler_ = 0;
    std::vector<gulong> webrtcHandlers_;
    std::shared_ptr<GstVideoTrack> track_;
    uint32_t bitrateKbps_ = 0;
    mutable std::mutex mu_;
    std::optional<RtcDescription> localDesc_;
    std::vector<std::string> localMids_;
    bool remoteSet_ = false;
    std::vector<std::weak_ptr<GstDataChannel>> channels_;
    std::shared_ptr<SctpMessageTracker> tracker_;
    std::atomic<int64_t> lastChannelCreatedUs_{0};
    std::atomic<bool> negotiationScheduled_{false};
    std::atomic<int> lastState_{-1};
    std::atomic<bool> transportEnded_{false};
    // Packets from the viewer; shared with the pad probe, whose data is
    // released by GStreamer whenever it drops the probe.
    std::shared_ptr<std::atomic<uint64_t>> received_ = std::make_shared<std::atomic<uint64_t>>(0);
    std::atomic<bool> counting_{false};
};

void PeerCore::build(const RtcPeerConfig& config) {
    pipeline_ = gst_pipeline_new(nullptr);
    webrtc_ = gst_element_factory_make("webrtcbin", nullptr);
    if (!pipeline_ || !webrtc_) throw RtcError("webrtcbin is not available");
    gst_bin_add(GST_BIN(pipeline_), webrtc_);
    gst_util_set_object_arg(G_OBJECT(webrtc_), "bundle-policy", "max-bundle");
    if (hasProperty(webrtc_, "latency")) g_object_set(webrtc_, "latency", 0u, nullptr);

    bool stunSet = false;
    for (const auto& s : config.iceServers) {
        if (s.kind == RtcIceServer::Kind::Stun) {
            if (stunSet) {
                logger().warn("[webrtc] only one STUN server is supported — ignoring stun:{}:{}",
                              s.host, s.port);
                continue;
            }
            const std::string uri = "stun://" + hostForUri(s.host) + ":" + std::to_string(s.port);
            g_object_set(webrtc_, "stun-server", uri.c_str(), nullptr);
            stunSet = true;
        } else {
            std::string uri = std::string(s.tls ? "turns://" : "turn://") +
                              percentEncode(s.username) + ":" + percentEncode(s.password) + "@" +
                              hostForUri(s.host) + ":" + std::to_string(s.port);
            if (!s.transport.empty()) uri += "?transport=" + s.transport;
            gboolean ok = FALSE;
            g_signal_emit_by_name(webrtc_, "add-turn-server", uri.c_str(), &ok);
            if (!ok)
                logger().warn("[webrtc] TURN server {}:{} refused by webrtcbin", s.host, s.port);
        }
    }

    GObject* ice = nullptr;
    if (hasProperty(webrtc_, "ice-agent")) g_object_get(webrtc_, "ice-agent", &ice, nullptr);
    if (ice) {
        if (hasProperty(ice, "ice-tcp"))
            g_object_set(ice, "ice-tcp", config.enableIceTcp ? TRUE : FALSE, nullptr);
        if (config.portRangeBegin && hasProperty(ice, "min-rtp-port"))
            g_object_set(ice, "min-rtp-port", static_cast<guint>(config.portRangeBegin), nullptr);
        if (config.portRangeEnd && hasProperty(ice, "max-rtp-port"))
            g_object_set(ice, "max-rtp-port", static_cast<guint>(config.portRangeEnd), nullptr);
        g_object_unref(ice);
    }

    webrtcHandlers_.push_back(g_signal_connect(webrtc_, "on-negotiation-needed",
                                               G_CALLBACK(&PeerCore::onNegotiationNeeded), this));
    webrtcHandlers_.push_back(
        g_signal_connect(webrtc_, "on-ice-candidate", G_CALLBACK(&PeerCore::onIceCandidate), this));
    webrtcHandlers_.push_back(g_signal_connect(webrtc_, "notify::connection-state",
                                               G_CALLBACK(&PeerCore::onNotify), this));
    webrtcHandlers_.push_back(g_signal_connect(webrtc_, "notify::ice-gathering-state",
                                               G_CALLBACK(&PeerCore::onNotify), this));
    webrtcHandlers_.push_back(g_signal_connect(
        webrtc_, "on-data-channel", G_CALLBACK(+[](GstElement*, GObject* ch, gpointer) {
            // The viewer opening its own channels is not part of the protocol.
            gst_webrtc_data_channel_close(GST_WEBRTC_DATA_CHANNEL(ch));
        }),
        this));

    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline_));
    gst_bus_set_sync_handler(bus, &PeerCore::onBusMessage, this, nullptr);
    gst_object_unref(bus);
}

std::shared_ptr<RtcVideoTrack> PeerCore::addVideoTrack(const RtcVideoTrackInit& init,
                                                       RtcVideoTrackCallbacks callbacks) {
    if (appsrc_) throw RtcError("video track already added");
    bitrateKbps_ = init.bitrateKbps;
    appsrc_ = gst_element_factory_make("appsrc", nullptr);
    GstElement* pay = gst_element_factory_make("rtph264pay", nullptr);
    if (!appsrc_ || !pay) throw RtcError("appsrc/rtph264pay not available");
    GstCaps* caps = gst_caps_new_simple(
        "video/x-h264", "stream-format", G_TYPE_STRING, "byte-stream", "alignment", G_TYPE_STRING,
        "au", "profile", G_TYPE_STRING, "constrained-baseline", "level", G_TYPE_STRING, "3.1",
        "width", G_TYPE_INT, init.width, "height", G_TYPE_INT, init.height, "framerate",
        GST_TYPE_FRACTION, init.fps, 1, nullptr);
    g_object_set(appsrc_, "caps", caps, "is-live", TRUE, "format", GST_FORMAT_TIME, "block", FALSE,
                 "max-bytes", static_cast<guint64>(8 * 1024 * 1024), nullptr);
    gst_caps_unref(caps);
    // Bounded: when the network side stalls the oldest frames go.
    gst_app_src_set_max_buffers(GST_APP_SRC(appsrc_), 60);
    gst_app_src_set_leaky_type(GST_APP_SRC(appsrc_), GST_APP_LEAKY_TYPE_DOWNSTREAM);
    g_object_set(pay, "config-interval", -1, "pt", static_cast<guint>(init.payloadType), "mtu",
                 1200u, "ssrc", init.ssrc, nullptr);
    gst_util_set_object_arg(G_OBJECT(pay), "aggregate-mode", "zero-latency");
    gst_bin_add_many(GST_BIN(pipeline_), appsrc_, pay, nullptr);
    if (!gst_element_link(appsrc_, pay)) throw RtcError("cannot link appsrc to rtph264pay");

    GstPad* sink = gst_element_request_pad_simple(webrtc_, "sink_%u");
    GstPad* paySrc = gst_element_get_static_pad(pay, "src");
    const GstPadLinkReturn linked = gst_pad_link(paySrc, sink);
    gst_object_unref(paySrc);
    if (linked != GST_PAD_LINK_OK) {
        gst_object_unref(sink);
        throw RtcError("cannot link rtph264pay to webrtcbin");
    }
    GstWebRTCRTPTransceiver* trans = nullptr;
    g_object_get(sink, "transceiver", &trans, nullptr);
    gst_object_unref(sink);
    if (!trans) throw RtcError("webrtcbin gave no transceiver");
    std::string capsText =
        "application/x-rtp,media=video,encoding-name=H264,clock-rate=90000,payload=" +
        std::to_string(init.payloadType) + ",a-mid=" + init.mid;
    for (size_t pos = 0; pos < init.fmtp.size();) {
        size_t end = init.fmtp.find(';', pos);
        if (end == std::string::npos) end = init.fmtp.size();
        const std::string kv = init.fmtp.substr(pos, end - pos);
        const size_t eq = kv.find('=');
        if (eq != std::string::npos)
            capsText += "," + kv.substr(0, eq) + "=(string)" + kv.substr(eq + 1);
        pos = end + 1;
    }
    GstCaps* prefs = gst_caps_from_string(capsText.c_str());
    g_object_set(trans, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY,
                 "codec-preferences", prefs, "do-nack", TRUE, nullptr);
    gst_caps_unref(prefs);
    gst_object_unref(trans);

    GstPad* srcPad = gst_element_get_static_pad(appsrc_, "src");
    gst_pad_add_probe(srcPad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, &PeerCore::onUpstreamEvent, this,
                      nullptr);
    gst_object_unref(srcPad);

    track_ = std::make_shared<GstVideoTrack>(appsrc_, pipeline_);
    track_->callbacks = std::move(callbacks);
    if (gst_element_set_state(pipeline_, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE)
        throw RtcError("pipeline refused READY");
    return track_;
}

std::shared_ptr<RtcDataChannel> PeerCore::createDataChannel(const std::string& label,
                                                            const RtcDataChannelInit& init,
                                                            RtcDataChannelCallbacks callbacks) {
    if (closed_) throw RtcError("peer connection is closed");
    if (GST_STATE(pipeline_) < GST_STATE_READY) gst_element_set_state(pipeline_, GST_STATE_READY);
    GstStructure* opts = gst_structure_new("options", "ordered", G_TYPE_BOOLEAN,
                                           init.ordered ? TRUE : FALSE, nullptr);
    if (init.maxRetransmits)
        gst_structure_set(opts, "max-retransmits", G_TYPE_INT, int{*init.maxRetransmits}, nullptr);
    GstWebRTCDataChannel* ch = nullptr;
    g_signal_emit_by_name(webrtc_, "create-data-channel", label.c_str(), opts, &ch);
    gst_structure_free(opts);
    if (!ch) throw RtcError("webrtcbin refused data channel '" + label + "'");
    auto channel =
        std::make_shared<GstDataChannel>(ch, label, std::move(callbacks), weak_from_this());
    channel->connectSignals();
    {
        std::lock_guard lk(mu_);
        channels_.push_back(channel);
    }
    lastChannelCreatedUs_ = monoUs();
    if (!negotiationScheduled_.exchange(true)) post([this] { negotiate(); });
    return channel;
}

void PeerCore::negotiate() {
    while (monoUs() - lastChannelCreatedUs_.load() < kChannelSettleUs)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (closed_) return;
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        logger().error("[webrtc] pipeline refused PLAYING");
        return;
    }
    try {
        GstWebRTCSessionDescription* offer = nullptr;
        {
            PromiseWaiter w;
            g_signal_emit_by_name(webrtc_, "create-offer", nullptr, w.promise());
            const GstStructure* reply = w.wait("create-offer");
            if (!reply) throw RtcError("create-offer gave no reply");
            gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
        }
        if (!offer) throw RtcError("create-offer gave no offer");
        gchar* raw = gst_sdp_message_as_text(offer->sdp);
        // webrtcbin writes no max-message-size, which both ends then read
        // as 64 KiB: a video chunk message is 204812 bytes.
        std::string text =
            insertSctpMaxMessageSize(insertVideoBitrate(raw, bitrateKbps_), kSctpMaxMessageBytes);
        g_free(raw);
        gst_webrtc_session_description_free(offer);

        GstSDPMessage* sdp = nullptr;
        gst_sdp_message_new_from_text(text.c_str(), &sdp);
        if (!sdp) throw RtcError("offer does not parse after the bitrate line");
        std::vector<std::string> mids;
        for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
            const char* mid =
                gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(sdp, i), "mid");
            mids.emplace_back(mid ? mid : "");
        }
        {
            // Candidates start flowing during set-local-description.
            std::lock_guard lk(mu_);
            localMids_ = mids;
        }
        GstWebRTCSessionDescription* desc =
            gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
        {
            PromiseWaiter w;
            g_signal_emit_by_name(webrtc_, "set-local-description", desc, w.promise());
            w.wait("set-local-description");
        }
        gst_webrtc_session_description_free(desc);
        {
            std::lock_guard lk(mu_);
            localDesc_ = RtcDescription{"offer", text};
        }
        watchTransport();
        if (cb_.onLocalDescription) cb_.onLocalDescription(RtcDescription{"offer", text});
    } catch (const std::exception& e) {
        logger().error("[webrtc] offer creation failed: {}", e.what());
    }
}

// The DTLS transport is the one place that notices a viewer that left:
// webrtcbin keeps reporting "connected" for about 50 s otherwise.
void PeerCore::watchTransport() {
    GObject* sctp = nullptr;
    if (hasProperty(webrtc_, "sctp-transport"))
        g_object_get(webrtc_, "sctp-transport", &sctp, nullptr);
    GObject* dtls = nullptr;
    if (sctp) {
        if (hasProperty(sctp, "transport")) g_object_get(sctp, "transport", &dtls, nullptr);
        g_object_unref(sctp);
    }
    if (!dtls) {
        logger().warn(
            "[webrtc] no DTLS transport to watch — viewer departure relies on the ICE state");
        return;
    }
    countReceivedPackets(dtls);
    std::lock_guard lk(mu_);
    dtls_ = dtls;
    dtlsHandler_ =
        g_signal_connect(dtls_, "notify::state", G_CALLBACK(&PeerCore::onDtlsState), this);
}

namespace {

GstPadProbeReturn onTransportPacket(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto& counter = **static_cast<std::shared_ptr<std::atomic<uint64_t>>*>(data);
    uint64_t n = 1;
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST)
        n = gst_buffer_list_length(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
    counter.fetch_add(n, std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

}  // namespace

// A viewer that vanishes without closing (its machine or browser killed)
// leaves no state change behind: webrtcbin has no ICE consent checks. What
// is left is the silence on the wire, so every packet the ICE transport
// hands up (libnice keeps its own STUN traffic) is counted. The probe only
// bumps a counter: it runs on the receiving streaming thread.
void PeerCore::countReceivedPackets(GObject* dtls) {
    GObject* iceTransport = nullptr;
    if (hasProperty(dtls, "transport")) g_object_get(dtls, "transport", &iceTransport, nullptr);
    // The kernel's default UDP receive buffer (about 208 KiB) overflows
    // under a file transfer's bursts on a fast link; every drop costs an
    // SCTP retransmission and a halved congestion window. The kernel caps
    // the request at net.core.rmem_max.
    if (iceTransport && hasProperty(iceTransport, "receive-buffer-size"))
        g_object_set(iceTransport, "receive-buffer-size", kIceReceiveBufferBytes, nullptr);
    GstElement* src = iceTransport ? GST_WEBRTC_ICE_TRANSPORT(iceTransport)->src : nullptr;
    GstPad* pad = src ? gst_element_get_static_pad(src, "src") : nullptr;
    if (iceTransport) g_object_unref(iceTransport);
    if (!pad) {
        logger().warn(
            "[webrtc] no ICE receive pad to watch — a viewer that vanishes without closing is "
            "not noticed");
        return;
    }
    gst_pad_add_probe(
        pad,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        &onTransportPacket, new std::shared_ptr<std::atomic<uint64_t>>(received_),
        [](gpointer p) { delete static_cast<std::shared_ptr<std::atomic<uint64_t>>*>(p); });
    gst_object_unref(pad);
    counting_ = true;
}

uint64_t PeerCore::sctpMaxMessageSize() const {
    if (!webrtc_) return 0;
    GObject* sctp = nullptr;
    g_object_get(webrtc_, "sctp-transport", &sctp, nullptr);
    if (!sctp) return 0;
    guint64 size = 0;
    if (hasProperty(sctp, "max-message-size"))
        g_object_get(sctp, "max-message-size", &size, nullptr);
    g_object_unref(sctp);
    return size;
}

void PeerCore::setRemoteDescription(const RtcDescription& d) {
    if (closed_) throw RtcError("peer connection is closed");
    if (d.type != "answer") throw RtcError("only answers are accepted");
    size_t localMedia;
    {
        std::lock_guard lk(mu_);
        if (!localDesc_) throw RtcError("no local offer outstanding");
        if (remoteSet_) throw RtcError("an answer was already applied");
        localMedia = localMids_.size();
    }
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new_from_text(d.sdp.c_str(), &sdp) != GST_SDP_OK || !sdp) {
        if (sdp) gst_sdp_message_free(sdp);
        throw RtcError("answer SDP does not parse");
    }
    // webrtcbin aborts the process on an answer that rejects a section of
    // our offer (port 0), so such answers never reach it.
    std::string problem;
    const guint n = gst_sdp_message_medias_len(sdp);
    if (n != localMedia)
        problem = "answer has " + std::to_string(n) + " media sections, offer has " +
                  std::to_string(localMedia);
    for (guint i = 0; problem.empty() && i < n; ++i) {
        const GstSDPMedia* m = gst_sdp_message_get_media(sdp, i);
        const char* kind = gst_sdp_media_get_media(m);
        if (!kind) {
            problem = "answer media section without a kind";
        } else if (gst_sdp_media_get_port(m) == 0) {
            problem = std::string("answer rejects the ") + kind + " section";
        } else if (std::string(kind) == "video" && gst_sdp_media_formats_len(m) == 0) {
            problem = "answer video section has no formats";
        }
    }
    if (!problem.empty()) {
        gst_sdp_message_free(sdp);
        throw RtcError(problem);
    }
    GstWebRTCSessionDescription* desc =
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    try {
        PromiseWaiter w;
        g_signal_emit_by_name(webrtc_, "set-remote-description", desc, w.promise());
        w.wait("set-remote-description");
    } catch (...) {
        gst_webrtc_session_description_free(desc);
        throw;
    }
    gst_webrtc_session_description_free(desc);
    {
        std::lock_guard lk(mu_);
        remoteSet_ = true;
    }
    attachMessageTracker();
}

namespace {

GstElement* findElementByFactory(GstBin* bin, const char* factoryName) {
    GstIterator* it = gst_bin_iterate_recurse(bin);
    GValue item = G_VALUE_INIT;
    GstElement* found = nullptr;
    bool done = false;
    while (!found && !done) {
        switch (gst_iterator_next(it, &item)) {
            case GST_ITERATOR_OK: {
                auto* e = GST_ELEMENT(g_value_get_object(&item));
                GstElementFactory* f = gst_element_get_factory(e);
                if (f && g_strcmp0(GST_OBJECT_NAME(f), factoryName) == 0)
                    found = GST_ELEMENT(gst_object_ref(e));
                g_value_reset(&item);
                break;
            }
            case GST_ITERATOR_RESYNC:
                gst_iterator_resync(it);
                break;
            default:
                done = true;
                break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

void trackBuffer(SctpMessageTracker& tracker, GstBuffer* buf) {
    GstMapInfo map;
    if (!gst_buffer_map(buf, &map, GST_MAP_READ)) return;
    tracker.onPacket(map.data, map.size);
    gst_buffer_unmap(buf, &map);
}

GstPadProbeReturn onSctpPacket(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto& tracker = **static_cast<std::shared_ptr<SctpMessageTracker>*>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
        trackBuffer(tracker, GST_PAD_PROBE_INFO_BUFFER(info));
    } else if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        for (guint i = 0; i < gst_buffer_list_length(list); ++i)
            trackBuffer(tracker, gst_buffer_list_get(list, i));
    }
    return GST_PAD_PROBE_OK;
}

}  // namespace

// The SCTP decoder exists once the answer is applied and sees no packet
// before the association forms: from here on every message boundary is known.
void PeerCore::attachMessageTracker() {
    if (tracker() || !webrtc_) return;
    GstElement* dec = findElementByFactory(GST_BIN(webrtc_), "sctpdec");
    GstPad* sink = dec ? gst_element_get_static_pad(dec, "sink") : nullptr;
    if (dec) gst_object_unref(dec);
    if (!sink) {
        logger().warn(
            "[webrtc] no SCTP decoder found — data-channel messages over 64 KiB arrive in pieces");
        return;
    }
    auto tracker = std::make_shared<SctpMessageTracker>();
    gst_pad_add_probe(
        sink,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        &onSctpPacket, new std::shared_ptr<SctpMessageTracker>(tracker),
        [](gpointer p) { delete static_cast<std::shared_ptr<SctpMessageTracker>*>(p); });
    gst_object_unref(sink);
    std::lock_guard lk(mu_);
    tracker_ = std::move(tracker);
}

void PeerCore::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
    if (closed_) throw RtcError("peer connection is closed");
    guint mline = 0;
    {
        std::lock_guard lk(mu_);
        for (size_t i = 0; i < localMids_.size(); ++i)
            if (localMids_[i] == mid) mline = static_cast<guint>(i);
    }
    std::string line = candidate;
    if (line.rfind("a=", 0) == 0) line.erase(0, 2);
    if (line.find_first_of("\r\n") != std::string::npos) throw RtcError("candidate spans lines");
    g_signal_emit_by_name(webrtc_, "add-ice-candidate", mline, line.c_str());
}

void PeerCore::deliverState(RtcPeerState s) {
    const int v = static_cast<int>(s);
    if (lastState_.exchange(v) == v) return;
    if (s == RtcPeerState::Connected && track_ && !track_->isClosed()) {
        track_->setOpen();
        if (!track_->openDelivered.exchange(true) && track_->callbacks.onOpen)
            track_->callbacks.onOpen();
    }
    if (cb_.onStateChange) cb_.onStateChange(s);
}

void PeerCore::transportGone(RtcPeerState s) {
    if (transportEnded_.exchange(true)) return;
    logger().info("[webrtc] DTLS transport {} — viewer gone",
                  s == RtcPeerState::Failed ? "failed" : "closed");
    if (track_) {
        track_->setClosed();
        if (!track_->closedDelivered.exchange(true) && track_->callbacks.onClosed)
            track_->callbacks.onClosed();
    }
    forEachChannel([](GstDataChannel& c) { c.forceClosed(); });
    deliverState(s);
}

void PeerCore::close() {
    if (closed_.exchange(true)) return;
    teardown();
}

void PeerCore::teardown() {
    closed_ = true;
    if (!pipeline_) {
        dispatcher_.stop();
        return;
    }
    for (gulong id : webrtcHandlers_) g_signal_handler_disconnect(webrtc_, id);
    webrtcHandlers_.clear();
    {
        std::lock_guard lk(mu_);
        if (dtls_) {
            g_signal_handler_disconnect(dtls_, dtlsHandler_);
            g_object_unref(dtls_);
            dtls_ = nullptr;
        }
    }
    forEachChannel([](GstDataChannel& c) { c.disconnectSignals(); });
    if (track_) track_->setClosed();
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline_));
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    dispatcher_.stop();
    gst_object_unref(pipeline_);
    pipeline_ = nullptr;
    webrtc_ = nullptr;
    appsrc_ = nullptr;
}

// --- GStreamer-thread entry points (marshal only) ------------------------------

void PeerCore::onNegotiationNeeded(GstElement*, gpointer) {
    // Offers are made when the first channel is created; renegotiation is not
    // part of this protocol.
}

void PeerCore::onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer self) {
    auto* core = static_cast<PeerCore*>(self);
    std::string text = candidate ? candidate : "";
    if (text.empty()) return;
    std::string mid;
    {
        std::lock_guard lk(core->mu_);
        if (mline < core->localMids_.size()) mid = core->localMids_[mline];
    }
    core->post([core, text, mid] {
        if (core->cb_.onLocalCandidate) core->cb_.onLocalCandidate(text, mid);
    });
}

void PeerCore::onNotify(GObject* obj, GParamSpec* pspec, gpointer self) {
    auto* core = static_cast<PeerCore*>(self);
    const std::string name = g_param_spec_get_name(pspec);
    if (name == "connection-state") {
        GstWebRTCPeerConnectionState s;
        g_object_get(obj, "connection-state", &s, nullptr);
        core->post([core, s] {
            if (core->transportEnded_) return;
            core->deliverState(static_cast<RtcPeerState>(s));
        });
    } else if (name == "ice-gathering-state") {
        GstWebRTCICEGatheringState s;
        g_object_get(obj, "ice-gathering-state", &s, nullptr);
        const RtcGatheringState g =
            s == GST_WEBRTC_ICE_GATHERING_STATE_GATHERING  ? RtcGatheringState::InProgress
            : s == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE ? RtcGatheringState::Complete
                                                           : RtcGatheringState::New;
        core->post([core, g] {
            if (core->cb_.onGatheringStateChange) core->cb_.onGatheringStateChange(g);
        });
    }
}

void PeerCore::onDtlsState(GObject* obj, GParamSpec*, gpointer self) {
    auto* core = static_cast<PeerCore*>(self);
    GstWebRTCDTLSTransportState s;
    g_object_get(obj, "state", &s, nullptr);
    if (s == GST_WEBRTC_DTLS_TRANSPORT_STATE_CLOSED)
        core->post([core] { core->transportGone(RtcPeerState::Closed); });
    else if (s == GST_WEBRTC_DTLS_TRANSPORT_STATE_FAILED)
        core->post([core] { core->transportGone(RtcPeerState::Failed); });
}

GstBusSyncReply PeerCore::onBusMessage(GstBus*, GstMessage* msg, gpointer self) {
    auto* core = static_cast<PeerCore*>(self);
    switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_LATENCY:
            core->post([core] {
                if (core->pipeline_) gst_bin_recalculate_latency(GST_BIN(core->pipeline_));
            });
            break;
        case GST_MESSAGE_ERROR: {
            GError* err = nullptr;
            gchar* dbg = nullptr;
            gst_message_parse_error(msg, &err, &dbg);
            std::string text = err ? err->message : "unknown";
            logger().error("[webrtc] pipeline error from {}: {} ({})",
                           GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)), text, dbg ? dbg : "");
            if (err) g_error_free(err);
            g_free(dbg);
            if (core->track_)
                core->post([core, text] {
                    if (core->track_->callbacks.onError) core->track_->callbacks.onError(text);
                });
            break;
        }
        case GST_MESSAGE_WARNING: {
            GError* err = nullptr;
            gst_message_parse_warning(msg, &err, nullptr);
            logger().warn("[webrtc] pipeline warning: {}", err ? err->message : "unknown");
            if (err) g_error_free(err);
            break;
        }
        default:
            break;
    }
    return GST_BUS_DROP;
}

GstPadProbeReturn PeerCore::onUpstreamEvent(GstPad*, GstPadProbeInfo* info, gpointer self) {
    auto* core = static_cast<PeerCore*>(self);
    GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
    if (ev && gst_video_event_is_force_key_unit(ev)) {
        core->post([core] {
            if (core->track_ && core->track_->callbacks.onKeyframeRequest)
                core->track_->callbacks.onKeyframeRequest();
        });
        // appsrc has nothing to do with it; the engine's encoder answers.
        return GST_PAD_PROBE_DROP;
    }
    return GST_PAD_PROBE_OK;
}

// --- data channel signal plumbing ------------------------------------------------

struct ChannelSignalContext {
    std::weak_ptr<GstDataChannel> channel;
    std::weak_ptr<PeerCore> core;
};

template <typename F>
void postToChannel(gpointer data, F f) {
    auto* ctx = static_cast<ChannelSignalContext*>(data);
    auto core = ctx->core.lock();
    if (!core) return;
    std::weak_ptr<GstDataChannel> weak = ctx->channel;
    core->post([weak, f] {
        if (auto ch = weak.lock()) f(*ch);
    });
}

void GstDataChannel::connectSignals() {
    auto connect = [this](const char* signal, GCallback cb) {
        auto* ctx = new ChannelSignalContext{weak_from_this(), core_};
        gulong id = g_signal_connect_data(
            ch_, signal, cb, ctx,
            [](gpointer p, GClosure*) { delete static_cast<ChannelSignalContext*>(p); },
            GConnectFlags(0));
        std::lock_guard lk(mu_);
        handlers_.push_back(id);
    };
    connect("on-open", G_CALLBACK(+[](GObject*, gpointer d) {
                postToChannel(d, [](GstDataChannel& c) { c.deliverOpen(); });
            }));
    connect("on-close", G_CALLBACK(+[](GObject*, gpointer d) {
                postToChannel(d, [](GstDataChannel& c) { c.deliverClosed(); });
            }));
    connect("on-error", G_CALLBACK(+[](GObject*, GError* err, gpointer d) {
                std::string text = err ? err->message : "unknown";
                postToChannel(d, [text](GstDataChannel& c) { c.deliverError(text); });
            }));
    connect("on-message-string", G_CALLBACK(+[](GObject*, gchar* str, gpointer d) {
                auto ch = static_cast<ChannelSignalContext*>(d)->channel.lock();
                if (ch)
                    ch->receivePiece(true, reinterpret_cast<const uint8_t*>(str ? str : ""),
                                     str ? std::strlen(str) : 0);
            }));
    connect("on-message-data", G_CALLBACK(+[](GObject*, GBytes* bytes, gpointer d) {
                gsize n = 0;
                const auto* p =
                    bytes ? static_cast<const uint8_t*>(g_bytes_get_data(bytes, &n)) : nullptr;
                auto ch = static_cast<ChannelSignalContext*>(d)->channel.lock();
                if (ch) ch->receivePiece(false, p, n);
            }));
}

void GstDataChannel::receivePiece(bool text, const uint8_t* data, size_t size) {
    auto core = core_.lock();
    if (!core) return;
    std::lock_guard lk(inMu_);
    if (!assembler_) {
        gint id = -1;
        g_object_get(ch_, "id", &id, nullptr);
        streamId_ = id;
        tracker_ = core->tracker();
        assembler_.emplace(tracker_.get(), kSctpMaxMessageBytes);
    }
    Inbound m;
    m.text = text;
    uint64_t refused = 0;
    switch (assembler_->add(static_cast<uint16_t>(streamId_), data, size, m.bytes, refused)) {
        case DataChannelAssembler::Result::Hold:
            return;
        case DataChannelAssembler::Result::Refuse:
            logger().warn("[webrtc] {} DataChannel: message of {} bytes refused — over {} bytes",
                          label_, refused, kSctpMaxMessageBytes);
            return;
        case DataChannelAssembler::Result::Mismatch:
            if (mismatchLog_.shouldLog())
                logger().warn(
                    "[webrtc] {} DataChannel: {} pieces of {} bytes do not match the {}-byte "
                    "message the packets announced — dropped ({} so far)",
                    label_, assembler_->pieces(), refused, assembler_->announced(),
                    mismatchLog_.count());
            return;
        case DataChannelAssembler::Result::Deliver:
            break;
    }
    if (assembler_->skipped() != skippedSeen_) {
        skippedSeen_ = assembler_->skipped();
        if (mismatchLog_.shouldLog())
            logger().warn(
                "[webrtc] {} DataChannel: pieces went past {} announced message(s) — skipped them",
                label_, skippedSeen_);
    }
    while (!inbound_.empty() && (inbound_.size() >= kInboundQueueMessages ||
                                 inboundBytes_ + m.bytes.size() > kInboundQueueBytes)) {
        inboundBytes_ -= inbound_.front().bytes.size();
        inbound_.pop_front();
        ++inboundDropped_;
        if (dropLog_.shouldLog())
            logger().warn(
                "[webrtc] {} DataChannel: inbound queue full (cap {} messages / {} bytes) — "
                "dropped the oldest ({} dropped so far)",
                label_, kInboundQueueMessages, kInboundQueueBytes, inboundDropped_);
    }
    inboundBytes_ += m.bytes.size();
    inbound_.push_back(std::move(m));
    if (!pumpScheduled_) {
        pumpScheduled_ = true;
        schedulePump();
    }
}

void GstDataChannel::schedulePump() {
    auto core = core_.lock();
    if (!core) return;
    std::weak_ptr<GstDataChannel> weak = weak_from_this();
    core->post([weak] {
        if (auto ch = weak.lock()) ch->pump();
    });
}

void GstDataChannel::pump() {
    for (size_t i = 0; i < kInboundBatch; ++i) {
        Inbound m;
        {
            std::lock_guard lk(inMu_);
            if (inbound_.empty()) {
                pumpScheduled_ = false;
                return;
            }
            m = std::move(inbound_.front());
            inbound_.pop_front();
            inboundBytes_ -= m.bytes.size();
        }
        if (forcedClosed_) continue;
        try {
            if (m.text) {
                if (cb_.onText) cb_.onText(m.bytes);
            } else if (cb_.onBinary) {
                cb_.onBinary(reinterpret_cast<const uint8_t*>(m.bytes.data()), m.bytes.size());
            }
        } catch (const std::exception& e) {
            logger().error("[webrtc] {} DataChannel handler threw: {}", label_, e.what());
        } catch (...) {
            logger().error("[webrtc] {} DataChannel handler threw: unknown", label_);
        }
    }
    // Other events and channels get their turn between batches.
    schedulePump();
}

uint64_t GstDataChannel::maxMessageSize() const {
    auto core = core_.lock();
    return core ? core->sctpMaxMessageSize() : 0;
}

// --- public face -------------------------------------------------------------------

class GstPeerConnection final : public RtcPeerConnection {
  public:
    explicit GstPeerConnection(std::shared_ptr<PeerCore> core) : core_(std::move(core)) {}
    ~GstPeerConnection() override { core_->close(); }
    std::shared_ptr<RtcVideoTrack> addVideoTrack(const RtcVideoTrackInit& init,
                                                 RtcVideoTrackCallbacks callbacks) override {
        return core_->addVideoTrack(init, std::move(callbacks));
    }
    std::shared_ptr<RtcDataChannel> createDataChannel(const std::string& label,
                                                      const RtcDataChannelInit& init,
                                                      RtcDataChannelCallbacks callbacks) override {
        return core_->createDataChannel(label, init, std::move(callbacks));
    }
    std::optional<RtcDescription> localDescription() const override {
        return core_->localDescription();
    }
    void setRemoteDescription(const RtcDescription& d) override { core_->setRemoteDescription(d); }
    void addRemoteCandidate(const std::string& c, const std::string& mid) override {
        core_->addRemoteCandidate(c, mid);
    }
    std::optional<uint64_t> packetsReceived() const override { return core_->packetsReceived(); }
    void close() override { core_->close(); }

  private:
    std::shared_ptr<PeerCore> core_;
};

class WebrtcbinFactory final : public RtcFactory {
  public:
    std::shared_ptr<RtcPeerConnection> createPeerConnection(const RtcPeerConfig& config,
                                                            RtcPeerCallbacks callbacks) override {
        ensureGstInitialised();
        auto core = std::make_shared<PeerCore>(std::move(callbacks));
        core->build(config);
        return std::make_shared<GstPeerConnection>(std::move(core));
    }
};

}  // namespace

std::shared_ptr<RtcFactory> webrtcbinFactory() {
    static auto factory = std::make_shared<WebrtcbinFactory>();
    return factory;
}

}  // namespace kvd
