#pragma once
// A small top-level window with push buttons that asks the person at the host
// something (the consent dialog). The window manager decorates it and can
// close it; the window stays above normal windows.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/overlay_window.h"

namespace kvd::platform {

struct DialogButton {
    int32_t id = 0;
    // "&" marks the access letter, which is underlined ("&Allow").
    std::string label;
    SurfaceRect rect;  // client coordinates
    bool isDefault = false;
};

struct DialogOptions {
    std::string title;
    std::string className;
    int32_t width = 0;  // client area
    int32_t height = 0;
    std::vector<DialogButton> buttons;
};

struct DialogEvent {
    enum class Kind {
        Nothing,         // nothing happened before the timeout
        KeyPressed,      // see `key`
        ButtonClicked,   // see `buttonId`
        CloseRequested,  // the window manager (or the user through it) asks to close
        WindowGone       // destroyed by another client, or the display is lost
    };
    Kind kind = Kind::Nothing;
    int32_t buttonId = 0;
    // Unicode code point of the key's character (lower case for letters), or
    // one of the named keys below.
    uint32_t key = 0;
    static constexpr uint32_t kEscape = 0x1B;
    static constexpr uint32_t kReturn = 0x0D;
};

// Not thread-safe: create, drive and destroy it on one thread.
class DialogWindow {
  public:
    virtual ~DialogWindow() = default;
    // The client area; the buttons are drawn over it by present().
    virtual DrawingSurface& surface() = 0;
    virtual bool present() = 0;
    // Maps the window centred on the primary monitor, raises it and gives it
    // the keyboard focus.
    virtual void show() = 0;
    // Waits up to timeoutMs for the next event (0: only what is pending).
    virtual DialogEvent waitEvent(int32_t timeoutMs) = 0;
};

std::unique_ptr<DialogWindow> createDialogWindow(const DialogOptions& options, std::string& error,
                                                 const std::string& display = {});

}  // namespace kvd::platform
