#include "recording/recording_format.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace kvx::recording {

namespace {

// Tags of the answer list of a segment.
enum : std::uint8_t { kEnd = 0, kRepeat = 1, kAnswer = 2 };
// Flags of an answer (above the tag's two bits).
enum : std::uint8_t {
    kSameCall = 1 << 2,    // call and key as the reference answer at this place
    kSameResult = 1 << 3,  // result as the reference answer
    kHasResult = 1 << 4,   // a result follows (else: operation not provided)
    kChanges = 1 << 5,     // bytes as changed runs against the reference
    kZeroBase = 1 << 6,    // with kChanges: against zeros of a given length (no reference)
};

constexpr std::size_t kMostAnswerBytes = 1 << 16;
constexpr std::size_t kMostAnswers = 1 << 16;
constexpr std::size_t kMostText = 1 << 20;
constexpr std::size_t kMostSegmentBytes = 16u << 20;  // all records of one segment
// All answers a reader keeps to decode changes against (a real run keeps
// some hundred kilobytes), each counted with what keeping it costs besides.
constexpr std::size_t kMostHeldBytes = 64u << 20;
constexpr std::size_t kAnswerOverhead = 96;

void writeFile(ByteWriter& out, const RecordedFile& f) {
    out.text(f.path);
    out.byte(f.present ? 1 : 0);
    out.text(f.content);
}

RecordedFile readFile(ByteReader& in) {
    RecordedFile f;
    f.path = in.text();
    f.present = in.byte() != 0;
    f.content = in.text();
    return f;
}

}  // namespace


void ByteWriter::varint(std::uint64_t v) {
    while (v >= 0x80) {
        out_.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out_.push_back(static_cast<std::uint8_t>(v));
}

void ByteWriter::text(const std::string& s) {
    varint(s.size());
    raw(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

std::uint8_t ByteReader::byte() {
    if (p_ == end_) fail("record ends early");
    return *p_++;
}

std::uint64_t ByteReader::varint() {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        const std::uint8_t b = byte();
        v |= std::uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80)) return v;
    }
    fail("number too long");
}

std::int64_t ByteReader::signedVarint() {
    const std::uint64_t v = varint();
    return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

std::int32_t ByteReader::int32() {
    const std::int64_t v = signedVarint();
    if (v < INT32_MIN || v > INT32_MAX) fail("number out of range");
    return static_cast<std::int32_t>(v);
}

std::size_t ByteReader::size(std::size_t most) {
    const std::uint64_t v = varint();
    if (v > most || v > static_cast<std::uint64_t>(end_ - p_)) fail("length out of range");
    return static_cast<std::size_t>(v);
}

std::string ByteReader::text() {
    const std::size_t n = size(kMostText);
    const std::uint8_t* p = take(n);
    return std::string(reinterpret_cast<const char*>(p), n);
}

const std::uint8_t* ByteReader::take(std::size_t n) {
    if (n > static_cast<std::size_t>(end_ - p_)) fail("record ends early");
    const std::uint8_t* p = p_;
    p_ += n;
    return p;
}

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
    return static_cast<std::uint32_t>(::crc32_z(::crc32(0L, Z_NULL, 0), p, n));
}

std::vector<std::uint8_t> fileHeader() {
    std::vector<std::uint8_t> out(kMagic, kMagic + sizeof kMagic);
    out.push_back(kFormatVersion & 0xFF);
    out.push_back(kFormatVersion >> 8);
    out.push_back(0);
    out.push_back(0);
    return out;
}

void appendFrame(FrameKind kind, const std::vector<std::uint8_t>& payload, std::vector<std::uint8_t>& out) {
    ByteWriter w(out);
    w.varint(payload.size() + 1);
    const std::size_t body = out.size();
    w.byte(static_cast<std::uint8_t>(kind));
    w.raw(payload.data(), payload.size());
    const std::uint32_t crc = crc32(out.data() + body, out.size() - body);
    for (int i = 0; i < 4; ++i) w.byte(static_cast<std::uint8_t>(crc >> (8 * i)));
}

