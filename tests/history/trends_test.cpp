// Trend data through the poll engine: cycle times against the band, link
// counter increases per minute, the one-hour window and the worst cycle time.
#include "history_fixture.h"

namespace kvx::test {
namespace {

TEST_F(HistoryTest, SamplesCarryCycleTimesAndTheBandOfTheSampleTime) {
    tickAt(0);
    ctl.setStatus(StatusRecord::kMinCycleTime, 894);
    ctl.setStatus(StatusRecord::kMaxCycleTime, 1791);
    tickAt(1);

    const auto& samples = history.trends().samples();
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].minCycleUs, 1200u);
    EXPECT_EQ(samples[0].maxCycleUs, 1300u);
    EXPECT_EQ(samples[1].minCycleUs, 894u);
    EXPECT_EQ(samples[1].maxCycleUs, 1791u);
    EXPECT_EQ(samples[1].limits.lower, 895u);
    EXPECT_EQ(samples[1].limits.upper, 1791u);
    EXPECT_FALSE(samples[0].outOfBand());
    EXPECT_TRUE(samples[1].outOfBand());
    EXPECT_EQ(samples[1].ms, 1000);
    EXPECT_TRUE(sameTime(samples[1].time, timeAt(1)));
    EXPECT_EQ(history.trends().outOfBandTicks(), 1u);
}

TEST_F(HistoryTest, OfflineTicksAddNoSample) {
    tickAt(0);
    ctl.initResult = 34;
    tickAt(1);
    ctl.initResult = 0;
    tickAt(2);
    ASSERT_EQ(history.trends().samples().size(), 2u);
    EXPECT_EQ(history.trends().samples()[1].ms, 2000);
}

TEST_F(HistoryTest, LinkCounterIncreasesAreSummedPerMinute) {
    ctl.setStatus(StatusRecord::kTimeoutErrors, 2);  // already there at start: the baseline
    tickAt(0);
    ctl.setStatus(StatusRecord::kTimeoutErrors, 5);
    tickAt(10);
    ctl.setStatus(StatusRecord::kTimeoutErrors, 6);
    ctl.setStatus(StatusRecord::kRxComErrors, 1);
    tickAt(50);
    // Minute 1 has no sample; minute 2 sees the counter cleared and counting again.
    ctl.setStatus(StatusRecord::kTimeoutErrors, 1);
    tickAt(130);

    const auto minutes = history.trends().perMinute();
    ASSERT_EQ(minutes.size(), 3u);
    EXPECT_EQ(minutes[0].startMs, 0);
    EXPECT_EQ(minutes[1].startMs, 60000);
    EXPECT_EQ(minutes[2].startMs, 120000);
    EXPECT_EQ(minutes[0].increase, (std::array<std::uint64_t, 5>{0, 0, 4, 0, 1}));
    EXPECT_EQ(minutes[1].increase, (std::array<std::uint64_t, 5>{0, 0, 0, 0, 0}));
    EXPECT_EQ(minutes[2].increase, (std::array<std::uint64_t, 5>{0, 0, 1, 0, 0}));
    EXPECT_EQ(history.trends().windowIncrease(), (std::array<std::uint64_t, 5>{0, 0, 5, 0, 1}));
}

TEST_F(HistoryTest, SamplesOlderThanAnHourAreDropped) {
    tickAt(0);
    tickAt(1800);
    tickAt(3600);  // the sample of second 0 is exactly an hour old now
    tickAt(3601);

    const auto& samples = history.trends().samples();
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples.front().ms, 1'800'000);
    EXPECT_EQ(samples.back().ms, 3'601'000);
    EXPECT_EQ(history.trends().perMinute().size(), 31u);
    EXPECT_EQ(history.trends().perMinute().front().startMs, 1'800'000);
}

TEST_F(HistoryTest, WorstCycleTimeIsTheFirstTimeTheLongestWasSeen) {
    tickAt(0);
    ctl.setStatus(StatusRecord::kMaxCycleTime, 2100);
    tickAt(5);
    ctl.setStatus(StatusRecord::kMaxCycleTime, 1500);
    tickAt(6);
    ctl.setStatus(StatusRecord::kMaxCycleTime, 2100);
    tickAt(7);

    const auto& worst = history.trends().worst();
    ASSERT_TRUE(worst.has_value());
    EXPECT_EQ(worst->maxCycleUs, 2100u);
    EXPECT_EQ(worst->limits.upper, 1791u);
    EXPECT_TRUE(sameTime(worst->time, timeAt(5)));
    EXPECT_EQ(worst->ms, 5000);
    EXPECT_EQ(history.trends().outOfBandTicks(), 2u);
}

// Two timeout errors a second: the minute still running shows the same rate
// as the whole minute before it, not a drop.
TEST(TrendRecorderWindow, MinuteStillRunningIsScaledToAWholeMinute) {
    TrendRecorder recorder;
    TickRecord tick;
    tick.online = true;
    for (int second = 0; second <= 150; ++second) {
        tick.monotonicMs = second * 1000;
        tick.linkCounters[2] = static_cast<std::uint32_t>(2 * second);
        recorder.observe(tick);
    }
    const auto minutes = recorder.perMinute();
    ASSERT_EQ(minutes.size(), 3u);
    EXPECT_FALSE(minutes[1].partial());
    EXPECT_EQ(minutes[1].increase[2], 120u);
    EXPECT_TRUE(minutes[2].partial());
    EXPECT_EQ(minutes[2].coveredMs, 31'000);  // from the sample of second 119 to that of 150
    EXPECT_EQ(minutes[2].increase[2], 62u);
    EXPECT_DOUBLE_EQ(minutes[2].perWholeMinute(2), minutes[1].perWholeMinute(2));
}

// An RX data error every 25 s (2.4 a minute): the minute still running is
// drawn at the errors of the last 60 s, 2 or 3 at every tick, never 0 after a
// minute boundary nor 10 when the next error comes a few seconds into it.
TEST(TrendRecorderWindow, LastMinuteKeepsASteadyRateSteady) {
    TrendRecorder recorder;
    TickRecord tick;
    tick.online = true;
    for (int second = 0; second <= 300; ++second) {
        tick.monotonicMs = second * 1000;
        tick.linkCounters[3] = static_cast<std::uint32_t>(second / 25);
        recorder.observe(tick);
        if (second < 60) continue;
        const std::uint64_t last = recorder.lastMinuteIncrease()[3];
        EXPECT_TRUE(last == 2 || last == 3) << "at " << second << " s: " << last;
    }
}

TEST(TrendRecorderWindow, NoSamplesNoMinutesNoWorst) {
    TrendRecorder recorder(60'000);
    TickRecord offline;
    offline.online = false;
    recorder.observe(offline);
    EXPECT_TRUE(recorder.samples().empty());
    EXPECT_TRUE(recorder.perMinute().empty());
    EXPECT_FALSE(recorder.worst().has_value());
    EXPECT_EQ(recorder.windowMs(), 60'000);
}

}  // namespace
}  // namespace kvx::test
