// The replay side of the driver facade: answers every call from a recorded
// segment, and the clock and the file dialog with it, so that the monitor
// runs exactly as it ran when the recording was made.
//
// A call is answered by the first answer of the segment not yet given that
// has the same call and key; a call the segment lacks (a later program that
// asks for more) gets the latest answer recorded for it anywhere before, and
// a call never recorded gets "not provided".
#pragma once

#include <cstdint>
#include <iosfwd>
#include <unordered_map>
#include <vector>

#include "display/dialogs.h"
#include "display/window_actions.h"
#include "history/tick_record.h"
#include "platform/clock.h"
#include "recording/recording_format.h"

namespace kvx::recording {

class ReplayDriver final : public DriverReplay {
public:
    // The recording's offset of local time from UTC, for times of segments.
    void setUtcOffset(std::int32_t seconds) { utcOffsetSeconds_ = seconds; }

    // The segment whose answers come next; it must stay alive until the next enter.
    void enter(const Segment& segment);
    DriverResult answer(CallId call, std::int32_t key, Outputs outputs, std::vector<ErrorRoutineCall>& raised) override;

    std::int64_t segmentEpochMs() const { return segment_ ? segment_->epochMs : 0; }
    // The segment's wall-clock time as the local time of the recording.
    LocalTime segmentLocalTime() const;
    // Calls answered from earlier segments or not at all: a program that asks differently.
    std::uint64_t unmatched() const { return unmatched_; }

private:
    static std::uint64_t keyOf(CallId call, std::int32_t key) {
        return std::uint64_t(call) << 32 | static_cast<std::uint32_t>(key);
    }

    std::int32_t utcOffsetSeconds_ = 0;
    const Segment* segment_ = nullptr;
    std::vector<bool> used_;
    std::size_t firstUnused_ = 0;
    std::unordered_map<std::uint64_t, Answer> latest_;
    std::uint64_t unmatched_ = 0;
};

// The recorded local time of each clock reading; waits cost nothing.
class ReplayClock final : public Clock {
public:
    explicit ReplayClock(ReplayDriver& driver) : driver_(driver) {}
    LocalTime now() override;
    void sleepMs(int) override {}

private:
    ReplayDriver& driver_;
};

MonotonicClock replayMonotonic(ReplayDriver& driver);

// Messages go to a stream (a replay never stops for a message box); the file
// dialog answers what the user chose when the run was recorded.
class ReplayDialogs final : public Dialogs {
public:
    ReplayDialogs(ReplayDriver& driver, std::ostream& messages) : driver_(driver), messages_(messages) {}
    void message(const std::string& text, const std::string& title) override;
    std::optional<std::string> openFile(const std::string& initialFile, int filterIndex) override;

private:
    ReplayDriver& driver_;
    std::ostream& messages_;
};

// Makes a recorded user action again.
void replayAction(WindowActions& actions, Action action, std::int32_t argument);

}  // namespace kvx::recording
