// The poll engine in one piece: the driver facade and the records it fills,
// the settings, the poll state, the summary, the protocol file and the poll
// cycle wired over them. The monitor, the tests and the benchmarks all build
// on it, so a part added to the engine is wired in one place.
#pragma once

#include <string>

#include "display/display_model.h"
#include "driver/driver.h"
#include "driver/driver_library.h"
#include "platform/clock.h"
#include "poll/poll_cycle.h"
#include "poll/poll_state.h"
#include "report/error_summary.h"
#include "report/protocol_file.h"
#include "settings/settings_values.h"

namespace kvx {

struct Engine {
    // On an entry-point table of its own (a scripted or test controller).
    Engine(EntryPointTable& table, DisplayModel& display, Clock& clock, std::string programFileName)
        : driver(table), model(display), summary(display), protocol(clock), cycle(context(clock, std::move(programFileName))) {}
    // On a loaded driver library.
    Engine(DriverLibrary& library, DisplayModel& display, Clock& clock, std::string programFileName)
        : driver(library), model(display), summary(display), protocol(clock), cycle(context(clock, std::move(programFileName))) {}
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    Driver driver;
    DriverRecords records;
    SettingsValues settings;
    PollState state;
    DisplayModel& model;
    ErrorSummary summary;
    ProtocolFile protocol;
    PollCycle cycle;

private:
    PollContext context(Clock& clock, std::string programFileName) {
        return PollContext{driver, records, settings, state, model, summary, protocol, clock, std::move(programFileName)};
    }
};

}  // namespace kvx
