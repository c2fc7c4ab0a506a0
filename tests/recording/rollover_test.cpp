// A long recording moves aside at its size limit and keeps the last files,
// each of which replays from the run's start and goes on with the newer
// files of its run.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

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
    RunInfo run;
    run.startEpochMs = 1;
    auto recorder = FlightRecorder::create({file, 3000, 3}, run, error);
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
    // Read from any of the files, the run goes on to its last tick, each tick once.
    std::map<std::string, int> firstTick;
    auto readRun = [&](const std::string& f) {
        RecordingReader reader;
        EXPECT_TRUE(reader.open(f, error)) << error;
        std::vector<int> ticks;
        Segment s;
        for (int pass = 0; pass < 2; ++pass, reader.rewind()) {  // and again after a rewind
            EXPECT_EQ(reader.next(s), RecordingReader::Next::Segment);
            EXPECT_EQ(s.kind, SegmentKind::Start) << f;
            EXPECT_EQ(s.answers.at(0).bytes, Bytes(240, 0)) << f;
            ticks.clear();
            while (reader.next(s) == RecordingReader::Next::Segment) {
                EXPECT_EQ(s.kind, SegmentKind::Tick) << f;
                ticks.push_back(*s.answers.at(0).result);
                EXPECT_EQ(s.answers.at(1).bytes, Bytes(240, 0x5A)) << f << " tick " << ticks.back();
            }
        }
        return ticks;
    };
    for (const std::string& f : {file + ".2", file + ".1", file}) {
        EXPECT_LE(fs::file_size(f), 3000u + 300u) << f;
        const std::vector<int> ticks = readRun(f);
        ASSERT_FALSE(ticks.empty()) << f;
        EXPECT_EQ(ticks.back(), 200) << f;
        EXPECT_EQ(ticks.back() - ticks.front() + 1, static_cast<int>(ticks.size())) << f;
        firstTick[f] = ticks.front();
    }
    EXPECT_LT(firstTick[file + ".2"], firstTick[file + ".1"]);
    EXPECT_LT(firstTick[file + ".1"], firstTick[file]);

    // A later run records to the same file: the files moved aside before end with their own run.
    run.startEpochMs = 2;
    recorder = FlightRecorder::create({file, 0, 1}, run, error);
    ASSERT_TRUE(recorder) << error;
    recorder->beginSegment(SegmentKind::Start);
    recorder->answered(call::of(Op::rdKvxStatus), 0, 0, {std::span(record)});
    recorder->endSegment();
    recorder.reset();
    const std::vector<int> ticks = readRun(file + ".1");
    ASSERT_FALSE(ticks.empty());
    EXPECT_EQ(ticks.back(), firstTick[file] - 1);
}

}  // namespace
}  // namespace kvx::recording