std::vector<std::uint8_t> encodeRunInfo(const RunInfo& info) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.text(info.programPath);
    w.varint(info.arguments.size());
    for (const auto& a : info.arguments) w.text(a);
    w.text(info.executableFolder);
    w.signedVarint(info.startEpochMs);
    w.signedVarint(info.utcOffsetSeconds);
    writeFile(w, info.settings);
    writeFile(w, info.environment);
    writeFile(w, info.project);
    w.varint(info.callNames.size());
    for (const auto& n : info.callNames) w.text(n);
    return out;
}

RunInfo decodeRunInfo(ByteReader& in) {
    RunInfo info;
    info.programPath = in.text();
    const std::size_t args = in.size(1024);
    for (std::size_t i = 0; i < args; ++i) info.arguments.push_back(in.text());
    info.executableFolder = in.text();
    info.startEpochMs = in.signedVarint();
    if (info.startEpochMs < 0 || info.startEpochMs > kLatestEpochMs) in.fail("start time out of range");
    info.utcOffsetSeconds = in.int32();
    if (info.utcOffsetSeconds < -kMostUtcOffsetSeconds || info.utcOffsetSeconds > kMostUtcOffsetSeconds)
        in.fail("UTC offset out of range");
    info.settings = readFile(in);
    info.environment = readFile(in);
    info.project = readFile(in);
    const std::size_t calls = in.size(4096);
    for (std::size_t i = 0; i < calls; ++i) info.callNames.push_back(in.text());
    return info;
}

std::vector<std::string> currentCallNames() {
    std::vector<std::string> names;
    for (CallId id = 0; id < call::Count; ++id) names.emplace_back(callName(id));
    return names;
}

std::vector<CallId> mapCallNames(const std::vector<std::string>& names) {
    std::unordered_map<std::string, CallId> current;
    for (CallId id = 0; id < call::Count; ++id) current.emplace(std::string(callName(id)), id);
    std::vector<CallId> map;
    for (const auto& n : names) {
        auto it = current.find(n);
        map.push_back(it == current.end() ? CallId(call::Count) : it->second);
    }
    return map;
}

namespace {

// An identity is the call and key in its low 48 bits, the occurrence above.
std::uint64_t callKeyOf(CallId call, std::int32_t key) { return std::uint64_t(call) << 32 | static_cast<std::uint32_t>(key); }
std::uint64_t callKeyOf(std::uint64_t id) { return id & ((std::uint64_t(1) << 48) - 1); }
std::uint64_t identityOf(std::uint64_t callKey, std::uint64_t occurrence) { return callKey | occurrence << 48; }

}  // namespace

std::uint64_t AnswerHistory::identity(CallId call, std::int32_t key) {
    const std::uint64_t callKey = callKeyOf(call, key);
    return identityOf(callKey, occurrences_[callKey]++);
}

Answer* AnswerHistory::latest(std::uint64_t id) {
    auto it = latest_.find(id);
    return it == latest_.end() ? nullptr : &it->second;
}

const Answer* AnswerHistory::reference(std::uint64_t id) {
    const std::uint64_t callKey = callKeyOf(id);
    for (std::uint64_t n = id >> 48;; --n) {
        if (const Answer* a = latest(identityOf(callKey, n))) return a;
        if (n == 0) return nullptr;
    }
}

