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
#include <cstring>
#include <memory_resource>
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
const char* actionName(Action action);

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

// Bytes an answer filled, and the recorder's marks: from the memory
// resource their owner was given (the recorder keeps its own in one huge
// page, flight_recorder.h), else from the heap.
using Bytes = std::pmr::vector<std::uint8_t>;

struct Answer {
    // Made in a container with a memory resource, an answer keeps its bytes there.
    using allocator_type = std::pmr::polymorphic_allocator<>;
    Answer() = default;
    explicit Answer(const allocator_type& memory) : bytes(memory) {}
    Answer(const Answer& o, const allocator_type& memory)
        : call(o.call), key(o.key), result(o.result), bytes(o.bytes, memory), unchanged(o.unchanged) {}
    Answer(Answer&& o, const allocator_type& memory)
        : call(o.call), key(o.key), result(o.result), bytes(std::move(o.bytes), memory), unchanged(o.unchanged) {}
    Answer(const Answer&) = default;
    Answer(Answer&&) = default;
    Answer& operator=(const Answer&) = default;
    Answer& operator=(Answer&&) = default;

    CallId call = 0;
    std::int32_t key = 0;
    DriverResult result;
    Bytes bytes;  // the filled records, back to back
    // The recorder's side only, never stored: the answer is the one of the
    // last segment at its place (bytes left out).
    bool unchanged = false;

    bool operator==(const Answer& o) const {
        return call == o.call && key == o.key && result == o.result && bytes == o.bytes;
    }
};

struct Segment {
    SegmentKind kind = SegmentKind::Tick;
    Action action = Action::None;
    std::int32_t argument = 0;
    std::int64_t epochMs = 0;  // wall clock at the segment's start
    std::pmr::vector<Answer> answers;
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

// Copies the few bytes a tick's paths move (a changed record, a run of
// changed bytes, a frame moved up to its length) in place: a call into the C
// library's copy brings back its own pages of code, which a tick at 1 Hz
// finds out of the caches. Forward, so also for `to` before `from`. The
// empty asm hides the index from the compiler, which would otherwise make
// each loop such a call again.
[[gnu::always_inline]] inline void copyBytes(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    std::size_t i = 0;
    for (std::uint64_t w; i + 8 <= n; i += 8) {
        __builtin_memcpy(&w, from + i, 8);
        __builtin_memcpy(to + i, &w, 8);
        __asm__("" : "+r"(i));
    }
    for (; i < n; ++i) {
        to[i] = from[i];
        __asm__("" : "+r"(i));
    }
}

// The same into memory known to have room: the steady tick writes its frame
// straight into the file's mapping, the encoder aside into a buffer sized
// for the frame's bound.
class RawWriter {
public:
    explicit RawWriter(std::uint8_t* at) : p_(at) {}
    void byte(std::uint8_t b) { *p_++ = b; }
    void varint(std::uint64_t v) {
        for (; v >= 0x80; v >>= 7) *p_++ = static_cast<std::uint8_t>(v | 0x80);
        *p_++ = static_cast<std::uint8_t>(v);
    }
    void signedVarint(std::int64_t v) { varint((static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63)); }
    void raw(const std::uint8_t* p, std::size_t n) {
        copyBytes(p_, p, n);
        p_ += n;
    }
    std::uint8_t* at() const { return p_; }

private:
    std::uint8_t* p_;
};

// The bytes of `v` as a varint.
inline std::size_t varintSize(std::uint64_t v) {
    std::size_t n = 1;
    for (; v >= 0x80; v >>= 7) ++n;
    return n;
}

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

std::uint32_t crc32(const std::uint8_t* p, std::size_t n);
// The same CRC-32 four bytes a step by carry-less multiplication, with no
// table to bring back (some 250 cycles for a tick's frame at 1 Hz instead of
// 900); only where the processor has it (hasCarrylessMultiply(), else crc32()).
std::uint32_t crc32Carryless(const std::uint8_t* p, std::size_t n);
bool hasCarrylessMultiply();

std::vector<std::uint8_t> fileHeader();
// A whole frame: length, kind, payload, checksum.
std::vector<std::uint8_t> frame(FrameKind kind, const std::vector<std::uint8_t>& payload);
// The same frame added to the end of `out` (a buffer kept for the next one).
void appendFrame(FrameKind kind, const std::vector<std::uint8_t>& payload, std::vector<std::uint8_t>& out);

std::vector<std::uint8_t> encodeRunInfo(const RunInfo& info);
RunInfo decodeRunInfo(ByteReader& in);

// Segments are stored as changes. An answer is compared with the latest
// answer to the same call, key and occurrence within its segment, from any
// earlier segment of the file: a changed record costs only its changed bytes.
// Which call comes at which place is compared with the last segment of the
// same kind: a run of answers in the same order and unchanged is one count.
// Encoder and decoder keep that state.
// The same container for each segment kind.
inline constexpr std::size_t kKinds = 5;
template <typename Container>
using PerKind = std::array<Container, kKinds>;
template <typename Container>
PerKind<Container> perKind(std::pmr::memory_resource* memory) {
    return {Container(memory), Container(memory), Container(memory), Container(memory), Container(memory)};
}

class AnswerHistory {
public:
    explicit AnswerHistory(std::pmr::memory_resource* memory = std::pmr::get_default_resource())
        : order(perKind<Order>(memory)), counted_(memory), occurrences_(memory), latest_(memory) {}
    // Counts the occurrence of (call, key) in the current segment and gives
    // its identity; begin() starts a new segment.
    void begin() {
        counted_.clear();
        if (!occurrences_.empty()) occurrences_.clear();
    }
    std::uint64_t identity(CallId call, std::int32_t key);
    // An identity is the call and key in its low 48 bits, the occurrence above.
    static std::uint64_t callKeyOf(CallId call, std::int32_t key) {
        return std::uint64_t(call) << 32 | static_cast<std::uint32_t>(key);
    }
    static std::uint64_t callKeyOf(std::uint64_t id) { return id & ((std::uint64_t(1) << 48) - 1); }
    static std::uint64_t identityOf(std::uint64_t callKey, std::uint64_t occurrence) {
        return callKey | occurrence << 48;
    }
    Answer* latest(std::uint64_t id);
    // What an answer is stored against: the latest with its identity, else
    // the latest of an earlier occurrence of the same call and key; nullptr
    // when there is none (the answer is then stored against zeros).
    const Answer* reference(std::uint64_t id);
    // Stores a first answer; the address stays valid until reset().
    Answer* remember(std::uint64_t id, const Answer& a) { return &(latest_[id] = a); }
    void reset();

