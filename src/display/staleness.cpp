#include "display/staleness.h"

namespace kvx {

std::optional<std::int64_t> dataAgeMs(const DisplayModel& model, std::int64_t nowMs) {
    if (!model.tickCompletedMs) return std::nullopt;
    const std::int64_t age = nowMs - *model.tickCompletedMs;
    return age < 0 ? 0 : age;
}

std::optional<std::int64_t> staleSeconds(const DisplayModel& model, std::int64_t nowMs) {
    const std::optional<std::int64_t> age = dataAgeMs(model, nowMs);
    if (!age || *age <= static_cast<std::int64_t>(kStaleAfterIntervals) * model.tickIntervalMs) return std::nullopt;
    return *age / 1000;
}

std::string staleText(std::int64_t seconds) { return "no data for " + std::to_string(seconds) + " s"; }

}  // namespace kvx
