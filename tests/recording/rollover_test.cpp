// A long recording moves aside at its size limit and keeps the last files,
// each of which replays on its own from the run's start.
#include <gtest/gtest.h>

#include <filesystem>

#include "recording/flight_recorder.h"
#include "recording/recording_reader.h"
#include "recording_folder.h"

namespace kvx::recording {
namespace {

namespace fs = std::filesystem;

TEST(RecordingRolloverTest, KeepsTheLastFilesEachStartingWithTheRunsStart) {
    const RecordingFolder folder("kvx-roll");
    const std::string& file = folder.file;
    std::string error;
    auto recorder = FlightRecorder::create({file, 3000, 3}, RunInfo{}, error);
    ASSERT_TRUE(recorder) << error;

    std::array<std::uint8_t, 240> record{};
    recorder->beginSegment(SegmentKind::Start);
    recorder->answered(call::of(Op::rdKvxStatus), 0, 0, {std::span(record)});
    recorder->endSegment();
    std::array<std::uint8_t, 240> steady;
    steady.fill(0x5A);
    for (int tick = 1; tick <= 200; ++tick) {
        record.fill(static_cast<std::uint8_t>(tick));  // every byte changes: some 250 bytes a tick
        recorder->beginSegment(SegmentKind::Tick);
        recorder->answered(call::of(Op::rdKvxStatus), 0, tick, {std::span(record)});
        recorder->answered(call::of(Op::rdaxst), 0, 0, {std::span(steady)});  // the same every tick
        recorder->endSegment();
    }
    recorder.reset();

    EXPECT_FALSE(fs::exists(file + ".3"));
    int lastTick = 201;
    for (const std::string& f : {file, file + ".1", file + ".2"}) {
        RecordingReader reader;
        ASSERT_TRUE(reader.open(f, error)) << error;
        EXPECT_LE(fs::file_size(f), 3000u + 300u) << f;
        Segment s;
        ASSERT_EQ(reader.next(s), RecordingReader::Next::Segment);
        EXPECT_EQ(s.kind, SegmentKind::Start) << f;
        EXPECT_EQ(s.answers.at(0).bytes, std::vector<std::uint8_t>(240, 0)) << f;
        std::vector<int> ticks;
        while (reader.next(s) == RecordingReader::Next::Segment) {
            ticks.push_back(*s.answers.at(0).result);
            EXPECT_EQ(s.answers.at(1).bytes, std::vector<std::uint8_t>(240, 0x5A)) << f << " tick " << ticks.back();
        }
        ASSERT_FALSE(ticks.empty()) << f;
        // Newer files hold later ticks, without a gap between them.
        EXPECT_EQ(ticks.back(), lastTick - 1) << f;
        EXPECT_EQ(ticks.back() - ticks.front() + 1, static_cast<int>(ticks.size())) << f;
        lastTick = ticks.front();
    }
}

}  // namespace
}  // namespace kvx::recording
