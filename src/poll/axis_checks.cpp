// Per-axis conditions of the axis state word: emergency out, configuration
// error, data handling error and maximum position error.
#include "poll/checks.h"
#include "report/fault_classes.h"

namespace kvx {

namespace {

struct AxisCondition {
    std::uint32_t bit;
    const char* caption;
    const char* label;
    const char* value;
    const char* line;
    std::uint32_t faultClass;
};

// In the order the conditions are tested for each axis.
constexpr AxisCondition kConditions[] = {
    {0x002, "laEO", "Emergency Out detected at Axis #: ", "laEONr", "Emergency Out is active! at Axis ",
     fault::EmergencyOut},
    {0x200, "laCEF", "Configuration Error detected at Axis #: ", "laCEFNr", "Configuration Error at Axis ",
     fault::ConfigurationError},
    {0x100, "laDHEF", "Data handling error detected at Axis #: ", "laDHEFNr", "Data Handling Error at Axis ",
     fault::DataHandlingError},
    {0x080, "laMPE", "Maximum position error detected at Axis #: ", "laMPENr", "Maximum Position Error at Axis ",
     fault::MaxPositionError},
};

}  // namespace

void checkAxes(PollContext& ctx) {
    DisplayModel& m = ctx.model;
    for (const auto& c : kConditions) {
        m.setText(c.caption, c.label);
        m.setValue(c.value, "", ColourRole::Normal);
        m.placeAfter(c.value, c.caption);
    }
    const int axes = clampAxisCount(ctx.state.axisCount);
    for (int i = 0; i < axes; ++i) {
        AxisRecord& axis = ctx.records.axisTable[i];
        ctx.driver.rdaxst(axis);  // not provided: state word 0
        const std::uint32_t state = axis.axisStateWord();
        const std::string number = std::to_string(i + 1);
        for (const auto& c : kConditions) {
            if (!(state & c.bit)) continue;
            m.appendText(c.value, number + " ");
            m.setRole(c.value, ColourRole::Fault);
            ctx.summary.reportFault(c.line + number, c.faultClass);
        }
    }
}

}  // namespace kvx
