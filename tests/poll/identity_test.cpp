// Identity and version reads: every gate on both sides of its threshold in
// both modes, and what the reads show.
#include <set>

#include "poll_fixture.h"
#include "support/case_name.h"

namespace kvx::test {
namespace {

using Names = std::set<std::string>;

const Names kIdentityOps = {"rdDriverVersion", "rdOsVersion", "rdSampleTime", "rdErrorReg", "getEnvStr"};

Names identityOpsCalled(const CallLog& log) {
    Names out;
    for (const auto& c : log.all())
        if (kIdentityOps.count(c.name)) out.insert(c.name);
    return out;
}

// ---- every gate on both sides ---------------------------------------------------

struct Gate {
    const char* name;
    bool remote;
    double driverVersion;
    std::int32_t osVersion;
    Names called;
};

void PrintTo(const Gate& c, std::ostream* os) { *os << c.name; }

class VersionGates : public PollTest, public ::testing::WithParamInterface<Gate> {};

TEST_P(VersionGates, ReadsBehindTheirThresholds) {
    const Gate& g = GetParam();
    if (g.remote) useRemote();
    state.driverVersion = g.driverVersion;
    ctl.osVersion = g.osVersion;
    tick();
    EXPECT_EQ(identityOpsCalled(log), g.called);
}

INSTANTIATE_TEST_SUITE_P(
    Local, VersionGates,
    ::testing::Values(
        Gate{"MiniportAt25301", false, 253.01, 253048, {"rdDriverVersion"}},
        Gate{"MiniportBelow", false, 253.0099, 253048, {}},
        Gate{"TavosAt253015", false, 253.015, 253048, {"rdDriverVersion", "rdOsVersion"}},
        Gate{"TavosBelow", false, 253.0149, 253048, {"rdDriverVersion"}},
        Gate{"ErrorRegAt25302", false, 253.02, 253048, {"rdDriverVersion", "rdOsVersion", "rdErrorReg"}},
        Gate{"ErrorRegBelow", false, 253.0199, 253048, {"rdDriverVersion", "rdOsVersion"}},
        Gate{"SampleTimeAt253022", false, 253.022, 253048,
             {"rdDriverVersion", "rdOsVersion", "rdSampleTime", "rdErrorReg"}},
        Gate{"SampleTimeBelow", false, 253.0219, 253048, {"rdDriverVersion", "rdOsVersion", "rdErrorReg"}},
        Gate{"EnvironmentAt253026", false, 253.026, 253048,
             {"rdDriverVersion", "rdOsVersion", "rdSampleTime", "rdErrorReg", "getEnvStr"}},
        Gate{"EnvironmentBelow", false, 253.0259, 253048,
             {"rdDriverVersion", "rdOsVersion", "rdSampleTime", "rdErrorReg"}},
        Gate{"Tavos253048", false, 253.026, 253048,
             {"rdDriverVersion", "rdOsVersion", "rdSampleTime", "rdErrorReg", "getEnvStr"}},
        Gate{"Tavos253047", false, 253.026, 253047,
             {"rdDriverVersion", "rdOsVersion", "rdSampleTime", "getEnvStr"}},
        Gate{"Tavos253037", false, 253.026, 253037,
             {"rdDriverVersion", "rdOsVersion", "rdSampleTime", "getEnvStr"}},
        Gate{"Tavos253036", false, 253.026, 253036, {"rdDriverVersion", "rdOsVersion", "rdSampleTime"}},
        Gate{"Tavos253030", false, 253.026, 253030, {"rdDriverVersion", "rdOsVersion", "rdSampleTime"}},
        Gate{"Tavos253029", false, 253.026, 253029, {"rdDriverVersion", "rdOsVersion"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Remote mode asks only whether the remote library has the operation, never
// the library's file version, and never reads the Miniport version.
INSTANTIATE_TEST_SUITE_P(
    Remote, VersionGates,
    ::testing::Values(
        Gate{"Tavos253048", true, 0.0, 253048, {"rdOsVersion", "rdSampleTime", "rdErrorReg", "getEnvStr"}},
        Gate{"Tavos253047", true, 0.0, 253047, {"rdOsVersion", "rdSampleTime", "getEnvStr"}},
        Gate{"Tavos253037", true, 0.0, 253037, {"rdOsVersion", "rdSampleTime", "getEnvStr"}},
        Gate{"Tavos253036", true, 0.0, 253036, {"rdOsVersion", "rdSampleTime"}},
        Gate{"Tavos253030", true, 0.0, 253030, {"rdOsVersion", "rdSampleTime"}},
        Gate{"Tavos253029", true, 0.0, 253029, {"rdOsVersion"}},
        Gate{"CurrentLibraryVersion", true, 253.048, 253048,
             {"rdOsVersion", "rdSampleTime", "rdErrorReg", "getEnvStr"}}),
    [](const auto& info) { return std::string(info.param.name); });

using RemoteGates = PollTest;

TEST_F(RemoteGates, MissingOperationsAreSkippedWithTheirDefaults) {
    useRemote();
    scripted.removeRemote(Op::rdSampleTime);
    scripted.removeRemote(Op::rdErrorReg);
    scripted.removeRemote(Op::getEnvStr);
    tick();
    EXPECT_EQ(identityOpsCalled(log), Names{"rdOsVersion"});
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS.48");
    EXPECT_EQ(text("laErrorReg"), "ErrorRegister: n.a.");  // keeps what it showed
    EXPECT_EQ(text("laErrorRegNr"), "---");
    EXPECT_EQ(text("laSnrGrundplatineNr"), "n.a.");
    EXPECT_EQ(text("laSnrOptionsprintNr"), "n.a.");
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: n.a.");
    EXPECT_EQ(text("laMiniportVersionNr"), "n.a.");
}

TEST_F(RemoteGates, WithoutRdOsVersionTheTavosGatedReadsStayOff) {
    useRemote();
    scripted.removeRemote(Op::rdOsVersion);
    tick();
    EXPECT_EQ(identityOpsCalled(log), Names{});
    EXPECT_EQ(state.tavosVersion, 0.0);
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS");
}

TEST_F(RemoteGates, IdentityReadsUseTheHandle) {
    useRemote();
    ctl.sampleTime = 0;
    ctl.env["SampleTime"] = "1000";
    tick();
    for (const char* name : {"rdOsVersion", "rdSampleTime", "rdErrorReg", "getEnvStr", "rdKvxStatus"}) {
        const auto calls = log.to(name);
        ASSERT_FALSE(calls.empty()) << name;
        EXPECT_TRUE(calls[0].remote) << name;
        EXPECT_EQ(calls[0].args.front(), kHandle) << name;
    }
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1 ms");
}

// ---- TAVOS version ------------------------------------------------------------

using TavosVersion = PollTest;

TEST_F(TavosVersion, NameWithMinorNumber) {
    ctl.tavosName = "TAVOS-KVX";
    ctl.osVersion = 253105;
    tick();
    EXPECT_EQ(text("laTavosName"), "TAVOS.ELF: ");
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS-KVX.105");
    EXPECT_DOUBLE_EQ(state.tavosVersion, 253.105);
}

TEST_F(TavosVersion, MinorNumberWithoutLeadingZeros) {
    ctl.osVersion = 254007;
    tick();
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS.7");
}

TEST_F(TavosVersion, NameWithoutTerminatorEndsAtItsFortyBytes) {
    ctl.tavosName = std::string(45, 'T');
    ctl.axisCount = 0x41414141;  // the word right behind the name
    tick();
    EXPECT_EQ(text("laTavosNameNr"), std::string(40, 'T') + ".48");
}

TEST_F(TavosVersion, FailedReadShowsThePlainNameAndIsNotAskedAgain) {
    ctl.osVersionResult = 3;
    tick();
    EXPECT_EQ(state.tavosVersion, 0.0);
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS");
    EXPECT_FALSE(log.called("rdErrorReg"));
    ctl.osVersionResult = 0;
    log.clear();
    tick();
    EXPECT_FALSE(log.called("rdOsVersion"));
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS");
    doubleClick();
    tick();
    EXPECT_TRUE(log.called("rdOsVersion"));
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS.48");
}

TEST_F(TavosVersion, OlderLibraryShowsTheNameAndNothingGated) {
    state.driverVersion = 253.0149;
    tick();
    EXPECT_EQ(state.tavosVersion, 0.0);
    EXPECT_EQ(text("laTavosNameNr"), "TAVOS");
    EXPECT_EQ(text("laSnrGrundplatineNr"), "n.a.");
    EXPECT_EQ(text("laSnrOptionsprintNr"), "n.a.");
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: n.a.");
}

TEST_F(TavosVersion, SampleTimeReadEarlierSurvivesAnOlderLibrary) {
    state.sampleTimeUs = 2500;
    state.driverVersion = 253.0149;
    tick();
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 2.5 ms");
}

// ---- error register -----------------------------------------------------------

using ErrorRegister = PollTest;

TEST_F(ErrorRegister, ZeroIsShownInTheNormalColour) {
    tick();
    EXPECT_EQ(text("laErrorReg"), "ErrorRegister: ");
    EXPECT_EQ(text("laErrorRegNr"), "00000000");
    EXPECT_EQ(role("laErrorRegNr"), ColourRole::Normal);
}

TEST_F(ErrorRegister, SetBitsGiveOneLineAndTheirClass) {
    ctl.errorRegister = 0x1A;
    tick();
    EXPECT_EQ(text("laErrorRegNr"), "0000001A");
    EXPECT_EQ(role("laErrorRegNr"), ColourRole::Fault);
    EXPECT_EQ(lines(), Lines{"Bit in ErrorRegister has been set!"});
    EXPECT_EQ(mask(), fault::FirstTick | fault::ErrorRegister);
}

TEST_F(ErrorRegister, AllBitsSetReadAsEightHexDigits) {
    ctl.errorRegister = -1;
    tick();
    EXPECT_EQ(text("laErrorRegNr"), "FFFFFFFF");
    EXPECT_EQ(lines(), Lines{"Bit in ErrorRegister has been set!"});
}

TEST_F(ErrorRegister, NotReadKeepsThePreviousTexts) {
    tick();
    ctl.errorRegister = 0x1A;
    ctl.osVersion = 253047;
    doubleClick();
    tick();
    EXPECT_EQ(text("laErrorRegNr"), "00000000");
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

// ---- controller environment -----------------------------------------------------

using Environment = PollTest;

TEST_F(Environment, SerialNumbersAreReadInOrder) {
    ctl.sampleTime = 0;
    ctl.env["SampleTime"] = "1000";
    tick();
    const auto reads = log.to("getEnvStr");
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].text, "SerialNumber");
    EXPECT_EQ(reads[1].text, "SerialNumberOXT");
    EXPECT_EQ(reads[2].text, "SampleTime");
    EXPECT_EQ(text("laSnrGrundplatineNr"), "SN-1001");
    EXPECT_EQ(text("laSnrOptionsprintNr"), "OXT-2002");
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1 ms");
}

TEST_F(Environment, MissingVariables) {
    ctl.env.clear();
    ctl.sampleTime = 0;
    tick();
    EXPECT_EQ(text("laSnrGrundplatineNr"), "cannot be read!");
    EXPECT_EQ(text("laSnrOptionsprintNr"), "n.a.");
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1.28 ms");
    EXPECT_EQ(state.sampleTimeUs, 1280);
}

TEST_F(Environment, SampleTimeVariableIsReadOnlyWhileTheSampleTimeIsUnknown) {
    ctl.env["SampleTime"] = "1000";
    tick();
    EXPECT_EQ(log.count("getEnvStr"), 2u);
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1.28 ms");
}

TEST_F(Environment, SampleTimeThatIsNotADecimalIntegerCountsAsUnreadable) {
    ctl.sampleTime = 0;
    for (const char* bad : {"12a", " 1000", "1000 ", "0x400", "", "99999999999"}) {
        state.sampleTimeUs = 0;
        ctl.env["SampleTime"] = bad;
        tick();
        EXPECT_EQ(state.sampleTimeUs, 1280) << bad;
        EXPECT_EQ(lines(), Lines{"No errors detected!"}) << bad;
        EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1.28 ms") << bad;
        EXPECT_EQ(log.to("getcnctfh").back().args, (std::vector<std::int64_t>{3})) << bad;  // the tick went on
    }
}

TEST_F(Environment, ValueWithoutTerminatorEndsAtTheBuffer) {
    ctl.env["SerialNumber"] = std::string(300, 'S');
    tick();
    EXPECT_EQ(text("laSnrGrundplatineNr"), std::string(256, 'S'));
}

TEST_F(Environment, OlderLibraryLeavesTheSampleTimeAlone) {
    state.driverVersion = 253.022;
    ctl.sampleTime = 0;
    tick();
    EXPECT_FALSE(log.called("getEnvStr"));
    EXPECT_EQ(text("laSnrGrundplatineNr"), "n.a.");
    EXPECT_EQ(text("laBoardTypeNr"), "KVX-2000/PXB-5001 - 2 Axis - Sample Time: n.a.");
}

// ---- sample-time text -------------------------------------------------------------

struct SampleTimeCase {
    std::int32_t us;
    const char* shown;
};

void PrintTo(const SampleTimeCase& c, std::ostream* os) { *os << c.us << " us"; }

class SampleTimeText : public PollTest, public ::testing::WithParamInterface<SampleTimeCase> {};

TEST_P(SampleTimeText, ShortestGeneralForm) {
    useRemote();  // only the driver's value: no environment fallback
    scripted.removeRemote(Op::getEnvStr);
    ctl.sampleTime = GetParam().us;
    tick();
    EXPECT_EQ(text("laBoardTypeNr"), std::string("KVX-2000/PXB-5001 - 2 Axis - Sample Time: ") + GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Values, SampleTimeText,
                         ::testing::Values(SampleTimeCase{1280, "1.28 ms"}, SampleTimeCase{1000, "1 ms"},
                                           SampleTimeCase{0, "n.a."}, SampleTimeCase{125, "0.125 ms"},
                                           SampleTimeCase{4096, "4.096 ms"}, SampleTimeCase{-5, "-0.005 ms"}),
                         [](const auto& info) { return "Us" + test::numberName(info.param.us); });

// ---- Miniport version ----------------------------------------------------------------

struct MiniportCase {
    std::int32_t word;
    const char* shown;
};

void PrintTo(const MiniportCase& c, std::ostream* os) { *os << "word " << c.word; }

class MiniportVersion : public PollTest, public ::testing::WithParamInterface<MiniportCase> {};

TEST_P(MiniportVersion, NibbleCodedText) {
    ctl.miniportWord = GetParam().word;
    tick();
    EXPECT_EQ(text("laMiniportVersion"), "Miniport Version: ");
    EXPECT_EQ(text("laMiniportVersionNr"), GetParam().shown);
    EXPECT_EQ(state.miniportVersion, GetParam().word);
}

INSTANTIATE_TEST_SUITE_P(Words, MiniportVersion,
                         ::testing::Values(MiniportCase{0x51234, "51.23d"}, MiniportCase{0x0A121, "10.12a"},
                                           MiniportCase{0x00000, "0.00`"}, MiniportCase{0x7351234, "51.23d"},
                                           MiniportCase{0x0F000, "60.00`"}),
                         [](const auto& info) { return "Word" + test::hexName(static_cast<std::uint32_t>(info.param.word)); });

using MiniportGate = PollTest;

TEST_F(MiniportGate, ReadOnlyWhenComingOnline) {
    tick();
    log.clear();
    ctl.miniportWord = 0x0A121;
    tick();
    EXPECT_FALSE(log.called("rdDriverVersion"));
    EXPECT_EQ(text("laMiniportVersionNr"), "51.23d");
}

TEST_F(MiniportGate, RemoteShowsNotAvailable) {
    useRemote();
    model.setText("laMiniportVersionNr", "old");
    tick();
    EXPECT_EQ(text("laMiniportVersion"), "Miniport Version: ");
    EXPECT_EQ(text("laMiniportVersionNr"), "n.a.");
}

TEST_F(MiniportGate, OlderLocalLibraryShowsNotAvailable) {
    state.driverVersion = 253.0099;
    model.setText("laMiniportVersionNr", "old");
    tick();
    EXPECT_EQ(text("laMiniportVersionNr"), "n.a.");
}

// ---- status record --------------------------------------------------------------------

using StatusRecordRead = PollTest;

TEST_F(StatusRecordRead, ReadOncePerOnlineTickWithItsSize) {
    tick(2);
    const auto reads = log.to("rdKvxStatus");
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].args, (std::vector<std::int64_t>{240}));
}

TEST_F(StatusRecordRead, RemoteWithoutItKeepsThePreviousRecord) {
    useRemote();
    ctl.setStatus(StatusRecord::kDmaReadErrors, 4);
    tick();
    scripted.removeRemote(Op::rdKvxStatus);
    ctl.setStatus(StatusRecord::kDmaReadErrors, 0);
    tick();
    EXPECT_EQ(text("laDmaReadErrNr"), "4");
}

}  // namespace
}  // namespace kvx::test
