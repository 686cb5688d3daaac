#pragma once
// Time sources. Every timer in the engine reads the steady clock through this
// interface so that tests can drive time by hand.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace kvd {

class Clock {
  public:
    virtual ~Clock() = default;
    // Steady (monotonic) time.
    virtual int64_t nowMs() const = 0;
    virtual int64_t nowUs() const = 0;
};

class SteadyClock final : public Clock {
  public:
    int64_t nowMs() const override;
    int64_t nowUs() const override;
    // The process-wide instance.
    static const SteadyClock& instance();
};

// A clock that only moves when told to; for tests and simulations.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(int64_t startMs = 1'000'000) : us_(startMs * 1000) {}
    int64_t nowMs() const override { return us_.load() / 1000; }
    int64_t nowUs() const override { return us_.load(); }
    void advanceMs(int64_t ms) { us_ += ms * 1000; }
    void advanceUs(int64_t us) { us_ += us; }
    void setMs(int64_t ms) { us_ = ms * 1000; }

  private:
    std::atomic<int64_t> us_;
};

// Steady milliseconds from the process-wide clock.
inline int64_t steadyNowMs() {
    return SteadyClock::instance().nowMs();
}
inline int64_t steadyNowUs() {
    return SteadyClock::instance().nowUs();
}

// Wall-clock milliseconds since the Unix epoch; only for message timestamps.
int64_t wallNowMs();

// UTC time text "YYYY-MM-DDTHH:MM:SSZ" for seconds since the epoch.
std::string utcTimeText(int64_t epochSeconds);

}  // namespace kvd
