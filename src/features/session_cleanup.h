#pragma once
// End-of-session clean-up: optional workstation lock, clipboard emptied,
// temporary directory emptied under strict rules, held keys released.
#include <cstdint>
#include <functional>
#include <string>

namespace kvd {

class InputChannelHandler;

struct CleanupOptions {
    bool clearClipboard = false;
    bool lockWorkstation = false;
    std::string tempDir;             // empty: no file deletion
    std::string expectedRootPrefix;  // tempDir must lie under it
    InputChannelHandler* inputReceiver = nullptr;
    // Substitutes for tests; unset in the engine.
    std::function<bool()> lockHook;
    std::function<bool()> clipboardHook;
};

struct CleanupResult {
    bool locked = false;
    bool clipboardCleared = false;
    bool inputReleased = false;
    uint64_t filesDeleted = 0;
    uint64_t bytesDeleted = 0;
    std::string notes;
};

bool clearClipboard();
bool lockWorkstationNow();
// The lock command (KELVANDRUM_LOCK_COMMAND, default "loginctl lock-session").
std::string lockCommand();

bool removeTempFiles(const std::string& dir, const std::string& expectedRootPrefix,
                     uint64_t& filesDeleted, uint64_t& bytesDeleted);

CleanupResult performCleanup(const CleanupOptions& options);

// What the engine runs when a session ends or consent is refused: clipboard
// emptied, no lock, no file deletion, the input handler's keys released.
CleanupResult runEndOfSessionCleanup(InputChannelHandler* input);

}  // namespace kvd
