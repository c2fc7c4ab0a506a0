// The checks of an online tick, in the order the tick runs them. Each reads
// through the driver, writes the display model and reports its faults.
#pragma once

#include <cstdint>
#include <string>

#include "poll/poll_cycle.h"

namespace kvx {

// Values that live for one tick only.
struct TickValues {
    std::int32_t boardType = 0;
    std::string sampleTimeText;
    std::string epmBaseText, epmOptionText, bdverRenumText, fpverFfuncText;
};

void readMiniportVersion(PollContext& ctx);
void readIdentity(PollContext& ctx, TickValues& tick);
void checkBoard(PollContext& ctx, TickValues& tick);
void checkAxes(PollContext& ctx);
void monitorTasks(PollContext& ctx);
void checkLinkAndTiming(PollContext& ctx);

// "51.23d" for 0x51234.
std::string miniportText(std::uint32_t word);
// "1.28 ms", "1 ms", "n.a." for 0.
std::string sampleTimeText(std::int32_t sampleTimeUs);
// Upper-case hexadecimal, zero-padded to `digits`; negatives as 32-bit two's complement.
std::string hex(std::int64_t value, int digits);

// Caption label and text of the counter and cycle-time rows: the five link
// counters first, then the minimum and maximum cycle time.
struct CounterRow {
    const char* caption;
    const char* text;
};
inline constexpr CounterRow kLinkCounterRows[] = {
    {"laDmaReadErr", "DMA Read Errors: "}, {"laDmaWriteErr", "DMA Write Errors: "},
    {"laTimeoutErr", "Timeout Errors: "},  {"laRxDataErr", "RX Data Errors: "},
    {"laRxComErr", "RX Com. Errors: "}};
inline constexpr CounterRow kMinTimeRow{"laMinTime", "Min.  Time: "};
inline constexpr CounterRow kMaxTimeRow{"laMaxTime", "Max. Time: "};

struct TimeLimits {
    std::uint32_t lower;
    std::uint32_t upper;
};
// The band of the cycle times around the sample time, as unsigned 32-bit limits.
TimeLimits timingLimits(std::int32_t sampleTimeUs);

}  // namespace kvx
