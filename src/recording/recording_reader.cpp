#include "recording/recording_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/safe_file.h"

namespace kvx::recording {

struct RecordingReader::Source {
    int fd = -1;
    std::vector<std::uint8_t> bytes;
    std::uint64_t size = 0;

    Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source() {
        if (fd >= 0) ::close(fd);
    }
    // Up to `n` bytes at `at` (fewer at the end); a failed read ends the file there.
    std::size_t read(std::uint64_t at, std::uint8_t* out, std::size_t n) const {
        if (at >= size) return 0;
        n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size - at));
        if (fd < 0) {
            std::memcpy(out, bytes.data() + at, n);
            return n;
        }
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::pread(fd, out + got, n - got, static_cast<off_t>(at + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        return got;
    }
};

namespace {

using Source = RecordingReader::Source;

constexpr std::uint64_t kMostFrame = 64u << 20;

// Where a frame's body lies; `complete == false` when the file ends inside it.
struct FrameSpan {
    bool complete = false;
    std::uint64_t body = 0;  // kind byte
    std::size_t size = 0;    // kind and payload
    std::uint64_t end = 0;   // after the checksum
};

// Finds the frame at `at` and reads its kind, payload and checksum into `body`.
FrameSpan locateFrame(const Source& source, std::uint64_t at, std::vector<std::uint8_t>& body) {
    FrameSpan f;
    std::uint8_t head[10];
    const std::size_t got = source.read(at, head, sizeof head);
    std::uint64_t length = 0;
    std::size_t p = 0;
    for (int shift = 0;; shift += 7) {
        if (p >= got) return f;  // ends inside the length
        if (shift > 56) throw FormatError(at, "frame length too long");
        const std::uint8_t b = head[p++];
        length |= std::uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80)) break;
    }
    if (length == 0 || length > kMostFrame) throw FormatError(at, "frame length " + std::to_string(length) + " out of range");
    const std::uint64_t from = at + p;
    if (length + 4 > source.size - from) return f;
    body.resize(static_cast<std::size_t>(length) + 4);
    if (source.read(from, body.data(), body.size()) < body.size()) return f;
    f.complete = true;
    f.body = from;
    f.size = static_cast<std::size_t>(length);
    f.end = from + length + 4;
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < 4; ++i) stored |= std::uint32_t(body[f.size + i]) << (8 * i);
    if (stored != crc32(body.data(), f.size)) throw FormatError(at, "checksum mismatch (damaged frame)");
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

// A regular file only: a FIFO or device in its place is refused, never waited on or read without end.
std::unique_ptr<Source> openFile(const std::string& file, std::string& error) {
    std::string why;
    auto source = std::make_unique<Source>();
    source->fd = platform::openRegularForReading(file, why);
    struct stat st {};
    if (source->fd < 0 || ::fstat(source->fd, &st) != 0) {
        error = "cannot open " + file + ": " + (source->fd < 0 ? why : std::strerror(errno));
        return nullptr;
    }
    source->size = static_cast<std::uint64_t>(st.st_size);
    return source;
}

// Whether the `most` bytes from `at` on (or up to the end) are all zeros.
bool zerosFrom(const Source& source, std::uint64_t at, std::uint64_t most) {
    std::uint8_t buf[65536];
    for (std::uint64_t done = 0; done < most;) {
        const std::size_t n = source.read(at + done, buf, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buf, most - done)));
        if (n == 0) return true;
        if (!std::all_of(buf, buf + n, [](std::uint8_t b) { return b == 0; })) return false;
        done += n;
    }
    return true;
}

}  // namespace

RecordingReader::RecordingReader() = default;
RecordingReader::~RecordingReader() = default;

bool RecordingReader::open(const std::string& file, std::string& error) {
    auto source = openFile(file, error);
    if (!source) return false;
    name_ = file;
    source_ = std::move(source);
    opened_.clear();
    newer_.clear();
    entered_ = 0;
    if (!readHead(*source_, name_, info_, firstSegment_, error)) return false;
    rewind();
    opened_ = file;
    newer_ = newerFiles(file);
    return true;
}

