// Link error counters, cycle times against the band of the sample time, and
// detection of a controller restart from the run counter.
#include "poll/checks.h"
#include "report/fault_classes.h"

namespace kvx {

TimeLimits timingLimits(std::int32_t sampleTimeUs) {
    // The products are formed in extended precision from the doubles nearest
    // 0.7 and 1.4, which lie just below them: a whole-number product comes out
    // one less. The limits are then compared as unsigned 32-bit numbers, so a
    // negative sample time gives a lower limit no cycle time can reach.
    const long double n = sampleTimeUs;
    const auto lower = static_cast<std::int64_t>(n * static_cast<long double>(0.7));
    const auto upper = sampleTimeUs < 1 ? std::int64_t{5734} : static_cast<std::int64_t>(n * static_cast<long double>(1.4));
    return {static_cast<std::uint32_t>(lower), static_cast<std::uint32_t>(upper)};
}

void checkLinkAndTiming(PollContext& ctx) {
    DisplayModel& m = ctx.model;
    const StatusRecord& status = ctx.records.statusRecord;

    const std::uint32_t counters[] = {status.dmaReadErrors(), status.dmaWriteErrors(), status.timeoutErrors(),
                                      status.rxDataErrors(), status.rxComErrors()};
    bool linkErrors = false;
    for (int i = 0; i < 5; ++i) {
        const CounterRow& row = kLinkCounterRows[i];
        m.setText(row.caption, row.text);
        m.setValue(std::string(row.caption) + "Nr", std::to_string(counters[i]),
                   counters[i] != 0 ? ColourRole::Fault : ColourRole::Normal);
        linkErrors = linkErrors || counters[i] != 0;
    }
    if (linkErrors) ctx.summary.reportFault("Internal Data handling Errors detected!", fault::InternalDataHandling);

    const TimeLimits limits = timingLimits(ctx.state.sampleTimeUs);
    const std::uint32_t minTime = status.minCycleTime(), maxTime = status.maxCycleTime();
    const bool minOk = minTime >= limits.lower, maxOk = maxTime <= limits.upper;
    m.setText(kMinTimeRow.caption, kMinTimeRow.text);
    m.setValue("laMinTimeNr", std::to_string(minTime), minOk ? ColourRole::Normal : ColourRole::Fault);
    m.setText(kMaxTimeRow.caption, kMaxTimeRow.text);
    m.setValue("laMaxTimeNr", std::to_string(maxTime), maxOk ? ColourRole::Normal : ColourRole::Fault);
    if (!minOk || !maxOk) ctx.summary.reportFault("Timing Errors detected!", fault::Timing);

    // A run counter that went back (modulo 2^32) means the controller restarted.
    PollState& st = ctx.state;
    const std::uint32_t run = status.runCounter();
    if (st.prevRunCounter != 0 && static_cast<std::int32_t>(run - st.prevRunCounter) < 0) {
        st.wasOnline = 0;
        ++st.restartCount;
        ctx.summary.clearWarningCountdown();
        ctx.protocol.writeReboot();
    }
    st.prevRunCounter = run;
}

}  // namespace kvx
