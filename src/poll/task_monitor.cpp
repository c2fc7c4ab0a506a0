// The four controller tasks: program file, run/step/stop flags, runtime error
// number and source line.
#include "poll/checks.h"
#include "report/fault_classes.h"

namespace kvx {

void monitorTasks(PollContext& ctx) {
    DisplayModel& m = ctx.model;
    for (int t = 0; t < 4; ++t) {
        const std::string n = std::to_string(t);
        TaskStateRecord state;
        TaskFileRecord file;
        ctx.driver.rdcncts(t, state);    // not provided: zeros
        ctx.driver.getcnctfh(t, file);

        const std::uint32_t flags = state.state();
        m.setValue("laTask" + n + "FileName", file.fileName(), flags != 0 ? ColourRole::Normal : ColourRole::Plain);
        m.setChecked("cbRun" + n, flags & 0x1);
        m.setChecked("cbStep" + n, flags & 0x2);
        m.setChecked("cbStop" + n, (flags & 0x3) == 0);

        const std::int32_t error = state.errorNumber();
        const ColourRole role = error != 0 ? ColourRole::Fault : ColourRole::Plain;
        m.setValue("edErrNum" + n, std::to_string(error), role);
        m.setValue("edErrLine" + n, std::to_string(state.errorLine()), role);
        if (error != 0)
            ctx.summary.reportFault("Runtime error at Task-" + n + " detected!", fault::taskRuntimeError(t));
    }
}

}  // namespace kvx
