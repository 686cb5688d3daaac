#include "features/terminal_manager.h"

#include <algorithm>
#include <chrono>

#include "common/codec.h"
#include "common/log.h"
#include "features/control_dispatcher.h"

namespace kvd {

namespace {

constexpr int kReadWaitMs = 50;
constexpr int kWriteWaitMs = 100;
constexpr size_t kWriteChunkBytes = 64u << 10;
constexpr int kPausePollMs = 5;

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The viewer's Base64 up to the first '=' (what follows is ignored).
std::optional<std::vector<uint8_t>> decodeInput(const std::string& data) {
    std::string text = data.substr(0, data.find('='));
    if (text.size() % 4 == 1) return std::nullopt;
    while (text.size() % 4 != 0) text.push_back('=');
    return base64Decode(text);
}

}  // namespace

TerminalPlatform defaultTerminalPlatform() {
    TerminalPlatform p;
    p.available = platform::pseudoConsoleAvailable;
    p.spawn = platform::spawnPseudoConsole;
    p.findOnPath = platform::findOnPath;
    p.lastResortShell = platform::lastResortShell;
    p.homeDirectory = platform::homeDirectory;
    p.environment = platform::environmentEntries;
    return p;
}

uint16_t terminalDimension(int64_t value, uint16_t fallback) {
    if (value == 0) return fallback;
    return static_cast<uint16_t>(std::clamp<int64_t>(value, 1, 32767));
}

// --- session -------------------------------------------------------------------

TerminalSession::~TerminalSession() {
    close();
}

void TerminalSession::close() {
    running = false;
    {
        std::lock_guard lk(inputMu);
        closing = true;
    }
    inputCv.notify_all();
    // A callback that stops its own session runs on the reader thread.
    for (std::thread* t : {&reader, &writer}) {
        if (!t->joinable()) continue;
        if (t->get_id() == std::this_thread::get_id())
            t->detach();
        else
            t->join();
    }
    if (console) console->close();
}

// --- manager -------------------------------------------------------------------

TerminalManager::TerminalManager(TerminalPlatform platform) : platform_(std::move(platform)) {}

TerminalManager::~TerminalManager() {
    stopAll();
}

bool TerminalManager::available() {
    std::call_once(probeOnce_, [this] {
        available_ = platform_.available && platform_.available();
        if (available_)
            logger().info("ConPTY: available — remote terminal enabled");
        else
            logger().warn(
                "ConPTY: NOT available on this system (no pseudo-terminal facility). Remote "
                "terminal is disabled; all other engine features are unaffected.");
    });
    return available_;
}

void TerminalManager::setAllowed(bool allow) {
    allowed = allow;
    if (!allow) stopAll();
}

std::string TerminalManager::resolveShell(const std::string& shell) const {
    std::string name = lowerAscii(shell);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0)
        name.resize(name.size() - 4);
    if (name == "pwsh" || name == "powershell") {
        if (auto p = platform_.findOnPath("pwsh"); !p.empty()) return p;
    }
    // "cmd", unknown names and an empty one: the system's default shell.
    for (const char* fallback : {"bash", "sh"})
        if (auto p = platform_.findOnPath(fallback); !p.empty()) return p;
    return platform_.lastResortShell();
}

bool TerminalManager::spawnPty(TerminalSession& session, const std::string& shell, uint16_t cols,
                               uint16_t rows) {
    if (!available()) {
        logger().error("Remote terminal unavailable: this system has no pseudo-terminal facility.");
        return false;
    }
    platform::PseudoConsoleSpawn spawn;
    spawn.program = resolveShell(shell);
    spawn.cols = cols;
    spawn.rows = rows;
    spawn.workingDirectory = platform_.homeDirectory();
    // The engine's secrets (the session token above all) stay with the engine.
    bool haveHome = false;
    for (auto& entry : platform_.environment()) {
        if (startsWith(entry, "KELVANDRUM_") || startsWith(entry, "TERM=")) continue;
        haveHome = haveHome || startsWith(entry, "HOME=");
        spawn.environment.push_back(std::move(entry));
    }
    spawn.environment.push_back("TERM=xterm-256color");
    if (!haveHome) spawn.environment.push_back("HOME=" + spawn.workingDirectory);

    logger().info("ConPTY spawn: cmdline-len={} cols={} rows={}", spawn.program.size(), cols, rows);
    auto r = platform_.spawn(spawn);
    if (!r.console) {
        if (r.failedStep == "pty")
            logger().error("CreatePseudoConsole failed hr=0x{:x}", r.error);
        else
            logger().error("CreateProcessW(shell) failed err={}", r.error);
        return false;
    }
    logger().info("ConPTY child spawned: pid={}", r.console->pid());
    session.console = std::move(r.console);
    return true;
}

