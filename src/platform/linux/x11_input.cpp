// Synthetic input through XTest. Scan codes become evdev keycodes (+8),
// virtual-key codes become keysyms, and characters are typed through spare
// keycodes that are temporarily given the character's keysym.
#include <X11/XF86keysym.h>
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/log.h"
#include "platform/input_backend.h"
#include "platform/linux/x11_util.h"

namespace kvd::platform {

namespace {

thread_local int tLastError = 0;

int fail(int error) {
    tLastError = error;
    return error;
}

// Linux input event codes for scan codes of the PC set 1 whose code differs
// from the scan code itself. Plain scan codes 0x01..0x58 are identical.
struct ScanMap {
    uint8_t scan;
    uint16_t evdev;
};

constexpr ScanMap kPlainHigh[] = {
    {0x59, 117}, {0x64, 183}, {0x65, 184}, {0x66, 185}, {0x67, 186}, {0x68, 187}, {0x69, 188},
    {0x6A, 189}, {0x6B, 190}, {0x6C, 191}, {0x6D, 192}, {0x6E, 193}, {0x70, 93},  {0x73, 89},
    {0x76, 194}, {0x79, 92},  {0x7B, 94},  {0x7D, 124}, {0x7E, 121},
};

constexpr ScanMap kExtended[] = {
    {0x10, 165}, {0x19, 163}, {0x1C, 96},  {0x1D, 97},  {0x20, 113}, {0x21, 140}, {0x22, 164},
    {0x24, 166}, {0x2E, 114}, {0x30, 115}, {0x32, 172}, {0x35, 98},  {0x37, 99},  {0x38, 100},
    {0x45, 69},  {0x46, 119}, {0x47, 102}, {0x48, 103}, {0x49, 104}, {0x4B, 105}, {0x4D, 106},
    {0x4F, 107}, {0x50, 108}, {0x51, 109}, {0x52, 110}, {0x53, 111}, {0x5B, 125}, {0x5C, 126},
    {0x5D, 127}, {0x5E, 116}, {0x5F, 142}, {0x63, 143}, {0x65, 217}, {0x66, 156}, {0x67, 173},
    {0x68, 128}, {0x69, 159}, {0x6A, 158}, {0x6B, 157}, {0x6C, 155}, {0x6D, 226},
};

// 0 when the scan code has no key.
uint16_t evdevForScanCode(uint16_t scanCode, bool extended) {
    // Some viewers send the E0 prefix inside the scan code.
    if ((scanCode & 0xFF00) == 0xE000) {
        extended = true;
        scanCode &= 0xFF;
    }
    if (scanCode > 0xFF || scanCode == 0) return 0;
    const auto sc = static_cast<uint8_t>(scanCode);
    if (extended) {
        for (const auto& m : kExtended)
            if (m.scan == sc) return m.evdev;
        return 0;
    }
    // The host's convention: plain 0x45 is Pause, the extended one NumLock.
    if (sc == 0x45) return 119;
    if (sc <= 0x58) return sc;
    for (const auto& m : kPlainHigh)
        if (m.scan == sc) return m.evdev;
    return 0;
}

struct VkMap {
    uint8_t vk;
    KeySym keysym;
};

constexpr VkMap kVirtualKeys[] = {
    {0x08, XK_BackSpace},
    {0x09, XK_Tab},
    {0x0C, XK_Clear},
    {0x0D, XK_Return},
    {0x10, XK_Shift_L},
    {0x11, XK_Control_L},
    {0x12, XK_Alt_L},
    {0x13, XK_Pause},
    {0x14, XK_Caps_Lock},
    {0x1B, XK_Escape},
    {0x20, XK_space},
    {0x21, XK_Prior},
    {0x22, XK_Next},
    {0x23, XK_End},
    {0x24, XK_Home},
    {0x25, XK_Left},
    {0x26, XK_Up},
    {0x27, XK_Right},
    {0x28, XK_Down},
    {0x29, XK_Select},
    {0x2A, XK_Print},
    {0x2B, XK_Execute},
    {0x2C, XK_Print},
    {0x2D, XK_Insert},
    {0x2E, XK_Delete},
    {0x2F, XK_Help},
    {0x5B, XK_Super_L},
    {0x5C, XK_Super_R},
    {0x5D, XK_Menu},
    {0x5F, XF86XK_Sleep},
    {0x6A, XK_KP_Multiply},
    {0x6B, XK_KP_Add},
    {0x6C, XK_KP_Separator},
    {0x6D, XK_KP_Subtract},
    {0x6E, XK_KP_Decimal},
    {0x6F, XK_KP_Divide},
    {0x90, XK_Num_Lock},
    {0x91, XK_Scroll_Lock},
    {0xA0, XK_Shift_L},
    {0xA1, XK_Shift_R},
    {0xA2, XK_Control_L},
    {0xA3, XK_Control_R},
    {0xA4, XK_Alt_L},
    {0xA5, XK_Alt_R},
    {0xA6, XF86XK_Back},
    {0xA7, XF86XK_Forward},
    {0xA8, XF86XK_Refresh},
    {0xA9, XF86XK_Stop},
    {0xAA, XF86XK_Search},
    {0xAB, XF86XK_Favorites},
    {0xAC, XF86XK_HomePage},
    {0xAD, XF86XK_AudioMute},
    {0xAE, XF86XK_AudioLowerVolume},
    {0xAF, XF86XK_AudioRaiseVolume},
    {0xB0, XF86XK_AudioNext},
    {0xB1, XF86XK_AudioPrev},
    {0xB2, XF86XK_AudioStop},
    {0xB3, XF86XK_AudioPlay},
    {0xB4, XF86XK_Mail},
    {0xBA, XK_semicolon},
    {0xBB, XK_equal},
    {0xBC, XK_comma},
    {0xBD, XK_minus},
    {0xBE, XK_period},
    {0xBF, XK_slash},
    {0xC0, XK_grave},
    {0xDB, XK_bracketleft},
    {0xDC, XK_backslash},
    {0xDD, XK_bracketright},
    {0xDE, XK_apostrophe},
    {0xE2, XK_less},
};

// NoSymbol when the virtual key has no keysym here.
KeySym keysymForVirtualKey(uint16_t vk) {
    if (vk >= 0x30 && vk <= 0x39) return XK_0 + (vk - 0x30);
    if (vk >= 0x41 && vk <= 0x5A) return XK_a + (vk - 0x41);
    if (vk >= 0x60 && vk <= 0x69) return XK_KP_0 + (vk - 0x60);
    if (vk >= 0x70 && vk <= 0x87) return XK_F1 + (vk - 0x70);
    for (const auto& m : kVirtualKeys)
        if (m.vk == vk) return m.keysym;
    return NoSymbol;
}

KeySym keysymForCodePoint(uint32_t cp) {
    if ((cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)) return cp;
    // Control characters are the TTY function keys (BackSpace, Escape, ...).
    if (cp < 0x20) return 0xFF00 | cp;
    if (cp == 0x7F) return XK_Delete;
    return 0x01000000 | cp;
}

// A spare keycode must keep its temporary keysym until clients that fetch the
// keymap lazily (on the MappingNotify, in event order) have looked it up.
constexpr auto kSpareSettle = std::chrono::milliseconds(25);
constexpr auto kRestoreSettle = std::chrono::milliseconds(100);
constexpr size_t kMaxSpareKeycodes = 16;

class X11InputBackend final : public InputBackend {
  public:
    explicit X11InputBackend(std::string display) : displayName_(std::move(display)) {}

