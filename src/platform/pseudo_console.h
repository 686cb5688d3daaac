#pragma once
// A pseudo terminal with one child process (the shell) attached to it as its
// controlling terminal. The engine side reads the shell's output and writes
// its input without ever blocking for long.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kvd::platform {

struct PseudoConsoleSpawn {
    std::string program;            // full path of the executable
    std::vector<std::string> args;  // argv[1..]
    // The child's complete environment ("NAME=value"); nothing else is inherited.
    std::vector<std::string> environment;
    std::string workingDirectory;  // empty: the engine's own
    uint16_t cols = 80;
    uint16_t rows = 24;
};

class PseudoConsole {
  public:
    enum class Io { Data, Timeout, End, Error };
    struct IoResult {
        Io status = Io::Error;
        size_t bytes = 0;
        int error = 0;  // system error number for Io::Error
    };

    virtual ~PseudoConsole() = default;

    // Waits up to timeoutMs for output, then reads at most capacity bytes.
    // End: the terminal has no writer left (the shell and its children closed it).
    virtual IoResult read(uint8_t* buffer, size_t capacity, int timeoutMs) = 0;
    // Writes what the terminal takes within timeoutMs (never blocks longer);
    // bytes tells how much went in. Timeout when it took less than size.
    virtual IoResult write(const uint8_t* data, size_t size, int timeoutMs) = 0;
    // Returns 0 or the system error number.
    virtual int resize(uint16_t cols, uint16_t rows) = 0;
    // The child's process id (for logs and tests).
    virtual int64_t pid() const = 0;
    // Reaps the child when it has ended; its exit code (128 + signal for a
    // killed child), nullopt while it still runs.
    virtual std::optional<int> exited() = 0;
    // Hangs the terminal up for the child's process group, gives it 250 ms,
    // then kills it; reaps it and closes the terminal. Idempotent.
    virtual void close() = 0;
};

struct PseudoConsoleResult {
    std::unique_ptr<PseudoConsole> console;
    // On failure: which step failed ("pty" or "spawn") and its error number.
    std::string failedStep;
    int error = 0;
};

// Whether this system offers pseudo terminals at all (probed once).
bool pseudoConsoleAvailable();
PseudoConsoleResult spawnPseudoConsole(const PseudoConsoleSpawn& spawn);

// Full path of an executable found on PATH, or empty.
std::string findOnPath(const std::string& name);
// The shell that exists on every system of this kind, for when PATH finds none.
std::string lastResortShell();
// The current user's home directory ("/" when unknown).
std::string homeDirectory();
// The engine's own environment, "NAME=value" each.
std::vector<std::string> environmentEntries();

}  // namespace kvd::platform
