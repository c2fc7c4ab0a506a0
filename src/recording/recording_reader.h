// Reads a recording: the header, the run's start information, then one
// segment after the other, frame by frame (memory bounded by the largest
// frame, not by the file). A file that ends inside its last frame (the
// recorder was killed while writing it) ends after the last whole segment;
// a damaged or foreign file stops with a message that names the offset.
//
// A file a rollover moved aside (FILE.3) goes on with the newer files of the
// same run (FILE.2, FILE.1, FILE), as one run: the start each of them repeats
// is passed over. The files that follow end at the first one missing or
// written by another run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/recording_format.h"

namespace kvx::recording {

class RecordingReader {
public:
    RecordingReader();
    ~RecordingReader();
    // False with `error` set when the file cannot be read or is no recording.
    bool open(const std::string& file, std::string& error);
    bool openBytes(std::vector<std::uint8_t> bytes, std::string& error);

    const RunInfo& info() const { return info_; }

    enum class Next { Segment, End, Truncated, Damaged };
    // The next segment; at Truncated or Damaged, problem() says what and where.
    Next next(Segment& out);
    const std::string& problem() const { return problem_; }
    // Back to the first segment (of the file opened).
    void rewind();

    // Where the bytes come from: a file read as needed, or bytes given whole.
    struct Source;

private:
    // Checks the header and reads the run's start information.
    bool readHead(Source& source, const std::string& name, RunInfo& info, std::uint64_t& firstSegment,
                  std::string& error);
    Next readSegment(Segment& out);
    // The next file of the run, its repeated start read; End when there is none.
    Next enterNextFile();
    Next stop(Next as, std::string problem);

    std::unique_ptr<Source> source_;
    std::vector<std::uint8_t> frame_;  // the body of the frame being read
    std::string name_;      // of the file being read
    std::string opened_;    // the file opened ("" for bytes)
    std::vector<std::string> newer_;  // the names that may follow it, oldest first
    std::size_t entered_ = 0;         // of them, those read so far
    RunInfo info_;
    std::uint64_t firstSegment_ = 0;
    std::uint64_t at_ = 0;
    std::unique_ptr<SegmentDecoder> decoder_;
    std::string problem_;
    bool stopped_ = false;
    Next stoppedAs_ = Next::End;
};

}  // namespace kvx::recording
