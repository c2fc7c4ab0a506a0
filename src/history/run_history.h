// Everything the monitor remembers about the run beyond the current tick:
// the last tick's record, the fault history and the trends. The monitor
// feeds it once after every tick.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "history/fault_history.h"
#include "history/trends.h"

namespace kvx {

class RunHistory {
public:
    explicit RunHistory(Clock& clock, MonotonicClock monotonic = steadyMilliseconds)
        : clock_(clock), monotonic_(std::move(monotonic)) {}

    // Takes the record of the tick that just ended and folds it in.
    void afterTick(const PollState& state, const DriverRecords& records, const ErrorSummary& summary,
                   const DisplayModel& model);
    // Folds in a record taken elsewhere.
    void observe(const TickRecord& tick);

    const std::optional<TickRecord>& lastTick() const { return lastTick_; }
    const FaultHistory& faults() const { return faults_; }
    FaultHistory& faults() { return faults_; }
    const TrendRecorder& trends() const { return trends_; }
    std::uint64_t tickCount() const { return ticks_; }
    // How often each fault class came up (raised in a tick, not in the one
    // before), by its bit number: a fault shorter than any scrape interval
    // still counts.
    std::uint64_t raisedCount(int bit) const { return raised_[static_cast<std::size_t>(bit)]; }
    // How often each axis condition came up, by axis (from 0) and the
    // condition's place in axisConditionBits(); as many axes as ever reported.
    const std::vector<std::array<std::uint64_t, 4>>& axisRaisedCounts() const { return axisRaised_; }
    std::uint64_t onlineTickCount() const { return onlineTicks_; }

private:
    Clock& clock_;
    MonotonicClock monotonic_;
    std::optional<TickRecord> lastTick_;
    FaultHistory faults_;
    TrendRecorder trends_;
    std::uint64_t ticks_ = 0;
    std::array<std::uint64_t, 32> raised_{};
    std::vector<std::array<std::uint64_t, 4>> axisRaised_;
    std::uint64_t onlineTicks_ = 0;
};

}  // namespace kvx
