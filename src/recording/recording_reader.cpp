#include "recording/recording_reader.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kvx::recording {

namespace {

constexpr std::uint64_t kMostFrame = 64u << 20;

// Where a frame's body lies; nullopt-like `complete == false` when the file ends inside it.
struct FrameSpan {
    bool complete = false;
    std::size_t body = 0;  // kind byte
    std::size_t size = 0;  // kind and payload
    std::size_t end = 0;   // after the checksum
};

FrameSpan locateFrame(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    FrameSpan f;
    std::uint64_t length = 0;
    std::size_t p = at;
    for (int shift = 0;; shift += 7) {
        if (p >= bytes.size()) return f;  // ends inside the length
        if (shift > 56) throw FormatError(at, "frame length too long");
        const std::uint8_t b = bytes[p++];
        length |= std::uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80)) break;
    }
    if (length == 0 || length > kMostFrame) throw FormatError(at, "frame length " + std::to_string(length) + " out of range");
    if (length + 4 > bytes.size() - p) return f;
    f.complete = true;
    f.body = p;
    f.size = static_cast<std::size_t>(length);
    f.end = p + f.size + 4;
    std::uint32_t stored = 0;
    for (int i = 0; i < 4; ++i) stored |= std::uint32_t(bytes[p + f.size + static_cast<std::size_t>(i)]) << (8 * i);
    if (stored != crc32(bytes.data() + p, f.size)) throw FormatError(at, "checksum mismatch (damaged frame)");
    return f;
}

// How messages name a file (bytes opened as such have none).
std::string shownName(const std::string& file) { return file.empty() ? std::string("the recording") : file; }

