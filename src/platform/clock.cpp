#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace kvx {

std::int64_t Clock::unixSeconds() {
    const LocalTime t = now();
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

LocalTime SystemClock::now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::int64_t SystemClock::unixSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void SystemClock::sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace kvx
