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
    if (tick.online) ++onlineTicks_;
    faults_.observe(tick);
    trends_.observe(tick);
    lastTick_ = tick;
}

}  // namespace kvx
