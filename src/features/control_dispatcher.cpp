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

void ControlDispatcher::setPolicy(Policy policy) {
    std::lock_guard<std::mutex> lock(policyMu_);
    policy_ = std::move(policy);
}

ControlDispatcher::Policy ControlDispatcher::policy() const {
    std::lock_guard<std::mutex> lock(policyMu_);
    return policy_;
}

void ControlDispatcher::setSessionConfigHooks(SessionConfigHooks hooks) {
    std::lock_guard<std::mutex> lock(policyMu_);
    configHooks_ = std::move(hooks);
}

namespace {

// The first reason the payload cannot be applied, or empty.
std::string sessionConfigError(const Json& p) {
    if (!p.is_object()) return "payload is not a JSON object";
    if (auto it = p.find("accessMode"); it != p.end()) {
        if (!it->is_string()) return "accessMode must be a string";
        const auto& m = it->get_ref<const std::string&>();
        if (m != "VIEW_ONLY" && m != "FULL_CONTROL")
            return "accessMode must be VIEW_ONLY or FULL_CONTROL";
    }
    if (auto it = p.find("allowClipboard"); it != p.end() && !it->is_boolean())
        return "allowClipboard must be a boolean";
    if (auto it = p.find("allowFileTransfer"); it != p.end() && !it->is_boolean())
        return "allowFileTransfer must be a boolean";
    if (auto it = p.find("recording"); it != p.end() && !it->is_object())
        return "recording must be an object";
    return {};
}

}  // namespace

void ControlDispatcher::applySessionConfig(const Json& payload) {
    SessionConfigHooks hooks;
    {
        std::lock_guard<std::mutex> lock(policyMu_);
        hooks = configHooks_;
    }
    const std::string error = sessionConfigError(payload);
    if (!error.empty()) {
        logger().warn("[config] REMOTE_SESSION_CONFIG rejected: {} — keeping last-known-good",
                      error);
        if (hooks.sendRelay)
            hooks.sendRelay("REMOTE_SESSION_CONFIG_ACK", Json{{"ok", false}, {"reason", error}});
        return;
    }
    Policy p = policy();
    if (auto mode = jsonString(payload, "accessMode")) {
        p.accessMode = *mode;
        if (hooks.accessModeChanged) hooks.accessModeChanged(*mode);
    }
    if (auto v = jsonBool(payload, "allowClipboard")) {
        p.allowClipboard = *v;
        if (hooks.clipboardPolicyChanged) hooks.clipboardPolicyChanged(*v);
        logger().info("[clipboard] IPC policy → allowsClipboard={}", *v);
    }
    if (auto v = jsonBool(payload, "allowFileTransfer")) {
        p.allowFileTransfer = *v;
        logger().info(
            "[file-transfer] IPC policy → allowsFileTransfer={} (effective at session start)", *v);
    }
    bool reconfigureRecorder = false;
    if (const Json* rec = jsonObject(payload, "recording")) {
        p.recordingEnabled = jsonBool(*rec, "enabled").value_or(true);
        p.tenantId = jsonStringOr(*rec, "tenantId", "standalone");
        p.uploadUrl = jsonStringOr(*rec, "uploadUrl", "");
        p.uploadToken = jsonStringOr(*rec, "uploadToken", "");
        const auto size = jsonInt(*rec, "maxSizeBytes").value_or(0);
        p.maxSizeBytes = size > 0 ? static_cast<uint64_t>(size) : 0;
        logger().info("[recording] IPC config received: enabled={} tenant={} uploadUrl={}",
                      p.recordingEnabled, p.tenantId,
                      p.uploadUrl.empty() ? std::string("(none)") : p.uploadUrl.substr(0, 60));
        reconfigureRecorder = !p.tenantId.empty();
    }
    if (auto v = jsonBool(payload, "emitStatus")) {
        p.emitStatus = *v;
        logger().info("[telemetry] IPC config → emitStatus={}", *v);
    }
    setPolicy(p);
    if (reconfigureRecorder && hooks.recordingReconfigure) hooks.recordingReconfigure(p);
    if (hooks.sendRelay) hooks.sendRelay("REMOTE_SESSION_CONFIG_ACK", Json{{"ok", true}});
}

void ControlDispatcher::setHandler(const std::string& type, Handler handler) {
    setTextHandler(type, [h = std::move(handler)](const Json& msg, const std::string&) { h(msg); });
}

void ControlDispatcher::setTextHandler(const std::string& type, TextHandler handler) {
    std::lock_guard<std::mutex> lock(mu_);
    handlers_[type] = std::move(handler);
}

void ControlDispatcher::sendReply(const Json& reply) const {
    if (send_) send_(reply);
}

void ControlDispatcher::dispatch(const std::string& text) {
    try {
        std::string error;
        const std::optional<Json> parsed = parseJson(text, error);
        if (!parsed) {
            logger().warn("control JSON parse error: {}", error);
            return;
        }
        const Json& msg = *parsed;
        std::string type;
        if (msg.is_object()) {
            auto it = msg.find("type");
            if (it != msg.end()) type = it->get<std::string>();
        }
        logger().info("[control] recv type={} bytes={}", type, text.size());
        TextHandler h;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it = handlers_.find(type);
            if (it == handlers_.end()) return;
            h = it->second;
        }
        // A non-object message has no fields; handlers read them with defaults.
        // Never a copy of the document: copying recurses through its depth.
        static const Json kNoFields = Json::object();
        h(msg.is_object() ? msg : kNoFields, text);
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
