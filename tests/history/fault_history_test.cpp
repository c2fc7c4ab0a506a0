// The fault history through the poll engine: a fault of one tick, a fault
// that comes back, acknowledging, resettable classes, restart and offline
// events.
#include "history_fixture.h"

namespace kvx::test {
namespace {

constexpr const char* kEmergencyAxis1 = "Emergency Out is active! at Axis 1";

TEST_F(HistoryTest, HealthyRunKeepsNoEntriesAndNoEvents) {
    tickAt(0);
    tickAt(1);
    tickAt(2);
    EXPECT_TRUE(faults().entries().empty());
    EXPECT_TRUE(faults().events().empty());
    EXPECT_EQ(history.tickCount(), 3u);
    EXPECT_EQ(history.onlineTickCount(), 3u);
    ASSERT_TRUE(history.lastTick().has_value());
    EXPECT_EQ(history.lastTick()->faultMask, 0u);
}

TEST_F(HistoryTest, OneTickFaultStaysInTheHistoryAndMarked) {
    tickAt(0);
    setEmergencyOut(0, true);
    tickAt(1);
    setEmergencyOut(0, false);
    tickAt(2);
    tickAt(3);

    // The summary forgot it at once; the history did not.
    EXPECT_EQ(model.summary, std::vector<std::string>{"No errors detected!"});
    ASSERT_EQ(faults().entries().size(), 1u);
    const FaultEntry& e = faults().entries()[0];
    EXPECT_EQ(e.line, kEmergencyAxis1);
    EXPECT_EQ(e.faultClass, fault::EmergencyOut);
    EXPECT_TRUE(sameTime(e.firstSeen, timeAt(1)));
    EXPECT_TRUE(sameTime(e.lastSeen, timeAt(1)));
    EXPECT_EQ(e.firstSeenMs, 1000);
    EXPECT_EQ(e.lastSeenMs, 1000);
    EXPECT_EQ(e.occurrences, 1);
    EXPECT_EQ(e.ticks, 1);
    EXPECT_FALSE(e.active);
    EXPECT_TRUE(e.marked);
    EXPECT_FALSE(e.resettable());
    EXPECT_EQ(faults().activeCount(), 0u);
    EXPECT_EQ(faults().markedCount(), 1u);
}

TEST_F(HistoryTest, FaultThatComesBackCountsTwoOccurrences) {
    tickAt(0);
    setEmergencyOut(0, true);
    tickAt(1);
    tickAt(2);
    setEmergencyOut(0, false);
    tickAt(3);
    setEmergencyOut(0, true);
    tickAt(4);

    ASSERT_EQ(faults().entries().size(), 1u);
    const FaultEntry& e = faults().entries()[0];
    EXPECT_EQ(e.occurrences, 2);
    EXPECT_EQ(e.ticks, 3);
    EXPECT_TRUE(sameTime(e.firstSeen, timeAt(1)));
    EXPECT_TRUE(sameTime(e.lastSeen, timeAt(4)));
    EXPECT_EQ(e.startsMs, (std::deque<std::int64_t>{e.firstSeenMs, e.lastSeenMs}));
    EXPECT_TRUE(e.active);
    EXPECT_EQ(faults().activeCount(), 1u);
}

TEST_F(HistoryTest, EntriesKeepTheOrderTheLinesWereFirstSeen) {
    tickAt(0);
    setEmergencyOut(1, true);
    tickAt(1);
    ctl.tasks[2].errorNumber = -7;
    setEmergencyOut(0, true);
    tickAt(2);

    ASSERT_EQ(faults().entries().size(), 3u);
    EXPECT_EQ(faults().entries()[0].line, "Emergency Out is active! at Axis 2");
    EXPECT_EQ(faults().entries()[1].line, kEmergencyAxis1);
    EXPECT_EQ(faults().entries()[1].faultClass, fault::EmergencyOut);
    EXPECT_EQ(faults().entries()[2].line, "Runtime error at Task-2 detected!");
    EXPECT_EQ(faults().entries()[2].faultClass, fault::taskRuntimeError(2));
    EXPECT_EQ(history.lastTick()->taskErrors, (std::array<std::int32_t, 4>{0, 0, -7, 0}));
    EXPECT_EQ(history.lastTick()->axisStateWords, (std::vector<std::uint32_t>{0x002, 0x002}));
}

TEST_F(HistoryTest, AcknowledgeClearsTheMarkAndNeverReachesTheController) {
    tickAt(0);
    setEmergencyOut(0, true);
    tickAt(1);
    ctl.setStatus(StatusRecord::kTimeoutErrors, 4);
    tickAt(2);
    ASSERT_EQ(faults().markedCount(), 2u);

    const std::size_t callsBefore = scripted.log.all().size();
    EXPECT_TRUE(history.faults().acknowledge(0));
    EXPECT_FALSE(history.faults().acknowledge(7));
    EXPECT_EQ(scripted.log.all().size(), callsBefore);
    EXPECT_FALSE(faults().entries()[0].marked);
    EXPECT_TRUE(faults().entries()[0].active);  // still there: only the mark went
    EXPECT_TRUE(faults().entries()[1].marked);

    // Still there in the next tick: no new mark. Gone and back: marked again.
    tickAt(3);
    EXPECT_FALSE(faults().entries()[0].marked);
    setEmergencyOut(0, false);
    tickAt(4);
    setEmergencyOut(0, true);
    tickAt(5);
    EXPECT_TRUE(faults().entries()[0].marked);

    history.faults().acknowledgeAll();
    EXPECT_EQ(faults().markedCount(), 0u);
    EXPECT_EQ(faults().entries().size(), 2u);
}

TEST_F(HistoryTest, ResettableClassesAreEncoderLinkTimingAndErrorRegister) {
    tickAt(0);
    ctl.setStatus(StatusRecord::kDmaReadErrors, 1);
    ctl.setStatus(StatusRecord::kMaxCycleTime, 1792);
    ctl.errorRegister = 0x40;
    ctl.tasks[0].errorNumber = 3;
    tickAt(1);

    auto entry = [&](const std::string& line, std::uint32_t cls) -> const FaultEntry& {
        auto index = faults().find(line, cls);
        EXPECT_TRUE(index.has_value()) << line;
        return faults().entries().at(index.value_or(0));
    };
    EXPECT_TRUE(entry("Internal Data handling Errors detected!", fault::InternalDataHandling).resettable());
    EXPECT_TRUE(entry("Timing Errors detected!", fault::Timing).resettable());
    EXPECT_FALSE(entry("Runtime error at Task-0 detected!", fault::taskRuntimeError(0)).resettable());

    std::size_t errorRegisterEntries = 0;
    for (const FaultEntry& e : faults().entries())
        if (e.faultClass == fault::ErrorRegister) {
            ++errorRegisterEntries;
            EXPECT_TRUE(e.resettable());
        }
    EXPECT_EQ(errorRegisterEntries, 1u);
    EXPECT_TRUE(resettableByDoubleClick(fault::EncoderError));
    EXPECT_FALSE(resettableByDoubleClick(fault::EmergencyOut));
    EXPECT_FALSE(resettableByDoubleClick(fault::Offline));
}

TEST_F(HistoryTest, ControllerRestartIsAnEventWithItsTime) {
    fixedRunCounter = true;
    ctl.setStatus(StatusRecord::kRunCounter, 5000);
    tickAt(0);
    ctl.setStatus(StatusRecord::kRunCounter, 5100);
    tickAt(1);
    ctl.setStatus(StatusRecord::kRunCounter, 10);
    tickAt(2);
    ctl.setStatus(StatusRecord::kRunCounter, 20);
    tickAt(3);

    EXPECT_EQ(state.restartCount, 1u);
    ASSERT_EQ(faults().events().size(), 1u);
    const HistoryEvent& e = faults().events()[0];
    EXPECT_EQ(e.kind, EventKind::Restart);
    EXPECT_TRUE(sameTime(e.start, timeAt(2)));
    EXPECT_EQ(e.startMs, 2000);
    EXPECT_FALSE(e.end.has_value());
    EXPECT_EQ(faults().restartCount(), 1u);
    EXPECT_TRUE(faults().entries().empty());  // a restart is no summary line
}

TEST_F(HistoryTest, OfflinePeriodHasItsStartEndAndResult) {
    tickAt(0);
    ctl.initResult = 34;
    tickAt(10);
    tickAt(11);
    ctl.initResult = 0;
    tickAt(12);

    ASSERT_EQ(faults().events().size(), 1u);
    const HistoryEvent& e = faults().events()[0];
    EXPECT_EQ(e.kind, EventKind::Offline);
    EXPECT_TRUE(sameTime(e.start, timeAt(10)));
    ASSERT_TRUE(e.end.has_value());
    EXPECT_TRUE(sameTime(*e.end, timeAt(12)));
    EXPECT_EQ(e.endMs, std::optional<std::int64_t>(12000));
    EXPECT_EQ(e.initResult, 34);
    EXPECT_EQ(faults().offlinePeriodCount(), 1u);
    EXPECT_FALSE(faults().offlineNow());
    // The offline text is the summary's, not a fault line of the history.
    EXPECT_TRUE(faults().entries().empty());
    EXPECT_EQ(history.onlineTickCount(), 2u);
}

TEST_F(HistoryTest, OfflineFromTheStartStaysOpen) {
    ctl.initResult = 33;
    tickAt(0);
    tickAt(1);

    ASSERT_EQ(faults().events().size(), 1u);
    EXPECT_EQ(faults().events()[0].kind, EventKind::Offline);
    EXPECT_TRUE(sameTime(faults().events()[0].start, timeAt(0)));
    EXPECT_FALSE(faults().events()[0].end.has_value());
    EXPECT_EQ(faults().events()[0].initResult, 33);
    EXPECT_TRUE(faults().offlineNow());
    EXPECT_FALSE(history.lastTick()->online);
    EXPECT_EQ(history.lastTick()->faultMask, fault::Offline);
}

TEST_F(HistoryTest, RestartFoundOnTheFirstTickBackFollowsTheOfflinePeriod) {
    fixedRunCounter = true;
    ctl.setStatus(StatusRecord::kRunCounter, 9000);
    tickAt(0);
    ctl.initResult = 34;
    tickAt(5);
    ctl.initResult = 0;
    ctl.setStatus(StatusRecord::kRunCounter, 3);
    tickAt(9);

    ASSERT_EQ(faults().events().size(), 2u);
    EXPECT_EQ(faults().events()[0].kind, EventKind::Offline);
    EXPECT_TRUE(sameTime(*faults().events()[0].end, timeAt(9)));
    EXPECT_EQ(faults().events()[1].kind, EventKind::Restart);
    EXPECT_TRUE(sameTime(faults().events()[1].start, timeAt(9)));
}

TEST(FaultClassTexts, NumbersAndNames) {
    EXPECT_EQ(faultClassText(fault::InternalDataHandling), "0x01000");
    EXPECT_EQ(faultClassText(fault::ErrorRegister), "0x10000");
    EXPECT_EQ(faultClassName(fault::Timing), "Cycle timing");
    EXPECT_EQ(faultClassName(fault::taskRuntimeError(3)), "Task 3 runtime error");
    EXPECT_EQ(faultClassName(0x40000), "Unknown");
    EXPECT_STREQ(linkCounterKey(4), "rx_com");
    EXPECT_STREQ(linkCounterTitle(0), "DMA read");
}

}  // namespace
}  // namespace kvx::test