namespace {

// Runs of changed bytes: the distance from the last run's end, the length, the bytes.
void writeChanges(ByteWriter& w, const Bytes& bytes, const std::uint8_t* base) {
    std::size_t last = 0, p = 0;
    const std::size_t n = bytes.size();
    auto differs = [&](std::size_t k) { return k < n && bytes[k] != (base ? base[k] : 0); };
    while (p < n) {
        if (!differs(p)) {
            ++p;
            continue;
        }
        // Gaps of up to two equal bytes cost less inside a run than as a new one.
        std::size_t e = p;
        while (e < n && (differs(e) || differs(e + 1) || differs(e + 2))) ++e;
        w.varint(p - last);
        w.varint(e - p);
        w.raw(bytes.data() + p, e - p);
        last = p = e;
    }
    w.varint(0);
    w.varint(0);
}

void readChanges(ByteReader& in, Bytes& bytes) {
    std::size_t p = 0;
    for (;;) {
        const std::uint64_t skip = in.varint();
        const std::uint64_t len = in.varint();
        if (len == 0) break;
        if (skip > bytes.size() - p || len > bytes.size() - p - skip) in.fail("change runs past its record");
        p += skip;
        std::memcpy(bytes.data() + p, in.take(len), len);
        p += len;
    }
}

// An answer given anew, stored against `r` (nullptr: against zeros).
void writeAnswer(ByteWriter& w, const Answer& a, const Answer* r, bool sameCall) {
    std::uint8_t tag = kAnswer;
    if (sameCall) tag |= kSameCall;
    if (r && r->result == a.result) tag |= kSameResult;
    else if (a.result) tag |= kHasResult;
    if (!r && !a.bytes.empty()) tag |= kChanges | kZeroBase;
    else if (r && r->bytes.size() == a.bytes.size()) tag |= kChanges;
    w.byte(tag);
    if (!(tag & kSameCall)) {
        w.varint(a.call);
        w.signedVarint(a.key);
    }
    if (tag & kHasResult) w.signedVarint(*a.result);
    if (tag & kZeroBase) {
        w.varint(a.bytes.size());
        writeChanges(w, a.bytes, nullptr);
    } else if (tag & kChanges) {
        writeChanges(w, a.bytes, r->bytes.data());
    } else {
        w.varint(a.bytes.size());
        w.raw(a.bytes.data(), a.bytes.size());
    }
}

}  // namespace

void AnswerHistory::reset() {
    begin();
    latest_.clear();
    for (auto& o : order) o.clear();
}

void SegmentEncoder::reset() {
    history_.reset();
    lastEpochMs_ = 0;
}

void SegmentEncoder::encode(const Segment& s, std::vector<std::uint8_t>& out) {
    ByteWriter w(out);
    w.byte(static_cast<std::uint8_t>(s.kind));
    if (s.kind == SegmentKind::Action) {
        w.byte(static_cast<std::uint8_t>(s.action));
        w.signedVarint(s.argument);
    }
    // Wrapping difference: a clock set far off must not overflow the writer.
    w.signedVarint(static_cast<std::int64_t>(std::uint64_t(s.epochMs) - std::uint64_t(lastEpochMs_)));
    lastEpochMs_ = s.epochMs;

    auto& order = history_.order[static_cast<std::size_t>(s.kind) % kKinds];
    const std::size_t count = s.answers.size();
    auto inOrderAt = [&](std::size_t i) {
        return i < order.size() && order[i].first == s.answers[i].call && order[i].second == s.answers[i].key;
    };
    history_.begin();
    std::vector<std::uint64_t> ids(count);
    for (std::size_t i = 0; i < count; ++i) ids[i] = history_.identity(s.answers[i].call, s.answers[i].key);

    std::size_t i = 0;
    while (i < count) {
        // Answers at their place of the last segment of this kind, as they were then: one count.
        std::size_t same = 0;
        while (i + same < count && inOrderAt(i + same)) {
            const Answer* r = history_.latest(ids[i + same]);
            if (!r || !(*r == s.answers[i + same])) break;
            ++same;
        }
        if (same > 0) {
            w.byte(kRepeat);
            w.varint(same);
            i += same;
            continue;
        }
        const Answer& a = s.answers[i];
        Answer* slot = history_.latest(ids[i]);
        writeAnswer(w, a, slot ? slot : history_.reference(ids[i]), inOrderAt(i));
        if (slot) *slot = a;
        else history_.remember(ids[i], a);
        ++i;
    }
    w.byte(kEnd);
    order.resize(count);
    for (std::size_t n = 0; n < count; ++n) order[n] = {s.answers[n].call, s.answers[n].key};
}

