// Board identification and the board-specific checks: the five branches,
// option reads, interface status register, encoder errors and the modules of
// the KVX-4000.
#include "poll_fixture.h"
#include "support/case_name.h"

namespace kvx::test {
namespace {

// Calls of one tick after the identity reads, up to the task monitor, each
// with its first argument (option number, record or axis index).
Lines boardCalls(const CallLog& log) {
    Lines out;
    bool inBoard = false;
    for (const auto& c : log.all()) {
        if (c.name == "rdKvxStatus") {
            inBoard = true;
            continue;
        }
        if (!inBoard) continue;
        if (c.name == "rdcncts") break;
        const std::size_t first = c.remote ? 1 : 0;  // the argument after the handle
        out.push_back(c.name + (c.args.size() > first ? " " + std::to_string(c.args[first]) : ""));
    }
    return out;
}

// ---- KVX-2000 and KVX-2100 ----------------------------------------------------------

using Kvx2000 = PollTest;

TEST_F(Kvx2000, RowsOfAHealthyBoard) {
    tick();
    EXPECT_EQ(text("laBoardType"), "Board type: ");
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1.28 ms");
    EXPECT_EQ(text("laSnrGrundplatine"), "Serial Number KVX-2000/PXB-5001: ");
    EXPECT_EQ(text("laSnrGrundplatineNr"), "SN-1001");
    EXPECT_EQ(text("laSnrOptionsprint"), "Serial Number OXT-2001: ");
    EXPECT_EQ(text("laSnrOptionsprintNr"), "OXT-2002");
    EXPECT_EQ(text("laPldRev"), "PLD Rev.Nr.: ");
    EXPECT_EQ(text("laBdver_RenumNr"), "");
    EXPECT_EQ(text("laFpver_FfuncNr"), "");
    EXPECT_EQ(text("laPldRevNr"), "7");
    EXPECT_EQ(text("laEpmBaseRev"), " - EPM Base: ");
    EXPECT_EQ(text("laEpmBaseRevNr"), "05");
    EXPECT_EQ(text("laEpmOptionRev"), " - EPM Option: ");
    EXPECT_EQ(text("laEpmOptionRevNr"), "06");
    EXPECT_EQ(text("laStatusRegister"), "Interface Status Register (asms.status_word): ");
    EXPECT_EQ(text("laStatusRegisterNr"), "03");
    EXPECT_EQ(role("laStatusRegisterNr"), ColourRole::Normal);
    EXPECT_EQ(text("laECS"), "Encoder Error at Axis #: ");
    EXPECT_EQ(text("laECSNr"), "");
    EXPECT_EQ(role("laECSNr"), ColourRole::Normal);
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(Kvx2000, OptionReadsThenInterfaceStatusThenEncoders) {
    tick();
    EXPECT_EQ(boardCalls(log), (Lines{"rdOptionInt 62", "rdOptionInt 63", "rdifs 0", "rddigib 0", "rddigib 1",
                                      "rdaxst 0", "rdaxst 1"}));
    const auto options = log.to("rdOptionInt");
    ASSERT_EQ(options.size(), 3u);  // option 62 once more when coming online
    EXPECT_EQ(options[1].args[0], 62);
    EXPECT_EQ(options[2].args[0], 63);
    const auto encoders = log.to("rddigib");
    EXPECT_EQ(encoders[0].args, (std::vector<std::int64_t>{0, 18}));
    EXPECT_EQ(encoders[1].args, (std::vector<std::int64_t>{1, 18}));
}

TEST_F(Kvx2000, OptionNotFittedAndTwoDigits) {
    ctl.options[62].value = 5;
    ctl.options[63].value = -1;
    tick();
    EXPECT_EQ(text("laEpmBaseRevNr"), "05");
    EXPECT_EQ(text("laEpmOptionRevNr"), "n.a.");
}

TEST_F(Kvx2000, UnreadableResourceInterfaceShowsNotAvailable) {
    ctl.options[62].readable = false;
    tick();
    EXPECT_EQ(text("laEpmBaseRevNr"), "n.a.");
    EXPECT_EQ(text("laEpmOptionRevNr"), "n.a.");
    EXPECT_EQ(log.count("rdOptionInt"), 2u);  // option 63 is not read
}

TEST_F(Kvx2000, RemoteWithoutRdOptionIntShowsNotAvailable) {
    useRemote();
    scripted.removeRemote(Op::rdOptionInt);
    tick();
    EXPECT_EQ(text("laEpmBaseRevNr"), "n.a.");
    EXPECT_EQ(text("laEpmOptionRevNr"), "n.a.");
}

TEST_F(Kvx2000, InterfaceStatusFault) {
    ctl.statusWord[0] = 0x0B;
    tick();
    EXPECT_EQ(text("laStatusRegisterNr"), "0B");
    EXPECT_EQ(role("laStatusRegisterNr"), ColourRole::Fault);
    EXPECT_EQ(lines(), Lines{"Interface Status Register Error!"});
    EXPECT_EQ(mask(), fault::FirstTick | fault::InterfaceStatus);
}

TEST_F(Kvx2000, RemoteWithoutRdifsReadsZero) {
    useRemote();
    scripted.removeRemote(Op::rdifs);
    tick();
    EXPECT_EQ(text("laStatusRegisterNr"), "00");
    EXPECT_EQ(role("laStatusRegisterNr"), ColourRole::Fault);
    EXPECT_EQ(lines(), Lines{"Interface Status Register Error!"});
}

TEST_F(Kvx2000, EncoderErrorsAtAxesOneAndThree) {
    ctl.axisCount = 3;
    ctl.encoderError[0] = 1;
    ctl.encoderError[2] = -7;
    tick();
    EXPECT_EQ(text("laECSNr"), "1 3 ");
    EXPECT_EQ(role("laECSNr"), ColourRole::Fault);
    EXPECT_EQ(lines(), (Lines{"Encoder Error at Axis 1", "Encoder Error at Axis 3", "",
                              "Some errors can be reset with double-click on this window!"}));
    EXPECT_EQ(summary.faultCount(), 2);
    EXPECT_EQ(mask(), fault::FirstTick | fault::EncoderError);
}

TEST_F(Kvx2000, EncoderListStartsEmptyEveryTick) {
    ctl.encoderError[1] = 1;
    tick();
    ctl.encoderError[1] = 0;
    tick();
    EXPECT_EQ(text("laECSNr"), "");
    EXPECT_EQ(role("laECSNr"), ColourRole::Normal);
}

TEST_F(Kvx2000, RemoteWithoutRddigibReportsNoEncoderError) {
    useRemote();
    ctl.encoderError.fill(1);
    scripted.removeRemote(Op::rddigib);
    tick();
    EXPECT_EQ(text("laECSNr"), "");
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(Kvx2000, RemoteReadsWithTheHandle) {
    useRemote();
    tick();
    EXPECT_EQ(log.to("rdifs")[0].args, (std::vector<std::int64_t>{kHandle, 0}));
    EXPECT_EQ(log.to("rddigib")[1].args, (std::vector<std::int64_t>{kHandle, 1, 18}));
}

TEST_F(Kvx2000, AxisCountZeroRunsNoEncoderLoop) {
    ctl.axisCount = 0;
    tick();
    EXPECT_FALSE(log.called("rddigib"));
    EXPECT_EQ(text("laECSNr"), "");
    EXPECT_EQ(role("laECSNr"), ColourRole::Normal);
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 0 Axis - Sample Time: 1.28 ms");
}

TEST_F(Kvx2000, AxisCountAboveEighteenStopsAtTheTable) {
    ctl.axisCount = 25;
    ctl.encoderError.fill(1);
    tick();
    EXPECT_EQ(log.count("rddigib"), 18u);
    EXPECT_EQ(log.to("rddigib").back().args, (std::vector<std::int64_t>{17, 18}));
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 25 Axis - Sample Time: 1.28 ms");
}

TEST_F(Kvx2000, NegativeAxisCountRunsNoEncoderLoop) {
    ctl.axisCount = -1;
    ctl.encoderError.fill(1);
    tick();
    EXPECT_FALSE(log.called("rddigib"));
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - -1 Axis - Sample Time: 1.28 ms");
}

class Kvx2100 : public PollTest {
protected:
    void SetUp() override { ctl.boardType = 32; }
};

TEST_F(Kvx2100, RowsWithOptoioRevisionsAndBoardVersions) {
    ctl.axisCount = 4;
    tick();
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2100/PXB-5008 - 4 Axis - Sample Time: 1.28 ms");
    EXPECT_EQ(text("laSnrGrundplatine"), "Serial Number KVX-2100/PXB-5008: ");
    EXPECT_EQ(text("laSnrOptionsprint"), "Serial Number OXT-2100: ");
    EXPECT_EQ(text("laBdver_RenumNr"), "12");
    EXPECT_EQ(text("laFpver_FfuncNr"), "34");
    EXPECT_EQ(text("laPldRevNr"), "7");
    EXPECT_EQ(text("laEpmBaseRev"), " - EPM Base(optoio): ");
    EXPECT_EQ(text("laEpmBaseRevNr"), "0005");
    EXPECT_EQ(text("laEpmOptionRev"), " - EPM Option(optoio): ");
    EXPECT_EQ(text("laEpmOptionRevNr"), "0006");
    EXPECT_EQ(text("laStatusRegisterNr"), "03");
}

TEST_F(Kvx2100, DescriptorsAreResetBeforeTheReadsOfEveryTick) {
    tick(2);
    const auto reads = log.to("rdOptionInt");
    ASSERT_EQ(reads.size(), 9u);
    for (std::size_t i : {1u, 5u}) {
        EXPECT_EQ(reads[i].args, (std::vector<std::int64_t>{62, 0}));
        EXPECT_EQ(reads[i + 1].args, (std::vector<std::int64_t>{63, 0}));
        EXPECT_EQ(reads[i + 2].args, (std::vector<std::int64_t>{122, 0}));
        EXPECT_EQ(reads[i + 3].args, (std::vector<std::int64_t>{123, 0}));
    }
}

TEST_F(Kvx2100, OptionNotFittedAndFourDigits) {
    ctl.options[62].value = 5;
    ctl.options[63].value = -1;
    tick();
    EXPECT_EQ(text("laEpmBaseRevNr"), "0005");
    EXPECT_EQ(text("laEpmOptionRevNr"), "n.a.");
}

TEST_F(Kvx2100, NegativeRevisionShowsItsTwosComplement) {
    ctl.options[62].value = -2;
    tick();
    EXPECT_EQ(text("laEpmBaseRevNr"), "FFFFFFFE");
}

TEST_F(Kvx2100, UnreadableBoardVersionsShowNotAvailable) {
    ctl.options[122].readable = false;
    ctl.options[123].readable = false;
    tick();
    EXPECT_EQ(text("laBdver_RenumNr"), "n.a.");
    EXPECT_EQ(text("laFpver_FfuncNr"), "n.a.");
    EXPECT_EQ(text("laEpmBaseRevNr"), "0005");
}

TEST_F(Kvx2100, UnreadableResourceInterfaceLeavesBoardVersionsEmpty) {
    ctl.options[62].readable = false;
    model.setText("laBdver_RenumNr", "AB");
    tick();
    EXPECT_EQ(text("laBdver_RenumNr"), "");
    EXPECT_EQ(text("laFpver_FfuncNr"), "");
    EXPECT_EQ(text("laEpmBaseRevNr"), "n.a.");
    EXPECT_EQ(text("laEpmOptionRevNr"), "n.a.");
}

TEST_F(Kvx2100, ResultOfOption63IsNotEvaluated) {
    ctl.options[63].readable = false;
    state.epmOptionRevision = 0x2A;
    tick();
    EXPECT_EQ(text("laEpmOptionRevNr"), "002A");
}

// ---- KVX-4000 -----------------------------------------------------------------------

class Kvx4000 : public PollTest {
protected:
    void SetUp() override {
        ctl.boardType = 8;
        ctl.axisCount = 3;
        ctl.statusWord[0] = 0x10;
        ctl.statusWord[2] = 0x10;
        ctl.checkSum[0] = 0x1A2B;
        ctl.checkSum[2] = 0xFF;
        model.setText("laBdver_RenumNr", "kept");
        model.setText("laFpver_FfuncNr", "kept too");
    }
};

TEST_F(Kvx4000, ThreeAxesAreTwoModules) {
    tick();
    EXPECT_EQ(boardCalls(log), (Lines{"rdaxst 0", "rdasmecs 0", "rdasms 0", "rdaxst 2", "rdasmecs 2", "rdasms 2",
                                      "rdaxst 0", "rdaxst 1", "rdaxst 2"}));
    EXPECT_FALSE(log.called("rdifs"));
    EXPECT_FALSE(log.called("rddigib"));
    EXPECT_EQ(log.count("rdOptionInt"), 1u);  // only when coming online
}

TEST_F(Kvx4000, RowsOfHealthyModules) {
    tick();
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-4000/PXB-5401 - 3 Axis - Sample Time: 1.28 ms");
    EXPECT_EQ(text("laPldRev"), "PLD Rev.Nr.: ");
    EXPECT_EQ(text("laPldRevNr"), "7");
    for (const char* name : {"laEpmBaseRev", "laEpmBaseRevNr", "laEpmOptionRev", "laEpmOptionRevNr"})
        EXPECT_EQ(text(name), "") << name;
    EXPECT_EQ(text("laBdver_RenumNr"), "kept");
    EXPECT_EQ(text("laFpver_FfuncNr"), "kept too");
    EXPECT_EQ(text("laSnrGrundplatine"), "Serial Number KVX-4000/PXB-5401: ");
    EXPECT_EQ(text("laSnrGrundplatineNr"), "SN-1001");
    EXPECT_EQ(text("laSnrOptionsprint"), "ASMS Error at ASM# ");
    EXPECT_EQ(text("laSnrOptionsprintNr"), "");
    EXPECT_EQ(text("laStatusRegister"), "ASM Timeout at ASM# ");
    EXPECT_EQ(text("laStatusRegisterNr"), "");
    EXPECT_EQ(role("laStatusRegisterNr"), ColourRole::Normal);
    EXPECT_EQ(text("laECS"), "EPROM Check Sum: ");
    EXPECT_EQ(text("laECSNr"), " 1A2B hex   00FF hex  ");
    EXPECT_EQ(role("laECSNr"), ColourRole::Normal);
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

struct AsmStatusCase {
    std::uint32_t status;
    bool inOrder;
};

void PrintTo(const AsmStatusCase& c, std::ostream* os) { *os << "status " << c.status; }

class AsmStatus : public Kvx4000, public ::testing::WithParamInterface<AsmStatusCase> {};

TEST_P(AsmStatus, BitFourSetAndBitSixOfNoAccount) {
    ctl.statusWord[2] = GetParam().status;
    tick();
    if (GetParam().inOrder) {
        EXPECT_EQ(text("laSnrOptionsprint"), "ASMS Error at ASM# ");
        EXPECT_EQ(lines(), Lines{"No errors detected!"});
    } else {
        char expected[64];
        std::snprintf(expected, sizeof expected, "ASMS Error at ASM# 1 (%02X hex)  ", GetParam().status);
        EXPECT_EQ(text("laSnrOptionsprint"), expected);
        EXPECT_EQ(role("laSnrOptionsprint"), ColourRole::Plain);
        EXPECT_EQ(text("laSnrOptionsprintNr"), "");
        EXPECT_EQ(lines(), Lines{"ASM Status Error at ASM # 1"});
        EXPECT_EQ(mask(), fault::FirstTick | fault::AsmStatus);
    }
    EXPECT_EQ(text("laECSNr"), " 1A2B hex   00FF hex  ");
}

INSTANTIATE_TEST_SUITE_P(Words, AsmStatus,
                         ::testing::Values(AsmStatusCase{0x50, true}, AsmStatusCase{0x10, true},
                                           AsmStatusCase{0x90, false}, AsmStatusCase{0x11, false},
                                           AsmStatusCase{0x30, false}, AsmStatusCase{0x00, false}),
                         [](const auto& info) { return "Status" + test::hexName(info.param.status); });

TEST_F(Kvx4000, StatusErrorsOfSeveralModulesAppendToTheCaption) {
    ctl.axisCount = 4;
    ctl.statusWord[0] = 0x90;
    ctl.statusWord[2] = 0x11;
    tick(2);
    EXPECT_EQ(text("laSnrOptionsprint"), "ASMS Error at ASM# 0 (90 hex)  1 (11 hex)  ");
    EXPECT_EQ(lines(), (Lines{"ASM Status Error at ASM # 0", "ASM Status Error at ASM # 1"}));
}

TEST_F(Kvx4000, TimeoutSkipsTheModulesStatusAndCheckSum) {
    ctl.axisCount = 4;
    ctl.axisState[0] = 0x1;
    ctl.statusWord[0] = 0x90;
    tick();
    EXPECT_EQ(text("laStatusRegisterNr"), "0 ");
    EXPECT_EQ(role("laStatusRegisterNr"), ColourRole::Fault);
    EXPECT_EQ(text("laECSNr"), " ------  00FF hex  ");
    EXPECT_EQ(role("laECSNr"), ColourRole::Fault);
    EXPECT_EQ(text("laSnrOptionsprint"), "ASMS Error at ASM# ");
    EXPECT_EQ(lines(), Lines{"Timeout at ASM # 0"});
    EXPECT_EQ(mask(), fault::FirstTick | fault::AsmTimeout);
    EXPECT_EQ(boardCalls(log).front(), "rdaxst 0");
    EXPECT_EQ(boardCalls(log)[1], "rdaxst 2");
}

TEST_F(Kvx4000, ListsStartFromTheirCaptionsEveryTick) {
    ctl.axisState[0] = 0x1;
    ctl.statusWord[2] = 0x90;
    tick();
    ctl.axisState[0] = 0;
    ctl.statusWord[2] = 0x10;
    tick();
    EXPECT_EQ(text("laStatusRegisterNr"), "");
    EXPECT_EQ(role("laStatusRegisterNr"), ColourRole::Normal);
    EXPECT_EQ(text("laSnrOptionsprint"), "ASMS Error at ASM# ");
    EXPECT_EQ(text("laECSNr"), " 1A2B hex   00FF hex  ");
    EXPECT_EQ(role("laECSNr"), ColourRole::Normal);
}

TEST_F(Kvx4000, RemoteWithoutRdaxstReportsNoTimeout) {
    useRemote();
    ctl.axisState[0] = 0x1;
    scripted.removeRemote(Op::rdaxst);
    tick();
    EXPECT_EQ(text("laStatusRegisterNr"), "");
    EXPECT_EQ(text("laECSNr"), " 1A2B hex   00FF hex  ");
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(Kvx4000, RemoteWithoutModuleReadsEvaluatesWhatTheRecordHolds) {
    useRemote();
    scripted.removeRemote(Op::rdasms);
    scripted.removeRemote(Op::rdasmecs);
    records.axisTable[0].setStatusWord(0x31);
    records.axisTable[0].setEpromCheckSum(0xBEEF);
    records.axisTable[2].setStatusWord(0x10);
    tick();
    EXPECT_EQ(text("laSnrOptionsprint"), "ASMS Error at ASM# 0 (31 hex)  ");
    EXPECT_EQ(text("laECSNr"), " BEEF hex   0000 hex  ");
    EXPECT_EQ(lines(), Lines{"ASM Status Error at ASM # 0"});
}

TEST_F(Kvx4000, AxisCountZeroRunsNoModuleLoop) {
    ctl.axisCount = 0;
    tick();
    EXPECT_TRUE(boardCalls(log).empty());
    EXPECT_EQ(text("laStatusRegisterNr"), "");
    EXPECT_EQ(text("laECSNr"), "");
    EXPECT_EQ(role("laECSNr"), ColourRole::Normal);
}

TEST_F(Kvx4000, AxisCountAboveEighteenStopsAtTheTable) {
    ctl.axisCount = 25;
    tick();
    const auto modules = log.to("rdasms");
    ASSERT_EQ(modules.size(), 9u);
    EXPECT_EQ(modules.back().args, (std::vector<std::int64_t>{16}));
}

// ---- KVX-2400 and unknown boards ---------------------------------------------------

struct OtherBoardCase {
    std::int32_t code;
    const char* line;
};

void PrintTo(const OtherBoardCase& c, std::ostream* os) { *os << "board type " << c.code; }

class OtherBoards : public PollTest, public ::testing::WithParamInterface<OtherBoardCase> {};

TEST_P(OtherBoards, PldRevisionOnlyAndNoChecks) {
    ctl.boardType = GetParam().code;
    ctl.encoderError.fill(1);
    ctl.statusWord[0] = 0x0B;
    model.setText("laSnrGrundplatine", "base caption");
    model.setText("laSnrGrundplatineNr", "base value");
    model.setText("laSnrOptionsprintNr", "option value");
    model.setValue("laStatusRegisterNr", "status", ColourRole::Fault);
    model.setText("laBdver_RenumNr", "bd");
    model.setText("laFpver_FfuncNr", "fp");
    model.setValue("laECSNr", "1 ", ColourRole::Fault);
    tick();
    EXPECT_EQ(text("laBoardTypeNr"), GetParam().line);
    EXPECT_EQ(text("laECS"), "");
    EXPECT_EQ(text("laECSNr"), "");
    EXPECT_EQ(role("laECSNr"), ColourRole::Normal);
    EXPECT_EQ(text("laPldRev"), "PLD Rev.Nr.: ");
    EXPECT_EQ(text("laPldRevNr"), "7");
    EXPECT_EQ(text("laEpmBaseRev"), "");
    EXPECT_EQ(text("laEpmOptionRevNr"), "");
    EXPECT_EQ(text("laSnrGrundplatine"), "base caption");
    EXPECT_EQ(text("laSnrGrundplatineNr"), "base value");
    EXPECT_EQ(text("laSnrOptionsprintNr"), "option value");
    EXPECT_EQ(text("laStatusRegisterNr"), "status");
    EXPECT_EQ(role("laStatusRegisterNr"), ColourRole::Fault);
    EXPECT_EQ(text("laBdver_RenumNr"), "bd");
    EXPECT_EQ(text("laFpver_FfuncNr"), "fp");
    EXPECT_EQ(boardCalls(log), (Lines{"rdaxst 0", "rdaxst 1"}));  // the axis checks follow at once
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

INSTANTIATE_TEST_SUITE_P(
    Codes, OtherBoards,
    ::testing::Values(OtherBoardCase{16, "KVX-2400/CXB-5004 - 2 Axis - Sample Time: 1.28 ms"},
                      OtherBoardCase{64, "unknown BoardType: 2 Axis - Sample Time: 1.28 ms"},
                      OtherBoardCase{0, "unknown BoardType: 2 Axis - Sample Time: 1.28 ms"}),
    [](const auto& info) { return "BoardType" + test::numberName(info.param.code); });

// ---- Which label each board places after which --------------------------------------

struct PlacementCase {
    const char* name;
    std::int32_t code;
    const char* pldValueAfter;   // laPldRevNr
    const char* boardVersionAfter;  // laBdver_RenumNr; "" = left where it was
    bool serialsAligned;
};

void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }

class Placement : public PollTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(Placement, RevisionAndSerialRows) {
    ctl.boardType = GetParam().code;
    tick();
    const auto& m = model;
    EXPECT_EQ(m["laPldRevNr"].placedAfter, GetParam().pldValueAfter);
    EXPECT_EQ(m["laBdver_RenumNr"].placedAfter, GetParam().boardVersionAfter);
    EXPECT_EQ(m["laEpmBaseRev"].placedAfter, "laPldRevNr");
    EXPECT_EQ(m["laEpmOptionRevNr"].placedAfter, "laEpmOptionRev");
    EXPECT_EQ(m["laBoardTypeNr"].placedAfter, "laBoardType");
    EXPECT_EQ(m["laSnrGrundplatineNr"].alignedWith, GetParam().serialsAligned ? "laSnrOptionsprintNr" : "");
    EXPECT_EQ(m["laSnrOptionsprintNr"].alignedWith, GetParam().serialsAligned ? "laSnrGrundplatineNr" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Boards, Placement,
    ::testing::Values(PlacementCase{"Kvx2000", 4, "laFpver_FfuncNr", "laPldRev", true},
                      PlacementCase{"Kvx2100", 32, "laFpver_FfuncNr", "laPldRev", true},
                      PlacementCase{"Kvx4000", 8, "laPldRev", "", false},
                      PlacementCase{"Kvx2400", 16, "laPldRev", "", false},
                      PlacementCase{"Unknown", 64, "laPldRev", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Kvx2000, ChangingToAKvx4000EndsTheSerialAlignment) {
    tick();
    ctl.boardType = 8;
    tick();
    EXPECT_EQ(model["laSnrGrundplatineNr"].placedAfter, "laSnrGrundplatine");
    EXPECT_EQ(model["laSnrGrundplatineNr"].alignedWith, "");
    EXPECT_EQ(model["laSnrOptionsprintNr"].alignedWith, "");
}

}  // namespace
}  // namespace kvx::test
