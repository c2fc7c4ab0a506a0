#include "history/fault_history.h"

#include <algorithm>

namespace kvx {

void FaultHistory::observe(const TickRecord& tick) {
    std::vector<bool> seen(entries_.size(), false);
    for (const ReportedFault& f : tick.faults) {
        std::optional<std::size_t> index = find(f.line, f.faultClass);
        if (!index) {
            FaultEntry entry;
            entry.line = f.line;
            entry.faultClass = f.faultClass;
            entry.firstSeen = tick.time;
            entry.firstSeenMs = tick.monotonicMs;
            entries_.push_back(std::move(entry));
            seen.push_back(false);
            index = entries_.size() - 1;
        }
        if (seen[*index]) continue;  // the same line twice in one tick is one sighting
        seen[*index] = true;
        FaultEntry& e = entries_[*index];
        if (!e.active) {
            ++e.occurrences;
            e.marked = true;
            e.startsMs.push_back(tick.monotonicMs);
            if (e.startsMs.size() > FaultEntry::kKeptStarts) e.startsMs.pop_front();
        }
        e.active = true;
        e.lastSeen = tick.time;
        e.lastSeenMs = tick.monotonicMs;
        ++e.ticks;
    }
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (!seen[i]) entries_[i].active = false;

    // A restart is found on an online tick; the counter only grows.
    if (tick.restartCount > lastRestartCount_) {
        for (std::uint32_t n = lastRestartCount_; n < tick.restartCount; ++n) {
            HistoryEvent event;
            event.kind = EventKind::Restart;
            event.start = tick.time;
            event.startMs = tick.monotonicMs;
            events_.push_back(event);
            ++restarts_;
        }
        lastRestartCount_ = tick.restartCount;
    }

    if (!tick.online && !openOffline_) {
        HistoryEvent event;
        event.kind = EventKind::Offline;
        event.start = tick.time;
        event.startMs = tick.monotonicMs;
        event.initResult = tick.initResult;
        events_.push_back(event);
        openOffline_ = events_.size() - 1;
        ++offlinePeriods_;
    } else if (tick.online && openOffline_) {
        HistoryEvent& event = events_[*openOffline_];
        event.end = tick.time;
        event.endMs = tick.monotonicMs;
        openOffline_.reset();
    }
}

bool FaultHistory::acknowledge(std::size_t index) {
    if (index >= entries_.size()) return false;
    entries_[index].marked = false;
    return true;
}

void FaultHistory::acknowledgeAll() {
    for (FaultEntry& e : entries_) e.marked = false;
}

std::size_t FaultHistory::activeCount() const {
    return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), [](const FaultEntry& e) { return e.active; }));
}

std::size_t FaultHistory::markedCount() const {
    return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), [](const FaultEntry& e) { return e.marked; }));
}

std::optional<std::size_t> FaultHistory::find(const std::string& line, std::uint32_t faultClass) const {
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].line == line && entries_[i].faultClass == faultClass) return i;
    return std::nullopt;
}

}  // namespace kvx
