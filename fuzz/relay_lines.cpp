// The local service's relay link: the bytes the service sends, read by
// PipeSignalingClient's reader thread from a fake connection (in the chunks
// the input chooses), split into lines, dispatched to the service callbacks
// and the signaling queue, then delivered by poll().
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "common/json_util.h"
#include "fuzz_support.h"
#include "signaling/pipe_signaling_client.h"

namespace {

// What the service sends on one link, consumed by the client's reader.
struct Script {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::string> chunks;
    bool shut = false;
    bool released = false;  // past the first chunk only once connect() returned
    bool firstServed = false;
    bool drained = false;  // the reader has seen the end of the script
};

class ScriptedConnection final : public kvd::platform::TcpConnection {
  public:
    explicit ScriptedConnection(std::shared_ptr<Script> s) : s_(std::move(s)) {}
    kvd::platform::IoResult receive(char* buf, size_t cap) override {
        std::unique_lock<std::mutex> lk(s_->m);
        // The input's bytes wait until connect() has seen the relay's
        // "connected": an early end of the link would only make it time out.
        if (s_->firstServed) s_->cv.wait(lk, [&] { return s_->released || s_->shut; });
        s_->firstServed = true;
        kvd::platform::IoResult r;
        if (s_->shut || s_->chunks.empty()) {
            s_->drained = true;
            s_->cv.notify_all();
            return r;  // the service closed the link
        }
        std::string& front = s_->chunks.front();
        const size_t n = std::min(cap, front.size());
        std::memcpy(buf, front.data(), n);
        front.erase(0, n);
        if (front.empty()) s_->chunks.pop_front();
        r.bytes = static_cast<long>(n);
        return r;
    }
    kvd::platform::IoResult sendSome(const char*, size_t len, int) override {
        kvd::platform::IoResult r;
        r.bytes = static_cast<long>(len);
        return r;
    }
    void shutdownBoth() override {
        std::lock_guard<std::mutex> lk(s_->m);
        s_->shut = true;
        s_->cv.notify_all();
    }
    void close() override {}

  private:
    std::shared_ptr<Script> s_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto script = std::make_shared<Script>();
    // The relay first reports the service's signaling as connected; then the
    // input, cut where it says.
    script->chunks.push_back("{\"type\":\"SIGNALING_CONNECTED\"}\n");
    kvd::fuzz::Reader in(data, size);
    while (!in.empty()) {
        const std::string_view chunk = in.take(size_t{in.byte()} * 8 + 1);
        if (!chunk.empty()) script->chunks.emplace_back(chunk);
    }

    kvd::PipeSignalingOptions o;
    o.connectTries = 1;
    o.waitStepMs = 1;
    o.waitSteps = 300;
    o.connector = [script](uint16_t, int) {
        kvd::platform::TcpConnectResult r;
        r.connection = std::make_unique<ScriptedConnection>(script);
        return r;
    };
    uint64_t seen = 0;
    kvd::PipeSignalingClient client("5000", "tok", o);
    auto count = [&seen](const kvd::Json& p) { seen += kvd::dumpJson(p).size(); };
    client.setOnSessionConfig(count);
    client.setOnCredentialInject(count);
    client.setOnStopSession([](const kvd::Json& p) { (void)p.at("reason").get<std::string>(); });
    client.on("offer", count);
    client.on("ice", [&seen](const kvd::Json& m) {
        seen += kvd::jsonStringOr(m, "candidate", "").size();
    });
    if (client.connect()) {
        std::unique_lock<std::mutex> lk(script->m);
        script->released = true;
        script->cv.notify_all();
        script->cv.wait(lk, [&] { return script->drained; });
    }
    client.poll();
    if (client.pendingRecvCount() > kvd::PipeSignalingClient::kRecvQueueCap) __builtin_trap();
    client.disconnect();
    return seen == 0xffffffffffffffffull;
}
