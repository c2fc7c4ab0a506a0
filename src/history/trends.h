// Trend data of the last hour: the shortest and longest cycle time of every
// online tick against the band of the sample time, and the increases of the
// link error counters, summed per minute. The worst cycle time of the whole
// run is kept with the time it was seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "history/tick_record.h"

namespace kvx {

struct TrendSample {
    std::int64_t ms = 0;  // monotonic
    LocalTime time;
    std::uint32_t minCycleUs = 0, maxCycleUs = 0;
    TimeLimits limits{0, 0};
    LinkCounters counters{};
    LinkCounters increase{};  // since the previous online tick

    bool outOfBand() const { return minCycleUs < limits.lower || maxCycleUs > limits.upper; }
};

struct MinuteIncrease {
    static constexpr std::int64_t kMinuteMs = 60'000;

    std::int64_t startMs = 0;  // monotonic start of the minute
    std::array<std::uint64_t, kLinkCounterCount> increase{};
    // How much of the minute its increases cover: the whole minute, or for
    // the minute still running, from the sample before it to the newest one.
    std::int64_t coveredMs = kMinuteMs;

    bool partial() const { return coveredMs < kMinuteMs; }
    // The increase as a rate per whole minute, so that a minute still running
    // shows a steady rate as steady instead of as a drop.
    double perWholeMinute(int counter) const {
        return static_cast<double>(increase[static_cast<std::size_t>(counter)]) * kMinuteMs /
               static_cast<double>(coveredMs > 0 ? coveredMs : 1);
    }
};

struct WorstCycle {
    std::uint32_t maxCycleUs = 0;
    TimeLimits limits{0, 0};
    LocalTime time;
    std::int64_t ms = 0;
};

class TrendRecorder {
public:
    static constexpr std::int64_t kHourMs = 3'600'000;
    static constexpr std::int64_t kMinuteMs = MinuteIncrease::kMinuteMs;

    explicit TrendRecorder(std::int64_t windowMs = kHourMs) : windowMs_(windowMs) {}

    // Online ticks add a sample; samples older than the window are dropped.
    void observe(const TickRecord& tick);

    const std::deque<TrendSample>& samples() const { return samples_; }
    // One entry per minute from the minute of the oldest sample to that of
    // the newest, minutes without samples included (all zero). Minutes are
    // counted from the run's first sample.
    std::vector<MinuteIncrease> perMinute() const;
    // Sum of the increases of each counter over the 60 s up to the newest
    // sample: the rate of the minute still running, steady across a minute
    // boundary when the errors come at a steady rate.
    std::array<std::uint64_t, kLinkCounterCount> lastMinuteIncrease() const;
    // Sum of the increases of each counter over the window.
    std::array<std::uint64_t, kLinkCounterCount> windowIncrease() const;

    // The longest cycle time of the run, first time it was seen.
    const std::optional<WorstCycle>& worst() const { return worst_; }
    // Online ticks of the run with a cycle time outside its band.
    std::uint64_t outOfBandTicks() const { return outOfBandTicks_; }
    std::int64_t windowMs() const { return windowMs_; }
    // The most samples kept: one per second of the window, the normal tick.
    // With a shorter tick the window holds the newest ones only.
    std::size_t maxSamples() const { return static_cast<std::size_t>(windowMs_ / 1000 > 0 ? windowMs_ / 1000 : 1); }

private:
    std::int64_t windowMs_;
    std::deque<TrendSample> samples_;
    std::optional<LinkCounters> lastCounters_;
    std::optional<std::int64_t> originMs_;
    std::optional<WorstCycle> worst_;
    std::uint64_t outOfBandTicks_ = 0;
};

}  // namespace kvx
