#include "recording/recording_format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace kvx::recording {

// Functions marked hot run on every tick (see flight_recorder.cpp).

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

const char* actionName(Action action) {
    switch (action) {
    case Action::None: return "none";
    case Action::CardNrChange: return "card selection";
    case Action::RebootClick: return "reboot";
    case Action::SummaryDoubleClick: return "double-click on the summary";
    case Action::StayOnTopChange: return "window mode";
    case Action::UseWebServicesClick: return "web services switch";
    case Action::GetFileNamesClick: return "file names switch";
    }
    return "unknown";
}

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

// A tick's frame is some tens of bytes: four bits at a time from a table of
// one cache line costs less there than zlib's kilobytes of tables and code
// coming back into the cache once a second. Longer frames (a replay reads
// them all) go to zlib. Both are the same CRC-32.
std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
    if (n >= 256) return static_cast<std::uint32_t>(::crc32(::crc32(0L, Z_NULL, 0), p, static_cast<uInt>(n)));
    static constexpr std::uint32_t kNibble[16] = {
        0x00000000, 0x1DB71064, 0x3B6E20C8, 0x26D930AC, 0x76DC4190, 0x6B6B51F4, 0x4DB26158, 0x5005713C,
        0xEDB88320, 0xF00F9344, 0xD6D6A3E8, 0xCB61B38C, 0x9B64C2B0, 0x86D3D2D4, 0xA00AE278, 0xBDBDF21C};
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        crc = (crc >> 4) ^ kNibble[crc & 15];
        crc = (crc >> 4) ^ kNibble[crc & 15];
    }
    return ~crc;
}

#if defined(__x86_64__)

bool hasCarrylessMultiply() { return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"); }

namespace {

// Four bytes through the register: (v times x^32) modulo the polynomial, by
// Barrett's method, two multiplications by `k` (x^64 divided by the
// polynomial, and the polynomial itself, both bit-reflected) instead of 32
// shifts.
[[gnu::always_inline, gnu::target("pclmul,sse4.1")]] inline std::uint32_t crc32Step(std::uint32_t v, __m128i k) {
    const __m128i q = _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(v)), k, 0x00);
    const __m128i q32 = _mm_srli_epi64(_mm_slli_epi64(q, 32), 32);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_clmulepi64_si128(q32, k, 0x10), 1));
}

}  // namespace

// The constants come from the instructions, not from a table: at 1 Hz a
// constant in memory is a line, and a page, out of the caches.
[[gnu::hot, gnu::target("pclmul,sse4.1")]] std::uint32_t crc32Carryless(const std::uint8_t* p, std::size_t n) {
    if (n >= 256) return crc32(p, n);  // a long frame: zlib's eight bytes a step
    std::uint64_t mu = 0x1F7011641, poly = 0x1DB710641;
    __asm__("" : "+r"(mu), "+r"(poly));
    const __m128i k = _mm_set_epi64x(static_cast<long long>(poly), static_cast<long long>(mu));
    std::uint32_t crc = 0xFFFFFFFFu;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        std::uint32_t w;
        __builtin_memcpy(&w, p + i, 4);
        crc = crc32Step(crc ^ w, k);
    }
    // The last one to three bytes: as four whose first ones are zeros,
    // which leave a register of zeros as it is.
    if (const std::size_t r = n - i) {
        std::uint32_t t = 0;
        for (std::size_t b = 0; b < r; ++b) t |= std::uint32_t(p[i + b]) << (8 * b);
        const std::uint32_t x = crc ^ t;
        crc = (x >> (8 * r)) ^ crc32Step(x << (32 - 8 * r), k);
    }
    return ~crc;
}

#else

bool hasCarrylessMultiply() { return false; }
std::uint32_t crc32Carryless(const std::uint8_t* p, std::size_t n) { return crc32(p, n); }

#endif

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

