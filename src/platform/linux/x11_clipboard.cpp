// The CLIPBOARD selection of the X display. The clipboard thread owns one
// connection and an unmapped window: it watches the selection's owner through
// XFixes and, while the engine owns the selection, serves TARGETS,
// UTF8_STRING, STRING and TEXT, in INCR chunks when the text does not fit one
// request. Reads use a short-lived connection of their own, so they work from
// any thread, the clipboard thread's change callback included.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "common/log.h"
#include "platform/clipboard.h"
#include "platform/linux/x11_util.h"

namespace kvd::platform {

namespace {

int64_t monoMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int kAnswerTimeoutMs = 2000;
constexpr int64_t kTransferIdleMs = 10000;

struct Atoms {
    Atom clipboard, targets, utf8, string, text, incr, property;
    explicit Atoms(Display* d)
        : clipboard(XInternAtom(d, "CLIPBOARD", False)),
          targets(XInternAtom(d, "TARGETS", False)),
          utf8(XInternAtom(d, "UTF8_STRING", False)),
          string(XA_STRING),
          text(XInternAtom(d, "TEXT", False)),
          incr(XInternAtom(d, "INCR", False)),
          property(XInternAtom(d, "KVD_CLIPBOARD", False)) {}
};

std::string latin1ToUtf8(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (unsigned char c : in) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Characters outside Latin-1 become '?'.
std::string utf8ToLatin1(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        const auto c = static_cast<unsigned char>(in[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        if (i + len > in.size()) len = in.size() - i;
        if (len == 1 && c < 0x80) {
            out += static_cast<char>(c);
        } else if (len == 2) {
            const uint32_t cp =
                ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(in[i + 1]) & 0x3Fu);
            out += cp <= 0xFF ? static_cast<char>(cp) : '?';
        } else {
            out += '?';
        }
        i += len;
    }
    return out;
}

// Waits for the next event that `match` accepts; other events are dropped
// (only used on private connections).
template <typename Match>
bool waitEvent(Display* d, XEvent& ev, int64_t deadlineMs, Match match) {
    for (;;) {
        while (XPending(d) > 0) {
            XNextEvent(d, &ev);
            if (match(ev)) return true;
        }
        const int64_t left = deadlineMs - monoMs();
        if (left <= 0) return false;
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100)));
    }
}

struct PropertyValue {
    Atom type = None;
    std::string bytes;
    bool ok = false;
};

PropertyValue takeProperty(Display* d, Window w, Atom prop) {
    PropertyValue v;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, prop, 0, LONG_MAX / 4, True, AnyPropertyType, &type, &format,
                           &items, &after, &data) != Success) {
        return v;
    }
    v.ok = true;
    v.type = type;
    if (data && format == 8) v.bytes.assign(reinterpret_cast<char*>(data), items);
    if (data) XFree(data);
    return v;
}

// One conversion of the selection on a private connection, INCR included.
std::optional<std::string> convertSelection(Display* d, const Atoms& a, Window w, Atom target,
                                            size_t maxBytes) {
    XConvertSelection(d, a.clipboard, target, a.property, w, CurrentTime);
    XFlush(d);
    XEvent ev;
    const bool answered = waitEvent(d, ev, monoMs() + kAnswerTimeoutMs, [&](const XEvent& e) {
        return e.type == SelectionNotify && e.xselection.requestor == w;
    });
    if (!answered || ev.xselection.property == None) return std::nullopt;
    PropertyValue v = takeProperty(d, w, a.property);
    if (!v.ok) return std::nullopt;
    if (v.type != a.incr) {
        if (v.bytes.size() > maxBytes) return std::nullopt;
        return v.bytes;
    }
    // INCR: every deletion of the property asks the owner for the next
    // chunk; an empty chunk ends the transfer.
    std::string all;
    for (;;) {
        const bool got = waitEvent(d, ev, monoMs() + kAnswerTimeoutMs, [&](const XEvent& e) {
            return e.type == PropertyNotify && e.xproperty.window == w &&
                   e.xproperty.atom == a.property && e.xproperty.state == PropertyNewValue;
        });
        if (!got) return std::nullopt;
        PropertyValue chunk = takeProperty(d, w, a.property);
        if (!chunk.ok) return std::nullopt;
        if (chunk.bytes.empty()) return all;
        if (all.size() + chunk.bytes.size() > maxBytes) return std::nullopt;
        all += chunk.bytes;
    }
}

