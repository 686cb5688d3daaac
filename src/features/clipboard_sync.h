#pragma once
// Keeps the host's clipboard and the viewer's in step over the control
// channel: the policy turns local changes into outbound bodies and writes the
// viewer's bodies to the host clipboard; the listener reports local changes,
// minus the engine's own echo and repeats of the last text.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clipboard.h"

namespace kvd {

struct ClipboardPayload {
    enum Format : int { Text = 0, Image = 1 };
    int format = Text;
    std::vector<uint8_t> bytes;  // text: UTF-8 without terminator
};

struct ClipboardConfig {
    bool enabled = true;
    uint64_t inlineLimit = 65536;
    uint64_t maxBytes = 10485760;
};

// The string value of "key" read from raw JSON text (not a parsed document);
// nullopt when absent or unterminated.
std::optional<std::string> extractJsonStringField(std::string_view text, std::string_view key);

// Base64 that skips '=', space, CR and LF anywhere; any other character
// outside the standard alphabet fails.
std::optional<std::vector<uint8_t>> decodeClipboardBase64(std::string_view text);

class ClipboardPolicy {
  public:
    enum Outbound : int { Nothing = 0, Built = 1, TooLarge = 2, Empty = 3 };

    // access may be null (no desktop): every write then fails.
    explicit ClipboardPolicy(ClipboardConfig config, platform::ClipboardAccess* access = nullptr);

    void setConfig(ClipboardConfig config);
    void setEnabled(bool enabled);
    ClipboardConfig config() const;

    int buildOutbound(const ClipboardPayload& payload, std::string& body) const;
    bool parseInbound(std::string_view messageText, ClipboardPayload& payload, bool& isClear) const;
    bool setClipboardText(const ClipboardPayload& payload);
    bool clearClipboard();

  private:
    mutable std::mutex mu_;
    ClipboardConfig config_;
    platform::ClipboardAccess* access_;
};

class ClipboardListener {
  public:
    using OnLocalChange = std::function<void(const std::string& utf8, bool)>;

    // access may be null: start() then fails.
    explicit ClipboardListener(platform::ClipboardAccess* access, size_t readLimit = 10485760);
    ~ClipboardListener();
    ClipboardListener(const ClipboardListener&) = delete;
    ClipboardListener& operator=(const ClipboardListener&) = delete;

    bool start(OnLocalChange onLocalChange);
    void stop();
    void suppressNextUpdate() { suppress_ = true; }
    bool running() const { return running_; }

    // One change of the local clipboard (the access object's thread).
    void onClipboardUpdate();

  private:
    platform::ClipboardAccess* access_;
    const size_t readLimit_;
    std::atomic<bool> running_{false};
    std::atomic<bool> suppress_{false};
    std::mutex mu_;  // guards lastText_
    std::string lastText_;
    OnLocalChange onLocalChange_;
};

// The engine's onLocalChange: build the body, send it when the control
// channel is open, log the outcome.
void forwardLocalClipboardChange(const ClipboardPolicy& policy, const std::string& text,
                                 bool controlOpen,
                                 const std::function<void(const std::string&)>& sendControl);

// The dispatcher's "clipboard_set"/"clipboard_clear" path.
void handleInboundClipboard(ClipboardPolicy& policy, ClipboardListener* listener,
                            std::string_view type, std::string_view messageText);

}  // namespace kvd
