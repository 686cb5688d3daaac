// Chat from both ends: the viewer's messages on the chat channel through
// ChatService (rate limit and receipts on an injected clock), and the tray's
// byte stream through TrayChatBridge over a scripted pipe whose reads hand out
// the fuzzer's chunks, each accepted tray text going back out as the engine
// sends it. First byte: which, and the tray's script options.
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "chat/chat_service.h"
#include "chat/tray_chat_bridge.h"
#include "common/clock.h"
#include "fuzz_support.h"

namespace {

// The pipe's state, shared by the harness and the bridge's thread.
struct Script {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::string> reads;
    bool served = false;   // the scripted client was handed out
    bool drained = false;  // its last read returned the end
    bool closing = false;  // the harness is about to stop the bridge
    bool secondClient = false;
    uint64_t written = 0;
};

class ScriptedConnection final : public kvd::platform::LocalPipeConnection {
  public:
    ScriptedConnection(Script& s, bool primary) : s_(s), primary_(primary) {}
    bool writeAll(const char*, size_t len, int, int&) override {
        std::lock_guard lk(s_.mu);
        s_.written += len;
        return true;
    }
    long available(int&) override { return 0; }
    kvd::platform::PipeIo read(char* buf, size_t cap, int) override {
        std::lock_guard lk(s_.mu);
        kvd::platform::PipeIo io;
        if (!primary_ || s_.reads.empty()) {
            s_.drained = s_.drained || primary_;
            s_.cv.notify_all();
            return io;  // the tray closed its end
        }
        std::string& next = s_.reads.front();
        const size_t n = std::min(cap, next.size());
        std::memcpy(buf, next.data(), n);
        next.erase(0, n);
        if (next.empty()) s_.reads.pop_front();
        io.bytes = static_cast<long>(n);
        return io;
    }
    void shutdown() override {}
    kvd::platform::PipePeer peer() const override { return {}; }

  private:
    Script& s_;
    bool primary_;
};

class ScriptedServer final : public kvd::platform::LocalPipeServer {
  public:
    explicit ScriptedServer(Script& s) : s_(s) {}
    std::unique_ptr<kvd::platform::LocalPipeConnection> accept(int timeoutMs, int& error) override {
        std::unique_lock lk(s_.mu);
        if (!s_.served) {
            s_.served = true;
            return std::make_unique<ScriptedConnection>(s_, true);
        }
        if (timeoutMs == 0 && s_.secondClient) {
            s_.secondClient = false;
            return std::make_unique<ScriptedConnection>(s_, false);
        }
        // Nobody else comes: wait until the harness stops the bridge.
        if (timeoutMs > 0)
            s_.cv.wait_for(lk, std::chrono::seconds(10), [this] { return s_.closing; });
        error = ETIMEDOUT;
        return nullptr;
    }
    const std::string& path() const override { return path_; }

  private:
    Script& s_;
    std::string path_ = "/scripted/tray.sock";
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvd::fuzz::Reader in(data, size);
    const uint8_t mode = in.byte();
    kvd::ManualClock clock;
    kvd::ChatService chat(clock, [] { return int64_t{1700000000000}; });
    uint64_t sent = 0, shown = 0;
    chat.setSender([&sent](const std::string& json) {
        // What goes to the viewer is always one JSON object.
        const auto j = kvd::parseJson(json);
        if (!j || !j->is_object()) __builtin_trap();
        ++sent;
        return true;
    });
    chat.setOnMessage([&shown](const kvd::ChatMessage& m) {
        if (m.id.empty() || m.text.empty() || m.text.size() > kvd::kChatMaxBytes) __builtin_trap();
        ++shown;
    });
    chat.setOnTyping([&shown](bool) { ++shown; });
    chat.setOnDelivered([&shown](const std::string&) { ++shown; });

    if (mode & 1) {  // viewer messages, with time passing between them
        while (!in.empty()) {
            const uint8_t op = in.byte();
            if (op < 32) {
                clock.advanceMs(int64_t{op} * 50);
            } else if (op < 48) {
                (void)chat.buildOutbound(in.piece());
            } else {
                const size_t cap = op & 1 ? 255 : 5000;
                std::string_view msg = in.piece(255);
                std::string big;
                if (cap > 255 && !msg.empty()) {  // repeat to reach the size limit
                    for (size_t i = 0; i < 20; ++i) big += msg;
                    msg = big;
                }
                (void)chat.handleInbound(msg);
            }
        }
        const auto c = chat.counters();
        if (c.rateLimited + c.parseFailures + c.unhandledType > c.inbound) __builtin_trap();
        return 0;
    }

    if (mode & 2) {  // one tray line on its own
        (void)kvd::trayLineText(in.rest());
        return 0;
    }

    // The tray's byte stream, in chunks the fuzzer cuts.
    Script script;
    script.secondClient = mode & 4;
    while (!in.empty()) {
        const size_t n = (mode & 8) ? in.u16() : in.byte();
        // A read of nothing would be the end of the stream.
        if (const auto chunk = in.take(n); !chunk.empty()) script.reads.emplace_back(chunk);
    }
    kvd::TrayChatBridge bridge(
        [&script](const std::string& name) {
            kvd::platform::PipeServerResult r;
            r.server = std::make_unique<ScriptedServer>(script);
            r.path = "/scripted/" + name;
            return r;
        },
        [] { return int64_t{1700000000000}; });
    bridge.setOutboundCallback(
        [&chat](const std::string& text) { (void)chat.buildOutbound(text); });
    bridge.start("session-\xff\"1", "Tech\nnician");
    {
        std::unique_lock lk(script.mu);
        script.cv.wait_for(lk, std::chrono::seconds(10), [&] { return script.drained; });
        script.closing = true;
    }
    script.cv.notify_all();
    bridge.stop();
    return 0;
}
