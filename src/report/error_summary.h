// The error summary of one tick: the lines that say what is wrong right now,
// the fault classes raised, the warning store and its countdown, and the
// decision at the end of the tick whether the protocol gets a block.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "display/display_model.h"
#include "report/protocol_file.h"

namespace kvx {

// One fault line reported during a tick, with its class.
struct ReportedFault {
    std::string line;
    std::uint32_t faultClass = 0;
    bool operator==(const ReportedFault&) const = default;
};

class ErrorSummary {
public:
    // Lines go to model.summary, warnings to model.warnings.
    explicit ErrorSummary(DisplayModel& model) : model_(model) {}

    // Start values of a new window: prevFaultMask -1, no warnings running.
    void resetForStart();

    // Empties the summary and the fault mask; the first tick after start
    // raises the first-tick class.
    void startTick();
    // Appends the fault's line, counts it and raises its class.
    void reportFault(std::string line, std::uint32_t faultClass);
    // Appends a line that is not a fault (explanations, "System.dat ...").
    void appendLine(std::string line);
    // Replaces the whole summary with `text`, split at "\n".
    void replaceSummary(std::string_view text);
    // Counts a fault whose text is written elsewhere (the offline tick).
    void countFault(std::uint32_t faultClass);

    // Sets the countdown (the last call wins) and stores the warning line.
    int addWarning(std::string text, std::int32_t ticks);
    void clearWarningStore() { model_.warnings.clear(); }
    // While the countdown runs, the summary starts with a copy of the warnings.
    void warningsAtHead();
    // After a controller restart: the next warnings start a new countdown.
    void clearWarningCountdown() { warningTicks_ = 0; prevWarningTicks_ = 0; }

    // A line that heads the summary of the first tick after resetForStart:
    // what the start could not do, said where the user looks.
    void noteAtStart(std::string line) { startNote_ = std::move(line); }

    // "No errors detected!", the protocol block, the countdown, the reset hint.
    void endTick(ProtocolFile& protocol);

    std::uint32_t faultMask() const { return faultMask_; }
    std::int32_t prevFaultMask() const { return prevFaultMask_; }
    std::int32_t faultCount() const { return faultCount_; }
    std::int32_t warningTicks() const { return warningTicks_; }
    std::int32_t prevWarningTicks() const { return prevWarningTicks_; }
    bool protocolDue() const { return protocolDue_; }
    // The fault lines reported since the start of this tick, in order.
    const std::vector<ReportedFault>& tickFaults() const { return tickFaults_; }

private:
    DisplayModel& model_;
    std::uint32_t faultMask_ = 0;
    std::int32_t prevFaultMask_ = -1;
    std::int32_t faultCount_ = 0;
    std::int32_t warningTicks_ = 0;
    std::int32_t prevWarningTicks_ = 0;
    bool protocolDue_ = false;
    std::vector<ReportedFault> tickFaults_;
    std::string startNote_;
    bool firstTick_ = false;
};

}  // namespace kvx
