// ICE server lists as the service hands them over (KELVANDRUM_ICE_SERVERS
// text through ingestIceServers), then every URL as the peer connection takes
// it: STUN URLs straight to parseIceServerUrl, TURN URLs through the guard
// first. A URL the parser accepts always names a host; one the TURN guard
// rejects never reaches the parser. First byte: a whole list, or one URL.
#include <cstdint>
#include <string>

#include "engine/config.h"
#include "fuzz_support.h"
#include "webrtc/rtc_adapter.h"
#include "webrtc/sdp_guard.h"

namespace {

void takeUrl(const std::string& url, bool turn) {
    if (turn && !kvd::turnUrlPassesGuard(url)) return;
    try {
        const kvd::RtcIceServer s = kvd::parseIceServerUrl(url);
        if (s.host.empty() || s.port == 0) __builtin_trap();
        if (turn && s.kind != kvd::RtcIceServer::Kind::Turn) __builtin_trap();
    } catch (const kvd::RtcError&) {
        // Skipped with a warning, as the peer connection does.
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kvd::fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvd::fuzz::Reader in(data, size);
    const uint8_t mode = in.byte();
    const std::string text(in.rest());
    if (mode & 1) {
        takeUrl(text, mode & 2);
        return 0;
    }
    kvd::EngineConfig cfg;
    (void)kvd::ingestIceServers(cfg, text);
    for (const auto& url : cfg.stunServers) takeUrl(url, false);
    for (const auto& entry : cfg.turnServers) takeUrl(entry.url, true);
    return 0;
}
