// Whether what the display model shows is still current. A monitor must say
// when it has stopped seeing: once no tick has completed for more than three
// intervals (a dialog left open inside a tick, a link so slow that a tick
// takes seconds), every view marks its values as old until the next tick.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "display/display_model.h"

namespace kvx {

// How many intervals without a completed tick the data is still current.
inline constexpr int kStaleAfterIntervals = 3;

// Milliseconds since the last completed tick at `nowMs` (monotonic); nothing
// before the first.
std::optional<std::int64_t> dataAgeMs(const DisplayModel& model, std::int64_t nowMs);

// Whole seconds without data once no tick has completed for more than
// kStaleAfterIntervals intervals; nothing while the data is current.
std::optional<std::int64_t> staleSeconds(const DisplayModel& model, std::int64_t nowMs);

// "no data for 12 s"
std::string staleText(std::int64_t seconds);

}  // namespace kvx
