#pragma once
// Synthetic keyboard and pointer input for the desktop the user sees, plus the
// local secure-attention stand-in. Thread-safe: the injector calls it from the
// input channel, the stuck-key watchdog and the control channel at once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvd::platform {

// Size of the primary screen and the bounds of the whole virtual desktop.
struct ScreenMetrics {
    int32_t screenWidth = 0;
    int32_t screenHeight = 0;
    int32_t virtualLeft = 0;
    int32_t virtualTop = 0;
    int32_t virtualWidth = 0;
    int32_t virtualHeight = 0;
};

// One keyboard record of a typed text: a virtual-key code (Return, Tab) or a
// UTF-16 code unit; surrogate pairs arrive as two consecutive down/up pairs.
struct KeyRecord {
    uint16_t code = 0;
    bool unicode = false;
    bool up = false;
};

enum class PointerButton { Left, Right, Middle, Extra1, Extra2 };

class InputBackend {
  public:
    virtual ~InputBackend() = default;

    // Binds injection to the desktop that currently receives input. False
    // with an errno-style code when that desktop cannot be reached.
    virtual bool attachInputDesktop(int& error) = 0;

    // Absolute pointer position in virtual-desktop pixels.
    virtual bool movePointer(int32_t x, int32_t y) = 0;
    virtual bool pointerPosition(int32_t& x, int32_t& y) = 0;
    virtual bool pointerButton(PointerButton button, bool down) = 0;
    // Wheel delta in 1/120 notch units; positive is up (vertical) or right
    // (horizontal). Partial notches are carried to the next call.
    virtual bool wheel(int32_t delta, bool horizontal) = 0;

    // A key by PC set-1 scan code with the extended (E0) flag.
    virtual bool keyByScanCode(uint16_t scanCode, bool extended, bool down) = 0;
    // A key by virtual-key code.
    virtual bool keyByVirtualKey(uint16_t virtualKey, bool down) = 0;
    // Injects records[offset .. offset+count) in order; returns how many were
    // accepted (stops at the first failure).
    virtual size_t sendKeyRecords(const std::vector<KeyRecord>& records, size_t offset,
                                  size_t count) = 0;

    virtual ScreenMetrics screenMetrics() = 0;

    // errno-style code of the last failed call on this thread.
    virtual int lastError() = 0;

    // Local secure attention sequence. The policy value and the privilege
    // mirror the host's rules; the "library" is where the request is recorded.
    virtual bool setSoftwareSasPolicy(uint32_t value) = 0;
    // 0 when the privilege is enabled, else an errno-style code; negative when
    // the process token cannot be opened at all.
    virtual int enableSasPrivilege() = 0;
    // 0 when loaded, else an errno-style code.
    virtual int loadSasLibrary() = 0;
    virtual bool sasEntryAvailable() = 0;
    virtual void invokeSas(bool asUser) = 0;
    virtual void unloadSasLibrary() = 0;
};

// Never null. The display is opened lazily by attachInputDesktop and reopened
// after it was lost; every call fails while it is unreachable.
std::unique_ptr<InputBackend> createInputBackend(const std::string& display = {});

}  // namespace kvd::platform
