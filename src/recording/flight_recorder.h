// The flight recorder: sees every answer the driver facade gets (and the
// clock readings and file-dialog answers that travel the same way) and writes
// them, one segment per tick, start, user action or close, to a recording
// file (recording/recording_format.h). Each segment is appended as one frame
// with one write as soon as it ends, so a killed process loses at most the
// segment it was in. A file about to pass its size limit is moved aside
// (FILE.1, FILE.2, ...) and a new one begins with the run's start again; the
// oldest beyond the number kept are removed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/recording_format.h"

namespace kvx::recording {

// The ranges of a file's size limit and of the files kept (the one being
// written included): up to a terabyte a file, and as many files as a
// rollover renames in a moment.
inline constexpr int kMostRecordingMegabytes = 1 << 20;
inline constexpr int kMostRecordingFiles = 1000;

struct RecorderOptions {
    std::string file;
    std::uint64_t maxBytes = 0;  // 0: one file, no limit
    int keepFiles = 10;          // files kept in all, 1 to kMostRecordingFiles
};

class FlightRecorder final : public DriverTap {
public:
    // Creates the file and writes the run's start information; nullptr with
    // `error` set when the file cannot be created.
    static std::unique_ptr<FlightRecorder> create(RecorderOptions options, RunInfo info, std::string& error);
    ~FlightRecorder() override;

    void beginSegment(SegmentKind kind, Action action = Action::None, std::int32_t argument = 0);
    void endSegment();
    void answered(CallId call, std::int32_t key, DriverResult result, Outputs outputs) override;

    // What has been written, for the figures.
    std::uint64_t bytesWritten() const { return bytesWritten_; }
    std::uint64_t segmentsWritten() const { return segmentsWritten_; }
    // The reason recording stopped (a failed write), or "".
    const std::string& failure() const { return failure_; }

private:
    FlightRecorder(RecorderOptions options, RunInfo info);
    bool openFile(std::string& error);
    bool writeAll(const std::vector<std::uint8_t>& bytes);
    void fail(int error);
    void closeFile();
    void rollOver();
    // The segment as a frame, encoded against what the file holds so far.
    const std::vector<std::uint8_t>& encodeFrame(const Segment& segment);

    RecorderOptions options_;
    RunInfo info_;
    int fd_ = -1;
    std::uint64_t fileBytes_ = 0;
    std::uint64_t ticksInFile_ = 0;  // segments after the start in the current file
    std::uint64_t bytesWritten_ = 0;
    std::uint64_t segmentsWritten_ = 0;
    std::string failure_;

    bool inSegment_ = false;
    Segment segment_;
    Segment start_;  // written again at the head of every new file
    SegmentEncoder encoder_;
    std::vector<std::uint8_t> payload_;
    std::vector<std::uint8_t> framed_;
};

}  // namespace kvx::recording
