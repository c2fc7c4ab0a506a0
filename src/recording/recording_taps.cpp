#include "recording/recording_taps.h"

namespace kvx::recording {

[[gnu::hot]] LocalTime RecordingClock::now() {
    LocalTime t = inner_.now();
    tap_.answered(call::ClockNow, 0, 0, {bytesOf(t)});
    return t;
}

// The reading is recorded as the local time it converts (a replay converts
// it again), but the live run takes the seconds from the system clock: the
// conversion back from local time looks the zone file up on every call.
[[gnu::hot]] std::int64_t RecordingClock::unixSeconds() {
    now();
    return inner_.unixSeconds();
}

MonotonicClock recordingMonotonic(MonotonicClock inner, DriverTap& tap) {
    return [inner = std::move(inner), &tap] {
        std::int64_t ms = inner();
        tap.answered(call::Monotonic, 0, 0, {bytesOf(ms)});
        return ms;
    };
}

std::optional<std::string> RecordingDialogs::openFile(const std::string& initialFile, int filterIndex) {
    std::optional<std::string> chosen = inner_.openFile(initialFile, filterIndex);
    std::string name = chosen.value_or("");
    tap_.answered(call::OpenFile, filterIndex, chosen ? 1 : 0,
                  {std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(name.data()), name.size())});
    return chosen;
}

template <typename Fn>
void RecordingActions::recorded(Action action, std::int32_t argument, Fn&& fn) {
    recorder_.beginSegment(SegmentKind::Action, action, argument);
    fn();
    recorder_.endSegment();
}

void RecordingActions::cbCardNrChange(int index) {
    recorded(Action::CardNrChange, index, [&] { inner_.cbCardNrChange(index); });
}
void RecordingActions::buRebootClick() {
    recorded(Action::RebootClick, 0, [&] { inner_.buRebootClick(); });
}
void RecordingActions::meErrorSummaryDblClick() {
    recorded(Action::SummaryDoubleClick, 0, [&] { inner_.meErrorSummaryDblClick(); });
}
void RecordingActions::cbStayOnTopChange(int index) {
    recorded(Action::StayOnTopChange, index, [&] { inner_.cbStayOnTopChange(index); });
}
void RecordingActions::cbUseWebServicesClick(bool checked) {
    recorded(Action::UseWebServicesClick, checked, [&] { inner_.cbUseWebServicesClick(checked); });
}
void RecordingActions::cbGetFileNamesClick(bool checked) {
    recorded(Action::GetFileNamesClick, checked, [&] { inner_.cbGetFileNamesClick(checked); });
}

}  // namespace kvx::recording