bool TerminalManager::start(const std::string& id, const std::string& shell, int64_t cols,
                            int64_t rows) {
    if (!allowed) {
        logger().warn("terminal start denied by policy id={}", id);
        return false;
    }
    if (id.empty()) {
        logger().warn("terminal start with empty id rejected");
        return false;
    }
    const uint16_t c = terminalDimension(cols, 80);
    const uint16_t r = terminalDimension(rows, 24);
    auto session = std::make_shared<TerminalSession>(id);
    if (!spawnPty(*session, shell, c, r)) {
        logger().error("spawnPty failed for id={}", id);
        return false;
    }
    session->running = true;
    TerminalSession* s = session.get();
    session->reader = std::thread([this, s] { readerLoop(*s); });
    session->writer = std::thread([this, s] { writerLoop(*s); });

    std::shared_ptr<TerminalSession> replaced;
    {
        std::lock_guard lk(mu_);
        auto& slot = sessions_[id];
        replaced = std::move(slot);
        if (replaced) replaced->running = false;  // replaced, not ended: no child_exit
        slot = std::move(session);
    }
    if (replaced) replaced->close();
    logger().info("terminal started id={} shell={} cols={} rows={}", id,
                  shell.empty() ? std::string("<default>") : shell, c, r);
    return true;
}

std::shared_ptr<TerminalSession> TerminalManager::find(const std::string& id) const {
    std::lock_guard lk(mu_);
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second;
}

bool TerminalManager::writePty(const std::string& id, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return true;
    auto s = find(id);
    if (!s) return false;
    logger().debug("[terminal] writePty id={} len={}", id, bytes.size());
    {
        std::lock_guard lk(s->inputMu);
        if (s->closing) return false;
        if (s->pendingInput.size() + bytes.size() > kTerminalInputQueueBytes) {
            static LogThinner thin(5, 100);
            if (thin.shouldLog())
                logger().warn(
                    "[terminal] input for id={} refused: the shell has {} bytes it has not read "
                    "(cap {})",
                    id, s->pendingInput.size(), kTerminalInputQueueBytes);
            return false;
        }
        s->pendingInput.append(bytes.begin(), bytes.end());
    }
    s->inputCv.notify_one();
    return true;
}

bool TerminalManager::resize(const std::string& id, int64_t cols, int64_t rows) {
    auto s = find(id);
    if (!s || !s->console) return false;
    const int err = s->console->resize(terminalDimension(cols, 80), terminalDimension(rows, 24));
    if (err != 0) {
        logger().warn("ResizePseudoConsole failed hr=0x{:x}", err);
        return false;
    }
    return true;
}

bool TerminalManager::stop(const std::string& id) {
    std::shared_ptr<TerminalSession> s;
    {
        std::lock_guard lk(mu_);
        auto it = sessions_.find(id);
        if (it == sessions_.end()) return false;
        s = std::move(it->second);
        sessions_.erase(it);
        s->running = false;
    }
    s->close();
    logger().info("terminal stopped id={}", id);
    return true;
}

void TerminalManager::stopAll() {
    std::map<std::string, std::shared_ptr<TerminalSession>, std::less<>> all;
    {
        std::lock_guard lk(mu_);
        for (auto& [id, s] : sessions_) s->running = false;
        all.swap(sessions_);
    }
    for (auto& [id, s] : all) s->close();
}

size_t TerminalManager::sessionCount() const {
    std::lock_guard lk(mu_);
    return sessions_.size();
}

int64_t TerminalManager::childPid(const std::string& id) const {
    auto s = find(id);
    return s && s->console ? s->console->pid() : -1;
}

bool TerminalManager::outputMayFlow(bool& paused) const {
    if (!backlog) return true;
    const auto amount = backlog();
    // Nobody to deliver to: hold the output in the terminal rather than drop it.
    if (!amount) return false;
    if (paused && *amount <= kTerminalBacklogLow) paused = false;
    if (!paused && *amount > kTerminalBacklogHigh) {
        paused = true;
        logger().debug("[terminal] output held: {} bytes wait for the viewer", *amount);
    }
    return !paused;
}

