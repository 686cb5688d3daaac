#include "engine/peer_liveness.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

namespace kvd {
namespace {

using Verdict = PeerLiveness::Verdict;

struct Event {
    int64_t atMs;
    Verdict verdict;
    bool operator==(const Event&) const = default;
};

// Samples every 10 ms for `ms`; returns every verdict other than Alive with
// its time since the start.
std::vector<Event> drive(PeerLiveness& live, ManualClock& clock, int64_t ms,
                         const std::function<bool(int64_t)>& connected,
                         const std::function<std::optional<uint64_t>(int64_t)>& packets) {
    std::vector<Event> out;
    const int64_t start = clock.nowMs();
    for (int64_t t = 0; t <= ms; t += 10) {
        clock.setMs(start + t);
        const Verdict v = live.sample(connected(t), packets(t));
        if (v != Verdict::Alive) out.push_back({t, v});
    }
    return out;
}

auto always = [](int64_t) { return true; };

TEST(PeerLiveness, PacketsKeepAConnectedViewerAlive) {
    ManualClock clock;
    PeerLiveness live(clock);
    // RTCP from a viewer that receives video: about one packet a second,
    // with gaps up to 1.9 s.
    auto rtcp = [](int64_t t) -> std::optional<uint64_t> { return t / 1900; };
    EXPECT_TRUE(drive(live, clock, 120'000, always, rtcp).empty());
}

TEST(PeerLiveness, SilenceIsProbedThenDeclaredDepartedOnce) {
    ManualClock clock;
    PeerLiveness live(clock);
    auto frozen = [](int64_t) -> std::optional<uint64_t> { return 42; };
    const auto events = drive(live, clock, 60'000, always, frozen);
    std::vector<Event> want;
    for (int64_t t = 2000; t < 15'000; t += 2000) want.push_back({t, Verdict::Probe});
    want.push_back({15'000, Verdict::Departed});
    EXPECT_EQ(events, want);
    EXPECT_EQ(live.probesInQuiet(), 7u);
}

TEST(PeerLiveness, AnsweredProbeStartsTheQuietSpellAgain) {
    ManualClock clock;
    PeerLiveness live(clock);
    // The viewer answers the first probe 300 ms late, then dies.
    auto answered = [](int64_t t) -> std::optional<uint64_t> { return t >= 2300 ? 11 : 10; };
    const auto events = drive(live, clock, 30'000, always, answered);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), (Event{2000, Verdict::Probe}));
    EXPECT_EQ(events.back(), (Event{2300 + 15'000, Verdict::Departed}));
}

TEST(PeerLiveness, NothingBeforeTheConnectionAndTheLimitCountsFromIt) {
    ManualClock clock;
    PeerLiveness live(clock);
    auto connectedLate = [](int64_t t) { return t >= 40'000; };
    auto frozen = [](int64_t) -> std::optional<uint64_t> { return 0; };
    const auto events = drive(live, clock, 60'000, connectedLate, frozen);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), (Event{42'000, Verdict::Probe}));
    EXPECT_EQ(events.back(), (Event{55'000, Verdict::Departed}));
    // A connection that cannot count its packets is never judged.
    live.reset();
    auto uncounted = [](int64_t) -> std::optional<uint64_t> { return std::nullopt; };
    EXPECT_TRUE(drive(live, clock, 60'000, always, uncounted).empty());
}

TEST(PeerLiveness, RebuildStartsFreshWithTheNewConnectionsCounter) {
    ManualClock clock;
    PeerLiveness live(clock);
    auto frozen = [](int64_t) -> std::optional<uint64_t> { return 500; };
    ASSERT_EQ(drive(live, clock, 15'000, always, frozen).back().verdict, Verdict::Departed);
    live.reset();
    // The next connection's counter starts again at 0 and stays there: a
    // fresh, full limit, and one more departure.
    auto zero = [](int64_t) -> std::optional<uint64_t> { return 0; };
    const auto events = drive(live, clock, 40'000, always, zero);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (Event{15'000, Verdict::Departed}));
    // A drop of the connection in between does the same as reset.
    auto dropped = [](int64_t t) { return t < 1000 || t >= 2000; };
    EXPECT_EQ(drive(live, clock, 20'000, dropped, zero).back(),
              (Event{2000 + 15'000, Verdict::Departed}));
}

TEST(PeerLiveness, ShortLimitsProbeMoreOften) {
    ManualClock clock;
    PeerLiveness live(clock, 3000);
    auto frozen = [](int64_t) -> std::optional<uint64_t> { return 1; };
    const std::vector<Event> want = {{750, Verdict::Probe},
                                     {1500, Verdict::Probe},
                                     {2250, Verdict::Probe},
                                     {3000, Verdict::Departed}};
    EXPECT_EQ(drive(live, clock, 10'000, always, frozen), want);
}

}  // namespace
}  // namespace kvd