bool RecordingReader::readHead(Source& source, const std::string& file, RunInfo& info, std::uint64_t& firstSegment,
                               std::string& error) {
    const std::string name = shownName(file);
    std::uint8_t header[kHeaderSize];
    if (source.read(0, header, kHeaderSize) < kHeaderSize || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        error = name + " is not a KvxDiagnostics recording (no recording header at offset 0)";
        return false;
    }
    const unsigned version = header[8] | header[9] << 8;
    if (version == 0 || version > kFormatVersion) {
        error = name + " has recording format version " + std::to_string(version) + " at offset 8; this program reads versions 1 to " +
                std::to_string(kFormatVersion);
        return false;
    }
    try {
        const FrameSpan f = locateFrame(source, kHeaderSize, frame_);
        if (!f.complete) throw FormatError(kHeaderSize, "the file ends inside the run's start information");
        if (frame_[0] != static_cast<std::uint8_t>(FrameKind::RunInfo))
            throw FormatError(f.body, "the run's start information is missing");
        ByteReader in(frame_.data() + 1, frame_.data() + f.size, f.body + 1);
        info = decodeRunInfo(in);
        firstSegment = f.end;
    } catch (const FormatError& e) {
        error = name + " is damaged at offset " + std::to_string(e.offset) + ": " + e.what();
        return false;
    }
    return true;
}

bool RecordingReader::openBytes(std::vector<std::uint8_t> bytes, std::string& error) {
    source_ = std::make_unique<Source>();
    source_->size = bytes.size();
    source_->bytes = std::move(bytes);
    opened_.clear();
    newer_.clear();
    entered_ = 0;
    if (!readHead(*source_, name_, info_, firstSegment_, error)) return false;
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
        source_ = openFile(opened_, error);
        if (!source_ || !readHead(*source_, opened_, info, firstSegment_, error)) {
            source_ = std::make_unique<Source>();
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
    while (at_ >= source_->size) {
        const Next entered = enterNextFile();
        if (entered != Next::Segment) return entered;
    }
    return readSegment(out);
}

RecordingReader::Next RecordingReader::enterNextFile() {
    if (entered_ >= newer_.size()) return Next::End;
    const std::string& file = newer_[entered_];
    std::string error;
    RunInfo info;
    std::uint64_t first = 0;
    auto source = openFile(file, error);
    if (!source) {
        newer_.resize(entered_);  // the run's files end here
        return Next::End;
    }
    if (!readHead(*source, file, info, first, error)) return stop(Next::Damaged, error);
    if (info.startEpochMs != info_.startEpochMs || info.programPath != info_.programPath) {
        newer_.resize(entered_);  // another run's file
        return Next::End;
    }
    ++entered_;
    source_ = std::move(source);
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
    if (at_ >= source_->size) return Next::End;
    const std::string name = shownName(name_);
    const auto stoppedWriting = [&] {
        return stop(Next::Truncated, name + " ends inside a segment at offset " + std::to_string(at_) +
                                         " (the recorder stopped while writing it); replayed up to there");
    };
    // A length of 0 is no frame: an earlier recorder, which reserved space
    // ahead in steps of a megabyte, stopped here, in that space (zeros) or
    // while it was writing a frame (the frame's bytes, then zeros).
    std::uint8_t first = 0;
    source_->read(at_, &first, 1);
    if (first == 0) {
        if (!zerosFrom(*source_, at_, 2u << 20)) return stoppedWriting();
        return stop(Next::Truncated, name + " ends at offset " + std::to_string(at_) +
                                         " without being closed (the recorder stopped there); replayed up to there");
    }
    try {
        const FrameSpan f = locateFrame(*source_, at_, frame_);
        if (!f.complete) return stoppedWriting();
        if (frame_[0] != static_cast<std::uint8_t>(FrameKind::Segment))
            throw FormatError(f.body, "unknown frame kind " + std::to_string(frame_[0]));
        ByteReader in(frame_.data() + 1, frame_.data() + f.size, f.body + 1);
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