void SegmentDecoder::decode(ByteReader& in, Segment& s) {
    // A byte that is wrong in itself is named by its own offset.
    const auto wrongByte = [&in](const std::string& what) { throw FormatError(in.offset() - 1, what); };
    const std::uint8_t kind = in.byte();
    if (kind < 1 || kind > 4) wrongByte("unknown segment kind " + std::to_string(kind));
    s.kind = static_cast<SegmentKind>(kind);
    s.action = Action::None;
    s.argument = 0;
    if (s.kind == SegmentKind::Action) {
        const std::uint8_t action = in.byte();
        if (action < 1 || action > 6) wrongByte("unknown action " + std::to_string(action));
        s.action = static_cast<Action>(action);
        s.argument = in.int32();
    }
    // Times stay within years 1970 to 9999, so that nothing downstream
    // (steps between segments, calendar dates) can overflow.
    const std::int64_t step = in.signedVarint();
    if (step < -kLatestEpochMs || step > kLatestEpochMs || lastEpochMs_ + step < 0 ||
        lastEpochMs_ + step > kLatestEpochMs)
        in.fail("segment time out of range");
    lastEpochMs_ += step;
    s.epochMs = lastEpochMs_;

    auto& order = history_.order[kind % kKinds];
    history_.begin();
    s.answers.clear();
    std::size_t segmentBytes = 0;
    // Answers carry the file's call numbers until the segment is whole.
    for (;;) {
        const std::uint8_t tag = in.byte();
        if (tag == kEnd) break;
        if (s.answers.size() >= kMostAnswers) in.fail("too many answers in one segment");
        if (tag == kRepeat) {
            const std::uint64_t n = in.varint();
            if (n == 0 || n > kMostAnswers) in.fail("repeat count out of range");
            for (std::uint64_t k = 0; k < n; ++k) {
                const std::size_t i = s.answers.size();
                if (i >= order.size()) in.fail("repeats more answers than the last segment had");
                const Answer* r = history_.latest(history_.identity(order[i].first, order[i].second));
                if (!r) in.fail("repeats an answer never given");
                segmentBytes += r->bytes.size();
                if (segmentBytes > kMostSegmentBytes) in.fail("segment holds too many bytes");
                s.answers.push_back(*r);
            }
            continue;
        }
        if ((tag & 3) != kAnswer || (tag & 0x80)) wrongByte("unknown answer tag " + std::to_string(tag));
        const std::size_t i = s.answers.size();
        Answer a;
        if (tag & kSameCall) {
            if (i >= order.size()) in.fail("answer refers to one the last segment did not have");
            a.call = order[i].first;
            a.key = order[i].second;
        } else {
            const std::uint64_t id = in.varint();
            if (id >= callMap_.size()) in.fail("call number " + std::to_string(id) + " not in the file's list");
            a.call = static_cast<CallId>(id);
            a.key = in.int32();
        }
        const std::uint64_t id = history_.identity(a.call, a.key);
        Answer* slot = history_.latest(id);
        const Answer* r = slot ? slot : history_.reference(id);
        if ((tag & kSameResult) && !r) in.fail("answer refers to one never given");
        if ((tag & kChanges) && !(tag & kZeroBase) && !r) in.fail("changes to an answer never given");
        if ((tag & kZeroBase) && !(tag & kChanges)) in.fail("unknown answer tag " + std::to_string(tag));
        if (tag & kSameResult) a.result = r->result;
        else if (tag & kHasResult) a.result = in.int32();
        if (tag & kZeroBase) {
            const std::uint64_t n = in.varint();
            if (n > kMostAnswerBytes) in.fail("record length out of range");
            a.bytes.assign(static_cast<std::size_t>(n), 0);
            readChanges(in, a.bytes);
        } else if (tag & kChanges) {
            a.bytes = r->bytes;
            readChanges(in, a.bytes);
        } else {
            const std::size_t n = in.size(kMostAnswerBytes);
            const std::uint8_t* bytes = in.take(n);
            a.bytes.assign(bytes, bytes + n);
        }
        segmentBytes += a.bytes.size();
        if (segmentBytes > kMostSegmentBytes) in.fail("segment holds too many bytes");
        // What the file's answers are stored against stays bounded however long the file.
        heldBytes_ += a.bytes.size() + (slot ? 0 : kAnswerOverhead) - (slot ? slot->bytes.size() : 0);
        if (heldBytes_ > kMostHeldBytes) in.fail("more than 64 MB of different answers");
        if (slot) *slot = a;
        else history_.remember(id, a);
        s.answers.push_back(std::move(a));
    }
    order.resize(s.answers.size());
    for (std::size_t k = 0; k < s.answers.size(); ++k) {
        order[k] = {s.answers[k].call, s.answers[k].key};
        s.answers[k].call = callMap_[s.answers[k].call];
    }
}

}  // namespace kvx::recording
