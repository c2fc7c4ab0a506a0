// The tick's frame: online at start, offline at start, going offline, the
// local result 20, and the double-click on the summary.
#include "poll_fixture.h"

namespace kvx::test {
namespace {

const Lines kOfflineLines = {"System is offline:", "Boot System in Application", "or check monitor screen in bootmon!"};

Lines withLine(Lines lines, const std::string& more) {
    lines.push_back(more);
    return lines;
}

// ---- online at start ---------------------------------------------------------

using OnlineAtStart = PollTest;

TEST_F(OnlineAtStart, FirstTickRunsWentOnlineStepsThenReadsAndChecksInOrder) {
    tick();
    const Lines expected = {"InitKvxSystem3", "rdPldVersion", "tvMXI_OpCodeToLinkMTX", "sleep",
                            "tvMXI_OpCodeToLinkMTX", "sleep", "rdOptionInt", "rdmpe", "rdmpe", "rdDriverVersion",
                            "rdOsVersion", "rdSampleTime", "rdErrorReg", "getEnvStr", "getEnvStr", "rdKvxStatus",
                            "rdOptionInt", "rdOptionInt", "rdifs", "rddigib", "rddigib", "rdaxst", "rdaxst",
                            "rdcncts", "getcnctfh", "rdcncts", "getcnctfh", "rdcncts", "getcnctfh", "rdcncts",
                            "getcnctfh"};
    EXPECT_EQ(log.names(), expected);
    const auto ops = log.to("tvMXI_OpCodeToLinkMTX");
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[0].args, (std::vector<std::int64_t>{2, 1003}));
    EXPECT_EQ(ops[1].args, (std::vector<std::int64_t>{2, 1002}));
    EXPECT_EQ(clock.sleeps(), (std::vector<int>{10, 10}));
    EXPECT_EQ(log.to("InitKvxSystem3")[0].args, (std::vector<std::int64_t>{768}));
    EXPECT_EQ(log.to("InitKvxSystem3")[0].text, "C:\\KVX\\SYSTEM.DAT");
    EXPECT_EQ(log.to("rdmpe")[1].args, (std::vector<std::int64_t>{1}));
}

TEST_F(OnlineAtStart, CaptionTavosVersionPldAndMiniportAreShownInTheFirstTick) {
    tick();
    EXPECT_EQ(model.caption, "kvxdiagnostics - Online Mode");
    EXPECT_EQ(text("laTavosName"), "TAVOS.ELF: ");
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS.48");
    EXPECT_DOUBLE_EQ(state.tavosVersion, 253.048);
    EXPECT_EQ(text("laPldRevNr"), "7");
    EXPECT_EQ(text("laMiniportVersion"), "Miniport Version: ");
    EXPECT_EQ(text("laMiniportVersionNr"), "51.23d");
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
    EXPECT_EQ(mask(), fault::FirstTick);
}

TEST_F(OnlineAtStart, LaterOnlineTicksSkipTheWentOnlineSteps) {
    tick();
    log.clear();
    tick();
    EXPECT_FALSE(log.called("rdPldVersion"));
    EXPECT_FALSE(log.called("tvMXI_OpCodeToLinkMTX"));
    EXPECT_FALSE(log.called("rdmpe"));
    EXPECT_FALSE(log.called("rdDriverVersion"));
    EXPECT_EQ(clock.sleeps().size(), 2u);
    EXPECT_TRUE(log.called("rdOsVersion"));
    EXPECT_EQ(mask(), 0u);
}

TEST_F(OnlineAtStart, WarningStoreIsEmptiedAndOptionDescriptorsResetFirst) {
    model.warnings = {"left over"};
    for (auto& d : records.optionDescriptors.items) d.set(0, 9);
    tick();
    EXPECT_TRUE(model.warnings.empty());
    const auto reads = log.to("rdOptionInt");
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads[0].args, (std::vector<std::int64_t>{62, 0}));
}

TEST_F(OnlineAtStart, PldRevisionGateAt253) {
    state.driverVersion = 253.0;
    tick();
    EXPECT_TRUE(log.called("rdPldVersion"));
    EXPECT_EQ(state.pldRevision, 7);
}

