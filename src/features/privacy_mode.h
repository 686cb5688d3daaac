#pragma once
// Privacy mode: the person at the host sees a dark screen (or a notice) while
// the technician keeps seeing the real desktop; optionally local input is
// blocked. LocalInputBlock blocks local input without the rest. Both share
// one counted blocker, so one giving back its block never undoes the other's.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/display_power.h"
#include "platform/local_input_blocker.h"

namespace kvd {

struct PrivacyConfig {
    std::string overlayText =
        "Remote maintenance in progress. Your technician is working on your computer.";
    bool blockLocalInput = false;
    bool dimMonitor = false;  // accepted and kept; changes nothing on screen
};

// The platform's input block, taken while at least one holder wants it.
class SharedInputBlocker {
  public:
    explicit SharedInputBlocker(std::unique_ptr<platform::LocalInputBlocker> impl)
        : impl_(std::move(impl)) {}
    // One more holder; true when input is blocked afterwards (else `error`).
    bool acquire(int& error);
    // One holder fewer; the last one gives the devices back.
    void releaseOne();
    int holders() const;

  private:
    mutable std::mutex mu_;
    std::unique_ptr<platform::LocalInputBlocker> impl_;
    int holders_ = 0;
};

// The notice shown where the physical screens cannot be put to sleep. The
// technician sees it too, as it is part of the desktop.
class PrivacyNotice {
  public:
    virtual ~PrivacyNotice() = default;
    // Covers the whole virtual screen with black and the text; false with
    // the reason when no window could be made.
    virtual bool show(const std::string& text, std::string& error) = 0;
    virtual void setText(const std::string& text) = 0;
    // Lets the window handle its events (display changes, exposure) for up
    // to `ms` milliseconds.
    virtual void pump(int ms) = 0;
};

class PrivacyMode {
  public:
    using EventCallback = std::function<void(const std::string& event, int64_t epochMs)>;
    struct Deps {
        std::function<std::unique_ptr<platform::DisplayPower>()> makeDisplayPower;
        std::function<std::unique_ptr<PrivacyNotice>()> makeNotice;
        SharedInputBlocker* inputBlocker = nullptr;
        // False in view-only sessions: they may not block local input.
        std::function<bool()> inputBlockAllowed;
        // How often sleeping screens are put back to sleep.
        int reassertMs = 500;
    };

    explicit PrivacyMode(Deps deps);
    ~PrivacyMode();
    PrivacyMode(const PrivacyMode&) = delete;
    PrivacyMode& operator=(const PrivacyMode&) = delete;

    // One "privacy_mode" control message (the whole text).
    bool updateFromJson(std::string_view payload);
    void enable(PrivacyConfig config);
    void disable();
    void setEventCallback(EventCallback cb);
    void shutdown();

    // Gives back a local input block held by privacy mode (the session became
    // view-only); the mode itself stays on.
    void dropInputBlock();

    bool isActive() const { return active_.load(); }
    bool isInputBlocked() const { return inputBlocked_.load(); }
    PrivacyConfig config() const;
    enum class Screen { None, Asleep, Notice };
    // What the host's screen currently shows for privacy mode.
    Screen screen() const { return screen_.load(); }

  private:
    void emit(const char* event);
    bool blockInput(int& error);
    void releaseInput();
    void workerMain();

    Deps deps_;
    mutable std::mutex configMu_;
    PrivacyConfig config_;
    EventCallback onEvent_;
    std::atomic<bool> active_{false};
    std::atomic<bool> inputBlocked_{false};
    std::atomic<bool> transitioning_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<Screen> screen_{Screen::None};
    std::mutex transitionMu_;
    std::mutex wakeMu_;
    std::condition_variable wakeCv_;
    std::thread worker_;
};

// Blocks local input without privacy mode's screen ("input_block").
class LocalInputBlock {
  public:
    explicit LocalInputBlock(SharedInputBlocker& blocker) : blocker_(blocker) {}
    ~LocalInputBlock() { release(); }
    bool block();
    void release();
    bool isBlocked() const { return blocked_.load(); }

  private:
    SharedInputBlocker& blocker_;
    std::mutex mu_;
    std::atomic<bool> blocked_{false};
};

// Cuts UTF-8 text to at most `maxBytes` without splitting a character.
std::string cutUtf8(std::string_view text, size_t maxBytes);

}  // namespace kvd
