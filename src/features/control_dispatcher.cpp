#include "features/control_dispatcher.h"

#include "common/log.h"
#include "encode/quality_controller.h"

namespace kvd {

ControlDispatcher::ControlDispatcher(Flags flags, SendJson send)
    : flags_(flags), send_(std::move(send)) {
    setHandler("viewer_config", [this](const Json& m) { viewerConfig(m); });
    setHandler("remote_stop_session", [this](const Json& m) {
        logger().info("[reboot] REMOTE_STOP_SESSION reason={}",
                      m.value("reason", std::string("user_ended")));
        if (flags_.running) flags_.running->store(false);
    });
}

void ControlDispatcher::setHandler(const std::string& type, Handler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    handlers_[type] = std::move(handler);
}

void ControlDispatcher::sendReply(const Json& reply) const {
    if (send_) send_(reply);
}

void ControlDispatcher::dispatch(const std::string& text) {
    try {
        const Json msg = Json::parse(text);
        std::string type;
        if (msg.is_object()) {
            auto it = msg.find("type");
            if (it != msg.end()) type = it->get<std::string>();
        }
        logger().info("[control] recv type={} bytes={}", type, text.size());
        Handler h;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it = handlers_.find(type);
            if (it == handlers_.end()) return;
            h = it->second;
        }
        // A non-object message has no fields; handlers read them with defaults.
        h(msg.is_object() ? msg : Json::object());
    } catch (const std::exception& e) {
        logger().warn("control JSON parse error: {}", e.what());
    }
}

void ControlDispatcher::viewerConfig(const Json& m) {
    if (m.contains("cursorOverlay")) {
        const bool v = m.at("cursorOverlay").get<bool>();
        if (flags_.cursorOverlay) flags_.cursorOverlay->store(v);
        logger().info("[cursor] overlay mode = {}", v);
    }
    if (m.contains("inputChannel")) {
        const bool v = m.at("inputChannel").get<bool>();
        if (flags_.cursorOnInputChannel) flags_.cursorOnInputChannel->store(v);
        logger().info("[input] viewer supports dedicated input channel = {}", v);
    }
    if (m.contains("videoTransport")) {
        const std::string t = m.value("videoTransport", std::string("rtp"));
        const bool dc = t == "webcodecs";
        if (flags_.videoOverDataChannel) flags_.videoOverDataChannel->store(dc);
        logger().info("[video] viewer transport = {} (skip RTP double-send = {})", t, dc);
    }
}

std::string ControlDispatcher::degradationName(int level) {
    if (level < 0 || level > 255) return "unknown";
    return degradationLevelName(static_cast<DegradationLevel>(level));
}

void ControlDispatcher::reportDegradation(int level) {
    Json j;
    j["level"] = degradationName(level);
    j["type"] = "agent_stats";
    j["v"] = 1;
    sendReply(j);
}

}  // namespace kvd
