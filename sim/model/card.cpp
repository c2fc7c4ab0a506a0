#include "model/card.h"

namespace kvxsim {

std::uint32_t CardState::runCounterAt(SteadyClock::time_point now) const {
    if (!running()) return runCounterBase_;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - runningSince_).count();
    // Wraps modulo 2^32 like the controller's own counter.
    return runCounterBase_ + static_cast<std::uint32_t>(ms < 0 ? 0 : ms);
}

void CardState::setRunCounter(std::uint32_t value, SteadyClock::time_point now) {
    runCounterBase_ = value;
    runningSince_ = now;
}

void CardState::restart(SteadyClock::time_point now) { setRunCounter(runCounterStart, now); }

void CardState::setInitResult(std::int32_t code, SteadyClock::time_point now) {
    std::uint32_t current = runCounterAt(now);
    initResult = code;
    setRunCounter(current, now);
}

}  // namespace kvxsim
