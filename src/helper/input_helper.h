#pragma once
// Input helper mode: the SYSTEM-level instance beside a session's engine. It
// serves the input pipe (one authenticated engine at a time), injects the
// engine's commands on the desktop that has the input, runs the shared-memory
// producers while the secure desktop is shown (plus a short bridge after it
// closes) and exits on its own after 60 s without an engine or a capture.
//
// Displays on X11: the main display is `mainDisplay` (empty: $DISPLAY); the
// root property _KVD_INPUT_DESKTOP on it names the input desktop ("Default"
// when absent). While it names a secure desktop, input goes to and frames come
// from `secureDisplay` (empty: $KVD_SECURE_DISPLAY; when that is unset too the
// secure desktop lives on the main display).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/clock.h"
#include "input/input_injector.h"
#include "platform/local_pipe.h"

namespace kvd {

// One shared-memory frame producer as the helper drives it.
class ProducerControl {
  public:
    virtual ~ProducerControl() = default;
    // Starts producing frames of `displayName` for the session; true when it
    // runs afterwards (also when it already ran).
    virtual bool start(const std::string& displayName, const std::string& sessionId) = 0;
    virtual void stop() = 0;
    virtual bool running() = 0;
};

struct InputHelperOptions {
    std::string pipeName;  // "inputPipeName"; empty: derived from the session id
    std::string sessionId;
    std::string token;  // KELVANDRUM_INPUT_PIPE_TOKEN
    bool shmV2 = false;
    bool transitionBridge = false;
    std::string mainDisplay;
    std::string secureDisplay;
};

// Replaceable parts; every member may stay unset.
struct InputHelperSeams {
    // Producers, created and initialised at start-up for the display the
    // secure desktop lives on and the session; null = init failed.
    using ProducerFactory = std::function<std::unique_ptr<ProducerControl>(
        const std::string& display, const std::string& sessionId)>;
    ProducerFactory makeV1Producer;
    ProducerFactory makeV2Producer;
    // The injector for a display pair (default: the direct injector routed
    // by the current desktop) and the re-attach used before "sas".
    std::function<std::unique_ptr<InputInjector>(const std::string& mainDisplay,
                                                 const std::string& secureDisplay,
                                                 std::function<bool()> secureActive)>
        makeInjector;
    // Input desktop name for the pongs (default: probe of the main display).
    std::function<std::string()> desktopName;
    // Name probe for the secure desktop watcher (default: the main display).
    std::function<std::string()> watcherProbe;
    const Clock* clock = nullptr;               // steady time for every timer
    std::function<int64_t()> wallNowMs;         // pong "ts" when the ping has none
    std::function<void(int code)> exitProcess;  // idle exit; default flush + _Exit
    std::function<bool()> keepRunning;          // default: the process running flag
    int watchdogTickMs = 1000;
    int acceptPollMs = 250;
};

// Pipe name used when none is configured.
std::string defaultInputPipeName(const std::string& sessionId);

// The helper's state machine without threads or sockets; runInputHelper
// drives it. Public for tests.
class InputHelper {
  public:
    using ReplyFn = std::function<void(const std::string& line)>;

    static constexpr size_t kMaxLineBytes = 1024 * 1024;
    static constexpr int64_t kBridgeMaxMs = 30000;
    static constexpr int64_t kIdleExitMs = 60000;
    static constexpr int64_t kHelloTimeoutMs = 10000;

    InputHelper(InputHelperOptions options, InputHelperSeams seams);
    ~InputHelper();

    // Creates the shared-memory producers the helper starts with.
    void initProducers();
    // Stops and drops the producers (after the loop).
    void releaseProducers();

    // Fail-closed hello check of the first line.
    bool verifyHello(const std::string& line) const;
    // True when the own token is empty (every client is refused).
    bool failClosed() const { return options_.token.empty(); }

    void executeCommand(const std::string& line, InputInjector& injector, const ReplyFn& reply);
    void setReattach(std::function<void()> fn) { reattach_ = std::move(fn); }

    // Watcher callbacks.
    void onSecureEnter();
    void onSecureExit();
    bool secureActive() const { return secure_.load(); }

    // One watchdog pass; returns true when the helper should exit for
    // idleness (the caller ends the process).
    bool watchdogTick();

    void noteActivity();
    void setClientConnected(bool c);

    // For tests and the loop.
    bool captureActive() const { return captureActive_.load(); }
    bool bridgePending() const;
    const InputHelperOptions& options() const { return options_; }
    const InputHelperSeams& seams() const { return seams_; }
    std::string currentDesktopName();

  private:
    int64_t nowMs() const { return clock_->nowMs(); }
    std::string producerDisplay() const {
        return options_.secureDisplay.empty() ? options_.mainDisplay : options_.secureDisplay;
    }

    InputHelperOptions options_;
    InputHelperSeams seams_;
    const Clock* clock_;
    std::function<void()> reattach_;

    std::atomic<int64_t> lastActivityMs_{0};
    std::atomic<bool> clientConnected_{false};
    std::atomic<bool> captureActive_{false};
    std::atomic<bool> secure_{false};

    // Producers and the bridge fields share one lock: the watcher's exit
    // callback and the watchdog's bridge end both stop the v2 producer.
    mutable std::mutex captureMu_;
    std::unique_ptr<ProducerControl> v1_, v2_;
    bool bridgeEnabled_ = false;
    int64_t bridgeStartMs_ = -1;
    int64_t bridgeReleasedMs_ = -1;
};

// The helper mode's entry: 0 after a clean end or idle exit, 1 when the pipe
// cannot be created.
int runInputHelper(const InputHelperOptions& options, InputHelperSeams seams = {});

}  // namespace kvd