void TerminalManager::readerLoop(TerminalSession& s) {
    std::vector<uint8_t> buf(kTerminalReadBytes);
    bool first = true;
    bool paused = false;
    bool childGone = false;
    int lastError = 0;
    uint64_t heldPolls = 0;
    while (s.running) {
        if (!outputMayFlow(paused)) {
            // A shell that ends meanwhile is reaped at once; its last output
            // waits in the terminal.
            if (++heldPolls % 20 == 0) (void)s.console->exited();
            std::this_thread::sleep_for(std::chrono::milliseconds(kPausePollMs));
            continue;
        }
        const auto r = s.console->read(buf.data(), buf.size(), childGone ? 0 : kReadWaitMs);
        if (r.status == platform::PseudoConsole::Io::Data) {
            if (first) {
                logger().info("terminal first read id={} bytes={}", s.id, r.bytes);
                first = false;
            }
            if (onOutput)
                onOutput(
                    s, std::vector<uint8_t>(buf.begin(), buf.begin() + static_cast<long>(r.bytes)));
            continue;
        }
        if (r.status == platform::PseudoConsole::Io::End) break;
        if (r.status == platform::PseudoConsole::Io::Error) {
            lastError = r.error;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        // Nothing to read: once the shell has ended (a job it left behind
        // may keep the terminal open) the remaining output is all there is.
        if (childGone) break;
        childGone = s.console->exited().has_value();
    }
    logger().info("terminal reader EOF id={} err={}", s.id, lastError);
    // The terminal closed as the shell ended: reap it now rather than leave
    // a zombie until the viewer stops the session.
    for (int i = 0; i < 50 && s.running && !childGone; ++i) {
        childGone = s.console->exited().has_value();
        if (!childGone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (s.running.exchange(false) && onExit) onExit(s);
}

void TerminalManager::writerLoop(TerminalSession& s) {
    std::string chunk;
    for (;;) {
        {
            std::unique_lock lk(s.inputMu);
            s.inputCv.wait(lk, [&] { return s.closing || !s.pendingInput.empty(); });
            if (s.closing) return;
            chunk.assign(s.pendingInput, 0, std::min(s.pendingInput.size(), kWriteChunkBytes));
        }
        const auto r = s.console->write(reinterpret_cast<const uint8_t*>(chunk.data()),
                                        chunk.size(), kWriteWaitMs);
        bool failed = r.status == platform::PseudoConsole::Io::Error ||
                      r.status == platform::PseudoConsole::Io::End;
        {
            std::lock_guard lk(s.inputMu);
            // A dead terminal takes nothing more: drop what is queued.
            s.pendingInput.erase(0, failed ? s.pendingInput.size() : r.bytes);
        }
        if (failed) {
            logger().warn("WriteFile(stdin) failed err={}", r.error);
            std::unique_lock lk(s.inputMu);
            s.inputCv.wait(lk, [&] { return s.closing; });
            return;
        }
    }
}

// --- engine wiring ---------------------------------------------------------------

std::string terminalOutputJson(const std::string& id, const std::vector<uint8_t>& bytes) {
    Json j;
    j["data"] = base64Encode(bytes.data(), bytes.size());
    j["terminalId"] = id;
    j["type"] = "terminal_output";
    return dumpJson(j);
}

std::string terminalStopJson(const std::string& id, const std::string& reason) {
    Json j;
    j["reason"] = reason;
    j["terminalId"] = id;
    j["type"] = "terminal_stop";
    return dumpJson(j);
}

void installTerminalCallbacks(TerminalManager& terminal,
                              std::function<void(const std::string&)> sendControl) {
    terminal.onOutput = [sendControl](TerminalSession& s, const std::vector<uint8_t>& bytes) {
        sendControl(terminalOutputJson(s.id, bytes));
    };
    terminal.onExit = [sendControl](TerminalSession& s) {
        sendControl(terminalStopJson(s.id, "child_exit"));
        logger().info("terminal child exited id={}", s.id);
    };
}

void registerTerminalHandlers(ControlDispatcher& dispatcher, TerminalManager& terminal) {
    dispatcher.setHandler("terminal_start", [&dispatcher, &terminal](const Json& m) {
        const std::string id = m.value("terminalId", std::string());
        const std::string shell = m.value("shell", std::string());
        const int64_t cols = m.value("cols", int64_t{80});
        const int64_t rows = m.value("rows", int64_t{24});
        if (!terminal.allowed) {
            logger().warn(
                "[terminal] start denied — not allowed for this session (view-only/policy)");
            dispatcher.sendReply(
                Json{{"reason", "policy_denied"}, {"terminalId", id}, {"type", "terminal_stop"}});
            return;
        }
        terminal.start(id, shell, cols, rows);
    });
    dispatcher.setHandler("terminal_input", [&terminal](const Json& m) {
        const std::string id = m.value("terminalId", std::string());
        const std::string data = m.value("data", std::string());
        if (!terminal.allowed) return;
        auto bytes = decodeInput(data);
        if (!bytes) {
            logger().warn("[terminal] terminal_input for id={} is not Base64; dropped", id);
            return;
        }
        terminal.writePty(id, *bytes);
    });
    dispatcher.setHandler("terminal_resize", [&terminal](const Json& m) {
        const std::string id = m.value("terminalId", std::string());
        const int64_t cols = m.value("cols", int64_t{80});
        const int64_t rows = m.value("rows", int64_t{24});
        if (terminal.allowed) terminal.resize(id, cols, rows);
    });
    dispatcher.setHandler("terminal_stop", [&terminal](const Json& m) {
        terminal.stop(m.value("terminalId", std::string()));
    });
}

}  // namespace kvd
