// The error summary across ticks: warnings and their countdown, when the
// protocol gets a block, the reset hint, and the protocol file itself.
#include "poll_fixture.h"

namespace kvx::test {
namespace {

const std::string kResource = "Ressource-Interface not available in TAVOS.ELF!  ";
const std::string kNoLimitA1 = "Warning: No Maximum Position Error defined at Axis A1!\t";
const std::string kHint = "Some errors can be reset with double-click on this window!";

// The number of summary blocks in a protocol text: headers "\n<timestamp>:\n".
int blocks(const Lines& file) {
    int n = 0;
    for (std::size_t i = 1; i < file.size(); ++i)
        if (file[i - 1].empty() && file[i].size() == 22 && file[i].back() == ':') ++n;
    return n;
}

// ---- warnings and their countdown -----------------------------------------

using Warnings = PollTest;

TEST_F(Warnings, TenTickWarningHeadsTheSummaryForTenTicks) {
    ctl.options[62].readable = false;
    std::vector<int> countdown;
    std::vector<bool> shown;
    for (int i = 0; i < 12; ++i) {
        tick();
        countdown.push_back(summary.warningTicks());
        shown.push_back(!lines().empty() && lines().front() == kResource);
    }
    EXPECT_EQ(countdown, (std::vector<int>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 0}));
    EXPECT_EQ(shown, (std::vector<bool>{true, true, true, true, true, true, true, true, true, true, false, false}));
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(Warnings, TwentyTickWarningHeadsTheSummaryForTwentyTicks) {
    ctl.maxPositionErrorLimit[0] = 0.0;
    int shownTicks = 0;
    for (int i = 0; i < 25; ++i) {
        tick();
        if (lines().front() == kNoLimitA1) ++shownTicks;
        if (i == 0) {
            EXPECT_EQ(summary.warningTicks(), 19);
        }
    }
    EXPECT_EQ(shownTicks, 20);
    EXPECT_EQ(summary.warningTicks(), 0);
}

TEST_F(Warnings, FaultLinesFollowTheWarningsAndCopiesAreNotCounted) {
    ctl.options[62].readable = false;
    ctl.axisCount = 3;
    ctl.axisState[2] = 0x2;
    tick();
    EXPECT_EQ(lines(), (Lines{kResource, "Emergency Out is active! at Axis 3"}));
    EXPECT_EQ(summary.faultCount(), 1);
}

TEST_F(Warnings, RaisingThemWritesOneBlockAndTheirEndWritesNone) {
    ASSERT_TRUE(openProtocol());
    tick(2);
    ctl.options[62].readable = false;
    doubleClick();
    clock.set({2024, 3, 5, 9, 0, 0});
    tick(15);
    const Lines file = protocolLines();
    ASSERT_EQ(blocks(file), 2);  // four lines at least: the tail below is inside the file
    const Lines tail(file.end() - 4, file.end());
    EXPECT_EQ(tail, (Lines{"", "2024/03/05 - 09:00:00:", kResource, "No errors detected!"}));
}

TEST_F(Warnings, RaisedAgainWhileTheCountdownRunsWritesNoBlock) {
    ASSERT_TRUE(openProtocol());
    ctl.options[62].readable = false;
    tick(3);
    doubleClick();
    tick();
    EXPECT_EQ(summary.warningTicks(), 9);  // a fresh countdown
    EXPECT_EQ(lines(), (Lines{kResource, "No errors detected!"}));
    EXPECT_EQ(blocks(protocolLines()), 1);
}

TEST_F(Warnings, CountdownRunsOnWhileOfflineWithoutShowingThem) {
    ctl.options[62].readable = false;
    tick();
    ctl.initResult = 34;
    tick(2);
    EXPECT_EQ(summary.warningTicks(), 7);
    EXPECT_EQ(lines().front(), "System is offline:");
}

// ---- when a block is due --------------------------------------------------------

using ProtocolBlocks = PollTest;

TEST_F(ProtocolBlocks, FirstTickAlwaysWritesHeaderAndNoErrors) {
    ASSERT_TRUE(openProtocol());
    tick();
    EXPECT_TRUE(summary.protocolDue());
    EXPECT_EQ(protocolLines(), (Lines{"", "2024/03/05 - 08:15:02: Diagnostic Program opened! --------------------",
                                      "", "2024/03/05 - 08:15:02:", "No errors detected!"}));
}

TEST_F(ProtocolBlocks, PersistingFaultGivesOneBlockAndItsReturnAnother) {
    ASSERT_TRUE(openProtocol());
    ctl.axisCount = 3;
    tick();
    ctl.axisState[0] = 0x200;
    tick(3);
    EXPECT_EQ(blocks(protocolLines()), 2);
    ctl.axisState[0] = 0;
    tick();
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
    EXPECT_FALSE(summary.protocolDue());
    EXPECT_EQ(blocks(protocolLines()), 2);
    ctl.axisState[0] = 0x200;
    tick();
    EXPECT_EQ(blocks(protocolLines()), 3);
}

TEST_F(ProtocolBlocks, NewClassWritesButSameClassOnAnotherAxisDoesNot) {
    ASSERT_TRUE(openProtocol());
    ctl.axisCount = 3;
    ctl.axisState[0] = 0x2;
    tick(2);
    ctl.axisState[1] = 0x2;
    tick();
    EXPECT_EQ(lines(), (Lines{"Emergency Out is active! at Axis 1", "Emergency Out is active! at Axis 2"}));
    EXPECT_EQ(blocks(protocolLines()), 1);
    ctl.axisState[2] = 0x100;
    tick();
    const Lines file = protocolLines();
    ASSERT_EQ(blocks(file), 2);
    EXPECT_EQ(Lines(file.end() - 3, file.end()),
              (Lines{"Emergency Out is active! at Axis 1", "Emergency Out is active! at Axis 2",
                     "Data Handling Error at Axis 3"}));
}

TEST_F(ProtocolBlocks, OfflineFromStartThenGoingOfflineAgain) {
    ASSERT_TRUE(openProtocol());
    ctl.initResult = 34;
    tick(3);
    Lines file = protocolLines();
    ASSERT_GE(file.size(), 2u);
    EXPECT_EQ(Lines(file.begin() + 2, file.end()),
              (Lines{"", "2024/03/05 - 08:15:02:", "System is offline:", "Boot System in Application",
                     "or check monitor screen in bootmon!", "Miniport Driver not available!"}));
    ctl.initResult = 0;
    tick(2);
    EXPECT_EQ(blocks(protocolLines()), 1);  // coming back online raises no new class
    ctl.initResult = 33;
    tick();
    file = protocolLines();
    ASSERT_EQ(blocks(file), 2);
    EXPECT_EQ(file.back(), "Version conflict between kvxg3.dll and TAVOS.ELF!");
}

// ---- the reset hint ---------------------------------------------------------------

using ResetHint = PollTest;

TEST_F(ResetHint, EncoderErrorShowsTheHintButNeverWritesIt) {
    ASSERT_TRUE(openProtocol());
    ctl.encoderError[1] = 1;
    tick();
    EXPECT_EQ(lines(), (Lines{"Encoder Error at Axis 2", "", kHint}));
    const Lines file = protocolLines();
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.back(), "Encoder Error at Axis 2");
    EXPECT_EQ(protocolText().find("double-click"), std::string::npos);
}

TEST_F(ResetHint, LinkAndTimingErrorsShowTheHint) {
    ctl.setStatus(StatusRecord::kRxComErrors, 1);
    tick();
    EXPECT_EQ(lines(), (Lines{"Internal Data handling Errors detected!", "", kHint}));
    ctl.setStatus(StatusRecord::kRxComErrors, 0);
    ctl.setStatus(StatusRecord::kMaxCycleTime, 1792);
    tick();
    EXPECT_EQ(lines(), (Lines{"Timing Errors detected!", "", kHint}));
}

TEST_F(ResetHint, OtherFaultsHaveNoHint) {
    ctl.tasks[0].errorNumber = 3;
    ctl.errorRegister = 1;
    tick();
    EXPECT_EQ(lines(), (Lines{"Bit in ErrorRegister has been set!", "Runtime error at Task-0 detected!"}));
}

// ---- the protocol file ----------------------------------------------------------

using ProtocolFileRecords = PollTest;

TEST_F(ProtocolFileRecords, ExampleRunLineByLine) {
    ctl.axisCount = 3;
    ASSERT_TRUE(openProtocol());
    tick(5);
    clock.set({2024, 3, 5, 9, 40, 17});
    ctl.axisState[2] = 0x2;
    tick(30);
    clock.set({2024, 3, 5, 12, 0, 0});
    ctl.axisState[2] = 0;
    tick(10);
    clock.set({2024, 3, 5, 17, 2, 55});
    protocol.close();
    EXPECT_EQ(protocolText(),
              "\n2024/03/05 - 08:15:02: Diagnostic Program opened! --------------------\n"
              "\n2024/03/05 - 08:15:02:\nNo errors detected!\n"
              "\n2024/03/05 - 09:40:17:\nEmergency Out is active! at Axis 3\n"
              "2024/03/05 - 17:02:55: Diagnostic Program closed! --------------------\n");
}

TEST_F(ProtocolFileRecords, BlocksAreFlushedAtOnce) {
    ASSERT_TRUE(openProtocol());
    tick();
    EXPECT_EQ(protocolText(),
              "\n2024/03/05 - 08:15:02: Diagnostic Program opened! --------------------\n"
              "\n2024/03/05 - 08:15:02:\nNo errors detected!\n");
}

TEST_F(ProtocolFileRecords, AppendsToAnExistingFile) {
    {
        std::ofstream out(protocolPath(), std::ios::binary);
        out << "earlier run\n";
    }
    ASSERT_TRUE(openProtocol());
    protocol.close();
    EXPECT_EQ(protocolText(),
              "earlier run\n"
              "\n2024/03/05 - 08:15:02: Diagnostic Program opened! --------------------\n"
              "2024/03/05 - 08:15:02: Diagnostic Program closed! --------------------\n");
}

TEST_F(ProtocolFileRecords, TimestampFieldsAreZeroPadded) {
    clock.set({987, 1, 2, 3, 4, 5});
    ASSERT_TRUE(openProtocol());
    protocol.close();
    ASSERT_GE(protocolLines().size(), 2u);
    EXPECT_EQ(protocolLines()[1], "0987/01/02 - 03:04:05: Diagnostic Program opened! --------------------");
}

TEST_F(ProtocolFileRecords, RebootRecordStandsOnItsOwn) {
    ASSERT_TRUE(openProtocol());
    clock.set({2024, 3, 5, 10, 0, 1});
    protocol.writeReboot();
    protocol.close();
    EXPECT_EQ(protocolText(),
              "\n2024/03/05 - 08:15:02: Diagnostic Program opened! --------------------\n"
              "\n2024/03/05 - 10:00:01: System has been rebooted\n"
              "2024/03/05 - 10:00:01: Diagnostic Program closed! --------------------\n");
}

TEST_F(ProtocolFileRecords, FileThatCannotBeOpenedChangesNothingElse) {
    const std::string unreachable = (folder() / "missing" / "DiagProtocol.txt").string();
    EXPECT_FALSE(protocol.open(unreachable));
    EXPECT_FALSE(protocol.isOpen());
    ctl.encoderError[0] = 1;
    tick();
    EXPECT_EQ(lines(), (Lines{"Encoder Error at Axis 1", "", kHint}));
    EXPECT_TRUE(summary.protocolDue());
    EXPECT_EQ(model.caption, "kvxdiagnostics - Online Mode");
    ctl.setStatus(StatusRecord::kRunCounter, 50);  // a restart: its record is skipped too
    tick();
    EXPECT_EQ(state.wasOnline, 0);
    protocol.close();
    EXPECT_FALSE(std::filesystem::exists(unreachable));
    EXPECT_FALSE(std::filesystem::exists(folder() / "missing"));
}

}  // namespace
}  // namespace kvx::test