    using Order = std::pmr::vector<std::pair<CallId, std::int32_t>>;
    PerKind<Order> order;

private:
    // A segment names a few dozen calls: the first ones are counted in a
    // short list searched in order (no node made and freed per answer),
    // any beyond it in the map.
    static constexpr std::size_t kCountedInList = 32;
    std::pmr::vector<std::pair<std::uint64_t, std::uint32_t>> counted_;
    std::pmr::unordered_map<std::uint64_t, std::uint32_t> occurrences_;
    std::pmr::unordered_map<std::uint64_t, Answer> latest_;
};

class SegmentEncoder {
public:
    // All the encoder keeps from segment to segment comes from `memory`.
    explicit SegmentEncoder(std::pmr::memory_resource* memory = std::pmr::get_default_resource())
        : history_(memory), ids_(memory), refs_(memory), orderIds_(perKind<Ids>(memory)),
          orderRefs_(perKind<Refs>(memory)), expected_(perKind<Expectations>(memory)),
          words_(perKind<Words>(memory)), spare_(memory) {}
    // Answers marked `unchanged` stand for the latest answer at their place.
    void encode(const Segment& segment, std::size_t answerCount, std::vector<std::uint8_t>& out);
    void reset();
    // What a steady segment repeats at place `i`: the latest answer there of
    // the last segment of this kind, when it was the same call and key. An
    // answer like it is told exactly, with nothing copied, by comparing its
    // records with the nonzero 8-byte words kept for that answer: the
    // monitor's records are mostly zeros, and a tick at 1 Hz finds what it
    // kept out of the caches, so it reads a few lines instead of a copy of
    // every record.
    struct Expected {
        std::uint64_t result = 0;  // packResult()
        std::uint32_t size = 0;    // of the latest answer's bytes
        std::uint32_t words = 0;   // where its nonzero words begin in its kind's block
        std::uint32_t wordCount = 0;
        std::uint32_t room = 0;  // the words the block has for it there
        std::int32_t key = 0;
        CallId call = 0;
    };
    static std::uint64_t packResult(DriverResult r) {
        return r ? std::uint64_t(static_cast<std::uint32_t>(*r)) << 1 | 1 : 0;
    }
    // Asks for what matches() reads for the answer at `place` of a segment
    // of `kind`, and for the entry after it, so that it comes from memory
    // while the driver is called, not when the answer is there.
    void prefetchWords(SegmentKind kind, std::size_t place) const;
    // Asks for the kept answer that a changed answer at `place` is encoded
    // against when the segment ends.
    void prefetchKept(SegmentKind kind, std::size_t place) const;
    // Whether an answer is the one `expected` (from expectedAt()) names.
    bool matches(SegmentKind kind, const Expected& expected, DriverResult r, Outputs outputs) const;
    const Expected* expectedAt(SegmentKind kind, std::size_t i, CallId call, std::int32_t key) const {
        const auto& expected = expected_[static_cast<std::size_t>(kind) % kKinds];
        if (i >= expected.size() || expected[i].call != call || expected[i].key != key) return nullptr;
        return &expected[i];
    }
    // Gives the answers marked `unchanged` of the segment just encoded their bytes.
    void materialise(Segment& segment, std::size_t answerCount) const;