std::optional<std::string> readSelection(const std::string& display, size_t maxBytes) {
    auto dpy = openDisplay(display);
    if (!dpy) return std::nullopt;
    Display* d = dpy.get();
    const Atoms a(d);
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(d, w, PropertyChangeMask);
    std::optional<std::string> text;
    if (XGetSelectionOwner(d, a.clipboard) != None) {
        text = convertSelection(d, a, w, a.utf8, maxBytes);
        if (!text) {
            // Latin-1 grows by at most a factor of two in UTF-8.
            auto latin = convertSelection(d, a, w, a.string, maxBytes);
            if (latin) {
                text = latin1ToUtf8(*latin);
                if (text->size() > maxBytes) text.reset();
            }
        }
    }
    XDestroyWindow(d, w);
    XSync(d, False);
    return text;
}

bool disownSelection(const std::string& display, int& error) {
    auto dpy = openDisplay(display);
    if (!dpy) {
        error = ENXIO;
        return false;
    }
    const unsigned long before = xErrorCount();
    XSetSelectionOwner(dpy.get(), XInternAtom(dpy.get(), "CLIPBOARD", False), None, CurrentTime);
    if (!syncAndCheck(dpy.get(), before)) {
        error = EIO;
        return false;
    }
    error = 0;
    return true;
}

class X11Clipboard final : public ClipboardAccess {
  public:
    X11Clipboard(std::string display, XDisplayPtr dpy)
        : displayName_(std::move(display)), dpy_(std::move(dpy)) {}
    ~X11Clipboard() override { stop(); }

    bool start(std::function<void()> onChange) override {
        std::lock_guard<std::mutex> lifecycle(lifecycleMu_);
        if (thread_.joinable() || !dpy_) return false;
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        onChange_ = std::move(onChange);
        running_ = true;
        ready_ = false;
        thread_ = std::thread([this] { threadMain(); });
        for (int i = 0; i < 100 && !ready_ && running_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!ready_) {
            running_ = false;
            wakeThread();
            thread_.join();
            closeWake();
            return false;
        }
        return true;
    }

    void stop() override {
        std::lock_guard<std::mutex> lifecycle(lifecycleMu_);
        if (!thread_.joinable()) return;
        running_ = false;
        wakeThread();
        thread_.join();
        closeWake();
        failPendingCommands();
    }

    uint64_t windowId() const override { return window_.load(); }

