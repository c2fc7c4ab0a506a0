// Axis state conditions and the task monitor.
#include "poll_fixture.h"

namespace kvx::test {
namespace {

const char* const kValues[] = {"laEONr", "laCEFNr", "laDHEFNr", "laMPENr"};

// ---- axis checks -----------------------------------------------------------------

using AxisChecks = PollTest;

TEST_F(AxisChecks, CaptionsAndEmptyListsWithoutAxes) {
    ctl.axisCount = 0;
    for (const char* v : kValues) model.setValue(v, "9 ", ColourRole::Fault);
    tick();
    EXPECT_EQ(text("laEO"), "Emergency Out detected at Axis #: ");
    EXPECT_EQ(text("laCEF"), "Configuration Error detected at Axis #: ");
    EXPECT_EQ(text("laDHEF"), "Data handling error detected at Axis #: ");
    EXPECT_EQ(text("laMPE"), "Maximum position error detected at Axis #: ");
    for (const char* v : kValues) {
        EXPECT_EQ(text(v), "") << v;
        EXPECT_EQ(role(v), ColourRole::Normal) << v;
    }
    EXPECT_FALSE(log.called("rdaxst"));
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(AxisChecks, AllFourConditionsOnOneAxisInFixedOrder) {
    ctl.axisCount = 3;
    ctl.axisState[1] = 0x2 | 0x80 | 0x100 | 0x200;
    tick();
    EXPECT_EQ(lines(), (Lines{"Emergency Out is active! at Axis 2", "Configuration Error at Axis 2",
                              "Data Handling Error at Axis 2", "Maximum Position Error at Axis 2"}));
    for (const char* v : kValues) {
        EXPECT_EQ(text(v), "2 ") << v;
        EXPECT_EQ(role(v), ColourRole::Fault) << v;
    }
    EXPECT_EQ(mask(), fault::FirstTick | fault::EmergencyOut | fault::ConfigurationError |
                          fault::DataHandlingError | fault::MaxPositionError);
    EXPECT_EQ(summary.faultCount(), 4);
}

TEST_F(AxisChecks, SameConditionOnSeveralAxesGivesOneClassBit) {
    ctl.axisCount = 5;
    ctl.axisState[1] = 0x2;
    ctl.axisState[4] = 0x2;
    tick();
    EXPECT_EQ(text("laEONr"), "2 5 ");
    EXPECT_EQ(role("laEONr"), ColourRole::Fault);
    EXPECT_EQ(role("laCEFNr"), ColourRole::Normal);
    EXPECT_EQ(lines(), (Lines{"Emergency Out is active! at Axis 2", "Emergency Out is active! at Axis 5"}));
    EXPECT_EQ(mask(), fault::FirstTick | fault::EmergencyOut);
}

TEST_F(AxisChecks, LinesGoAxisByAxis) {
    ctl.axisCount = 2;
    ctl.axisState[0] = 0x80;
    ctl.axisState[1] = 0x2;
    tick();
    EXPECT_EQ(lines(), (Lines{"Maximum Position Error at Axis 1", "Emergency Out is active! at Axis 2"}));
}

TEST_F(AxisChecks, OtherBitsHaveNoEffect) {
    ctl.axisCount = 2;
    ctl.axisState[0] = ~std::uint32_t{0x2 | 0x80 | 0x100 | 0x200};
    tick();
    for (const char* v : kValues) EXPECT_EQ(text(v), "") << v;
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(AxisChecks, ClearedConditionShowsAnEmptyNormalList) {
    ctl.axisState[0] = 0x100;
    tick();
    ctl.axisState[0] = 0;
    tick();
    EXPECT_EQ(text("laDHEFNr"), "");
    EXPECT_EQ(role("laDHEFNr"), ColourRole::Normal);
}

TEST_F(AxisChecks, RemoteReadsWithTheHandleAndWithoutRdaxstSeesNothing) {
    useRemote();
    ctl.axisState[0] = 0x2;
    tick();
    EXPECT_EQ(log.to("rdaxst")[0].args, (std::vector<std::int64_t>{kHandle, 0}));
    EXPECT_EQ(text("laEONr"), "1 ");
    scripted.removeRemote(Op::rdaxst);
    tick();
    EXPECT_EQ(text("laEONr"), "");
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(AxisChecks, LoopStopsAtTheEighteenthRecord) {
    ctl.axisCount = 25;
    ctl.axisState.fill(0x2);
    tick();
    EXPECT_EQ(log.count("rdaxst"), 18u);
    EXPECT_EQ(lines().size(), 18u);
    EXPECT_EQ(lines().back(), "Emergency Out is active! at Axis 18");
}

TEST_F(AxisChecks, NegativeAxisCountReadsNoAxis) {
    ctl.axisCount = -1;
    ctl.axisState.fill(0x2);
    tick();
    EXPECT_FALSE(log.called("rdaxst"));
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

// ---- task monitor ------------------------------------------------------------------

using Tasks = PollTest;

TEST_F(Tasks, ReadInTaskOrderStateThenFile) {
    tick();
    Lines calls;
    for (const auto& c : log.all())
        if (c.name == "rdcncts" || c.name == "getcnctfh") calls.push_back(c.name + " " + std::to_string(c.args[0]));
    EXPECT_EQ(calls, (Lines{"rdcncts 0", "getcnctfh 0", "rdcncts 1", "getcnctfh 1", "rdcncts 2", "getcnctfh 2",
                            "rdcncts 3", "getcnctfh 3"}));
}

TEST_F(Tasks, RunningAndSteppingTask) {
    ctl.tasks[0] = {0, 0, 3, "MAIN.QSL"};
    tick();
    EXPECT_EQ(text("laTask0FileName"), "MAIN.QSL");
    EXPECT_EQ(role("laTask0FileName"), ColourRole::Normal);
    EXPECT_TRUE(checked("cbRun0"));
    EXPECT_TRUE(checked("cbStep0"));
    EXPECT_FALSE(checked("cbStop0"));
}

TEST_F(Tasks, StoppedTaskIsPlain) {
    ctl.tasks[1] = {0, 0, 0, "IDLE.QSL"};
    tick();
    EXPECT_EQ(text("laTask1FileName"), "IDLE.QSL");
    EXPECT_EQ(role("laTask1FileName"), ColourRole::Plain);
    EXPECT_FALSE(checked("cbRun1"));
    EXPECT_FALSE(checked("cbStep1"));
    EXPECT_TRUE(checked("cbStop1"));
}

TEST_F(Tasks, OtherStateBitsStopButColourTheFile) {
    ctl.tasks[2] = {0, 0, 4, "WAIT.QSL"};
    tick();
    EXPECT_FALSE(checked("cbRun2"));
    EXPECT_FALSE(checked("cbStep2"));
    EXPECT_TRUE(checked("cbStop2"));
    EXPECT_EQ(role("laTask2FileName"), ColourRole::Normal);
}

TEST_F(Tasks, LineWithoutErrorNumberIsPlain) {
    ctl.tasks[3] = {0, 12, 1, "T3.QSL"};
    tick();
    EXPECT_EQ(text("edErrNum3"), "0");
    EXPECT_EQ(text("edErrLine3"), "12");
    EXPECT_EQ(role("edErrNum3"), ColourRole::Plain);
    EXPECT_EQ(role("edErrLine3"), ColourRole::Plain);
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(Tasks, NegativeErrorNumberIsAnError) {
    ctl.tasks[1] = {-5, 7, 1, "T1.QSL"};
    tick();
    EXPECT_EQ(text("edErrNum1"), "-5");
    EXPECT_EQ(text("edErrLine1"), "7");
    EXPECT_EQ(role("edErrNum1"), ColourRole::Fault);
    EXPECT_EQ(role("edErrLine1"), ColourRole::Fault);
    EXPECT_EQ(lines(), Lines{"Runtime error at Task-1 detected!"});
    EXPECT_EQ(mask(), fault::FirstTick | 0x200u);
}

TEST_F(Tasks, SeveralTasksGiveOneLineAndOneBitEach) {
    ctl.tasks[0].errorNumber = 1;
    ctl.tasks[2].errorNumber = 2;
    ctl.tasks[3].errorNumber = 3;
    ctl.tasks[3].errorLine = -1;
    tick();
    EXPECT_EQ(lines(), (Lines{"Runtime error at Task-0 detected!", "Runtime error at Task-2 detected!",
                              "Runtime error at Task-3 detected!"}));
    EXPECT_EQ(mask(), fault::FirstTick | 0x100u | 0x400u | 0x800u);
    EXPECT_EQ(text("edErrLine3"), "-1");
    EXPECT_EQ(role("edErrNum1"), ColourRole::Plain);
}

TEST_F(Tasks, FileNameWithoutTerminatorEndsAtItsRecord) {
    ctl.tasks[0].fileName = std::string(400, 'F');
    tick();
    EXPECT_EQ(text("laTask0FileName"), std::string(588 - 260, 'F'));
}

TEST_F(Tasks, RemoteWithoutTaskReadsShowsZeros) {
    useRemote();
    ctl.tasks[0] = {9, 9, 1, "MAIN.QSL"};
    scripted.removeRemote(Op::rdcncts);
    scripted.removeRemote(Op::getcnctfh);
    tick();
    EXPECT_EQ(text("laTask0FileName"), "");
    EXPECT_EQ(role("laTask0FileName"), ColourRole::Plain);
    EXPECT_TRUE(checked("cbStop0"));
    EXPECT_EQ(text("edErrNum0"), "0");
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(Tasks, RemoteReadsWithTheHandle) {
    useRemote();
    ctl.tasks[2] = {0, 0, 1, "R.QSL"};
    tick();
    EXPECT_EQ(log.to("getcnctfh")[2].args, (std::vector<std::int64_t>{kHandle, 2}));
    EXPECT_EQ(text("laTask2FileName"), "R.QSL");
}

TEST_F(Tasks, OfflineEmptiesOnlyTheFileLabels) {
    ctl.tasks[0] = {4, 5, 1, "MAIN.QSL"};
    tick();
    ctl.initResult = 34;
    tick();
    EXPECT_EQ(text("laTask0FileName"), "");
    EXPECT_EQ(text("edErrNum0"), "4");
    EXPECT_TRUE(checked("cbRun0"));
}

}  // namespace
}  // namespace kvx::test
