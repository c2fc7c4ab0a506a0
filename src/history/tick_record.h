// What one poll tick left behind, taken right after its end: the time, the
// online decision, the fault lines with their classes, and, while online, the
// cycle times, the link counters, the axis state words and the task errors.
// The fault history, the trends and the metrics all read these records.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "display/display_model.h"
#include "platform/clock.h"
#include "poll/checks.h"
#include "poll/poll_state.h"
#include "report/error_summary.h"

namespace kvx {

// Milliseconds of a clock that never jumps; intervals and the trend window use it.
using MonotonicClock = std::function<std::int64_t()>;
std::int64_t steadyMilliseconds();

// The five link error counters, in the order the window shows them.
constexpr int kLinkCounterCount = 5;
using LinkCounters = std::array<std::uint32_t, kLinkCounterCount>;
// "DMA read", ... for people; "dma_read", ... for machines.
const char* linkCounterTitle(int index);
const char* linkCounterKey(int index);

// The conditions of the axis state word that the axis checks report.
struct AxisConditionBit {
    std::uint32_t bit;
    const char* key;    // "emergency_out"
    const char* title;  // "Emergency out"
};
const std::array<AxisConditionBit, 4>& axisConditionBits();

struct TickRecord {
    LocalTime time;
    std::int64_t unixSeconds = 0;  // the same moment for machines (metrics)
    std::int64_t monotonicMs = 0;
    bool online = false;
    std::int32_t initResult = 0;
    std::uint32_t faultMask = 0;
    std::vector<ReportedFault> faults;
    std::uint32_t restartCount = 0;  // restarts detected so far in the run

    // Online ticks only; zero otherwise.
    std::int32_t sampleTimeUs = 0;
    std::uint32_t minCycleUs = 0;
    std::uint32_t maxCycleUs = 0;
    TimeLimits limits{0, 0};
    LinkCounters linkCounters{};
    std::vector<std::uint32_t> axisStateWords;  // one per axis the controller reports
    std::array<std::int32_t, 4> taskErrors{};   // error number per task
};

// Takes the record of the tick that just ended.
TickRecord captureTick(const PollState& state, const DriverRecords& records, const ErrorSummary& summary,
                       const DisplayModel& model, LocalTime time, std::int64_t monotonicMs);

// Fault-class bits a double-click on the summary can reset: encoder, link
// counters, timing and the error register.
bool resettableByDoubleClick(std::uint32_t faultClass);
// "0x01000"
std::string faultClassText(std::uint32_t faultClass);
// "Internal data handling (link counters)"
std::string faultClassName(std::uint32_t faultClass);

}  // namespace kvx
