// Runs the real WebRTC stack (webrtcbin adapter, PeerConnectionManager,
// VideoSender) as the engine would, streaming H.264 access units from an
// Annex B file, for the system tests.
//
//   kvdtool_webrtc_peer --h264 FILE [--fps 30] [--log FILE] [--bitrate KBPS]
//                       [--stun URL]... [--turn URL USER PASS]... [--no-rebuild]
//
// Signaling is line JSON on stdin/stdout: the messages of the signaling
// catalogue unchanged in both directions. Besides those, stdout carries
// {"type":"tool_event","event":...} lines, and stdin accepts
// {"type":"tool_cmd","cmd":"quit"|"rebuild"|"send",...}.
// Every message received on a data channel is echoed back on it (binary
// messages of the control channel come back on the input channel, where the
// engine would route them).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/codec.h"
#include "common/json_util.h"
#include "common/log.h"
#include "signaling/signaling.h"
#include "webrtc/peer_connection_manager.h"
#include "webrtc/video_sender.h"

namespace {

using kvd::Json;

std::mutex gOut;

void writeLine(const Json& j) {
    std::lock_guard lk(gOut);
    std::string s = kvd::dumpJson(j);
    s += '\n';
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fflush(stdout);
}

void event(const std::string& name, Json extra = Json::object()) {
    extra["type"] = "tool_event";
    extra["event"] = name;
    writeLine(extra);
}

// ISignalingClient over stdin/stdout.
class StdioSignaling final : public kvd::ISignalingClient {
  public:
    bool connect() override { return true; }
    void disconnect() override {}
    void send(const Json& msg) override { writeLine(msg); }
    void poll() override {
        std::deque<Json> batch;
        {
            std::lock_guard lk(mu_);
            batch.swap(queue_);
        }
        for (auto& m : batch) {
            const std::string type = kvd::jsonStringOr(m, "type", "");
            SignalingHandlerCopy h;
            {
                std::lock_guard lk(mu_);
                auto it = handlers_.find(type);
                if (it != handlers_.end()) h = it->second;
            }
            if (h)
                h(m);
            else
                kvd::logger().warn("No handler for signaling message type: {}", type);
        }
    }
    void on(const std::string& type, kvd::SignalingHandler handler) override {
        std::lock_guard lk(mu_);
        handlers_[type] = std::move(handler);
    }
    bool isConnected() const override { return true; }
    void push(Json m) {
        std::lock_guard lk(mu_);
        queue_.push_back(std::move(m));
    }

  private:
    using SignalingHandlerCopy = kvd::SignalingHandler;
    std::mutex mu_;
    std::deque<Json> queue_;
    std::map<std::string, kvd::SignalingHandler> handlers_;
};

struct AccessUnit {
    std::vector<uint8_t> data;
    bool keyframe = false;
};

// Splits an Annex B stream into access units: a new unit starts at an AUD,
// SPS, PPS or SEI after a slice, or at a slice whose first_mb_in_slice is 0
// after a slice.
std::vector<AccessUnit> splitAccessUnits(const std::vector<uint8_t>& s) {
    std::vector<std::pair<size_t, size_t>> nals;  // start-code offset, payload offset
    for (size_t i = 0; i + 3 <= s.size();) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            const size_t sc = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
            nals.emplace_back(sc, i + 3);
            i += 3;
        } else {
            ++i;
        }
    }
    std::vector<AccessUnit> units;
    AccessUnit cur;
    bool hasSlice = false;
    for (size_t k = 0; k < nals.size(); ++k) {
        const size_t begin = nals[k].first;
        const size_t end = k + 1 < nals.size() ? nals[k + 1].first : s.size();
        const size_t payload = nals[k].second;
        if (payload >= end) continue;
        const int type = s[payload] & 0x1f;
        const bool slice = type == 1 || type == 5;
        const bool firstMb = slice && payload + 1 < end && (s[payload + 1] & 0x80);
        if (hasSlice && ((type >= 6 && type <= 9) || firstMb)) {
            units.push_back(std::move(cur));
            cur = {};
            hasSlice = false;
        }
        cur.data.insert(cur.data.end(), s.begin() + static_cast<std::ptrdiff_t>(begin),
                        s.begin() + static_cast<std::ptrdiff_t>(end));
        if (type == 5) cur.keyframe = true;
        if (slice) hasSlice = true;
    }
    if (!cur.data.empty()) units.push_back(std::move(cur));
    return units;
}

}  // namespace

