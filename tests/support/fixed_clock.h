// A clock that always tells the time a test set, and records waits instead
// of sleeping.
#pragma once

#include <vector>

#include "platform/clock.h"
#include "support/call_log.h"

namespace kvx::test {

class FixedClock final : public Clock {
public:
    explicit FixedClock(LocalTime t = {2024, 3, 5, 8, 15, 2}, CallLog* log = nullptr) : time_(t), log_(log) {}

    void set(LocalTime t) { time_ = t; }
    // Waits also go into `log` as calls named "sleep" with the milliseconds.
    void attach(CallLog* log) { log_ = log; }

    LocalTime now() override;
    void sleepMs(int ms) override;

    const std::vector<int>& sleeps() const { return sleeps_; }
    int reads() const { return reads_; }

private:
    LocalTime time_;
    CallLog* log_;
    std::vector<int> sleeps_;
    int reads_ = 0;
};

}  // namespace kvx::test
