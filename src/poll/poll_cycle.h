// One poll tick: initialise the system through the driver, decide online or
// offline, run the went-online steps or the offline presentation, read the
// controller's identity, run the board, axis, task and link checks, and close
// the tick with the summary and the protocol. Nothing here knows about Qt.
#pragma once

#include <string>

#include "display/display_model.h"
#include "driver/driver.h"
#include "platform/clock.h"
#include "poll/poll_state.h"
#include "report/error_summary.h"
#include "report/protocol_file.h"
#include "settings/settings_values.h"

namespace kvx {

struct PollContext {
    Driver& driver;
    DriverRecords& records;
    SettingsValues& settings;
    PollState& state;
    DisplayModel& model;
    ErrorSummary& summary;
    ProtocolFile& protocol;
    Clock& clock;
    std::string programFileName;  // the executable's file name, for the caption
};

class PollCycle {
public:
    explicit PollCycle(PollContext context) : ctx_(std::move(context)) {}

    // TimerTimer: one complete tick.
    void tick();
    // The double-click on the summary: went-online steps again at the next
    // online tick; resets what the controller can reset.
    void meErrorSummaryDblClick();

    // The caption of an online controller: "<program> - Online Mode".
    std::string onlineCaption() const { return ctx_.programFileName + " - Online Mode"; }

private:
    void wentOnline();
    void offlinePresentation(std::int32_t result);

    PollContext ctx_;
};

}  // namespace kvx