int main(int argc, char** argv) {
    std::string h264Path, logPath;
    int fps = 30;
    uint32_t bitrate = 2000;
    bool rebuildOnDisconnect = true;
    std::vector<std::string> stun;
    std::vector<kvd::IceServerEntry> turn;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--h264")
            h264Path = next();
        else if (a == "--fps")
            fps = std::max(1, std::atoi(next().c_str()));
        else if (a == "--log")
            logPath = next();
        else if (a == "--bitrate")
            bitrate = static_cast<uint32_t>(std::atoi(next().c_str()));
        else if (a == "--stun")
            stun.push_back(next());
        else if (a == "--turn") {
            kvd::IceServerEntry e;
            e.url = next();
            e.username = next();
            e.credential = next();
            turn.push_back(e);
        } else if (a == "--no-rebuild")
            rebuildOnDisconnect = false;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    kvd::setupLogging("webrtc-tool", {logPath.empty() ? "/dev/null" : logPath},
                      std::string("debug"));

    std::vector<AccessUnit> units;
    if (!h264Path.empty()) {
        std::ifstream f(h264Path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                   std::istreambuf_iterator<char>());
        units = splitAccessUnits(bytes);
    }
    event("ready", {{"accessUnits", units.size()}});

    StdioSignaling signaling;
    kvd::PeerConnectionManager pcm(kvd::webrtcbinFactory());
    pcm.signaling = &signaling;
    pcm.videoBitrateKbps = bitrate;
    pcm.setIceServers(stun, turn);

    std::atomic<bool> running{true};
    std::atomic<bool> rebuildRequested{false};
    std::atomic<bool> keyframeRequested{false};
    std::atomic<bool> skipRtp{false};
    std::atomic<uint64_t> generation{0};

    pcm.onConnected = [] { event("connected"); };
    pcm.onDisconnected = [&] {
        event("disconnected");
        if (rebuildOnDisconnect) rebuildRequested = true;
    };
    pcm.onVideoTrackOpen = [] { event("track_open"); };
    pcm.onKeyframeRequest = [&] {
        keyframeRequested = true;
        event("keyframe_request");
    };
    pcm.onQualityRequest = [](int h, int f) { event("quality", {{"maxHeight", h}, {"fps", f}}); };
    pcm.onControlText = [&](const std::string& text) {
        event("message", {{"channel", "control"}, {"text", text}});
        if (auto j = kvd::parseJson(text);
            j && kvd::jsonStringOr(*j, "type", "") == "viewer_config") {
            const std::string transport = kvd::jsonStringOr(*j, "videoTransport", "rtp");
            skipRtp = transport == "webcodecs";
            event("viewer_config", {{"videoTransport", transport}});
        }
        pcm.sendControlJson(kvd::dumpJson(Json{{"type", "echo"}, {"data", text}}));
    };
    pcm.onChatText = [&](const std::string& text) {
        event("message", {{"channel", "chat"}, {"text", text}});
        pcm.sendChatJson(kvd::dumpJson(Json{{"type", "echo"}, {"data", text}}));
    };
    pcm.onInputBinary = [&](const uint8_t* d, size_t n) {
        event("message", {{"channel", "input"}, {"base64", kvd::base64Encode(d, n)}});
        pcm.sendInputBinary(d, n);
    };
    pcm.onFileBinary = [&](const uint8_t* d, size_t n) {
        event("message", {{"channel", "file"}, {"base64", kvd::base64Encode(d, n)}});
        pcm.sendFileBinary(d, n);
    };

    if (!pcm.initialize()) return 1;
    pcm.registerPeerJoined();

    std::thread reader([&] {
        std::string line;
        while (running && std::getline(std::cin, line)) {
            auto j = kvd::parseJson(line);
            if (!j || !j->is_object()) continue;
            if (kvd::jsonStringOr(*j, "type", "") != "tool_cmd") {
                signaling.push(std::move(*j));
                continue;
            }
            const std::string cmd = kvd::jsonStringOr(*j, "cmd", "");
            if (cmd == "quit") break;
            if (cmd == "rebuild") rebuildRequested = true;
            if (cmd == "send") {
                const std::string ch = kvd::jsonStringOr(*j, "channel", "");
                const std::string text = kvd::jsonStringOr(*j, "text", "");
                if (ch == "control") pcm.sendControlJson(text);
                if (ch == "chat") pcm.sendChatJson(text);
            }
        }
        running = false;
    });

    // The signaling thread of the engine: handlers run here.
    std::thread signalingThread([&] {
        while (running) {
            signaling.poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    // Session loop + frame pipeline in one: rebuild after a departure, and
    // pace access units at the frame rate once a sender exists.
    std::unique_ptr<kvd::VideoSender> sender;
    size_t next = 0;
    uint64_t sent = 0, senderBuilds = 0;
    const auto period = std::chrono::microseconds(1000000 / fps);
    auto due = std::chrono::steady_clock::now();
    while (running) {
        if (rebuildRequested.exchange(false)) {
            sender.reset();
            skipRtp = false;
            pcm.reset();
            if (!pcm.initialize()) break;
            pcm.registerPeerJoined();
            ++generation;
            event("rebuilt", {{"generation", generation.load()}});
        }
        if (!sender) {
            auto track = pcm.videoTrack();
            auto channel = pcm.videoChannel();
            if (track && track->isOpen() && channel) {
                sender = std::make_unique<kvd::VideoSender>(track, channel);
                sender->skipRtpDoubleSend = &skipRtp;
                next = 0;  // start on the keyframe at the head of the file
                ++senderBuilds;
            }
        }
        if (sender && !units.empty()) {
            if (keyframeRequested.exchange(false)) {
                // Jump to the next keyframe, as an encoder would produce one.
                for (size_t k = 1; k <= units.size(); ++k) {
                    if (units[(next + k) % units.size()].keyframe) {
                        next = (next + k) % units.size();
                        break;
                    }
                }
            }
            kvd::EncodedFrame f;
            f.data = units[next].data;
            f.keyframe = units[next].keyframe;
            f.timestampUs = kvd::steadyNowUs();
            sender->sendFrame(f);
            next = (next + 1) % units.size();
            if (++sent % 30 == 0)
                event("frames", {{"sent", sender->framesSent()},
                                 {"bytes", sender->bytesSent()},
                                 {"buffered", sender->bufferedAmount()}});
        }
        due += period;
        std::this_thread::sleep_until(due);
        if (std::chrono::steady_clock::now() - due > std::chrono::seconds(1))
            due = std::chrono::steady_clock::now();
    }
    running = false;
    signalingThread.join();
    sender.reset();
    pcm.reset();
    event("bye", {{"framesSent", sent}, {"senders", senderBuilds}});
    // std::getline may still block on stdin; the process ends regardless.
    reader.detach();
    kvd::logger().flush();
    std::fflush(stdout);
    std::_Exit(0);
}
