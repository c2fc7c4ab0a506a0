// The poll engine on the in-process scripted controller with a fixed clock,
// its parts under the short names the poll, history and fault-injection
// tests and the benchmark rig use, with the start values of a current
// library. A fixture derives from it and sets the controller and the clock.
#pragma once

#include <string>

#include "display/display_model.h"
#include "poll/engine.h"
#include "support/fixed_clock.h"
#include "support/scripted_driver.h"

namespace kvx::test {

struct ScriptedEngine {
    // Start values as after a start on a current library: every local gate open.
    explicit ScriptedEngine(std::string programFileName)
        : engine(scripted.table(), model, clock, std::move(programFileName)) {
        state.driverVersion = 253.048;
        state.resetForStart();
        summary.resetForStart();
        records.optionDescriptors.fill();
    }
    ScriptedEngine(const ScriptedEngine&) = delete;
    ScriptedEngine& operator=(const ScriptedEngine&) = delete;

    ScriptedDriver scripted;
    FixedClock clock;
    DisplayModel model;
    Engine engine;
    Driver& driver = engine.driver;
    DriverRecords& records = engine.records;
    SettingsValues& settings = engine.settings;
    PollState& state = engine.state;
    ErrorSummary& summary = engine.summary;
    ProtocolFile& protocol = engine.protocol;
    PollCycle& cycle = engine.cycle;
};

}  // namespace kvx::test
