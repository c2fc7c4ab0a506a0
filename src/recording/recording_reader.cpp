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

}  // namespace

bool RecordingReader::open(const std::string& file, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot open " + file + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    name_ = file;
    return openBytes(std::move(bytes), error);
}

bool RecordingReader::openBytes(std::vector<std::uint8_t> bytes, std::string& error) {
    bytes_ = std::move(bytes);
    const std::string name = name_.empty() ? std::string("the recording") : name_;
    if (bytes_.size() < kHeaderSize || std::memcmp(bytes_.data(), kMagic, sizeof kMagic) != 0) {
        error = name + " is not a KvxDiagnostics recording (no recording header at offset 0)";
        return false;
    }
    const unsigned version = bytes_[8] | bytes_[9] << 8;
    if (version == 0 || version > kFormatVersion) {
        error = name + " has recording format version " + std::to_string(version) + " at offset 8; this program reads versions 1 to " +
                std::to_string(kFormatVersion);
        return false;
    }
    try {
        const FrameSpan f = locateFrame(bytes_, kHeaderSize);
        if (!f.complete) throw FormatError(kHeaderSize, "the file ends inside the run's start information");
        if (bytes_[f.body] != static_cast<std::uint8_t>(FrameKind::RunInfo))
            throw FormatError(f.body, "the run's start information is missing");
        ByteReader in(bytes_.data() + f.body + 1, bytes_.data() + f.body + f.size, f.body + 1);
        info_ = decodeRunInfo(in);
        firstSegment_ = f.end;
    } catch (const FormatError& e) {
        error = name + " is damaged at offset " + std::to_string(e.offset) + ": " + e.what();
        return false;
    }
    rewind();
    return true;
}

void RecordingReader::rewind() {
    at_ = firstSegment_;
    decoder_ = std::make_unique<SegmentDecoder>(mapCallNames(info_.callNames));
    problem_.clear();
    stopped_ = false;
}

RecordingReader::Next RecordingReader::next(Segment& out) {
    if (stopped_) return stoppedAs_;
    if (at_ >= bytes_.size()) return Next::End;
    const std::string name = name_.empty() ? std::string("the recording") : name_;
    // Space the recorder reserved and had not filled when it stopped: zeros.
    if (bytes_[at_] == 0 && std::all_of(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), bytes_.end(),
                                        [](std::uint8_t b) { return b == 0; })) {
        problem_ = name + " ends at offset " + std::to_string(at_) +
                   " without being closed (the recorder stopped there); replayed up to there";
        stopped_ = true;
        return stoppedAs_ = Next::Truncated;
    }
    try {
        const FrameSpan f = locateFrame(bytes_, at_);
        if (!f.complete) {
            problem_ = name + " ends inside a segment at offset " + std::to_string(at_) +
                       " (the recorder stopped while writing it); replayed up to there";
            stopped_ = true;
            return stoppedAs_ = Next::Truncated;
        }
        if (bytes_[f.body] != static_cast<std::uint8_t>(FrameKind::Segment))
            throw FormatError(f.body, "unknown frame kind " + std::to_string(bytes_[f.body]));
        ByteReader in(bytes_.data() + f.body + 1, bytes_.data() + f.body + f.size, f.body + 1);
        out.offset = at_;
        decoder_->decode(in, out);
        if (!in.atEnd()) in.fail("bytes left after the segment");
        at_ = f.end;
        return Next::Segment;
    } catch (const FormatError& e) {
        problem_ = name + " is damaged at offset " + std::to_string(e.offset) + ": " + e.what();
        stopped_ = true;
        return stoppedAs_ = Next::Damaged;
    }
}

}  // namespace kvx::recording
