// The recording side of what the monitor gets from outside besides the
// driver: clock readings, file-dialog answers and the user's actions pass the
// flight recorder on their way in.
#pragma once

#include "display/dialogs.h"
#include "display/window_actions.h"
#include "history/tick_record.h"
#include "platform/clock.h"
#include "recording/flight_recorder.h"

namespace kvx::recording {

class RecordingClock final : public Clock {
public:
    RecordingClock(Clock& inner, DriverTap& tap) : inner_(inner), tap_(tap) {}
    LocalTime now() override;
    std::int64_t unixSeconds() override;
    void sleepMs(int ms) override { inner_.sleepMs(ms); }

private:
    Clock& inner_;
    DriverTap& tap_;
};

MonotonicClock recordingMonotonic(MonotonicClock inner, DriverTap& tap);

class RecordingDialogs final : public Dialogs {
public:
    RecordingDialogs(Dialogs& inner, DriverTap& tap) : inner_(inner), tap_(tap) {}
    void message(const std::string& text, const std::string& title) override { inner_.message(text, title); }
    std::optional<std::string> openFile(const std::string& initialFile, int filterIndex) override;

private:
    Dialogs& inner_;
    DriverTap& tap_;
};

// Each action is a segment of its own, with the answers it caused.
class RecordingActions final : public WindowActions {
public:
    RecordingActions(WindowActions& inner, FlightRecorder& recorder) : inner_(inner), recorder_(recorder) {}
    void cbCardNrChange(int index) override;
    void buRebootClick() override;
    void meErrorSummaryDblClick() override;
    void cbStayOnTopChange(int index) override;
    void cbUseWebServicesClick(bool checked) override;
    void cbGetFileNamesClick(bool checked) override;

private:
    template <typename Fn>
    void recorded(Action action, std::int32_t argument, Fn&& fn);

    WindowActions& inner_;
    FlightRecorder& recorder_;
};

}  // namespace kvx::recording
