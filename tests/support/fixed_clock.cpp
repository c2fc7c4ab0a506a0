#include "support/fixed_clock.h"

namespace kvx::test {

LocalTime FixedClock::now() {
    ++reads_;
    return time_;
}

void FixedClock::sleepMs(int ms) {
    sleeps_.push_back(ms);
    if (log_) log_->add({"sleep", false, {ms}, {}});
}

}  // namespace kvx::test
