#include "features/clipboard_sync.h"

#include "common/codec.h"
#include "common/json_util.h"
#include "common/log.h"

namespace kvd {

std::optional<std::string> extractJsonStringField(std::string_view text, std::string_view key) {
    const std::string quoted = "\"" + std::string(key) + "\"";
    const size_t k = text.find(quoted);
    if (k == std::string_view::npos) return std::nullopt;
    const size_t colon = text.find(':', k + quoted.size());
    if (colon == std::string_view::npos) return std::nullopt;
    const size_t open = text.find('"', colon + 1);
    if (open == std::string_view::npos) return std::nullopt;
    std::string out;
    for (size_t i = open + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') return out;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size()) break;
        switch (text[i]) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            default:
                out += text[i];  // \" \\ and any other escaped character
        }
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> decodeClipboardBase64(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=' || c == ' ' || c == '\r' || c == '\n') continue;
        const int v = base64Value(c);
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

ClipboardPolicy::ClipboardPolicy(ClipboardConfig config, platform::ClipboardAccess* access)
    : config_(config), access_(access) {}

void ClipboardPolicy::setConfig(ClipboardConfig config) {
    std::lock_guard<std::mutex> lock(mu_);
    config_ = config;
}

void ClipboardPolicy::setEnabled(bool enabled) {
    std::lock_guard<std::mutex> lock(mu_);
    config_.enabled = enabled;
}

ClipboardConfig ClipboardPolicy::config() const {
    std::lock_guard<std::mutex> lock(mu_);
    return config_;
}

int ClipboardPolicy::buildOutbound(const ClipboardPayload& payload, std::string& body) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (!config_.enabled) return Nothing;
    const uint64_t size = payload.bytes.size();
    if (size == 0) {
        body = R"({"type":"clipboard_clear","v":1})";
        return Empty;
    }
    if (size > config_.maxBytes) return Nothing;
    if (size >= config_.inlineLimit) return TooLarge;
    const char* format = payload.format == ClipboardPayload::Image ? "image/png" : "text/plain";
    body = R"({"type":"clipboard_set","v":1,"format":")" + escapeJsonString(format) +
           R"(","size":)" + std::to_string(size) + R"(,"data":")" +
           escapeJsonString(base64Encode(payload.bytes.data(), payload.bytes.size())) + "\"}";
    return Built;
}

bool ClipboardPolicy::parseInbound(std::string_view messageText, ClipboardPayload& payload,
                                   bool& isClear) const {
    uint64_t maxBytes = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!config_.enabled) return false;
        maxBytes = config_.maxBytes;
    }
    isClear = false;
    const auto type = extractJsonStringField(messageText, "type");
    if (type == "clipboard_clear") {
        isClear = true;
        payload.format = ClipboardPayload::Text;
        payload.bytes.clear();
        return true;
    }
    if (type != "clipboard_set") return false;
    const auto format = extractJsonStringField(messageText, "format");
    payload.format = format == "image/png" ? ClipboardPayload::Image : ClipboardPayload::Text;
    const auto data = extractJsonStringField(messageText, "data");
    if (!data) return false;
    uint64_t estimate = data->size() / 4 * 3;
    for (size_t i = 0; i < 2 && i < data->size(); ++i) {
        if ((*data)[data->size() - 1 - i] == '=' && estimate > 0) --estimate;
    }
    if (estimate > maxBytes) return false;
    auto decoded = decodeClipboardBase64(*data);
    if (!decoded || decoded->size() > maxBytes) return false;
    payload.bytes = std::move(*decoded);
    return true;
}

bool ClipboardPolicy::setClipboardText(const ClipboardPayload& payload) {
    if (payload.format == ClipboardPayload::Image || !access_) return false;
    // An empty text leaves the clipboard emptied, as an empty conversion does.
    if (payload.bytes.empty()) {
        access_->clear();
        return false;
    }
    return access_->writeText(std::string(payload.bytes.begin(), payload.bytes.end()));
}

bool ClipboardPolicy::clearClipboard() {
    return access_ && access_->clear();
}

ClipboardListener::ClipboardListener(platform::ClipboardAccess* access, size_t readLimit)
    : access_(access), readLimit_(readLimit) {}

ClipboardListener::~ClipboardListener() {
    stop();
}

bool ClipboardListener::start(OnLocalChange onLocalChange) {
    if (running_) return false;
    onLocalChange_ = std::move(onLocalChange);
    running_ = true;
    if (!access_ || !access_->start([this] { onClipboardUpdate(); })) {
        logger().warn("[clipboard] listener thread failed to create window");
        running_ = false;
        return false;
    }
    logger().info("[clipboard] listener started hwnd={}", access_->windowId());
    return true;
}

void ClipboardListener::stop() {
    if (!running_.exchange(false)) return;
    if (access_) access_->stop();
    logger().info("[clipboard] listener stopped");
}

void ClipboardListener::onClipboardUpdate() {
    try {
        if (suppress_.exchange(false)) {
            logger().debug("[clipboard] suppressed local echo");
            return;
        }
        if (!access_) return;
        const auto text = access_->readText(readLimit_);
        if (!text || text->empty()) return;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (*text == lastText_) return;
            lastText_ = *text;
        }
        if (onLocalChange_) onLocalChange_(*text, false);
    } catch (const std::exception& e) {
        logger().warn("[clipboard] local change failed: {}", e.what());
    }
}

void forwardLocalClipboardChange(const ClipboardPolicy& policy, const std::string& text,
                                 bool controlOpen,
                                 const std::function<void(const std::string&)>& sendControl) {
    if (!controlOpen) return;
    ClipboardPayload payload;
    payload.bytes.assign(text.begin(), text.end());
    std::string body;
    switch (policy.buildOutbound(payload, body)) {
        case ClipboardPolicy::Built:
            sendControl(body);
            logger().info("[clipboard] local change -> viewer ({} bytes)", text.size());
            break;
        case ClipboardPolicy::TooLarge:
            logger().warn("[clipboard] oversized payload ({} bytes) — drop (file route not wired)",
                          text.size());
            break;
        case ClipboardPolicy::Nothing:
            logger().warn("[clipboard] policy rejected local change ({} bytes)", text.size());
            break;
        default:
            break;
    }
}

void handleInboundClipboard(ClipboardPolicy& policy, ClipboardListener* listener,
                            std::string_view type, std::string_view messageText) {
    ClipboardPayload payload;
    bool isClear = false;
    if (!policy.parseInbound(messageText, payload, isClear)) {
        logger().warn("[clipboard] parseInbound failed for type={}", type);
        return;
    }
    if (listener) listener->suppressNextUpdate();
    if (isClear) {
        policy.clearClipboard();
        logger().info("[clipboard] cleared from viewer");
        return;
    }
    const bool ok = policy.setClipboardText(payload);
    logger().info("[clipboard] set from viewer ({} bytes) ok={}", payload.bytes.size(), ok);
}

}  // namespace kvd
