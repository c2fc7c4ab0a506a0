// Link error counters, the cycle-time band and the detection of a controller
// restart from the run counter.
#include <cmath>

#include "poll/checks.h"
#include "poll_fixture.h"
#include "support/case_name.h"

namespace kvx::test {
namespace {

const char* const kCounterValues[] = {"laDmaReadErrNr", "laDmaWriteErrNr", "laTimeoutErrNr", "laRxDataErrNr",
                                      "laRxComErrNr"};
const std::size_t kCounterOffsets[] = {StatusRecord::kDmaReadErrors, StatusRecord::kDmaWriteErrors,
                                       StatusRecord::kTimeoutErrors, StatusRecord::kRxDataErrors,
                                       StatusRecord::kRxComErrors};

// ---- link counters ---------------------------------------------------------------

using LinkCounters = PollTest;

TEST_F(LinkCounters, HealthyLinkShowsCaptionsAndZerosInTheNormalColour) {
    tick();
    EXPECT_EQ(text("laDmaReadErr"), "DMA Read Errors: ");
    EXPECT_EQ(text("laDmaWriteErr"), "DMA Write Errors: ");
    EXPECT_EQ(text("laTimeoutErr"), "Timeout Errors: ");
    EXPECT_EQ(text("laRxDataErr"), "RX Data Errors: ");
    EXPECT_EQ(text("laRxComErr"), "RX Com. Errors: ");
    EXPECT_EQ(text("laMinTime"), "Min.  Time: ");
    EXPECT_EQ(text("laMaxTime"), "Max. Time: ");
    for (const char* v : kCounterValues) {
        EXPECT_EQ(text(v), "0") << v;
        EXPECT_EQ(role(v), ColourRole::Normal) << v;
    }
    EXPECT_EQ(text("laMinTimeNr"), "1000");
    EXPECT_EQ(text("laMaxTimeNr"), "1500");
    EXPECT_EQ(role("laMinTimeNr"), ColourRole::Normal);
    EXPECT_EQ(role("laMaxTimeNr"), ColourRole::Normal);
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
}

TEST_F(LinkCounters, EachCounterAloneRaisesTheClass) {
    for (std::size_t i = 0; i < 5; ++i) {
        for (std::size_t off : kCounterOffsets) ctl.setStatus(off, 0);
        ctl.setStatus(kCounterOffsets[i], 2);
        tick();
        for (std::size_t j = 0; j < 5; ++j)
            EXPECT_EQ(role(kCounterValues[j]), i == j ? ColourRole::Fault : ColourRole::Normal) << i << j;
        EXPECT_EQ(text(kCounterValues[i]), "2");
        EXPECT_EQ(lines().front(), "Internal Data handling Errors detected!") << i;
        EXPECT_EQ(mask() & fault::InternalDataHandling, fault::InternalDataHandling) << i;
    }
}

TEST_F(LinkCounters, CountersAreUnsignedAndGiveOneLine) {
    ctl.setStatus(StatusRecord::kDmaReadErrors, 0xFFFFFFFF);
    ctl.setStatus(StatusRecord::kRxDataErrors, 0x80000000);
    tick();
    EXPECT_EQ(text("laDmaReadErrNr"), "4294967295");
    EXPECT_EQ(text("laRxDataErrNr"), "2147483648");
    EXPECT_EQ(lines(), (Lines{"Internal Data handling Errors detected!", "",
                              "Some errors can be reset with double-click on this window!"}));
    EXPECT_EQ(mask(), fault::FirstTick | fault::InternalDataHandling);
}

// ---- cycle-time band ---------------------------------------------------------------

struct TimingCase {
    std::int32_t sampleTime;
    std::uint32_t minTime, maxTime;
    bool minOk, maxOk;
};

void PrintTo(const TimingCase& c, std::ostream* os) {
    *os << "sample time " << c.sampleTime << ", cycle " << c.minTime << " to " << c.maxTime;
}

class TimingBand : public PollTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(TimingBand, LimitsAroundTheSampleTime) {
    const TimingCase& c = GetParam();
    state.driverVersion = 253.025;  // the driver's sample time only, no environment fallback
    ctl.sampleTime = c.sampleTime;
    ctl.setStatus(StatusRecord::kMinCycleTime, c.minTime);
    ctl.setStatus(StatusRecord::kMaxCycleTime, c.maxTime);
    tick();
    ASSERT_EQ(state.sampleTimeUs, c.sampleTime);
    EXPECT_EQ(text("laMinTimeNr"), std::to_string(c.minTime));
    EXPECT_EQ(text("laMaxTimeNr"), std::to_string(c.maxTime));
    EXPECT_EQ(role("laMinTimeNr"), c.minOk ? ColourRole::Normal : ColourRole::Fault);
    EXPECT_EQ(role("laMaxTimeNr"), c.maxOk ? ColourRole::Normal : ColourRole::Fault);
    if (c.minOk && c.maxOk) {
        EXPECT_EQ(lines(), Lines{"No errors detected!"});
    } else {
        EXPECT_EQ(lines(), (Lines{"Timing Errors detected!", "",
                                  "Some errors can be reset with double-click on this window!"}));
        EXPECT_EQ(mask(), fault::FirstTick | fault::Timing);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, TimingBand,
    ::testing::Values(TimingCase{1280, 895, 1791, true, true}, TimingCase{1280, 894, 1791, false, true},
                      TimingCase{1280, 895, 1792, true, false}, TimingCase{1280, 894, 1792, false, false},
                      TimingCase{1000, 699, 1399, true, true}, TimingCase{1000, 698, 1400, false, false},
                      TimingCase{4096, 2867, 5734, true, true}, TimingCase{4096, 2866, 5735, false, false},
                      TimingCase{0, 0, 5734, true, true}, TimingCase{0, 0, 5735, true, false},
                      TimingCase{-5, 0, 5734, false, true}, TimingCase{-5, 4000000000u, 5735, false, false},
                      TimingCase{1, 0, 1, true, true}, TimingCase{1, 0, 2, true, false}),
    [](const auto& info) {
        return "Sample" + test::numberName(info.param.sampleTime) + "Min" + test::numberName(info.param.minTime) +
               "Max" + test::numberName(info.param.maxTime);
    });

TEST(TimingLimits, WholeNumberProductsComeOutOneLess) {
    for (std::int32_t n = 1; n <= 20000; ++n) {
        const TimeLimits l = timingLimits(n);
        ASSERT_EQ(l.lower, static_cast<std::uint32_t>((7 * n + 9) / 10 - 1)) << n;
        ASSERT_EQ(l.upper, static_cast<std::uint32_t>((7 * n + 4) / 5 - 1)) << n;
    }
}

// ---- reboot detection -------------------------------------------------------------

using RebootDetection = PollTest;

TEST_F(RebootDetection, FirstOnlineTickIsNeverARestart) {
    ASSERT_TRUE(openProtocol());
    ctl.setStatus(StatusRecord::kRunCounter, 10);
    tick();
    EXPECT_EQ(state.wasOnline, 1);
    EXPECT_EQ(protocolText().find("rebooted"), std::string::npos);
    EXPECT_EQ(state.prevRunCounter, 10u);
}

TEST_F(RebootDetection, WrapFromTheTopIsNoRestart) {
    ASSERT_TRUE(openProtocol());
    ctl.setStatus(StatusRecord::kRunCounter, 0xFFFFFFFF);
    tick();
    ctl.setStatus(StatusRecord::kRunCounter, 0);
    tick();
    EXPECT_EQ(state.wasOnline, 1);
    EXPECT_EQ(state.prevRunCounter, 0u);
    EXPECT_EQ(protocolText().find("rebooted"), std::string::npos);
}

TEST_F(RebootDetection, UnchangedCounterIsNoRestart) {
    tick(3);
    EXPECT_EQ(state.wasOnline, 1);
}

TEST_F(RebootDetection, HalfTheRangeAheadCountsAsBehind) {
    ctl.setStatus(StatusRecord::kRunCounter, 1);
    tick();
    ctl.setStatus(StatusRecord::kRunCounter, 0x80000001);
    tick();
    EXPECT_EQ(state.wasOnline, 0);
}

TEST_F(RebootDetection, FallingCounterIsARestartWithOneRecordAndNoLine) {
    ASSERT_TRUE(openProtocol());
    ctl.setStatus(StatusRecord::kRunCounter, 5000);
    tick();
    clock.set({2024, 3, 5, 10, 0, 1});
    ctl.setStatus(StatusRecord::kRunCounter, 10);
    tick();
    EXPECT_EQ(lines(), Lines{"No errors detected!"});
    EXPECT_EQ(state.wasOnline, 0);
    EXPECT_EQ(state.prevRunCounter, 10u);
    log.clear();
    ctl.setStatus(StatusRecord::kRunCounter, 20);
    tick();
    EXPECT_EQ(log.count("tvMXI_OpCodeToLinkMTX"), 2u);  // went-online steps again
    EXPECT_EQ(state.wasOnline, 1);
    protocol.close();
    EXPECT_EQ(protocolText(),
              "\n2024/03/05 - 08:15:02: Diagnostic Program opened! --------------------\n"
              "\n2024/03/05 - 08:15:02:\nNo errors detected!\n"
              "\n2024/03/05 - 10:00:01: System has been rebooted\n"
              "2024/03/05 - 10:00:01: Diagnostic Program closed! --------------------\n");
}

TEST_F(RebootDetection, RestartResetsTheWarningCountdown) {
    ASSERT_TRUE(openProtocol());
    ctl.options[62].readable = false;
    ctl.setStatus(StatusRecord::kRunCounter, 5000);
    tick(3);
    ASSERT_EQ(summary.warningTicks(), 7);
    clock.set({2024, 3, 5, 11, 0, 0});
    ctl.setStatus(StatusRecord::kRunCounter, 10);
    tick();
    EXPECT_EQ(summary.warningTicks(), 0);
    EXPECT_EQ(summary.prevWarningTicks(), 0);
    clock.set({2024, 3, 5, 11, 0, 1});
    ctl.setStatus(StatusRecord::kRunCounter, 11);
    tick();
    EXPECT_EQ(summary.warningTicks(), 9);  // a new countdown
    EXPECT_EQ(lines(), (Lines{"Ressource-Interface not available in TAVOS.ELF!  ", "No errors detected!"}));
    const Lines file = protocolLines();
    ASSERT_GE(file.size(), 6u);
    EXPECT_EQ(Lines(file.end() - 6, file.end()),
              (Lines{"", "2024/03/05 - 11:00:00: System has been rebooted", "", "2024/03/05 - 11:00:01:",
                     "Ressource-Interface not available in TAVOS.ELF!  ", "No errors detected!"}));
}

TEST_F(RebootDetection, RestartWhileOfflineIsFoundOnTheFirstOnlineTick) {
    ASSERT_TRUE(openProtocol());
    ctl.setStatus(StatusRecord::kRunCounter, 5000);
    tick();
    ctl.initResult = 34;
    tick(2);
    EXPECT_EQ(state.prevRunCounter, 5000u);
    ctl.initResult = 0;
    ctl.setStatus(StatusRecord::kRunCounter, 3);
    clock.set({2024, 3, 5, 12, 0, 0});
    tick();
    EXPECT_EQ(state.wasOnline, 0);
    protocol.close();  // the record waits for the next block or the close
    EXPECT_NE(protocolText().find("\n2024/03/05 - 12:00:00: System has been rebooted\n"), std::string::npos);
}

}  // namespace
}  // namespace kvx::test
