// The monitor: the core of the main window without any widgets. It owns the
// settings, the driver library, the records, the poll state, the summary and
// the protocol, runs the start-up and shutdown sequences and the poll tick,
// and takes the user's actions. The Qt window and the headless front end both
// drive this one class.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/card_control.h"
#include "display/dialogs.h"
#include "display/display_model.h"
#include "display/window_actions.h"
#include "driver/driver_library.h"
#include "history/run_history.h"
#include "platform/clock.h"
#include "poll/engine.h"
#include "settings/settings_store.h"
#include "settings/settings_values.h"

namespace kvx {

// True when one of the arguments (program name excluded) is exactly "/SU".
bool superUserSwitch(const std::vector<std::string>& arguments);

// The file after "--settings" among the arguments, made absolute: the
// settings file of one instance, in place of the one beside the program.
std::optional<std::string> settingsFileSwitch(const std::vector<std::string>& arguments);

struct MonitorOptions {
    std::vector<std::string> arguments;  // the command line without the program name
    SettingsLocations locations = SettingsLocations::forThisProgram();
    EnvironmentLookup environment = processEnvironment;
    std::string programPath;  // the executable; "" = this process's
    std::string driverBaseName = "kvxg3.dll";
    MonotonicClock monotonic = steadyMilliseconds;  // times the run's history and trends
    DriverTap* driverTap = nullptr;        // sees every driver answer (a flight recorder)
    DriverReplay* driverReplay = nullptr;  // answers instead of the library (a replay)
    DriverCallWait* driverCallWait = nullptr;  // where library calls run while the program waits
    // A service that retries its start: web services that cannot be reached
    // end the start without the fatal message (the caller says what it does).
    // A URL the library cannot use is fatal all the same: no retry mends it.
    bool retryUnreachableStart = false;
};

// Why the start-up sequence ended early.
enum class StartFailure {
    None,
    NoLibrary,    // no usable driver library
    Unreachable,  // web services mode, and the controller's web services cannot be reached
    Unusable,     // web services mode, and the library cannot use the URL (or refused the open otherwise)
};

class Monitor : public WindowActions {
public:
    Monitor(DisplayModel& model, Dialogs& dialogs, Clock& clock, MonitorOptions options = {});
    ~Monitor() override;
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // The start-up sequence. False when a fatal failure ended it: the message
    // was shown and nothing after it ran (no timer, no protocol, no settings).
    bool formCreate();
    StartFailure startFailure() const { return startFailure_; }
    // What KvxG3XOpen returned at a start that ended Unreachable or Unusable.
    int openError() const { return openError_; }
    // One poll tick; it stamps the model when it completes. A tick asked for
    // while a tick or a user action runs (a dialog inside it lets the event
    // loop run) is skipped.
    void timerTimer();
    // The shutdown sequence: timer off, settings, protocol end, close the
    // connection, unload the library, pause.
    void formClose();

    bool timerEnabled() const { return timerEnabled_; }
    // True while a tick or a user action runs. A dialog it opened lets the
    // event loop run, but nothing may be closed or unloaded under it: the
    // shutdown waits until it has returned.
    bool busy() const { return busy_ > 0; }
    static constexpr int kTimerIntervalMs = 1000;

    // WindowActions
    void cbCardNrChange(int index) override;
    void buRebootClick() override;
    void meErrorSummaryDblClick() override;
    void cbStayOnTopChange(int index) override;
    void cbUseWebServicesClick(bool checked) override;
    void cbGetFileNamesClick(bool checked) override;

    const SettingsValues& settings() const { return settings_; }
    const PollState& state() const { return state_; }
    const ErrorSummary& summary() const { return summary_; }
    const DriverLibrary& driverLibrary() const { return library_; }
    const Driver& driver() const { return driver_; }
    const std::string& programFileName() const { return programFileName_; }
    SettingsStore& settingsStore() { return store_; }
    const DriverRecords& records() const { return records_; }
    // The fault history and trends of this run, fed after every tick.
    const RunHistory& history() const { return history_; }
    RunHistory& history() { return history_; }

private:
    // Counts a handler as running for as long as it lives.
    class Busy {
    public:
        explicit Busy(int& depth) : depth_(depth) { ++depth_; }
        ~Busy() { --depth_; }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        int& depth_;
    };

    static void driverErrorRoutine(std::int32_t code, const char* message);
    void showVersions();
    void applyStayOnTop();

    DisplayModel& model_;
    Dialogs& dialogs_;
    Clock& clock_;
    MonitorOptions options_;
    std::string programPath_;
    std::string programFileName_;

    DriverLibrary library_;
    Engine engine_;
    SettingsValues& settings_ = engine_.settings;
    Driver& driver_ = engine_.driver;
    DriverRecords& records_ = engine_.records;
    PollState& state_ = engine_.state;
    ErrorSummary& summary_ = engine_.summary;
    ProtocolFile& protocol_ = engine_.protocol;
    PollCycle& poll_ = engine_.cycle;
    SettingsStore store_;
    CardControl card_;
    RunHistory history_;

    bool timerEnabled_ = false;
    int busy_ = 0;
    StartFailure startFailure_ = StartFailure::None;
    int openError_ = 0;
};

}  // namespace kvx
