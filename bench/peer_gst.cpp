// The pipeline a user could assemble instead of the engine, for the stream
// benchmark: ximagesrc ! videoconvert ! x264enc (zero latency, ultrafast) !
// rtph264pay ! webrtcbin. Signaling is JSON lines: stdin takes the signaling
// server's messages ("peer_joined", "answer", "ice"), stdout carries "offer"
// and "ice"; tests/system/browser/stream_timing.js relays them to the development server.
//
//   bench_peer_gst --display :N
#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

GstElement* gWebrtc = nullptr;
GMainLoop* gLoop = nullptr;
std::mutex gOutMu;
std::string gOffer;  // the offer text once made

void emit(const Json& j) {
    std::lock_guard<std::mutex> lk(gOutMu);
    std::cout << j.dump() << std::endl;
}

void onOfferCreated(GstPromise* promise, gpointer) {
    const GstStructure* reply = gst_promise_get_reply(promise);
    GstWebRTCSessionDescription* offer = nullptr;
    gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
    gst_promise_unref(promise);
    if (!offer) {
        std::cerr << "[peer] no offer\n";
        return;
    }
    g_signal_emit_by_name(gWebrtc, "set-local-description", offer, nullptr);
    gchar* text = gst_sdp_message_as_text(offer->sdp);
    gOffer = text;
    g_free(text);
    gst_webrtc_session_description_free(offer);
    emit({{"type", "offer"}, {"sdp", gOffer}});
}

void onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer) {
    emit({{"type", "ice"}, {"candidate", candidate}, {"sdpMLineIndex", mline}});
}

// Runs on the main loop: one message from the signaling server.
gboolean handleLine(gpointer data) {
    std::unique_ptr<std::string> line(static_cast<std::string*>(data));
    Json m;
    try {
        m = Json::parse(*line);
    } catch (const std::exception&) {
        return G_SOURCE_REMOVE;
    }
    const std::string type = m.value("type", "");
    if (type == "peer_joined") {
        if (!gOffer.empty()) {
            emit({{"type", "offer"}, {"sdp", gOffer}});
        } else {
            GstPromise* p = gst_promise_new_with_change_func(onOfferCreated, nullptr, nullptr);
            g_signal_emit_by_name(gWebrtc, "create-offer", nullptr, p);
        }
    } else if (type == "answer" && m.contains("sdp") && m["sdp"].is_string()) {
        GstSDPMessage* sdp = nullptr;
        gst_sdp_message_new_from_text(m["sdp"].get<std::string>().c_str(), &sdp);
        if (sdp) {
            GstWebRTCSessionDescription* answer =
                gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
            g_signal_emit_by_name(gWebrtc, "set-remote-description", answer, nullptr);
            gst_webrtc_session_description_free(answer);
        }
    } else if (type == "ice" && m.contains("candidate") && m["candidate"].is_string()) {
        const guint mline = m.value("sdpMLineIndex", 0u);
        g_signal_emit_by_name(gWebrtc, "add-ice-candidate", mline,
                              m["candidate"].get<std::string>().c_str());
    }
    return G_SOURCE_REMOVE;
}

gboolean quit(gpointer) {
    g_main_loop_quit(gLoop);
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    std::string display = ":0";
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::string(argv[i]) == "--display") display = argv[i + 1];
    gst_init(&argc, &argv);
    const std::string desc =
        "ximagesrc display-name=" + display +
        " use-damage=false show-pointer=false ! video/x-raw,framerate=30/1 ! videoconvert ! "
        "x264enc tune=zerolatency speed-preset=ultrafast ! "
        "video/x-h264,profile=constrained-baseline ! rtph264pay config-interval=-1 ! "
        "application/x-rtp,media=video,encoding-name=H264,payload=96 ! "
        "webrtcbin name=wb bundle-policy=max-bundle";
    GError* err = nullptr;
    GstElement* pipe = gst_parse_launch(desc.c_str(), &err);
    if (!pipe) {
        std::cerr << "[peer] pipeline: " << (err ? err->message : "?") << "\n";
        return 1;
    }
    gWebrtc = gst_bin_get_by_name(GST_BIN(pipe), "wb");
    g_signal_connect(gWebrtc, "on-ice-candidate", G_CALLBACK(onIceCandidate), nullptr);
    gLoop = g_main_loop_new(nullptr, FALSE);
    if (gst_element_set_state(pipe, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        std::cerr << "[peer] cannot start the pipeline\n";
        return 1;
    }
    emit({{"type", "ready"}});
    std::thread reader([] {
        std::string line;
        while (std::getline(std::cin, line)) g_idle_add(handleLine, new std::string(line));
        g_idle_add(quit, nullptr);
    });
    g_main_loop_run(gLoop);
    gst_element_set_state(pipe, GST_STATE_NULL);
    gst_object_unref(gWebrtc);
    gst_object_unref(pipe);
    reader.detach();
    return 0;
}
