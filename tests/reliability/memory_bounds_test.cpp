// What the monitor keeps from tick to tick stays bounded when the tick is
// shortened for tests: a soak of 100,000 ticks at 1 ms must not grow its
// memory with every tick.
#include <gtest/gtest.h>

#include "history/trends.h"

namespace kvx {
namespace {

TickRecord onlineTick(std::int64_t ms, std::uint32_t rxData) {
    TickRecord t;
    t.monotonicMs = ms;
    t.online = true;
    t.minCycleUs = 1000;
    t.maxCycleUs = 1500;
    t.limits = {900, 1600};
    t.linkCounters[3] = rxData;
    return t;
}

TEST(TrendMemory, MillisecondTicksKeepAtMostOneSamplePerSecondOfTheWindow) {
    TrendRecorder recorder;  // the hour
    for (std::int64_t ms = 0; ms < 10'000; ++ms) recorder.observe(onlineTick(ms, static_cast<std::uint32_t>(ms / 100)));
    ASSERT_EQ(recorder.samples().size(), 3600u);
    EXPECT_EQ(recorder.samples().front().ms, 6400);
    EXPECT_EQ(recorder.samples().back().ms, 9999);
    // The counters' increase over what is kept: from 63 (at 6399) to 99.
    EXPECT_EQ(recorder.windowIncrease()[3], 36u);
}

TEST(TrendMemory, SecondTicksKeepTheWholeHour) {
    TrendRecorder recorder;
    for (std::int64_t s = 0; s < 3700; ++s) recorder.observe(onlineTick(s * 1000, 0));
    ASSERT_EQ(recorder.samples().size(), 3600u);  // the samples of the last hour, all of them
    EXPECT_EQ(recorder.samples().front().ms, 100'000);
}

}  // namespace
}  // namespace kvx