// FILE.N: FILE.N-1 ... FILE.1, then FILE.
std::vector<std::string> newerFiles(const std::string& file) {
    const std::size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot + 1 == file.size() || file.size() - dot > 7) return {};
    if (!std::all_of(file.begin() + static_cast<std::ptrdiff_t>(dot) + 1, file.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    const int n = std::stoi(file.substr(dot + 1));
    const std::string base = file.substr(0, dot);
    std::vector<std::string> names;
    for (int k = n - 1; k >= 1; --k) names.push_back(base + "." + std::to_string(k));
    if (n >= 1) names.push_back(base);
    return names;
}

bool readWhole(const std::string& file, std::vector<std::uint8_t>& bytes, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot open " + file + ": " + std::strerror(errno);
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

bool RecordingReader::open(const std::string& file, std::string& error) {
    std::vector<std::uint8_t> bytes;
    if (!readWhole(file, bytes, error)) return false;
    name_ = file;
    if (!openBytes(std::move(bytes), error)) return false;
    opened_ = file;
    newer_ = newerFiles(file);
    return true;
}

bool RecordingReader::readHead(const std::vector<std::uint8_t>& bytes, const std::string& file, RunInfo& info,
                               std::size_t& firstSegment, std::string& error) {
    const std::string name = shownName(file);
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        error = name + " is not a KvxDiagnostics recording (no recording header at offset 0)";
        return false;
    }
    const unsigned version = bytes[8] | bytes[9] << 8;
    if (version == 0 || version > kFormatVersion) {
        error = name + " has recording format version " + std::to_string(version) + " at offset 8; this program reads versions 1 to " +
                std::to_string(kFormatVersion);
        return false;
    }
    try {
        const FrameSpan f = locateFrame(bytes, kHeaderSize);
        if (!f.complete) throw FormatError(kHeaderSize, "the file ends inside the run's start information");
        if (bytes[f.body] != static_cast<std::uint8_t>(FrameKind::RunInfo))
            throw FormatError(f.body, "the run's start information is missing");
        ByteReader in(bytes.data() + f.body + 1, bytes.data() + f.body + f.size, f.body + 1);
        info = decodeRunInfo(in);
        firstSegment = f.end;
    } catch (const FormatError& e) {
        error = name + " is damaged at offset " + std::to_string(e.offset) + ": " + e.what();
        return false;
    }
    return true;
}

bool RecordingReader::openBytes(std::vector<std::uint8_t> bytes, std::string& error) {
    bytes_ = std::move(bytes);
    opened_.clear();
    newer_.clear();
    entered_ = 0;
    if (!readHead(bytes_, name_, info_, firstSegment_, error)) return false;
    rewind();
    return true;
}

void RecordingReader::rewind() {
    problem_.clear();
    stopped_ = false;
    if (entered_ > 0) {
        // Back from a newer file of the run to the one opened.
        std::string error;
        RunInfo info;
        entered_ = 0;
        name_ = opened_;
        if (!readWhole(opened_, bytes_, error) || !readHead(bytes_, opened_, info, firstSegment_, error)) {
            bytes_.clear();
            stop(Next::Damaged, error);
            return;
        }
    }
    at_ = firstSegment_;
    decoder_ = std::make_unique<SegmentDecoder>(mapCallNames(info_.callNames));
}

RecordingReader::Next RecordingReader::stop(Next as, std::string problem) {
    problem_ = std::move(problem);
    stopped_ = true;
    return stoppedAs_ = as;
}

RecordingReader::Next RecordingReader::next(Segment& out) {
    if (stopped_) return stoppedAs_;
    while (at_ >= bytes_.size()) {
        const Next entered = enterNextFile();
        if (entered != Next::Segment) return entered;
    }
    return readSegment(out);
}

RecordingReader::Next RecordingReader::enterNextFile() {
    if (entered_ >= newer_.size()) return Next::End;
    const std::string& file = newer_[entered_];
    std::vector<std::uint8_t> bytes;
    std::string error;
    RunInfo info;
    std::size_t first = 0;
    if (!readWhole(file, bytes, error)) {
        newer_.resize(entered_);  // the run's files end here
        return Next::End;
    }
    if (!readHead(bytes, file, info, first, error)) return stop(Next::Damaged, error);
    if (info.startEpochMs != info_.startEpochMs || info.programPath != info_.programPath) {
        newer_.resize(entered_);  // another run's file
        return Next::End;
    }
    ++entered_;
    bytes_ = std::move(bytes);
    name_ = file;
    at_ = first;
    decoder_ = std::make_unique<SegmentDecoder>(mapCallNames(info.callNames));
    Segment start;
    const Next read = readSegment(start);
    if (read != Next::Segment) return read;
    if (start.kind != SegmentKind::Start)
        return stop(Next::Damaged, file + " is damaged at offset " + std::to_string(start.offset) +
                                       ": a file of a rolled-over run must begin with the run's start");
    return Next::Segment;
}

RecordingReader::Next RecordingReader::readSegment(Segment& out) {
    if (at_ >= bytes_.size()) return Next::End;
    const std::string name = shownName(name_);
    const auto stoppedWriting = [&] {
        return stop(Next::Truncated, name + " ends inside a segment at offset " + std::to_string(at_) +
                                         " (the recorder stopped while writing it); replayed up to there");
    };
    // A frame's length is stored last, and 0 is no length: here the recorder
    // stopped, in the space it had reserved (zeros) or while it was writing
    // a frame (the frame's bytes, then zeros).
    if (bytes_[at_] == 0) {
        if (!std::all_of(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), bytes_.end(),
                         [](std::uint8_t b) { return b == 0; }))
            return stoppedWriting();
        return stop(Next::Truncated, name + " ends at offset " + std::to_string(at_) +
                                         " without being closed (the recorder stopped there); replayed up to there");
    }
    try {
        const FrameSpan f = locateFrame(bytes_, at_);
        if (!f.complete) return stoppedWriting();
        if (bytes_[f.body] != static_cast<std::uint8_t>(FrameKind::Segment))
            throw FormatError(f.body, "unknown frame kind " + std::to_string(bytes_[f.body]));
        ByteReader in(bytes_.data() + f.body + 1, bytes_.data() + f.body + f.size, f.body + 1);
        out.offset = at_;
        decoder_->decode(in, out);
        if (!in.atEnd()) in.fail("bytes left after the segment");
        at_ = f.end;
        return Next::Segment;
    } catch (const FormatError& e) {
        return stop(Next::Damaged, name + " is damaged at offset " + std::to_string(e.offset) + ": " + e.what());
    }
}

}  // namespace kvx::recording
