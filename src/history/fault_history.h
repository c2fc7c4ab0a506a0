// The run's fault history. A polled summary shows a fault only while it
// lasts; this keeps one entry per fault line ever seen, with when it was
// first and last seen, how many separate times it came up, whether it is
// there now, and whether the user has acknowledged it. Controller restarts
// and offline periods are kept as events. Acknowledging is bookkeeping of
// the history only: it never reaches the controller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "history/tick_record.h"

namespace kvx {

struct FaultEntry {
    std::string line;
    std::uint32_t faultClass = 0;
    LocalTime firstSeen, lastSeen;
    std::int64_t firstSeenMs = 0, lastSeenMs = 0;
    int occurrences = 0;      // separate times the line came up
    int ticks = 0;            // ticks in which it was in the summary
    bool active = false;      // in the summary of the latest tick
    bool marked = false;      // came up since the user last acknowledged it
    // Monotonic times at which the latest occurrences began, oldest first;
    // the trends mark them on their time axis.
    std::deque<std::int64_t> startsMs;
    static constexpr std::size_t kKeptStarts = 64;

    bool resettable() const { return resettableByDoubleClick(faultClass); }
};

enum class EventKind { Restart, Offline };

struct HistoryEvent {
    EventKind kind = EventKind::Restart;
    LocalTime start;
    std::int64_t startMs = 0;
    std::optional<LocalTime> end;     // offline: the first online tick after it
    std::optional<std::int64_t> endMs;
    std::int32_t initResult = 0;      // offline: the initialisation result that began it
};

class FaultHistory {
public:
    // Folds one tick into the history.
    void observe(const TickRecord& tick);

    // In the order the lines were first seen.
    const std::vector<FaultEntry>& entries() const { return entries_; }
    // In the order they began.
    const std::vector<HistoryEvent>& events() const { return events_; }

    // Clears the mark of one entry; false for an index out of range.
    bool acknowledge(std::size_t index);
    void acknowledgeAll();

    std::size_t activeCount() const;
    std::size_t markedCount() const;
    std::uint32_t restartCount() const { return restarts_; }
    std::uint32_t offlinePeriodCount() const { return offlinePeriods_; }
    bool offlineNow() const { return openOffline_.has_value(); }

    // Index of the entry for this line and class, if it has been seen.
    std::optional<std::size_t> find(const std::string& line, std::uint32_t faultClass) const;

private:
    std::vector<FaultEntry> entries_;
    std::vector<HistoryEvent> events_;
    std::optional<std::size_t> openOffline_;  // index of the running offline event
    std::uint32_t lastRestartCount_ = 0;
    std::uint32_t restarts_ = 0;
    std::uint32_t offlinePeriods_ = 0;
};

}  // namespace kvx