    ~X11InputBackend() override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (dpy_ && !lost_) {
            // Nothing stays pressed or borrowed once the injector is gone.
            for (const auto& [vk, kc] : vkDown_) XTestFakeKeyEvent(dpy_, kc, False, CurrentTime);
            vkDown_.clear();
            for (auto& s : spares_) s.pins = 0;
            restoreSpares(true);
            XSync(dpy_, False);
        }
        drop();
    }

    bool attachInputDesktop(int& error) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!ensure()) {
            error = tLastError;
            return false;
        }
        error = 0;
        return true;
    }

    bool movePointer(int32_t x, int32_t y) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!ensure()) return false;
        XTestFakeMotionEvent(dpy_, -1, x, y, CurrentTime);
        return flush();
    }

    bool pointerPosition(int32_t& x, int32_t& y) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!ensure()) return false;
        Window root = 0, child = 0;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned int mask = 0;
        if (!XQueryPointer(dpy_, DefaultRootWindow(dpy_), &root, &child, &rx, &ry, &wx, &wy, &mask))
            return fail(EIO), false;
        x = rx;
        y = ry;
        return !lost_;
    }

    bool pointerButton(PointerButton button, bool down) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!ensure()) return false;
        static constexpr unsigned kButtons[] = {1, 3, 2, 8, 9};
        XTestFakeButtonEvent(dpy_, kButtons[static_cast<int>(button)], down, CurrentTime);
        return flush();
    }

    bool wheel(int32_t delta, bool horizontal) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!ensure()) return false;
        int32_t& carry = horizontal ? carryX_ : carryY_;
        // A turn the other way starts afresh instead of first paying back
        // the partial notch of the old direction.
        if ((carry > 0 && delta < 0) || (carry < 0 && delta > 0)) carry = 0;
        carry += delta;
        const int32_t notches = carry / 120;
        carry -= notches * 120;
        const unsigned button = horizontal ? (notches > 0 ? 7 : 6) : (notches > 0 ? 4 : 5);
        for (int32_t i = 0; i < std::abs(notches); ++i) {
            XTestFakeButtonEvent(dpy_, button, True, CurrentTime);
            XTestFakeButtonEvent(dpy_, button, False, CurrentTime);
        }
        return flush();
    }

    bool keyByScanCode(uint16_t scanCode, bool extended, bool down) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!ensure()) return false;
        const uint16_t evdev = evdevForScanCode(scanCode, extended);
        const int keycode = evdev + 8;
        if (evdev == 0 || keycode < minKeycode_ || keycode > maxKeycode_)
            return fail(EINVAL), false;
        XTestFakeKeyEvent(dpy_, static_cast<unsigned>(keycode), down, CurrentTime);
        return flush();
    }

    bool keyByVirtualKey(uint16_t virtualKey, bool down) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!ensure()) return false;
        const bool ok = virtualKeyLocked(virtualKey, down);
        return ok && flush();
    }

    size_t sendKeyRecords(const std::vector<KeyRecord>& records, size_t offset,
                          size_t count) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!ensure()) return 0;
        size_t sent = 0;
        const size_t end = std::min(records.size(), offset + count);
        for (size_t i = offset; i < end; ++i, ++sent) {
            const KeyRecord& r = records[i];
            const bool ok =
                r.unicode ? unicodeLocked(r.code, !r.up) : virtualKeyLocked(r.code, !r.up);
            if (!ok || lost_) break;
        }
        restoreSpares(false);
        if (!flush()) return 0;
        return sent;
    }

    ScreenMetrics screenMetrics() override {
        std::lock_guard<std::mutex> lk(mutex_);
        ScreenMetrics m;
        if (!ensure()) return m;
        const int screen = DefaultScreen(dpy_);
        m.virtualWidth = m.screenWidth = DisplayWidth(dpy_, screen);
        m.virtualHeight = m.screenHeight = DisplayHeight(dpy_, screen);
        int evBase = 0, errBase = 0, count = 0;
        if (XRRQueryExtension(dpy_, &evBase, &errBase)) {
            if (XRRMonitorInfo* mons =
                    XRRGetMonitors(dpy_, DefaultRootWindow(dpy_), True, &count)) {
                const XRRMonitorInfo* pick = count > 0 ? &mons[0] : nullptr;
                for (int i = 0; i < count; ++i)
                    if (mons[i].primary) pick = &mons[i];
                if (pick && pick->width > 0 && pick->height > 0) {
                    m.screenWidth = pick->width;
                    m.screenHeight = pick->height;
                }
                XRRFreeMonitors(mons);
            }
        }
        return m;
    }

    int lastError() override { return tLastError; }

    bool setSoftwareSasPolicy(uint32_t value) override {
        sasPolicy_ = value;
        return true;
    }

    int enableSasPrivilege() override { return geteuid() == 0 ? 0 : EPERM; }

    int loadSasLibrary() override {
        std::lock_guard<std::mutex> lk(mutex_);
        return ensure() ? 0 : tLastError;
    }

    bool sasEntryAvailable() override { return true; }

    // The stand-in records each request on the display's root window, where
    // the session's own tools (and tests) can see it.
    void invokeSas(bool asUser) override {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!ensure()) return;
        const char* text = asUser ? "SendSAS(TRUE)\n" : "SendSAS(FALSE)\n";
        const Atom prop = XInternAtom(dpy_, "_KVD_SAS_REQUESTS", False);
        XChangeProperty(dpy_, DefaultRootWindow(dpy_), prop, XA_STRING, 8, PropModeAppend,
                        reinterpret_cast<const unsigned char*>(text),
                        static_cast<int>(strlen(text)));
        flush();
    }

    void unloadSasLibrary() override {}

  private:
    struct Spare {
        KeyCode keycode = 0;
        KeySym keysym = NoSymbol;
        std::chrono::steady_clock::time_point lastUse{};
        int pins = 0;  // keys held down on it
    };

    static void onIoExit(Display*, void* self) {
        static_cast<X11InputBackend*>(self)->lost_ = true;
    }

    void drop() {
        if (!dpy_) return;
        // A dead connection cannot be closed without talking to the server.
        if (!lost_) XCloseDisplay(dpy_);
        dpy_ = nullptr;
        spares_.clear();
        vkDown_.clear();
    }

    bool ensure() {
        if (dpy_ && !lost_) return true;
        // After a loss or a failed open, retry at most once a second.
        const auto now = std::chrono::steady_clock::now();
        if (opened_ && now - lastOpenAttempt_ < std::chrono::seconds(1))
            return fail(ECONNREFUSED), false;
        opened_ = true;
        drop();
        lost_ = false;
        lastOpenAttempt_ = now;
        XDisplayPtr d = openDisplay(displayName_);
        if (!d) return fail(ECONNREFUSED), false;
        int ev = 0, err = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(d.get(), &ev, &err, &major, &minor)) {
            logger().error("[input] XTEST extension missing on display {}", DisplayString(d.get()));
            return fail(ENOTSUP), false;
        }
        dpy_ = d.release();
        XSetIOErrorExitHandler(dpy_, &X11InputBackend::onIoExit, this);
        // Input from this connection must not wait for other clients' grabs.
        XTestGrabControl(dpy_, True);
        XDisplayKeycodes(dpy_, &minKeycode_, &maxKeycode_);
        findSpareKeycodes();
        return true;
    }

    bool flush() {
        XFlush(dpy_);
        if (lost_) return fail(EPIPE), false;
        return true;
    }

    void findSpareKeycodes() {
        spares_.clear();
        int perKeycode = 0;
        const int n = maxKeycode_ - minKeycode_ + 1;
        KeySym* map = XGetKeyboardMapping(dpy_, static_cast<KeyCode>(minKeycode_), n, &perKeycode);
        if (!map) return;
        // Highest first: the top of the range is least likely to be a real key.
        for (int kc = maxKeycode_; kc >= minKeycode_ && spares_.size() < kMaxSpareKeycodes; --kc) {
            const KeySym* row = map + static_cast<size_t>(kc - minKeycode_) * perKeycode;
            if (std::all_of(row, row + perKeycode, [](KeySym s) { return s == NoSymbol; }))
                spares_.push_back(Spare{static_cast<KeyCode>(kc)});
        }
        XFree(map);
    }

    // A spare keycode carrying `keysym`; null when none is free.
    Spare* spareFor(KeySym keysym) {
        Spare* best = nullptr;
        for (auto& s : spares_) {
            if (s.keysym == keysym) return &s;
            if (s.pins == 0 && (!best || s.lastUse < best->lastUse)) best = &s;
        }
        if (!best) return nullptr;
        if (best->keysym != NoSymbol) {
            const auto ready = best->lastUse + kSpareSettle;
            if (std::chrono::steady_clock::now() < ready) {
                // What is queued must reach the server before the wait counts.
                XFlush(dpy_);
                std::this_thread::sleep_until(ready);
            }
        }
        KeySym syms[2] = {keysym, keysym};
        XChangeKeyboardMapping(dpy_, best->keycode, 2, syms, 1);
        best->keysym = keysym;
        return best;
    }

    // Gives every unused spare keycode its empty mapping back.
    void restoreSpares(bool now) {
        auto lastUse = std::chrono::steady_clock::time_point{};
        bool any = false;
        for (const auto& s : spares_) {
            if (s.keysym == NoSymbol || s.pins > 0) continue;
            any = true;
            lastUse = std::max(lastUse, s.lastUse);
        }
        if (!any) return;
        if (!now) {
            // What is queued must reach the server before the wait counts.
            XFlush(dpy_);
            std::this_thread::sleep_until(lastUse + kRestoreSettle);
        }
        for (auto& s : spares_) {
            if (s.keysym == NoSymbol || s.pins > 0) continue;
            KeySym none = NoSymbol;
            XChangeKeyboardMapping(dpy_, s.keycode, 1, &none, 1);
            s.keysym = NoSymbol;
        }
    }

    bool fakeKeysym(KeySym keysym, bool down, KeyCode* used = nullptr) {
        Spare* spare = spareFor(keysym);
        if (!spare) {
            // Every spare keycode is held down: fall back to the keymap itself.
            const KeyCode kc = XKeysymToKeycode(dpy_, keysym);
            if (kc == 0) return fail(EBUSY), false;
            XTestFakeKeyEvent(dpy_, kc, down, CurrentTime);
            if (used) *used = kc;
            return true;
        }
        XTestFakeKeyEvent(dpy_, spare->keycode, down, CurrentTime);
        spare->lastUse = std::chrono::steady_clock::now();
        if (used) *used = spare->keycode;
        return true;
    }

    Spare* spareByKeycode(KeyCode kc) {
        for (auto& s : spares_)
            if (s.keycode == kc) return &s;
        return nullptr;
    }

    bool virtualKeyLocked(uint16_t vk, bool down) {
        if (!down) {
            // Release exactly the keycode the press used.
            auto it = vkDown_.find(vk);
            if (it != vkDown_.end()) {
                const KeyCode kc = it->second;
                vkDown_.erase(it);
                XTestFakeKeyEvent(dpy_, kc, False, CurrentTime);
                if (Spare* s = spareByKeycode(kc)) {
                    s->pins = std::max(0, s->pins - 1);
                    s->lastUse = std::chrono::steady_clock::now();
                }
                return true;
            }
        }
        const KeySym keysym = keysymForVirtualKey(vk);
        if (keysym == NoSymbol) return fail(EINVAL), false;
        KeyCode kc = XKeysymToKeycode(dpy_, keysym);
        // A keysym that needs a modifier on its own key (keypad digits without
        // NumLock) goes through a spare keycode, where it is the base symbol.
        if (kc != 0 && XkbKeycodeToKeysym(dpy_, kc, 0, 0) != keysym) kc = 0;
        if (kc != 0) {
            XTestFakeKeyEvent(dpy_, kc, down, CurrentTime);
        } else if (!fakeKeysym(keysym, down, &kc)) {
            return false;
        } else if (down) {
            if (Spare* s = spareByKeycode(kc)) ++s->pins;
        }
        if (down) {
            // A repeated press of a key already down keeps its first keycode.
            vkDown_.emplace(vk, kc);
        }
        return true;
    }

    bool unicodeLocked(uint16_t unit, bool down) {
        uint32_t cp = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            // The high half only announces the character; the low half types it.
            if (down) pendingHigh_ = unit;
            return true;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (pendingHigh_ == 0) {
                cp = 0xFFFD;
            } else {
                cp = 0x10000 + ((pendingHigh_ - 0xD800) << 10) + (unit - 0xDC00);
            }
            if (!down) pendingHigh_ = 0;
        } else {
            pendingHigh_ = 0;
        }
        return fakeKeysym(keysymForCodePoint(cp), down);
    }

    std::mutex mutex_;
    std::string displayName_;
    Display* dpy_ = nullptr;
    std::atomic<bool> lost_{false};
    std::chrono::steady_clock::time_point lastOpenAttempt_{};
    bool opened_ = false;  // an open was attempted before
    int minKeycode_ = 8, maxKeycode_ = 255;
    std::vector<Spare> spares_;
    std::unordered_map<uint16_t, KeyCode> vkDown_;
    uint16_t pendingHigh_ = 0;
    int32_t carryX_ = 0, carryY_ = 0;
    std::atomic<uint32_t> sasPolicy_{0};
};

}  // namespace

std::unique_ptr<InputBackend> createInputBackend(const std::string& display) {
    return std::make_unique<X11InputBackend>(display);
}

}  // namespace kvd::platform
