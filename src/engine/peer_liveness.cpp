#include "engine/peer_liveness.h"

#include <algorithm>

namespace kvd {

PeerLiveness::PeerLiveness(const Clock& clock, int64_t silenceMs)
    : clock_(clock),
      silenceMs_(std::max<int64_t>(1, silenceMs)),
      probeEveryMs_(std::max<int64_t>(1, std::min(kMaxProbeIntervalMs, silenceMs_ / 4))) {}

void PeerLiveness::reset() {
    watching_ = false;
    declared_ = false;
    probes_ = 0;
}

int64_t PeerLiveness::quietForMs() const {
    return watching_ ? clock_.nowMs() - lastProgressMs_ : 0;
}

PeerLiveness::Verdict PeerLiveness::sample(bool connected,
                                           std::optional<uint64_t> packetsReceived) {
    if (!connected || !packetsReceived) {
        reset();
        return Verdict::Alive;
    }
    const int64_t now = clock_.nowMs();
    if (!watching_ || *packetsReceived != lastCount_) {
        // The quiet spell starts at the connection or at the latest packet.
        watching_ = true;
        lastCount_ = *packetsReceived;
        lastProgressMs_ = now;
        lastProbeMs_ = now;
        probes_ = 0;
        return Verdict::Alive;
    }
    if (declared_) return Verdict::Alive;
    if (now - lastProgressMs_ >= silenceMs_) {
        declared_ = true;
        return Verdict::Departed;
    }
    if (now - lastProbeMs_ >= probeEveryMs_) {
        lastProbeMs_ = now;
        ++probes_;
        return Verdict::Probe;
    }
    return Verdict::Alive;
}

}  // namespace kvd
