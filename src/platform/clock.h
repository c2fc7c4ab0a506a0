// Time as the monitor sees it: the local calendar time for protocol records
// and the blocking waits between driver calls. Tests supply a fixed clock so
// that timestamps are exact and waits cost nothing.
#pragma once

#include <cstdint>

namespace kvx {

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() = 0;          // local date and time of day
    // The same moment as seconds since 1970-01-01 UTC, for machines (metrics).
    virtual std::int64_t unixSeconds();
    virtual void sleepMs(int ms) = 0;     // blocks the calling thread
};

// The real clock: localtime_r of the system time, nanosleep for waits.
class SystemClock final : public Clock {
public:
    LocalTime now() override;
    std::int64_t unixSeconds() override;
    void sleepMs(int ms) override;
};

Clock& systemClock();

}  // namespace kvx
