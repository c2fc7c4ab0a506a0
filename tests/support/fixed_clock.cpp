#include "support/fixed_clock.h"

#include <ctime>

namespace kvx::test {

LocalTime FixedClock::now() {
    ++reads_;
    return time_;
}

std::int64_t FixedClock::unixSeconds() {
    std::tm tm{};
    tm.tm_year = time_.year - 1900;
    tm.tm_mon = time_.month - 1;
    tm.tm_mday = time_.day;
    tm.tm_hour = time_.hour;
    tm.tm_min = time_.minute;
    tm.tm_sec = time_.second;
    return static_cast<std::int64_t>(timegm(&tm));
}

void FixedClock::sleepMs(int ms) {
    sleeps_.push_back(ms);
    if (log_) log_->add({"sleep", false, {ms}, {}});
}

}  // namespace kvx::test