    // A segment whose first `steady` answers came at the places expectedAt()
    // named: the recorder fills only those that changed, `same[i]` marks
    // the others, and the answers after them (a tick that wrote a protocol
    // entry reads the clock once more) are given whole. The rest is told
    // by counting and looking up those few alone.
    static constexpr std::size_t kMostAfterSteady = 64;
    // At most what encodeSteady() writes for an answer of `bytes` bytes not
    // marked `same`: tag, call, key, result, length, and changed runs of at
    // worst three bytes for four plus their ends. The recorder adds them up
    // as the answers come, into `given`; steadyBound() is then at most what
    // the segment of `answerCount` answers takes.
    static constexpr std::size_t answerBound(std::size_t bytes) { return 2 * bytes + 48; }
    static constexpr std::size_t steadyBound(std::size_t answerCount, std::size_t given) {
        return 32 + 11 * answerCount + given;  // head, a repeat count before each answer, end
    }
    // Writes the payload to `out`, which has room for steadyBound(), the
    // bytes encode() gives for the same segment; gives its end.
    std::uint8_t* encodeSteady(const Segment& segment, const Bytes& same, std::size_t steady,
                               std::size_t answerCount, std::uint8_t* out);
    // Fills the places `same` marks with the answer expected there (marked
    // `unchanged`, bytes left out), for encode() and materialise().
    void fillExpected(Segment& segment, const Bytes& same, std::size_t answerCount) const;

private:
    void dropOtherExpectations(std::size_t kind);
    // Makes the latest answer `a` the one expected at place `i` of kind `k`.
    void expect(std::size_t k, std::size_t i, const Answer& a);
    // Drops the words of replaced expectations once they are most of the
    // block; called only after the block grew (grown_), which a steady
    // tick's changes seldom make it do.
    void compactWords(std::size_t k);
    // The latest answer kept at a place takes the bytes of `a`.
    static void keep(Answer& kept, const Answer& a);
    // encodeSteady()'s answers after the steady places; whether any was given anew.
    bool encodeAfterSteady(RawWriter& w, const Segment& segment, std::size_t steady, std::size_t answerCount,
                           std::size_t& run);

    using Ids = std::pmr::vector<std::uint64_t>;
    using Refs = std::pmr::vector<Answer*>;
    using Expectations = std::pmr::vector<Expected>;
    using Words = std::pmr::vector<std::uint64_t>;
    AnswerHistory history_;
    Ids ids_;
    Refs refs_;
    // The identities and references at each place of the last segment of
    // each kind: a segment in the same order (the steady case) finds them
    // there instead of counting and looking up each one.
    PerKind<Ids> orderIds_;
    PerKind<Refs> orderRefs_;
    // The same latest answers side by side, their bytes at hand: a tick
    // checks each answer against them without visiting the history's nodes.
    // An entry lives as long as the answer it names is not replaced; a
    // segment that replaces one renews its own and drops the other kinds'.
    PerKind<Expectations> expected_;
    // The nonzero words of each kind's expected answers, each an offset in
    // the answer and the 8 bytes there (fewer at its end, zeros after), in
    // one block walked front to back; a renewed expectation takes the place
    // of its last words where they fit, else adds its words at the end.
    PerKind<Words> words_;
    Words spare_;  // compactWords() builds the new block here
    std::array<bool, kKinds> grown_{};  // words added at the end of a kind's block since compactWords() last looked
    std::int64_t lastEpochMs_ = 0;
    std::uint8_t expecting_ = 0;  // a bit for each kind whose expectations are not empty
};

class SegmentDecoder {
public:
    // `callMap` turns the file's call numbers into this program's (call::Count: unknown).
    explicit SegmentDecoder(std::vector<CallId> callMap) : callMap_(std::move(callMap)) {}
    void decode(ByteReader& in, Segment& out);

private:
    std::vector<CallId> callMap_;
    AnswerHistory history_;
    std::int64_t lastEpochMs_ = 0;
};

// The number of each call name of `names` in this program.
std::vector<CallId> mapCallNames(const std::vector<std::string>& names);
std::vector<std::string> currentCallNames();

}  // namespace kvx::recording
