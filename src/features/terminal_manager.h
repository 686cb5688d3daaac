#pragma once
// Remote terminals: shells on pseudo terminals, named by viewer-chosen ids.
// Output goes to the viewer one read (at most 4096 bytes) per message; input
// from the viewer is queued per session and written by the session's own
// writer thread, so the control channel's thread never waits for a shell.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/json_util.h"
#include "platform/pseudo_console.h"

namespace kvd {

class ControlDispatcher;

inline constexpr size_t kTerminalReadBytes = 4096;
// Input the viewer may have in flight towards one shell that is not reading.
inline constexpr size_t kTerminalInputQueueBytes = 1u << 20;
// Output is read again only once the viewer's channel has drained to the low mark.
inline constexpr uint64_t kTerminalBacklogHigh = 512u << 10;
inline constexpr uint64_t kTerminalBacklogLow = 128u << 10;

// The operating system as the terminal sees it; tests substitute fakes.
struct TerminalPlatform {
    std::function<bool()> available;
    std::function<platform::PseudoConsoleResult(const platform::PseudoConsoleSpawn&)> spawn;
    std::function<std::string(const std::string&)> findOnPath;
    std::function<std::string()> lastResortShell;
    std::function<std::string()> homeDirectory;
    std::function<std::vector<std::string>()> environment;
};
TerminalPlatform defaultTerminalPlatform();

struct TerminalSession {
    explicit TerminalSession(std::string sessionId) : id(std::move(sessionId)) {}
    ~TerminalSession();
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;

    const std::string id;
    std::atomic<bool> running{false};
    std::unique_ptr<platform::PseudoConsole> console;
    std::thread reader;
    std::thread writer;

    // Viewer input not yet taken by the shell; guarded by inputMu.
    std::mutex inputMu;
    std::condition_variable inputCv;
    std::string pendingInput;
    bool closing = false;

    // Stops both threads and ends the shell. Idempotent.
    void close();
};

class TerminalManager {
  public:
    using OutputCallback = std::function<void(TerminalSession&, const std::vector<uint8_t>&)>;
    using ExitCallback = std::function<void(TerminalSession&)>;
    // Bytes waiting in the viewer's channel; nullopt while it is not open.
    using BacklogProbe = std::function<std::optional<uint64_t>()>;

    explicit TerminalManager(TerminalPlatform platform = defaultTerminalPlatform());
    ~TerminalManager();
    TerminalManager(const TerminalManager&) = delete;
    TerminalManager& operator=(const TerminalManager&) = delete;

    // Installed before the first start; called on the sessions' reader threads.
    OutputCallback onOutput;
    ExitCallback onExit;
    BacklogProbe backlog;

    std::atomic<bool> allowed{false};
    // The service changed the policy: false ends every terminal.
    void setAllowed(bool allow);

    bool start(const std::string& id, const std::string& shell, int64_t cols, int64_t rows);
    // Queues the bytes for the shell; false when the id is unknown or the
    // shell has stopped taking input and its queue is full.
    bool writePty(const std::string& id, const std::vector<uint8_t>& bytes);
    bool resize(const std::string& id, int64_t cols, int64_t rows);
    bool stop(const std::string& id);
    void stopAll();

    // The executable a shell name selects on this system.
    std::string resolveShell(const std::string& shell) const;
    // Pseudo terminals exist here; logs the verdict the first time.
    bool available();

    size_t sessionCount() const;
    // The shell's process id, for logs and tests; -1 when unknown.
    int64_t childPid(const std::string& id) const;

  private:
    bool spawnPty(TerminalSession& session, const std::string& shell, uint16_t cols, uint16_t rows);
    void readerLoop(TerminalSession& session);
    void writerLoop(TerminalSession& session);
    bool outputMayFlow(bool& paused) const;
    std::shared_ptr<TerminalSession> find(const std::string& id) const;

    TerminalPlatform platform_;
    std::once_flag probeOnce_;
    bool available_ = false;
    mutable std::mutex mu_;
    std::map<std::string, std::shared_ptr<TerminalSession>, std::less<>> sessions_;
};

// Sizes from the viewer: 0 is the default, anything else is kept in 1..32767.
uint16_t terminalDimension(int64_t value, uint16_t fallback);

// Control-channel bodies.
std::string terminalOutputJson(const std::string& id, const std::vector<uint8_t>& bytes);
std::string terminalStopJson(const std::string& id, const std::string& reason);

// The engine's callbacks: output and exit become control messages.
void installTerminalCallbacks(TerminalManager& terminal,
                              std::function<void(const std::string&)> sendControl);
// The four inbound control types.
void registerTerminalHandlers(ControlDispatcher& dispatcher, TerminalManager& terminal);

}  // namespace kvd
