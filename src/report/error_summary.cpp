#include "report/error_summary.h"

#include "report/fault_classes.h"

#include <utility>

namespace kvx {

void ErrorSummary::resetForStart() {
    faultMask_ = 0;
    prevFaultMask_ = -1;
    faultCount_ = 0;
    warningTicks_ = 0;
    prevWarningTicks_ = 0;
    protocolDue_ = false;
    tickFaults_.clear();
}

void ErrorSummary::startTick() {
    faultMask_ = 0;
    faultCount_ = 0;
    model_.summary.clear();
    tickFaults_.clear();
    firstTick_ = prevFaultMask_ == -1;
    if (firstTick_) {
        prevFaultMask_ = 0;
        faultMask_ = fault::FirstTick;
    }
}

void ErrorSummary::reportFault(std::string line, std::uint32_t faultClass) {
    tickFaults_.push_back({line, faultClass});
    model_.summary.push_back(std::move(line));
    countFault(faultClass);
}

void ErrorSummary::appendLine(std::string line) { model_.summary.push_back(std::move(line)); }

void ErrorSummary::replaceSummary(std::string_view text) { replaceLines(model_.summary, text); }

void ErrorSummary::countFault(std::uint32_t faultClass) {
    ++faultCount_;
    faultMask_ |= faultClass;
}

int ErrorSummary::addWarning(std::string text, std::int32_t ticks) {
    warningTicks_ = ticks;
    model_.warnings.push_back(std::move(text));
    return 1;
}

void ErrorSummary::warningsAtHead() {
    if (warningTicks_ != 0) model_.summary = model_.warnings;
}

void ErrorSummary::endTick(ProtocolFile& protocol) {
    // Here rather than at the start of the tick, where the warnings replace the summary.
    if (firstTick_ && !startNote_.empty()) model_.summary.insert(model_.summary.begin(), std::exchange(startNote_, {}));
    if (faultCount_ == 0) model_.summary.emplace_back("No errors detected!");

    const std::uint32_t previous = static_cast<std::uint32_t>(prevFaultMask_);
    protocolDue_ = ((faultMask_ ^ previous) & faultMask_) != 0;
    if (warningTicks_ != 0) {
        if (prevWarningTicks_ == 0) protocolDue_ = true;
        --warningTicks_;
    }
    if (protocolDue_) protocol.writeBlock(model_.summary);

    // The hint is for the screen only; it never reaches the file.
    if (faultMask_ & fault::Resettable) {
        model_.summary.emplace_back("");
        model_.summary.emplace_back("Some errors can be reset with double-click on this window!");
    }
    prevFaultMask_ = static_cast<std::int32_t>(faultMask_);
    prevWarningTicks_ = warningTicks_;
}

}  // namespace kvx
