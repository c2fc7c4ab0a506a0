// A poll cycle on a scripted controller with a fixed clock and a monotonic
// time the test moves, and a run history fed after every tick as the monitor
// feeds it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "history/run_history.h"
#include "report/fault_classes.h"
#include "support/scripted_engine.h"

namespace kvx::test {

inline bool sameTime(const LocalTime& a, const LocalTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second;
}

class HistoryTest : public ::testing::Test, protected ScriptedEngine {
protected:
    HistoryTest() : ScriptedEngine("kvxdiagnostics") {
        clock.set(timeAt(0));
        // A healthy controller: cycle times inside the band of 1280 us.
        ctl.setStatus(StatusRecord::kMinCycleTime, 1200);
        ctl.setStatus(StatusRecord::kMaxCycleTime, 1300);
    }

    // One tick at `second` seconds after 08:00:00 on the test day: the clock
    // shows that time, the monotonic time is the same in milliseconds. The
    // run counter grows by one per tick unless the test set it.
    void tickAt(int second) {
        clock.set(timeAt(second));
        nowMs = static_cast<std::int64_t>(second) * 1000;
        if (!fixedRunCounter) ctl.setStatus(StatusRecord::kRunCounter, ++runCounter);
        cycle.tick();
        history.afterTick(state, records, summary, model);
    }

    static LocalTime timeAt(int second) { return {2024, 3, 5, 8 + second / 3600, (second / 60) % 60, second % 60}; }

    void setEmergencyOut(int axis, bool on) { ctl.axisState[static_cast<std::size_t>(axis)] = on ? 0x002 : 0; }

    const FaultHistory& faults() const { return history.faults(); }

    ControllerState& ctl = scripted.controller;
    std::int64_t nowMs = 0;
    std::uint32_t runCounter = 100;
    bool fixedRunCounter = false;
    RunHistory history{clock, [this] { return nowMs; }};
};

}  // namespace kvx::test