    std::optional<std::string> readText(size_t maxBytes) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (owned_) {
                if (ownedText_.size() > maxBytes) return std::nullopt;
                return ownedText_;
            }
        }
        return readSelection(displayName_, maxBytes);
    }

    bool writeText(const std::string& utf8) override { return command(Command::Own, utf8); }

    bool clear() override {
        if (ready_) return command(Command::Disown, {});
        int error = 0;
        return disownSelection(displayName_, error);
    }

  private:
    enum class Command { Own, Disown };
    struct Pending {
        Command kind;
        std::string text;
        std::promise<bool> done;
    };
    struct Transfer {
        Window requestor;
        Atom property;
        Atom type;
        std::shared_ptr<const std::string> data;
        size_t offset = 0;
        int64_t lastMs = 0;
    };

    bool command(Command kind, std::string text) {
        std::future<bool> result;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!ready_ || !running_) return false;
            commands_.push_back({kind, std::move(text), {}});
            result = commands_.back().done.get_future();
        }
        wakeThread();
        if (result.wait_for(std::chrono::milliseconds(kAnswerTimeoutMs)) !=
            std::future_status::ready)
            return false;
        return result.get();
    }

    void failPendingCommands() {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& c : commands_) c.done.set_value(false);
        commands_.clear();
    }

    void wakeThread() {
        if (wake_[1] >= 0) {
            const char b = 1;
            [[maybe_unused]] auto n = write(wake_[1], &b, 1);
        }
    }
    void closeWake() {
        for (int& fd : wake_) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }

    void threadMain() {
        Display* d = dpy_.get();
        const Atoms a(d);
        atoms_ = &a;
        const unsigned long before = xErrorCount();
        const Window w = XCreateWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, CopyFromParent,
                                       InputOnly, CopyFromParent, 0, nullptr);
        if (!syncAndCheck(d, before) || w == None) {
            logger().error("[clipboard] CreateWindowExW failed gle={}", lastXErrorCode());
            running_ = false;
            return;
        }
        window_ = w;
        chunkLimit_ = static_cast<size_t>(std::max<long>(XMaxRequestSize(d) * 4 - 1024, 4096));
        int fixesEvent = 0, fixesError = 0;
        if (XFixesQueryExtension(d, &fixesEvent, &fixesError)) {
            XFixesSelectSelectionInput(d, w, a.clipboard,
                                       XFixesSetSelectionOwnerNotifyMask |
                                           XFixesSelectionWindowDestroyNotifyMask |
                                           XFixesSelectionClientCloseNotifyMask);
        } else {
            fixesEvent = -1;
            logger().warn("[clipboard] AddClipboardFormatListener failed gle={}", ENOSYS);
        }
        XFlush(d);
        ready_ = true;

        while (running_) {
            runCommands(d, w);
            while (XPending(d) > 0) {
                XEvent ev;
                XNextEvent(d, &ev);
                handleEvent(d, ev, fixesEvent);
            }
            expireTransfers(d);
            XFlush(d);
            pollfd p[2] = {{ConnectionNumber(d), POLLIN, 0}, {wake_[0], POLLIN, 0}};
            poll(p, 2, 200);
            if (p[1].revents & POLLIN) {
                char buf[64];
                while (read(wake_[0], buf, sizeof buf) > 0) {
                }
            }
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            owned_ = false;
            ownedText_.clear();
            ready_ = false;
        }
        for (auto& [key, t] : transfers_) XSelectInput(d, t.requestor, NoEventMask);
        transfers_.clear();
        XDestroyWindow(d, w);
        XSync(d, False);
        window_ = 0;
        atoms_ = nullptr;
    }

    void runCommands(Display* d, Window w) {
        std::deque<Pending> batch;
        {
            std::lock_guard<std::mutex> lock(mu_);
            batch.swap(commands_);
        }
        for (auto& c : batch) {
            bool ok = false;
            if (c.kind == Command::Own) {
                {
                    // Set before taking ownership: a request can arrive as
                    // soon as the server knows the new owner.
                    std::lock_guard<std::mutex> lock(mu_);
                    ownedText_ = std::move(c.text);
                    owned_ = true;
                }
                XSetSelectionOwner(d, atoms_->clipboard, w, CurrentTime);
                ok = XGetSelectionOwner(d, atoms_->clipboard) == w;
                if (!ok) {
                    std::lock_guard<std::mutex> lock(mu_);
                    owned_ = false;
                    ownedText_.clear();
                }
            } else {
                XSetSelectionOwner(d, atoms_->clipboard, None, CurrentTime);
                std::lock_guard<std::mutex> lock(mu_);
                owned_ = false;
                ownedText_.clear();
                ok = XGetSelectionOwner(d, atoms_->clipboard) == None;
            }
            c.done.set_value(ok);
        }
    }

    void handleEvent(Display* d, XEvent& ev, int fixesEvent) {
        if (fixesEvent >= 0 && ev.type == fixesEvent + XFixesSelectionNotify) {
            // Exceptions must not end the thread; the callback is the
            // listener's, which catches its own.
            if (onChange_) onChange_();
            return;
        }
        switch (ev.type) {
            case SelectionRequest:
                serve(d, ev.xselectionrequest);
                break;
            case SelectionClear:
                if (ev.xselectionclear.selection == atoms_->clipboard) {
                    std::lock_guard<std::mutex> lock(mu_);
                    owned_ = false;
                    ownedText_.clear();
                }
                break;
            case PropertyNotify:
                if (ev.xproperty.state == PropertyDelete) continueTransfer(d, ev.xproperty);
                break;
            default:
                break;
        }
    }

    void serve(Display* d, const XSelectionRequestEvent& rq) {
        const Atoms& a = *atoms_;
        XEvent reply{};
        reply.xselection.type = SelectionNotify;
        reply.xselection.display = d;
        reply.xselection.requestor = rq.requestor;
        reply.xselection.selection = rq.selection;
        reply.xselection.target = rq.target;
        reply.xselection.property = None;
        reply.xselection.time = rq.time;
        // Obsolete clients name no property: the target doubles as one.
        const Atom prop = rq.property == None ? rq.target : rq.property;
        std::shared_ptr<const std::string> text;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (owned_ && rq.selection == a.clipboard)
                text = std::make_shared<const std::string>(ownedText_);
        }
        if (text) {
            if (rq.target == a.targets) {
                const Atom list[] = {a.targets, a.utf8, a.string, a.text};
                XChangeProperty(d, rq.requestor, prop, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(list), 4);
                reply.xselection.property = prop;
            } else if (rq.target == a.utf8 || rq.target == a.text) {
                sendData(d, rq.requestor, prop, a.utf8, std::move(text));
                reply.xselection.property = prop;
            } else if (rq.target == a.string) {
                sendData(d, rq.requestor, prop, a.string,
                         std::make_shared<const std::string>(utf8ToLatin1(*text)));
                reply.xselection.property = prop;
            }
        }
        XSendEvent(d, rq.requestor, False, NoEventMask, &reply);
        XFlush(d);
    }

    void sendData(Display* d, Window requestor, Atom prop, Atom type,
                  std::shared_ptr<const std::string> data) {
        if (data->size() <= chunkLimit_) {
            XChangeProperty(d, requestor, prop, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data->data()),
                            static_cast<int>(data->size()));
            return;
        }
        // Too large for one request: announce INCR and hand out a chunk
        // every time the requestor deletes the property.
        XSelectInput(d, requestor, PropertyChangeMask);
        const long size = static_cast<long>(data->size());
        XChangeProperty(d, requestor, prop, atoms_->incr, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        transfers_[{requestor, prop}] =
            Transfer{requestor, prop, type, std::move(data), 0, monoMs()};
    }

    void continueTransfer(Display* d, const XPropertyEvent& pe) {
        auto it = transfers_.find({pe.window, pe.atom});
        if (it == transfers_.end()) return;
        Transfer& t = it->second;
        const size_t n = std::min(chunkLimit_, t.data->size() - t.offset);
        XChangeProperty(d, t.requestor, t.property, t.type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(t.data->data() + t.offset),
                        static_cast<int>(n));
        t.offset += n;
        t.lastMs = monoMs();
        if (n == 0) {
            XSelectInput(d, t.requestor, NoEventMask);
            transfers_.erase(it);
        }
    }

    // A requestor that stops reading (or went away) must not pin its data.
    void expireTransfers(Display* d) {
        const int64_t now = monoMs();
        for (auto it = transfers_.begin(); it != transfers_.end();) {
            if (now - it->second.lastMs > kTransferIdleMs) {
                XSelectInput(d, it->second.requestor, NoEventMask);
                it = transfers_.erase(it);
            } else {
                ++it;
            }
        }
    }

    const std::string displayName_;
    XDisplayPtr dpy_;
    std::mutex lifecycleMu_;
    std::thread thread_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> running_{false};
    std::atomic<bool> ready_{false};
    std::atomic<uint64_t> window_{0};
    std::function<void()> onChange_;

    std::mutex mu_;  // guards owned_, ownedText_, commands_
    bool owned_ = false;
    std::string ownedText_;
    std::deque<Pending> commands_;

    // Clipboard thread only.
    const Atoms* atoms_ = nullptr;
    size_t chunkLimit_ = 65536;
    std::map<std::pair<Window, Atom>, Transfer> transfers_;
};

}  // namespace

std::unique_ptr<ClipboardAccess> createClipboardAccess(const std::string& display) {
    auto dpy = openDisplay(display);
    if (!dpy) return nullptr;
    return std::make_unique<X11Clipboard>(display, std::move(dpy));
}

bool clearDesktopClipboard(int& error) {
    return disownSelection({}, error);
}

}  // namespace kvd::platform