TEST_F(OnlineAtStart, OlderLibraryShowsPldRevisionMinusOne) {
    state.driverVersion = 252.999;
    tick();
    EXPECT_FALSE(log.called("rdPldVersion"));
    EXPECT_EQ(state.pldRevision, -1);
    EXPECT_EQ(text("laPldRevNr"), "-1");
}

TEST_F(OnlineAtStart, RemoteSendsOpCodesWithTheHandle) {
    useRemote();
    tick();
    const auto ops = log.to("tvMXI_OpCodeToLinkMTX");
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_TRUE(ops[0].remote);
    EXPECT_EQ(ops[0].args, (std::vector<std::int64_t>{kHandle, 1003}));
    EXPECT_EQ(ops[1].args, (std::vector<std::int64_t>{kHandle, 1002}));
    EXPECT_EQ(clock.sleeps(), (std::vector<int>{10, 10}));
    EXPECT_EQ(log.to("InitKvxSystem")[0].text, "remote.dat");
    EXPECT_EQ(model.caption, "kvxdiagnostics - Online Mode");
}

TEST_F(OnlineAtStart, RemoteWithoutOpCodeOperationSkipsCallsAndWaits) {
    useRemote();
    scripted.removeRemote(Op::tvMXI_OpCodeToLinkMTX);
    tick();
    EXPECT_FALSE(log.called("tvMXI_OpCodeToLinkMTX"));
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_EQ(model.caption, "kvxdiagnostics - Online Mode");
}

