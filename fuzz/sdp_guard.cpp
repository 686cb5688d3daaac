// The SDP answer, remote candidate and TURN URL guards, and the rewrites the
// engine applies to SDP text (which may come back from the viewer's answer
// before it is checked). The first byte picks what the rest is fed to.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "webrtc/sdp_guard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvd::fuzz::Reader in(data, size);
    const uint8_t mode = in.byte();
    const std::string_view text = in.rest();
    switch (mode % 4) {
        case 0:
            (void)kvd::answerRejectReason(text);
            (void)kvd::countMediaSections(text);
            break;
        case 1:
            (void)kvd::remoteCandidatePassesGuard(text);
            break;
        case 2:
            (void)kvd::turnUrlPassesGuard(text);
            break;
        default: {
            std::string sdp = kvd::rewriteZeroPorts(std::string(text));
            if (sdp.size() != text.size()) __builtin_trap();  // documented as same length
            sdp = kvd::insertVideoBitrate(std::move(sdp), 1000u + mode);
            sdp = kvd::insertSctpMaxMessageSize(std::move(sdp), 262144);
            (void)kvd::countMediaSections(sdp);
            break;
        }
    }
    return 0;
}
