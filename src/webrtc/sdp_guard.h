#pragma once
// Checks and rewrites applied to everything that crosses between the viewer
// and the peer connection: answer and candidate guards, the TURN URL guard,
// the outgoing SDP rewrites and the offer-resend limiter.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvd {

inline constexpr size_t kMaxAnswerSdpBytes = 262144;
inline constexpr size_t kMaxCandidateBytes = 4096;

// nullopt when the answer may be applied, else the reason word
// ("empty", "too_large", "no_fingerprint").
std::optional<std::string> answerRejectReason(std::string_view sdp);

bool remoteCandidatePassesGuard(std::string_view candidate);

bool turnUrlPassesGuard(std::string_view url);

// "m=video 0 " -> "m=video 9 " (and audio, application); same length.
std::string rewriteZeroPorts(std::string sdp);

// Inserts "b=AS:<kbps>" into the video section after its c= line (or right
// after the m= line) unless the section already has a b=AS line.
std::string insertVideoBitrate(std::string sdp, uint32_t kbps);

// Adds "a=max-message-size:<bytes>" after the a=sctp-port line of the
// application section unless one is present.
std::string insertSctpMaxMessageSize(std::string sdp, uint64_t bytes);

// Number of m= sections.
size_t countMediaSections(std::string_view sdp);

// At most one resend per 30 s, at most 10 in a row; a pause of more than two
// minutes between joins starts a new series.
class OfferResendLimiter {
  public:
    bool allow(int64_t nowMs);
    void reset() { *this = OfferResendLimiter{}; }
    int32_t allowedCount() const { return allowedCount_; }

  private:
    int64_t lastAllowedMs_ = -1;
    int64_t lastSeenMs_ = -1;
    int32_t allowedCount_ = 0;
};

}  // namespace kvd
