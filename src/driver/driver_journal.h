// The seam where a run is recorded or replayed. Every answer the driver
// facade gets passes a tap (the flight recorder), or comes from a replay
// instead of the library. The monitor above the facade cannot tell the two
// apart. Beside the driver operations, a few other answers from outside the
// monitor travel the same way (the clock, the file dialog), so that a replay
// reproduces a run completely.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/entry_points.h"

namespace kvx {

using DriverResult = std::optional<std::int32_t>;  // nullopt: operation not provided, nothing called

// What was asked: a driver operation (its Op) or one of the calls below.
using CallId = std::uint16_t;

namespace call {
constexpr CallId of(Op op) { return static_cast<CallId>(op); }
enum : CallId {
    Provides = kOpCount,  // key: the operation | remote << 8; result 1 or 0
    LoadLibrary,          // key: remote; result: loadDriverLibrary's
    LibraryBinds,         // key: the operation | remote << 8; result 1 or 0
    FileVersion,          // output: the four numbers and `valid`
    UnloadLibrary,
    ErrorRoutine,         // the remote library called the error routine: key code, output the message
    ClockNow,             // output: the local time of day
    Monotonic,            // output: milliseconds of the monotonic clock
    OpenFile,             // result 1 and the name, or 0: cancelled
    Count
};
}  // namespace call

// The stable name of a call in recordings ("InitKvxSystem3", "clock", ...).
std::string_view callName(CallId id);

// The records an answer filled, in order.
using Outputs = std::initializer_list<std::span<std::uint8_t>>;

template <typename T>
std::span<std::uint8_t> bytesOf(T& value) {
    return {reinterpret_cast<std::uint8_t*>(&value), sizeof value};
}

class DriverTap {
public:
    virtual ~DriverTap() = default;
    // A call was answered: its result and the bytes of every record it filled.
    virtual void answered(CallId call, std::int32_t key, DriverResult result, Outputs outputs) = 0;
};

struct ErrorRoutineCall {
    std::int32_t code = 0;
    std::string message;
};

class DriverReplay {
public:
    virtual ~DriverReplay() = default;
    // The recorded answer: fills `outputs` and returns the result. Calls of
    // the error routine that happened during the recorded call land in
    // `raised`, for the facade to make again.
    virtual DriverResult answer(CallId call, std::int32_t key, Outputs outputs,
                                std::vector<ErrorRoutineCall>& raised) = 0;
};

}  // namespace kvx
