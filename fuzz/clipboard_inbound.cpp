// The viewer's clipboard bodies: the raw-text field extractor and the
// tolerant base64 they use, the policy's inbound parse, and the control rows
// clipboard_set, clipboard_clear and paste_text through the dispatcher, with
// a fake clipboard and a counting injector behind them. A body the policy
// builds must read back as the bytes it was built from. First byte: which.
#include <cstdint>
#include <memory>
#include <string>

#include "common/clock.h"
#include "common/json_util.h"
#include "features/clipboard_sync.h"
#include "features/control_dispatcher.h"
#include "features/session_commands.h"
#include "fuzz_support.h"
#include "input/input_injector.h"
#include "unit/features/feature_fakes.h"

namespace {

class CountingInjector final : public kvd::InputInjector {
  public:
    void mouseMove(uint16_t, uint16_t) override {}
    void mouseDown(uint8_t) override {}
    void mouseUp(uint8_t) override {}
    void mouseWheel(int16_t, int16_t) override {}
    void keyDown(uint16_t, uint16_t, uint8_t) override { ++keys; }
    void keyUp(uint16_t, uint16_t, uint8_t) override { --keys; }
    void typeText(const std::string& s, uint32_t) override { typed += s.size(); }
    void sendSas() override {}
    void setActiveMonitorBounds(int32_t, int32_t, int32_t, int32_t) override {}
    bool isAvailable() override { return true; }
    int64_t keys = 0;
    uint64_t typed = 0;
};

kvd::ClipboardConfig configFrom(uint8_t b) {
    kvd::ClipboardConfig c;
    c.enabled = !(b & 1);
    c.inlineLimit = b & 2 ? 64 : 65536;
    c.maxBytes = b & 4 ? 100 : 10485760;
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvd::fuzz::Reader in(data, size);
    const uint8_t mode = in.byte();
    const uint8_t setup = in.byte();
    kvd::test::FakeClipboard clipboard;
    clipboard.writeOk = !(setup & 8);
    kvd::ClipboardPolicy policy(configFrom(setup), setup & 16 ? nullptr : &clipboard);
    kvd::ClipboardListener listener(&clipboard);
    uint64_t changes = 0;
    listener.start([&changes](const std::string& t, bool) { changes += t.size() + 1; });

    switch (mode % 4) {
        case 0: {  // the extractor and the decoder on their own
            const std::string_view key = in.piece(32);
            const std::string_view text = in.rest();
            if (auto v = kvd::extractJsonStringField(text, key)) {
                if (v->size() > text.size()) __builtin_trap();  // never longer than its source
                (void)kvd::decodeClipboardBase64(*v);
            }
            if (auto bytes = kvd::decodeClipboardBase64(text))
                if (bytes->size() > text.size()) __builtin_trap();
            break;
        }
        case 1: {  // a raw body as the policy receives it
            const std::string_view text = in.rest();
            kvd::ClipboardPayload payload;
            bool isClear = false;
            if (policy.parseInbound(text, payload, isClear) &&
                payload.bytes.size() > policy.config().maxBytes)
                __builtin_trap();
            kvd::handleInboundClipboard(policy, &listener, "clipboard_set", text);
            break;
        }
        case 2: {  // control messages through the dispatcher
            std::atomic<bool> cursorOverlay{false}, inputChannel{false}, videoDc{false},
                running{true};
            uint64_t replies = 0;
            kvd::ControlDispatcher dispatcher(
                {&cursorOverlay, &inputChannel, &videoDc, &running},
                [&replies](const kvd::Json& reply) { replies += kvd::dumpJson(reply).size(); });
            CountingInjector injector;
            kvd::ManualClock clock;
            kvd::SessionCommandDeps deps;
            deps.clipboard = &policy;
            deps.listener = &listener;
            deps.injector = [&injector, setup]() -> kvd::InputInjector* {
                return setup & 32 ? nullptr : &injector;
            };
            deps.secureDesktopActive = [setup] { return (setup & 64) != 0; };
            deps.accessMode = [setup] { return setup & 128 ? "VIEW_ONLY" : "FULL_CONTROL"; };
            deps.allowClipboard = [setup] { return !(setup & 1); };
            deps.clock = &clock;
            kvd::SessionCommands commands(std::move(deps), [&replies](const kvd::Json& reply) {
                replies += kvd::dumpJson(reply).size();
            });
            commands.registerWith(dispatcher);
            while (!in.empty())
                dispatcher.dispatch(std::string(in.byte() & 1 ? in.take(in.u16()) : in.piece()));
            // A paste by the clipboard presses Ctrl+V and lets it go again.
            if (injector.keys != 0) __builtin_trap();
            break;
        }
        default: {  // what we build reads back as what it was built from
            kvd::ClipboardPayload out;
            const std::string_view bytes = in.rest();
            out.bytes.assign(bytes.begin(), bytes.end());
            std::string body;
            if (policy.buildOutbound(out, body) != kvd::ClipboardPolicy::Built) break;
            kvd::ClipboardPayload back;
            bool isClear = true;
            if (!policy.parseInbound(body, back, isClear) || isClear || back.bytes != out.bytes)
                __builtin_trap();
            break;
        }
    }
    listener.stop();
    return 0;
}
