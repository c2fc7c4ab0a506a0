#include "history/run_history.h"

namespace kvx {

void RunHistory::afterTick(const PollState& state, const DriverRecords& records, const ErrorSummary& summary,
                           const DisplayModel& model) {
    TickRecord tick = captureTick(state, records, summary, model, clock_.now(), monotonic_());
    tick.unixSeconds = clock_.unixSeconds();
    observe(tick);
}

void RunHistory::observe(const TickRecord& tick) {
    ++ticks_;
    const std::uint32_t came = tick.faultMask & ~(lastTick_ ? lastTick_->faultMask : 0u);
    for (int bit = 0; bit < 32; ++bit)
        if (came & (1u << bit)) ++raised_[static_cast<std::size_t>(bit)];
    if (axisRaised_.size() < tick.axisStateWords.size()) axisRaised_.resize(tick.axisStateWords.size());
    const auto& conditions = axisConditionBits();
    for (std::size_t a = 0; a < tick.axisStateWords.size(); ++a) {
        // An axis the last tick did not report (offline) had no condition.
        const std::uint32_t before =
            lastTick_ && a < lastTick_->axisStateWords.size() ? lastTick_->axisStateWords[a] : 0u;
        for (std::size_t c = 0; c < conditions.size(); ++c)
            if ((tick.axisStateWords[a] & conditions[c].bit) && !(before & conditions[c].bit)) ++axisRaised_[a][c];
    }
    if (tick.online) ++onlineTicks_;
    faults_.observe(tick);
    trends_.observe(tick);
    lastTick_ = tick;
}

}  // namespace kvx
