// Reads a recording: the header, the run's start information, then one
// segment after the other. A file that ends inside its last frame (the
// recorder was killed while writing it) ends after the last whole segment;
// a damaged or foreign file stops with a message that names the offset.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/recording_format.h"

namespace kvx::recording {

class RecordingReader {
public:
    // False with `error` set when the file cannot be read or is no recording.
    bool open(const std::string& file, std::string& error);
    bool openBytes(std::vector<std::uint8_t> bytes, std::string& error);

    const RunInfo& info() const { return info_; }

    enum class Next { Segment, End, Truncated, Damaged };
    // The next segment; at Truncated or Damaged, problem() says what and where.
    Next next(Segment& out);
    const std::string& problem() const { return problem_; }
    // Back to the first segment.
    void rewind();

private:
    std::vector<std::uint8_t> bytes_;
    std::string name_;
    RunInfo info_;
    std::size_t firstSegment_ = 0;
    std::size_t at_ = 0;
    std::unique_ptr<SegmentDecoder> decoder_;
    std::string problem_;
    bool stopped_ = false;
    Next stoppedAs_ = Next::End;
};

}  // namespace kvx::recording
