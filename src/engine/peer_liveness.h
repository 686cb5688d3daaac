#pragma once
// Notices a connected viewer that went silent. A viewer whose browser or
// machine dies without closing leaves the transport "connected" for good;
// what remains is that nothing arrives from it any more. A live viewer sends
// RTCP reports while it receives video and acknowledges whatever we send on
// a data channel, so a quiet connection is first asked for a sign of life
// (a probe the caller sends) and declared departed only when even that
// stays unanswered for the whole silence limit.
#include <cstdint>
#include <optional>

#include "common/clock.h"

namespace kvd {

class PeerLiveness {
  public:
    static constexpr int64_t kDefaultSilenceMs = 15000;
    static constexpr int64_t kMaxProbeIntervalMs = 2000;

    enum class Verdict {
        Alive,     // nothing to do
        Probe,     // quiet for a while: send the viewer something it must answer
        Departed,  // silent for the whole limit: the viewer is gone (reported once)
    };

    // silenceMs is clamped to at least 1 ms; probes go out every
    // min(2 s, silenceMs / 4) of quiet.
    explicit PeerLiveness(const Clock& clock, int64_t silenceMs = kDefaultSilenceMs);

    // One sample: whether the connection is up, and the connection's count
    // of packets received so far (any change counts as a sign of life). A
    // connection that cannot count is never judged.
    Verdict sample(bool connected, std::optional<uint64_t> packetsReceived);
    // A new connection: forget the old one's counter and verdict.
    void reset();

    int64_t silenceMs() const { return silenceMs_; }
    // How long the current connection has been quiet (0 when not watching).
    int64_t quietForMs() const;
    // Probes asked for during the current quiet spell.
    uint32_t probesInQuiet() const { return probes_; }

  private:
    const Clock& clock_;
    int64_t silenceMs_;
    int64_t probeEveryMs_;
    bool watching_ = false;
    bool declared_ = false;
    uint64_t lastCount_ = 0;
    int64_t lastProgressMs_ = 0;
    int64_t lastProbeMs_ = 0;
    uint32_t probes_ = 0;
};

}  // namespace kvd
