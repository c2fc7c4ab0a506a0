#include "history/trends.h"

#include <algorithm>

namespace kvx {

void TrendRecorder::observe(const TickRecord& tick) {
    if (!tick.online) return;

    TrendSample s;
    s.ms = tick.monotonicMs;
    s.time = tick.time;
    s.minCycleUs = tick.minCycleUs;
    s.maxCycleUs = tick.maxCycleUs;
    s.limits = tick.limits;
    s.counters = tick.linkCounters;
    // The first sample is the baseline. A counter that went down was cleared
    // (a restart, another card): all it shows now is new.
    if (lastCounters_) {
        for (int i = 0; i < kLinkCounterCount; ++i) {
            const std::uint32_t now = s.counters[i], before = (*lastCounters_)[i];
            s.increase[i] = now >= before ? now - before : now;
        }
    }
    lastCounters_ = s.counters;
    if (!originMs_) originMs_ = s.ms;

    if (s.outOfBand()) ++outOfBandTicks_;
    if (!worst_ || s.maxCycleUs > worst_->maxCycleUs) worst_ = WorstCycle{s.maxCycleUs, s.limits, s.time, s.ms};

    samples_.push_back(s);
    while (!samples_.empty() && samples_.front().ms <= s.ms - windowMs_) samples_.pop_front();
    // A tick shortened for tests must not make the window hold a thousand
    // times the samples: never more than one per second of the window.
    while (samples_.size() > maxSamples()) samples_.pop_front();
}

std::vector<MinuteIncrease> TrendRecorder::perMinute() const {
    std::vector<MinuteIncrease> out;
    if (samples_.empty() || !originMs_) return out;
    auto minuteOf = [&](std::int64_t ms) { return (ms - *originMs_) / kMinuteMs; };
    const std::int64_t first = minuteOf(samples_.front().ms), last = minuteOf(samples_.back().ms);
    out.resize(static_cast<std::size_t>(last - first + 1));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i].startMs = *originMs_ + (first + static_cast<std::int64_t>(i)) * kMinuteMs;
    // The increases of the newest minute count from the sample before it (or
    // its own first one, the baseline of the window) to the newest sample.
    std::int64_t from = samples_.front().ms;
    for (const TrendSample& s : samples_) {
        if (minuteOf(s.ms) != last) from = s.ms;
        MinuteIncrease& m = out[static_cast<std::size_t>(minuteOf(s.ms) - first)];
        for (int i = 0; i < kLinkCounterCount; ++i) m.increase[i] += s.increase[i];
    }
    out.back().coveredMs = std::min(kMinuteMs, samples_.back().ms - from);
    return out;
}

std::array<std::uint64_t, kLinkCounterCount> TrendRecorder::lastMinuteIncrease() const {
    std::array<std::uint64_t, kLinkCounterCount> sum{};
    if (samples_.empty()) return sum;
    const std::int64_t from = samples_.back().ms - kMinuteMs;
    for (auto it = samples_.rbegin(); it != samples_.rend() && it->ms > from; ++it)
        for (int i = 0; i < kLinkCounterCount; ++i) sum[i] += it->increase[i];
    return sum;
}

std::array<std::uint64_t, kLinkCounterCount> TrendRecorder::windowIncrease() const {
    std::array<std::uint64_t, kLinkCounterCount> sum{};
    for (const TrendSample& s : samples_)
        for (int i = 0; i < kLinkCounterCount; ++i) sum[i] += s.increase[i];
    return sum;
}

}  // namespace kvx
