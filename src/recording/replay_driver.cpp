#include "recording/replay_driver.h"
#include "platform/log.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <ostream>

namespace kvx::recording {

void ReplayDriver::enter(const Segment& segment) {
    segment_ = &segment;
    used_.assign(segment.answers.size(), false);
    firstUnused_ = 0;
}

DriverResult ReplayDriver::answer(CallId id, std::int32_t key, Outputs outputs, std::vector<ErrorRoutineCall>& raised) {
    const Answer* found = nullptr;
    if (segment_) {
        const auto& answers = segment_->answers;
        while (firstUnused_ < answers.size() && used_[firstUnused_]) ++firstUnused_;
        for (std::size_t i = firstUnused_; i < answers.size(); ++i) {
            if (used_[i] || answers[i].call != id || answers[i].key != key) continue;
            used_[i] = true;
            found = &answers[i];
            // The error routine was called during this call: just before its answer.
            std::size_t first = i;
            while (first > 0 && answers[first - 1].call == call::ErrorRoutine && !used_[first - 1]) --first;
            for (std::size_t j = first; j < i; ++j) {
                used_[j] = true;
                const auto& b = answers[j].bytes;
                raised.push_back({answers[j].key, std::string(b.begin(), b.end())});
            }
            latest_[keyOf(id, key)] = *found;
            break;
        }
    }
    if (!found) {
        ++unmatched_;
        auto it = latest_.find(keyOf(id, key));
        if (it == latest_.end()) return std::nullopt;
        found = &it->second;
    }
    std::size_t at = 0;
    for (const auto& out : outputs) {
        const std::size_t n = std::min(out.size(), found->bytes.size() - std::min(at, found->bytes.size()));
        if (n > 0) std::memcpy(out.data(), found->bytes.data() + at, n);
        at += out.size();
    }
    return found->result;
}

LocalTime ReplayDriver::segmentLocalTime() const {
    const std::time_t t = static_cast<std::time_t>(segmentEpochMs() / 1000 + utcOffsetSeconds_);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

LocalTime ReplayClock::now() {
    LocalTime t = driver_.segmentLocalTime();
    std::vector<ErrorRoutineCall> none;
    driver_.answer(call::ClockNow, 0, {bytesOf(t)}, none);
    return t;
}

MonotonicClock replayMonotonic(ReplayDriver& driver) {
    return [&driver] {
        std::int64_t ms = driver.segmentEpochMs();
        std::vector<ErrorRoutineCall> none;
        driver.answer(call::Monotonic, 0, {bytesOf(ms)}, none);
        return ms;
    };
}

void ReplayDialogs::message(const std::string& text, const std::string& title) {
    log(messages_, LogLevel::Error, title + ": " + text, false);
}

std::optional<std::string> ReplayDialogs::openFile(const std::string&, int filterIndex) {
    std::vector<ErrorRoutineCall> none;
    // The name's length is not known before: ask for the whole answer.
    std::vector<std::uint8_t> name(4096);
    std::span<std::uint8_t> all(name);
    const DriverResult r = driver_.answer(call::OpenFile, filterIndex, {all}, none);
    if (r.value_or(0) == 0) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(name.data()), strnlen(reinterpret_cast<const char*>(name.data()), name.size()));
}

void replayAction(WindowActions& actions, Action action, std::int32_t argument) {
    switch (action) {
    case Action::CardNrChange: actions.cbCardNrChange(argument); break;
    case Action::RebootClick: actions.buRebootClick(); break;
    case Action::SummaryDoubleClick: actions.meErrorSummaryDblClick(); break;
    case Action::StayOnTopChange: actions.cbStayOnTopChange(argument); break;
    case Action::UseWebServicesClick: actions.cbUseWebServicesClick(argument != 0); break;
    case Action::GetFileNamesClick: actions.cbGetFileNamesClick(argument != 0); break;
    case Action::None: break;
    }
}

}  // namespace kvx::recording
