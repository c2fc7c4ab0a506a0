// The recording file: what a run's flight recorder writes and a replay reads.
//
// A file is a header ("KVXDREC\n", format version, 16-bit little-endian each
// after the text) and then frames: a varint length, a kind byte and its
// payload, and a CRC-32 of kind and payload. A frame is written with one
// write call, so a killed recorder leaves at most one partial frame at the
// end, which a reader drops. docs/recording.md describes every field.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "driver/driver_journal.h"

namespace kvx::recording {

inline constexpr char kMagic[8] = {'K', 'V', 'X', 'D', 'R', 'E', 'C', '\n'};
inline constexpr std::uint16_t kFormatVersion = 1;
inline constexpr std::size_t kHeaderSize = 12;  // magic, version, reserved
// What a reader accepts as a time: up to the end of year 9999, and UTC
// offsets of at most 18 hours.
inline constexpr std::int64_t kLatestEpochMs = 253402300799999;
inline constexpr std::int32_t kMostUtcOffsetSeconds = 18 * 3600;

enum class FrameKind : std::uint8_t { RunInfo = 'I', Segment = 'S' };

// What the monitor did while the answers of a segment came.
enum class SegmentKind : std::uint8_t { Start = 1, Tick = 2, Action = 3, Close = 4 };

// The user's actions, recorded as the events they are.
enum class Action : std::uint8_t {
    None = 0,
    CardNrChange = 1,
    RebootClick = 2,
    SummaryDoubleClick = 3,
    StayOnTopChange = 4,
    UseWebServicesClick = 5,
    GetFileNamesClick = 6,
};

// A file the settings store reads, as it was when the run started.
struct RecordedFile {
    std::string path;
    bool present = false;
    std::string content;
};

// The run's start: what the monitor is given besides the driver answers.
struct RunInfo {
    std::string programPath;
    std::vector<std::string> arguments;  // "/SU" and the like
    std::string executableFolder;
    std::int64_t startEpochMs = 0;
    std::int32_t utcOffsetSeconds = 0;   // of the local time at the start
    RecordedFile settings;     // the settings file
    RecordedFile environment;  // the per-user file naming the project file
    RecordedFile project;      // the project file
    std::vector<std::string> callNames;  // the call of each number used in this file
};

// Bytes an answer filled: its records back to back.
using Bytes = std::vector<std::uint8_t>;

struct Answer {
    CallId call = 0;
    std::int32_t key = 0;
    DriverResult result;
    Bytes bytes;

    bool operator==(const Answer& o) const = default;
};

struct Segment {
    SegmentKind kind = SegmentKind::Tick;
    Action action = Action::None;
    std::int32_t argument = 0;
    std::int64_t epochMs = 0;  // wall clock at the segment's start
    std::vector<Answer> answers;
    std::uint64_t offset = 0;  // of its frame in the file
};

// A file that cannot be read as a recording, with the offset where it went wrong.
struct FormatError : std::runtime_error {
    FormatError(std::uint64_t at, const std::string& what) : std::runtime_error(what), offset(at) {}
    std::uint64_t offset;
};

// Little-endian bytes and LEB128 varints.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}
    void byte(std::uint8_t b) { out_.push_back(b); }
    void varint(std::uint64_t v);
    void signedVarint(std::int64_t v) { varint((static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63)); }
    void text(const std::string& s);
    void raw(const std::uint8_t* p, std::size_t n) { out_.insert(out_.end(), p, p + n); }

private:
    std::vector<std::uint8_t>& out_;
};

// Reads within [begin, end); every read past the end throws a FormatError
// naming the file offset (`base` is the offset of `begin`).
class ByteReader {
public:
    ByteReader(const std::uint8_t* begin, const std::uint8_t* end, std::uint64_t base)
        : p_(begin), begin_(begin), end_(end), base_(base) {}
    std::uint8_t byte();
    std::uint64_t varint();
    std::int64_t signedVarint();
    std::int32_t int32();  // a signed varint that must fit 32 bits
    std::size_t size(std::size_t most);  // a varint length that must fit what is left and `most`
    std::string text();
    const std::uint8_t* take(std::size_t n);
    bool atEnd() const { return p_ == end_; }
    std::uint64_t offset() const { return base_ + static_cast<std::uint64_t>(p_ - begin_); }
    [[noreturn]] void fail(const std::string& what) const { throw FormatError(offset(), what); }

private:
    const std::uint8_t* p_;
    const std::uint8_t* begin_;
    const std::uint8_t* end_;
    std::uint64_t base_;
};

// The frame checksum: zlib's CRC-32.
std::uint32_t crc32(const std::uint8_t* p, std::size_t n);

std::vector<std::uint8_t> fileHeader();
// A whole frame (length, kind, payload, checksum) added to the end of `out`
// (a buffer kept for the next one).
void appendFrame(FrameKind kind, const std::vector<std::uint8_t>& payload, std::vector<std::uint8_t>& out);

std::vector<std::uint8_t> encodeRunInfo(const RunInfo& info);
RunInfo decodeRunInfo(ByteReader& in);

// Segments are stored as changes. An answer is compared with the latest
// answer to the same call, key and occurrence within its segment, from any
// earlier segment of the file: a changed record costs only its changed bytes.
// Which call comes at which place is compared with the last segment of the
// same kind: a run of answers in the same order and unchanged is one count.
// Encoder and decoder keep that state.
inline constexpr std::size_t kKinds = 5;  // indexed by SegmentKind

class AnswerHistory {
public:
    // Counts the occurrence of (call, key) in the current segment and gives
    // its identity; begin() starts a new segment.
    void begin() { occurrences_.clear(); }
    std::uint64_t identity(CallId call, std::int32_t key);
    Answer* latest(std::uint64_t id);
    // What an answer is stored against: the latest with its identity, else
    // the latest of an earlier occurrence of the same call and key; nullptr
    // when there is none (the answer is then stored against zeros).
    const Answer* reference(std::uint64_t id);
    // Stores a first answer; the address stays valid until reset().
    Answer* remember(std::uint64_t id, const Answer& a) { return &(latest_[id] = a); }
    void reset();

    using Order = std::vector<std::pair<CallId, std::int32_t>>;
    std::array<Order, kKinds> order;

private:
    std::unordered_map<std::uint64_t, std::uint32_t> occurrences_;
    std::unordered_map<std::uint64_t, Answer> latest_;
};

class SegmentEncoder {
public:
    // Appends the segment's payload to `out`.
    void encode(const Segment& segment, std::vector<std::uint8_t>& out);
    void reset();

private:
    AnswerHistory history_;
    std::int64_t lastEpochMs_ = 0;
};

class SegmentDecoder {
public:
    // `callMap` turns the file's call numbers into this program's (call::Count: unknown).
    explicit SegmentDecoder(std::vector<CallId> callMap) : callMap_(std::move(callMap)) {}
    void decode(ByteReader& in, Segment& out);

private:
    std::vector<CallId> callMap_;
    AnswerHistory history_;
    std::size_t heldBytes_ = 0;  // in history_
    std::int64_t lastEpochMs_ = 0;
};

// The number of each call name of `names` in this program.
std::vector<CallId> mapCallNames(const std::vector<std::string>& names);
std::vector<std::string> currentCallNames();

}  // namespace kvx::recording
