// Whatever the driver answered comes back from the file as it was given:
// segments of several kinds that share answers, answers that come back to an
// earlier value, answers that come and go, records that grow and shrink,
// answers of one record and of two.
#include <gtest/gtest.h>

#include <random>

#include "recording/flight_recorder.h"
#include "recording/recording_reader.h"
#include "recording_folder.h"

namespace kvx::recording {
namespace {

struct Given {
    SegmentKind kind;
    std::vector<Answer> answers;
};

TEST(RecordingRoundTrip, EveryAnswerReadsBackAsGiven) {
    const RecordingFolder folder("kvx-trip");
    const std::string& file = folder.file;
    std::string error;
    auto recorder = FlightRecorder::create({file, 0, 1}, RunInfo{}, error);
    ASSERT_TRUE(recorder) << error;

    // Mostly steady ticks, now and then an action that reads the same records
    // with other values, an answer left out, a value that comes back.
    const CallId calls[] = {call::of(Op::rdKvxStatus), call::of(Op::rdaxst), call::of(Op::rdifs)};
    std::mt19937 random(7);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::vector<Given> given;
    for (int i = 0; i < 400; ++i) {
        Given g{i == 0 ? SegmentKind::Start : pick(6) == 0 ? SegmentKind::Action : SegmentKind::Tick, {}};
        for (const CallId c : calls)
            for (int occurrence = 0; occurrence < 2; ++occurrence) {
                if (pick(10) == 0) continue;
                Answer a;
                a.call = c;
                a.result = pick(8) == 0 ? std::nullopt : std::optional<std::int32_t>(pick(2));
                a.bytes.assign(static_cast<std::size_t>(pick(12) == 0 ? 64 : 240), 0);
                const int value = pick(5) < 3 ? 0 : pick(3);
                for (std::size_t b = 0; b < a.bytes.size(); b += 1 + static_cast<std::size_t>(value * 7))
                    a.bytes[b] = static_cast<std::uint8_t>(value + occurrence);
                g.answers.push_back(a);
            }
        recorder->beginSegment(g.kind, g.kind == SegmentKind::Action ? Action::RebootClick : Action::None);
        // Some calls fill two records: the answer is their bytes back to back.
        for (auto& a : g.answers) {
            const std::span<std::uint8_t> all(a.bytes);
            const std::size_t cut = pick(3) == 0 ? all.size() / 3 : all.size();
            recorder->answered(a.call, a.key, a.result, {all.first(cut), all.subspan(cut)});
        }
        recorder->endSegment();
        given.push_back(std::move(g));
    }
    recorder.reset();

    RecordingReader reader;
    ASSERT_TRUE(reader.open(file, error)) << error;
    Segment s;
    for (std::size_t i = 0; i < given.size(); ++i) {
        ASSERT_EQ(reader.next(s), RecordingReader::Next::Segment) << "segment " << i;
        EXPECT_EQ(s.kind, given[i].kind) << "segment " << i;
        EXPECT_EQ(s.answers, given[i].answers) << "segment " << i;
    }
    EXPECT_EQ(reader.next(s), RecordingReader::Next::End);
}

// Segments of megabytes (records of 60,000 bytes) read back the same.
TEST(RecordingRoundTrip, SegmentsOfMegabytesReadBack) {
    const RecordingFolder folder("kvx-large");
    std::string error;
    auto recorder = FlightRecorder::create({folder.file, 0, 1}, RunInfo{}, error);
    ASSERT_TRUE(recorder) << error;
    std::vector<std::vector<Answer>> given;
    for (int segment = 0; segment < 4; ++segment) {
        recorder->beginSegment(segment == 0 ? SegmentKind::Start : SegmentKind::Tick);
        auto& answers = given.emplace_back();
        for (int i = 0; i < 40; ++i) {  // 40 records of 60,000 bytes: 2.4 MB a segment
            Answer& a = answers.emplace_back();
            a.call = call::of(Op::rdifs);
            a.key = i;
            a.result = 0;
            a.bytes.assign(60000, static_cast<std::uint8_t>(i));
            a.bytes[static_cast<std::size_t>(segment * 1000 + i)] = static_cast<std::uint8_t>(segment + 100);
            recorder->answered(a.call, a.key, a.result, {std::span<std::uint8_t>(a.bytes)});
        }
        recorder->endSegment();
    }
    recorder.reset();
    RecordingReader reader;
    ASSERT_TRUE(reader.open(folder.file, error)) << error;
    Segment s;
    for (std::size_t i = 0; i < given.size(); ++i) {
        ASSERT_EQ(reader.next(s), RecordingReader::Next::Segment) << "segment " << i;
        EXPECT_TRUE(s.answers == given[i]) << "segment " << i;
    }
    EXPECT_EQ(reader.next(s), RecordingReader::Next::End);
}

// Times a damaged or hostile file gives are refused with the offset, not
// carried on into steps between segments and calendar dates.
TEST(RecordingTimes, OutOfRangeTimesAreRefused) {
    const struct {
        std::int64_t start, later;  // of the run and its two segments
        std::int32_t utcOffset;
        std::string error;  // "": read to the end
    } cases[] = {
        {1796691795475, 1796691796475, 3600, ""},
        {0, kLatestEpochMs, -kMostUtcOffsetSeconds, ""},
        {-1, 0, 0, "start time out of range"},
        {0, 0, kMostUtcOffsetSeconds + 1, "UTC offset out of range"},
        {1796691795475, INT64_MAX, 0, "segment time out of range"},
        {1796691795475, -1, 0, "segment time out of range"},
        {kLatestEpochMs, INT64_MIN, 0, "segment time out of range"},
    };
    for (const auto& c : cases) {
        RunInfo info;
        info.startEpochMs = c.start;
        info.utcOffsetSeconds = c.utcOffset;
        std::vector<std::uint8_t> file = fileHeader(), payload;
        appendFrame(FrameKind::RunInfo, encodeRunInfo(info), file);
        SegmentEncoder encoder;
        for (const std::int64_t t : {c.start, c.later}) {
            payload.clear();
            encoder.encode(Segment{SegmentKind::Tick, Action::None, 0, t, {}, 0}, payload);
            appendFrame(FrameKind::Segment, payload, file);
        }
        RecordingReader reader;
        std::string error;
        if (reader.openBytes(std::move(file), error)) {
            for (Segment s; reader.next(s) == RecordingReader::Next::Segment;) {}
            error = reader.problem();
        }
        EXPECT_TRUE(c.error.empty() ? error.empty() : error.find(c.error) != std::string::npos) << c.error << ": " << error;
    }
}

// A damaged frame is named by the offset of the byte that is wrong; a
// checksum that does not match (the byte cannot be told) by the frame's start.
TEST(RecordingDamage, TheMessageNamesTheDamagedBytesOffset) {
    const struct {
        const char* name;
        std::vector<std::uint8_t> payload;  // of the last segment frame
        std::size_t wrong;                  // the wrong byte's index in it; SIZE_MAX: the checksum
        std::string what;
    } cases[] = {
        {"UnknownKind", {9}, 0, "unknown segment kind 9"},
        {"UnknownAction", {3, 9}, 1, "unknown action 9"},
        {"UnknownTag", {2, 0, 0x83}, 2, "unknown answer tag 131"},
        {"Checksum", {2, 0, 0}, SIZE_MAX, "checksum mismatch (damaged frame)"},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> file = fileHeader();
        appendFrame(FrameKind::RunInfo, encodeRunInfo(RunInfo{}), file);
        const std::size_t frameStart = file.size();
        appendFrame(FrameKind::Segment, c.payload, file);
        if (c.wrong == SIZE_MAX) file.back() ^= 1;
        // One length byte and the kind byte come before the payload.
        const std::size_t offset = c.wrong == SIZE_MAX ? frameStart : frameStart + 2 + c.wrong;
        RecordingReader reader;
        std::string error;
        ASSERT_TRUE(reader.openBytes(std::move(file), error)) << error;
        Segment s;
        EXPECT_EQ(reader.next(s), RecordingReader::Next::Damaged) << c.name;
        EXPECT_EQ(reader.problem(), "the recording is damaged at offset " + std::to_string(offset) + ": " + c.what)
            << c.name;
    }
}

// A small file of many different answers (records of zeros) must not make a
// reader keep them all: past 64 MB it is refused as damaged.
TEST(RecordingDamage, ManyDifferentAnswersAreRefusedPastTheirBound) {
    RunInfo info;
    info.callNames = currentCallNames();
    std::vector<std::uint8_t> file = fileHeader(), payload;
    appendFrame(FrameKind::RunInfo, encodeRunInfo(info), file);
    SegmentEncoder encoder;
    for (int segment = 0; segment < 8; ++segment) {  // 200 records of 60,000 bytes each: 12 MB a segment
        Segment s{SegmentKind::Tick, Action::None, 0, 0, {}, 0};
        for (int i = 0; i < 200; ++i) s.answers.push_back({call::of(Op::rdifs), segment * 200 + i, 0, Bytes(60000, 0)});
        payload.clear();
        encoder.encode(s, payload);
        appendFrame(FrameKind::Segment, payload, file);
    }
    RecordingReader reader;
    std::string error;
    ASSERT_TRUE(reader.openBytes(std::move(file), error)) << error;
    int read = 0;
    for (Segment s; reader.next(s) == RecordingReader::Next::Segment;) ++read;
    EXPECT_EQ(read, 5);
    EXPECT_NE(reader.problem().find("more than 64 MB of different answers"), std::string::npos) << reader.problem();
}

}  // namespace
}  // namespace kvx::recording