TEST_F(OnlineAtStart, LocalWithoutOpCodeOperationSkipsCallsAndWaits) {
    scripted.removeLocal(Op::tvMXI_OpCodeToLinkMTX);
    tick();
    EXPECT_FALSE(log.called("tvMXI_OpCodeToLinkMTX"));
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(OnlineAtStart, RemoteWithoutPldOperationKeepsTheRevision) {
    useRemote();
    scripted.removeRemote(Op::rdPldVersion);
    state.pldRevision = 42;
    tick();
    EXPECT_EQ(state.pldRevision, 42);
    EXPECT_EQ(text("laPldRevNr"), "42");
}

TEST_F(OnlineAtStart, ReadableResourceInterfaceAndLimitsRaiseNoWarning) {
    tick();
    EXPECT_TRUE(model.warnings.empty());
    EXPECT_EQ(summary.warningTicks(), 0);
}

TEST_F(OnlineAtStart, MissingResourceInterfaceWarnsForTenTicks) {
    ctl.options[62].readable = false;
    tick();
    EXPECT_EQ(model.warnings, Lines{"Ressource-Interface not available in TAVOS.ELF!  "});
    EXPECT_EQ(lines(), (Lines{"Ressource-Interface not available in TAVOS.ELF!  ", "No errors detected!"}));
    EXPECT_EQ(summary.warningTicks(), 9);
}

TEST_F(OnlineAtStart, AxisWithoutLimitWarnsForTwentyTicksEvenAfterTheResourceWarning) {
    ctl.axisCount = 3;
    ctl.maxPositionErrorLimit[1] = 0.0;
    ctl.options[62].readable = false;
    tick();
    EXPECT_EQ(model.warnings, (Lines{"Ressource-Interface not available in TAVOS.ELF!  ",
                                     "Warning: No Maximum Position Error defined at Axis A2!\t"}));
    EXPECT_EQ(summary.warningTicks(), 19);
    EXPECT_EQ(log.count("rdmpe"), 3u);
}

TEST_F(OnlineAtStart, EveryAxisWithoutLimitAddsItsOwnLine) {
    ctl.axisCount = 3;
    ctl.maxPositionErrorLimit[0] = 0.0;
    ctl.maxPositionErrorLimit[2] = 0.0;
    tick();
    EXPECT_EQ(model.warnings, (Lines{"Warning: No Maximum Position Error defined at Axis A1!\t",
                                     "Warning: No Maximum Position Error defined at Axis A3!\t"}));
}

TEST_F(OnlineAtStart, RemoteWithoutRdmpeOrRdOptionIntRaisesNoWarning) {
    useRemote();
    ctl.maxPositionErrorLimit.fill(0.0);
    ctl.options[62].readable = false;
    scripted.removeRemote(Op::rdmpe);
    scripted.removeRemote(Op::rdOptionInt);
    tick();
    EXPECT_TRUE(model.warnings.empty());
    EXPECT_FALSE(log.called("rdmpe"));
}

TEST_F(OnlineAtStart, LocalWithoutRdmpeSkipsTheLimitCheck) {
    ctl.maxPositionErrorLimit.fill(0.0);
    scripted.removeLocal(Op::rdmpe);
    tick();
    EXPECT_TRUE(model.warnings.empty());
    EXPECT_EQ(summary.warningTicks(), 0);
}

TEST_F(OnlineAtStart, LimitLoopStopsAtTheEighteenthRecord) {
    ctl.axisCount = 25;
    tick();
    EXPECT_EQ(log.count("rdmpe"), 18u);
    EXPECT_EQ(log.to("rdmpe").back().args, (std::vector<std::int64_t>{17}));
}

TEST_F(OnlineAtStart, NegativeAxisCountReadsNoLimit) {
    ctl.axisCount = -1;
    tick();
    EXPECT_FALSE(log.called("rdmpe"));
    EXPECT_TRUE(model.warnings.empty());
}

// ---- offline at start --------------------------------------------------------

class OfflineAtStart : public PollTest {
protected:
    void SetUp() override {
        model.setValue("laMinTimeNr", "77", ColourRole::Fault);
        model.setText("laSnrGrundplatineNr", "old serial");
        model.setText("laSnrOptionsprintNr", "old option");
        model.setText("laErrorRegNr", "0000ABCD");
        model.setText("laTask2FileName", "old.qsl");
        model.setText("laBdver_RenumNr", "12");
    }
    void expectOfflinePresentation() {
        EXPECT_EQ(model.caption, "KvxDiagnostics");
        EXPECT_EQ(text("laSnrGrundplatineNr"), "");
        EXPECT_EQ(text("laSnrOptionsprintNr"), "");
        EXPECT_EQ(text("laErrorRegNr"), "");
        EXPECT_EQ(text("laBoardType"), "Board type: ");
        EXPECT_EQ(text("laBoardTypeNr"), "not identified");
        for (const char* name : {"laPldRev", "laPldRevNr", "laEpmBaseRev", "laEpmBaseRevNr", "laEpmOptionRev",
                                 "laEpmOptionRevNr", "laStatusRegister", "laStatusRegisterNr", "laEO", "laEONr",
                                 "laCEF", "laCEFNr", "laDHEF", "laDHEFNr", "laMPE", "laMPENr", "laECS", "laECSNr",
                                 "laTask0FileName", "laTask1FileName", "laTask2FileName", "laTask3FileName"})
            EXPECT_EQ(text(name), "") << name;
        const std::pair<const char*, const char*> counters[] = {
            {"laDmaReadErr", "DMA Read Errors: "}, {"laDmaWriteErr", "DMA Write Errors: "},
            {"laTimeoutErr", "Timeout Errors: "},  {"laRxDataErr", "RX Data Errors: "},
            {"laRxComErr", "RX Com. Errors: "},    {"laMinTime", "Min.  Time: "},
            {"laMaxTime", "Max. Time: "}};
        for (const auto& [caption, captionText] : counters) {
            EXPECT_EQ(text(caption), captionText);
            const std::string value = std::string(caption) + "Nr";
            EXPECT_EQ(text(value), "---") << value;
            EXPECT_EQ(role(value), ColourRole::Normal) << value;
        }
        EXPECT_EQ(text("laBdver_RenumNr"), "12");
        EXPECT_EQ(text("laMiniportVersionNr"), "n.a.");
        EXPECT_FALSE(log.called("rdPldVersion"));
        EXPECT_FALSE(log.called("tvMXI_OpCodeToLinkMTX"));
        EXPECT_FALSE(log.called("rdKvxStatus"));
        EXPECT_EQ(mask(), fault::Offline | fault::FirstTick);
    }
};

TEST_F(OfflineAtStart, VersionConflict33) {
    ctl.initResult = 33;
    tick();
    expectOfflinePresentation();
    EXPECT_EQ(lines(), withLine(kOfflineLines, "Version conflict between kvxg3.dll and TAVOS.ELF!"));
}

TEST_F(OfflineAtStart, NoMiniport34) {
    ctl.initResult = 34;
    tick();
    expectOfflinePresentation();
    EXPECT_EQ(lines(), withLine(kOfflineLines, "Miniport Driver not available!"));
}

TEST_F(OfflineAtStart, RemoteNoSystemFile20) {
    useRemote();
    ctl.initResult = 20;
    tick();
    expectOfflinePresentation();
    EXPECT_EQ(lines(), withLine(kOfflineLines, "No valid System File (system.dat)!"));
}

TEST_F(OfflineAtStart, OtherResultHasNoExplanationLine) {
    ctl.initResult = 5;
    tick();
    expectOfflinePresentation();
    EXPECT_EQ(lines(), kOfflineLines);
}

TEST_F(OfflineAtStart, TavosNameIsStillShown) {
    ctl.initResult = 34;
    ctl.tavosName = "TAVOS-K";
    tick();
    EXPECT_EQ(text("laTavosName"), "TAVOS.ELF: ");
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS-K");
}

TEST_F(OfflineAtStart, OptionDescriptorsAreReset) {
    ctl.initResult = 34;
    for (auto& d : records.optionDescriptors.items) d.set(0, 9);
    tick();
    for (auto& d : records.optionDescriptors.items) EXPECT_EQ(d.at(0), 0u);
}

// ---- going offline -------------------------------------------------------------

using GoingOffline = PollTest;

TEST_F(GoingOffline, Result33SetsCaptionAndKeepsItWhileOffline) {
    tick();
    ctl.initResult = 33;
    tick();
    EXPECT_EQ(model.caption, "Error 33 at Initialisation!");
    EXPECT_EQ(lines(), withLine(kOfflineLines, "Version conflict between kvxg3.dll and TAVOS.ELF!"));
    EXPECT_EQ(text("laSnrGrundplatineNr"), "SN-1001");  // emptied only while still offline
    EXPECT_EQ(mask(), fault::Offline);
    tick();
    EXPECT_EQ(model.caption, "Error 33 at Initialisation!");
    EXPECT_EQ(text("laSnrGrundplatineNr"), "");
    EXPECT_EQ(lines(), withLine(kOfflineLines, "Version conflict between kvxg3.dll and TAVOS.ELF!"));
}

TEST_F(GoingOffline, ComingBackRunsTheWentOnlineStepsAgain) {
    tick();
    ctl.initResult = 34;
    tick();
    ctl.initResult = 0;
    log.clear();
    tick();
    EXPECT_EQ(log.count("tvMXI_OpCodeToLinkMTX"), 2u);
    EXPECT_EQ(model.caption, "kvxdiagnostics - Online Mode");
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1.28 ms");
}

// ---- local result 20 -----------------------------------------------------------

using SystemFileNotLoaded = PollTest;

TEST_F(SystemFileNotLoaded, FirstOnlineTickTakesTheOnlineCaption) {
    ctl.initResult = 20;
    tick();
    EXPECT_EQ(model.caption, "kvxdiagnostics - Online Mode");
    EXPECT_EQ(lines(), (Lines{"System.dat not loaded up to now!", "No errors detected!"}));
    EXPECT_EQ(state.online, 1);
    EXPECT_EQ(mask(), fault::FirstTick);
}

TEST_F(SystemFileNotLoaded, LaterTicksKeepTheSystemFileCaption) {
    ctl.initResult = 20;
    tick(2);
    EXPECT_EQ(model.caption, "System.dat not loaded up to now!");
    EXPECT_EQ(lines(), (Lines{"System.dat not loaded up to now!", "No errors detected!"}));
    EXPECT_EQ(mask(), 0u);
}

TEST_F(SystemFileNotLoaded, WarningsAtTheHeadReplaceTheLine) {
    ctl.initResult = 20;
    ctl.options[62].readable = false;
    tick();
    EXPECT_EQ(lines(), (Lines{"Ressource-Interface not available in TAVOS.ELF!  ", "No errors detected!"}));
    tick();
    EXPECT_EQ(lines(), (Lines{"Ressource-Interface not available in TAVOS.ELF!  ", "No errors detected!"}));
    EXPECT_EQ(model.caption, "System.dat not loaded up to now!");
}

// ---- double-click on the summary ------------------------------------------------

using DoubleClick = PollTest;

TEST_F(DoubleClick, OnlineRepeatsTheWentOnlineStepsAtTheNextTick) {
    ctl.options[62].readable = false;
    tick(3);
    log.clear();
    doubleClick();
    EXPECT_EQ(state.wasOnline, 0);
    EXPECT_TRUE(log.all().empty());  // no encoder or register fault: nothing to reset
    model.warnings.push_back("stale");
    tick();
    EXPECT_EQ(log.count("tvMXI_OpCodeToLinkMTX"), 2u);
    EXPECT_EQ(model.warnings, Lines{"Ressource-Interface not available in TAVOS.ELF!  "});
}

TEST_F(DoubleClick, EncoderErrorResetsEveryAxis) {
    ctl.axisCount = 3;
    ctl.encoderError[1] = 1;
    tick();
    ASSERT_TRUE(mask() & fault::EncoderError);
    log.clear();
    doubleClick();
    EXPECT_EQ(log.names(), (Lines{"rdigi", "rdigi", "rdigi"}));
    EXPECT_EQ(log.to("rdigi")[2].args, (std::vector<std::int64_t>{2}));
    EXPECT_EQ(lines().front(), "Encoder Error at Axis 2");  // the summary is not touched
}

TEST_F(DoubleClick, EncoderResetStopsAtTheEighteenthRecord) {
    ctl.axisCount = 25;
    ctl.encoderError[0] = 1;
    tick();
    log.clear();
    doubleClick();
    EXPECT_EQ(log.count("rdigi"), 18u);
}

TEST_F(DoubleClick, RemoteResetUsesTheHandleAndSkipsAMissingOperation) {
    useRemote();
    ctl.encoderError[0] = 1;
    tick();
    log.clear();
    doubleClick();
    ASSERT_EQ(log.count("rdigi"), 2u);
    EXPECT_EQ(log.to("rdigi")[0].args, (std::vector<std::int64_t>{kHandle, 0}));
    scripted.removeRemote(Op::rdigi);
    log.clear();
    doubleClick();
    EXPECT_TRUE(log.all().empty());
}

TEST_F(DoubleClick, ErrorRegisterIsClearedBehindItsGates) {
    ctl.errorRegister = 0x40;
    state.driverVersion = 253.02002;
    tick();
    ASSERT_TRUE(mask() & fault::ErrorRegister);
    log.clear();
    doubleClick();
    ASSERT_EQ(log.count("wrErrorReg"), 1u);
    EXPECT_EQ(log.to("wrErrorReg")[0].args, (std::vector<std::int64_t>{0}));
}

TEST_F(DoubleClick, ErrorRegisterStaysWithAnOlderLibrary) {
    ctl.errorRegister = 0x40;
    state.driverVersion = 253.02001;
    tick();
    ASSERT_TRUE(mask() & fault::ErrorRegister);  // read from 253.02 on
    log.clear();
    doubleClick();
    EXPECT_FALSE(log.called("wrErrorReg"));
}

TEST_F(DoubleClick, ErrorRegisterStaysWithAnOlderTavos) {
    ctl.errorRegister = 0x40;
    tick();
    ASSERT_TRUE(mask() & fault::ErrorRegister);
    state.tavosVersion = 253.047;
    log.clear();
    doubleClick();
    EXPECT_FALSE(log.called("wrErrorReg"));
}

TEST_F(DoubleClick, RemoteErrorRegisterClearedWithTheHandle) {
    useRemote();
    ctl.errorRegister = 1;
    tick();
    log.clear();
    doubleClick();
    ASSERT_EQ(log.count("wrErrorReg"), 1u);
    EXPECT_EQ(log.to("wrErrorReg")[0].args, (std::vector<std::int64_t>{kHandle, 0}));
}

TEST_F(DoubleClick, OfflineOnlyClearsWasOnline) {
    ctl.encoderError[0] = 1;
    ctl.errorRegister = 1;
    tick();
    ASSERT_EQ(mask() & (fault::EncoderError | fault::ErrorRegister), fault::EncoderError | fault::ErrorRegister);
    state.online = 0;  // as the remote library's error routine leaves it
    log.clear();
    doubleClick();
    EXPECT_EQ(state.wasOnline, 0);
    EXPECT_TRUE(log.all().empty());
}

}  // namespace
}  // namespace kvx::test
