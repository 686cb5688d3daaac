#pragma once
// The host's text clipboard. One object owns a private connection to the
// desktop and a thread of its own that reports changes of the clipboard and,
// while the engine owns the clipboard, hands its text to whoever asks.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kvd::platform {

class ClipboardAccess {
  public:
    virtual ~ClipboardAccess() = default;

    // Starts the clipboard thread; onChange runs on it after every change of
    // the clipboard's owner or contents (the engine's own writes included).
    // Waits up to about 500 ms for the thread to be ready; false when it is
    // not (the thread is then gone).
    virtual bool start(std::function<void()> onChange) = 0;
    // Ends the thread and gives up ownership; idempotent.
    virtual void stop() = 0;
    // Opaque id of the thread's window, for log lines.
    virtual uint64_t windowId() const = 0;

    // The clipboard's text as UTF-8; nullopt when it holds no text, the owner
    // does not answer, or the text is longer than maxBytes.
    virtual std::optional<std::string> readText(size_t maxBytes) = 0;
    // Makes the engine the clipboard's owner with this text (needs start()).
    virtual bool writeText(const std::string& utf8) = 0;
    // Empties the clipboard: nobody owns it afterwards.
    virtual bool clear() = 0;
};

// Null when no desktop can be reached (no display, terminal-only host).
std::unique_ptr<ClipboardAccess> createClipboardAccess(const std::string& display = {});

// Empties the desktop's clipboard without an access object (end-of-session
// clean-up). False with an errno-style code when that is impossible.
bool clearDesktopClipboard(int& error);

}  // namespace kvd::platform
