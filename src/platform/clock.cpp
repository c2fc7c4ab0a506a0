#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace kvx {

LocalTime SystemClock::now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void SystemClock::sleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace kvx