std::vector<std::uint8_t> frame(FrameKind kind, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> out;
    out.reserve(payload.size() + 10);
    appendFrame(kind, payload, out);
    return out;
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

std::uint64_t AnswerHistory::identity(CallId call, std::int32_t key) {
    const std::uint64_t callKey = callKeyOf(call, key);
    std::uint32_t n = 0;
    auto it = std::find_if(counted_.begin(), counted_.end(), [&](const auto& c) { return c.first == callKey; });
    if (it != counted_.end()) n = it->second++;
    else if (counted_.size() < kCountedInList) counted_.emplace_back(callKey, 1);
    else n = occurrences_[callKey]++;
    return identityOf(callKey, n);
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

// The answer at place `i` is the call and key the last segment of its kind had there.
bool inOrderAt(const AnswerHistory::Order& order, const Segment& s, std::size_t i) {
    return i < order.size() && order[i].first == s.answers[i].call && order[i].second == s.answers[i].key;
}

// Runs of changed bytes: the distance from the last run's end, the length, the bytes.
[[gnu::hot]] void writeChanges(RawWriter& w, const Bytes& bytes, const std::uint8_t* base) {
    std::size_t last = 0, p = 0;
    const std::size_t n = bytes.size();
    auto differs = [&](std::size_t k) { return k < n && bytes[k] != (base ? base[k] : 0); };
    while (p < n) {
        // Unchanged stretches, most of a record, eight bytes at a time.
        for (std::uint64_t now, was = 0; p + 8 <= n; p += 8) {
            std::memcpy(&now, bytes.data() + p, 8);
            if (base) std::memcpy(&was, base + p, 8);
            if (now != was) break;
        }
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

// The kind, action and time that open a segment.
[[gnu::hot]] void writeHead(RawWriter& w, const Segment& s, std::int64_t& lastEpochMs) {
    w.byte(static_cast<std::uint8_t>(s.kind));
    if (s.kind == SegmentKind::Action) {
        w.byte(static_cast<std::uint8_t>(s.action));
        w.signedVarint(s.argument);
    }
    // Wrapping difference: a clock set far off must not overflow the writer.
    w.signedVarint(static_cast<std::int64_t>(std::uint64_t(s.epochMs) - std::uint64_t(lastEpochMs)));
    lastEpochMs = s.epochMs;
}

// An answer given anew, stored against `r` (nullptr: against zeros).
[[gnu::hot]] void writeAnswer(RawWriter& w, const Answer& a, const Answer* r, bool sameCall) {
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

void SegmentEncoder::materialise(Segment& s, std::size_t count) const {
    const auto& refs = orderRefs_[static_cast<std::size_t>(s.kind) % kKinds];
    for (std::size_t i = 0; i < count && i < refs.size(); ++i) {
        if (!s.answers[i].unchanged || !refs[i]) continue;
        s.answers[i].bytes = refs[i]->bytes;
        s.answers[i].unchanged = false;
    }
}

void SegmentEncoder::reset() {
    history_.reset();
    for (auto& ids : orderIds_) ids.clear();
    for (auto& refs : orderRefs_) refs.clear();
    for (auto& expected : expected_) expected.clear();
    expecting_ = 0;
    for (auto& words : words_) words.clear();
    lastEpochMs_ = 0;
}

void SegmentEncoder::encode(const Segment& s, std::size_t count, std::vector<std::uint8_t>& out) {
    // Written as encodeSteady() writes, into room for the most it can take.
    std::size_t given = 0;
    for (std::size_t i = 0; i < count; ++i) given += answerBound(s.answers[i].bytes.size());
    const std::size_t start = out.size();
    out.resize(start + steadyBound(count, given));
    RawWriter w(out.data() + start);
    writeHead(w, s, lastEpochMs_);

    const std::size_t k = static_cast<std::size_t>(s.kind) % kKinds;
    auto& order = history_.order[k];
    // Identities and references: from the last segment's places while the
    // order holds, counted and looked up from the first place where it does not.
    ids_.resize(count);
    refs_.resize(count);
    std::size_t steady = 0;
    while (steady < count && inOrderAt(order, s, steady) && steady < orderIds_[k].size()) {
        ids_[steady] = orderIds_[k][steady];
        refs_[steady] = orderRefs_[k][steady];
        ++steady;
    }
    if (steady < count) {
        history_.begin();
        for (std::size_t i = 0; i < count; ++i) {
            ids_[i] = history_.identity(s.answers[i].call, s.answers[i].key);
            if (i >= steady) refs_[i] = history_.latest(ids_[i]);
        }
    }

    bool changed = false;  // an answer given anew, which the latest of other kinds may share
    std::size_t i = 0;
    while (i < count) {
        std::size_t same = 0;
        while (i + same < count && inOrderAt(order, s, i + same)) {
            const Answer* r = refs_[i + same];
            if (!r || !(s.answers[i + same].unchanged || *r == s.answers[i + same])) break;
            ++same;
        }
        if (same > 0) {
            w.byte(kRepeat);
            w.varint(same);
            i += same;
            continue;
        }
        const Answer& a = s.answers[i];
        Answer* slot = refs_[i];
        writeAnswer(w, a, slot ? slot : history_.reference(ids_[i]), inOrderAt(order, s, i));
        if (slot) *slot = a;
        else refs_[i] = history_.remember(ids_[i], a);
        changed = true;
        ++i;
    }
    w.byte(kEnd);
    out.resize(static_cast<std::size_t>(w.at() - out.data()));
    order.resize(count);
    for (std::size_t n = 0; n < count; ++n) order[n] = {s.answers[n].call, s.answers[n].key};
    orderIds_[k].assign(ids_.begin(), ids_.end());
    orderRefs_[k].assign(refs_.begin(), refs_.end());
    if (changed) dropOtherExpectations(k);
    auto& expected = expected_[k];
    const std::size_t kept = expected.size();
    expected.resize(count);
    expecting_ |= static_cast<std::uint8_t>(1u << k);
    for (std::size_t n = 0; n < count; ++n) {
        const Answer& a = s.answers[n];
        if (a.unchanged && n < kept) continue;  // what was expected there came again
        expect(k, n, *refs_[n]);  // the kept bytes, equal to the answer's
    }
    if (grown_[k]) compactWords(k);
}

// Another kind's expectations may name an answer a segment replaced: they
// are dropped, and its next segment compares bytes instead.
[[gnu::hot]] void SegmentEncoder::dropOtherExpectations(std::size_t kind) {
    if ((expecting_ & ~(1u << kind)) == 0) return;  // without looking at their lines
    for (std::size_t j = 0; j < kKinds; ++j)
        if (j != kind) {
            expected_[j].clear();
            words_[j].clear();
        }
    expecting_ &= static_cast<std::uint8_t>(1u << kind);
}

namespace {

[[gnu::always_inline]] inline void prefetchLines(const void* p, std::size_t n) {
    const auto* b = static_cast<const char*>(p);
    for (std::size_t at = 0; at < n; at += 64) __builtin_prefetch(b + at);
    if (n > 0) __builtin_prefetch(b + n - 1);
}

}  // namespace

[[gnu::hot]] void SegmentEncoder::prefetchWords(SegmentKind kind, std::size_t place) const {
    const std::size_t k = static_cast<std::size_t>(kind) % kKinds;
    const auto& expected = expected_[k];
    if (place >= expected.size()) return;
    // The entry after it comes with its words, for the next call.
    if (place + 1 < expected.size()) __builtin_prefetch(&expected[place + 1]);
    if (place + 1 < orderRefs_[k].size()) __builtin_prefetch(&orderRefs_[k][place + 1]);
    const Expected& e = expected[place];
    prefetchLines(words_[k].data() + e.words, 2 * e.wordCount * sizeof(std::uint64_t));
}

[[gnu::hot]] void SegmentEncoder::prefetchKept(SegmentKind kind, std::size_t place) const {
    const auto& refs = orderRefs_[static_cast<std::size_t>(kind) % kKinds];
    if (place >= refs.size() || !refs[place]) return;
    const Answer& kept = *refs[place];
    prefetchLines(kept.bytes.data(), kept.bytes.size());
}

[[gnu::hot]] void SegmentEncoder::expect(std::size_t k, std::size_t i, const Answer& a) {
    const std::uint8_t* const bytes = a.bytes.data();
    const std::size_t size = a.bytes.size();
    auto word = [&](std::size_t at) {
        std::uint64_t v = 0;
        if (at + 8 <= size) __builtin_memcpy(&v, bytes + at, 8);
        else copyBytes(reinterpret_cast<std::uint8_t*>(&v), bytes + at, size - at);
        return v;
    };
    std::uint32_t count = 0;
    for (std::size_t at = 0; at < size; at += 8) count += word(at) != 0;
    auto& words = words_[k];
    Expected& e = expected_[k][i];
    if (count > e.room) {
        e.words = static_cast<std::uint32_t>(words.size());
        e.room = count;
        words.resize(words.size() + 2 * std::size_t(count));
        grown_[k] = true;
    }
    e.result = packResult(a.result);
    e.size = static_cast<std::uint32_t>(size);
    e.wordCount = count;
    e.key = a.key;
    e.call = a.call;
    std::uint64_t* out = words.data() + e.words;
    for (std::size_t at = 0; at < size; at += 8)
        if (const std::uint64_t v = word(at)) {
            *out++ = at;
            *out++ = v;
        }
}

// A changed answer mostly keeps its size: its bytes are copied over the
// kept ones in place (see copyBytes()).
[[gnu::hot]] void SegmentEncoder::keep(Answer& kept, const Answer& a) {
    kept.call = a.call;
    kept.key = a.key;
    kept.result = a.result;
    kept.unchanged = a.unchanged;
    if (kept.bytes.size() == a.bytes.size()) copyBytes(kept.bytes.data(), a.bytes.data(), a.bytes.size());
    else kept.bytes = a.bytes;
}

void SegmentEncoder::compactWords(std::size_t k) {
    grown_[k] = false;
    auto& words = words_[k];
    std::size_t live = 0;
    for (const Expected& e : expected_[k]) live += 2 * e.wordCount;
    if (words.size() <= 2 * live + 512) return;
    spare_.clear();
    for (Expected& e : expected_[k]) {
        const auto from = words.begin() + e.words;
        e.words = static_cast<std::uint32_t>(spare_.size());
        e.room = e.wordCount;
        spare_.insert(spare_.end(), from, from + 2 * e.wordCount);
    }
    words.swap(spare_);
}

namespace {

// Whether the `n` bytes at `p` are all zero; 64 at a time over the long
// stretches of zeros between a record's fields.
[[gnu::hot]] bool allZero(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 64 <= n; i += 64) {
        const auto* q = reinterpret_cast<const __m128i*>(p + i);
        const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(q), _mm_loadu_si128(q + 1)),
                                         _mm_or_si128(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xFFFF) return false;
    }
#endif
    std::uint64_t any = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        any |= w;
    }
    for (; i < n; ++i) any |= p[i];
    return any == 0;
}

}  // namespace

// The records are compared as the one run of bytes they make, back to back:
// zeros up to each kept word, then the word's bytes, which may lie in two
// records.
[[gnu::hot]] bool SegmentEncoder::matches(SegmentKind kind, const Expected& e, DriverResult r,
                                          Outputs outputs) const {
    if (packResult(r) != e.result) return false;
    std::size_t total = 0;
    for (const auto& out : outputs) total += out.size();
    if (total != e.size) return false;
    const std::uint64_t* word = words_[static_cast<std::size_t>(kind) % kKinds].data() + e.words;
    const std::uint64_t* const last = word + 2 * e.wordCount;
    std::size_t base = 0;  // where the record begins in the answer
    for (const auto& out : outputs) {
        const std::uint8_t* const p = out.data();
        const std::size_t n = out.size();
        std::size_t at = 0;  // within the record
        while (at < n) {
            if (word == last || word[0] >= base + n) {
                if (!allZero(p + at, n - at)) return false;
                break;
            }
            const std::size_t from = word[0];
            const std::size_t to = std::min<std::size_t>(from + 8, e.size);
            if (from > base + at) {
                if (!allZero(p + at, from - base - at)) return false;
                at = from - base;
            }
            const std::size_t stop = std::min(to - base, n);
            if (stop - at == 8) {
                std::uint64_t v;
                std::memcpy(&v, p + at, 8);
                if (v != word[1]) return false;
            } else {
                const auto* kept = reinterpret_cast<const std::uint8_t*>(&word[1]);
                for (std::size_t b = at; b < stop; ++b)
                    if (p[b] != kept[base + b - from]) return false;
            }
            at = stop;
            if (to <= base + n) word += 2;
        }
        base += n;
    }
    return true;
}

void SegmentEncoder::fillExpected(Segment& s, const Bytes& same, std::size_t count) const {
    // The latest answer at each place is the one expected there.
    const auto& refs = orderRefs_[static_cast<std::size_t>(s.kind) % kKinds];
    for (std::size_t i = 0; i < count; ++i) {
        if (!same[i]) continue;
        Answer& a = s.answers[i];
        const Answer& r = *refs[i];
        a.call = r.call;
        a.key = r.key;
        a.result = r.result;
        a.bytes.clear();
        a.unchanged = true;
    }
}

namespace {

// A run of answers that came again, counted.
[[gnu::always_inline]] inline void endRun(RawWriter& w, std::size_t& run) {
    if (run == 0) return;
    w.byte(kRepeat);
    w.varint(run);
    run = 0;
}

}  // namespace

// The few answers after the steady places (a tick that wrote a protocol
// entry reads the clock once more) are counted against the places before
// and encoded as encode() does. Their references mostly come from the last
// segment, shifted by a place or two: they are taken from there, and only
// an identity it did not have is looked up in the history. Not on the
// steady path, so not among its pages of code.
bool SegmentEncoder::encodeAfterSteady(RawWriter& w, const Segment& s, std::size_t steady, std::size_t count,
                                       std::size_t& run) {
    const std::size_t k = static_cast<std::size_t>(s.kind) % kKinds;
    auto& order = history_.order[k];
    auto& ids = orderIds_[k];
    auto& refs = orderRefs_[k];
    std::uint64_t lastIds[kMostAfterSteady];
    Answer* lastRefs[kMostAfterSteady];
    const std::size_t shifted = ids.size() > steady ? std::min(ids.size() - steady, kMostAfterSteady) : 0;
    std::copy_n(ids.begin() + static_cast<std::ptrdiff_t>(steady), shifted, lastIds);
    std::copy_n(refs.begin() + static_cast<std::ptrdiff_t>(steady), shifted, lastRefs);
    ids.resize(count);
    refs.resize(count);
    bool changed = false;
    for (std::size_t i = steady; i < count; ++i) {
        const Answer& a = s.answers[i];
        const std::uint64_t callKey = AnswerHistory::callKeyOf(a.call, a.key);
        std::uint64_t n = 0;
        for (std::size_t j = 0; j < i; ++j) n += AnswerHistory::callKeyOf(ids[j]) == callKey;
        ids[i] = AnswerHistory::identityOf(callKey, n);
        std::size_t j = 0;
        while (j < shifted && lastIds[j] != ids[i]) ++j;
        refs[i] = j < shifted ? lastRefs[j] : history_.latest(ids[i]);
        const bool sameCall = inOrderAt(order, s, i);
        if (sameCall && refs[i] && *refs[i] == a) {
            ++run;
            continue;
        }
        endRun(w, run);
        writeAnswer(w, a, refs[i] ? refs[i] : history_.reference(ids[i]), sameCall);
        if (refs[i]) keep(*refs[i], a);
        else refs[i] = history_.remember(ids[i], a);
        changed = true;
    }
    return changed;
}

// The steady case: the first `steady` places hold the calls of the last
// segment of this kind, so each of their answers is either that one again
// (one more in a run) or a change against it, with no identities counted
// and nothing looked up. The few answers after them are counted against
// the places before and looked up as encode() does. The bytes are those
// encode() gives for the same segment.
[[gnu::hot]] std::uint8_t* SegmentEncoder::encodeSteady(const Segment& s, const Bytes& same,
                                                       std::size_t steady, std::size_t count, std::uint8_t* out) {
    RawWriter w(out);
    writeHead(w, s, lastEpochMs_);
    const std::size_t k = static_cast<std::size_t>(s.kind) % kKinds;
    auto& order = history_.order[k];
    auto& ids = orderIds_[k];
    auto& refs = orderRefs_[k];
    auto& expected = expected_[k];
    std::size_t run = 0;
    bool changed = false;
    for (std::size_t i = 0; i < steady; ++i) {
        if (same[i]) {
            ++run;
            continue;
        }
        endRun(w, run);
        const Answer& a = s.answers[i];
        writeAnswer(w, a, refs[i], true);
        keep(*refs[i], a);
        expect(k, i, *refs[i]);
        changed = true;
    }
    if (steady < count) changed |= encodeAfterSteady(w, s, steady, count, run);
    else if (ids.size() != count) {  // resize() itself is not inlined: its code is on another page
        ids.resize(count);
        refs.resize(count);
    }
    endRun(w, run);
    w.byte(kEnd);
    if (order.size() != count) order.resize(count);
    if (expected.size() != count) expected.resize(count);
    expecting_ |= static_cast<std::uint8_t>(1u << k);
    for (std::size_t i = steady; i < count; ++i) {
        order[i] = {s.answers[i].call, s.answers[i].key};
        expect(k, i, *refs[i]);
    }
    if (grown_[k]) compactWords(k);
    if (changed) dropOtherExpectations(k);
    return w.at();
}

void SegmentDecoder::decode(ByteReader& in, Segment& s) {
    const std::uint8_t kind = in.byte();
    if (kind < 1 || kind > 4) in.fail("unknown segment kind " + std::to_string(kind));
    s.kind = static_cast<SegmentKind>(kind);
    s.action = Action::None;
    s.argument = 0;
    if (s.kind == SegmentKind::Action) {
        const std::uint8_t action = in.byte();
        if (action < 1 || action > 6) in.fail("unknown action " + std::to_string(action));
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
        if ((tag & 3) != kAnswer || (tag & 0x80)) in.fail("unknown answer tag " + std::to_string(tag));
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
