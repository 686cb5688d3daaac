// WebSocket signaling: fragments reassembled by SignalingReceiver under a
// small size cap and queue cap, then each message's type, the pong answer to
// a ping, and delivery through the handler table (a throwing handler too).
#include <cstdint>
#include <string>

#include "common/json_util.h"
#include "fuzz_support.h"
#include "signaling/signaling_messages.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kQueueCap = 8, kMaxBytes = 4096;
    kvd::SignalingReceiver rx(kQueueCap, kMaxBytes);
    kvd::SignalingHandlerTable table;
    uint64_t seen = 0;
    table.set("ping",
              [&](const kvd::Json& m) { seen += kvd::dumpJson(kvd::makePongMessage(m)).size(); });
    table.set("offer", [&](const kvd::Json& m) { seen += kvd::jsonStringOr(m, "sdp", "").size(); });
    table.set("ice", [&](const kvd::Json& m) {
        if (const kvd::Json* c = kvd::jsonObject(m, "candidate"))
            seen += kvd::jsonStringOr(*c, "candidate", "").size() +
                    kvd::jsonInt(*c, "sdpMLineIndex").value_or(0);
    });
    table.set("answer", [](const kvd::Json& m) { (void)m.at("sdp").get<std::string>(); });

    kvd::fuzz::Reader in(data, size);
    while (!in.empty()) {
        const uint8_t op = in.byte();
        if (op == 0xff) {
            rx.resetPartial();
            continue;
        }
        // Low bit: final fragment; the rest scales the fragment length.
        const std::string_view piece = in.take(static_cast<size_t>(op >> 1) * 17 + in.byte());
        rx.onFragment(piece.data(), piece.size(), op & 1);
        if (rx.queued() > kQueueCap) __builtin_trap();
    }
    rx.onFragment("", 0, true);
    for (const kvd::Json& msg : rx.takeAll()) table.deliver(msg, kvd::signalingType(msg), "[fuzz]");
    return seen == 0xffffffffffffffffull;
}
