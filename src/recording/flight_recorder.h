// The flight recorder: sees every answer the driver facade gets (and the
// clock readings and file-dialog answers that travel the same way) and writes
// them, one segment per tick, start, user action or close, to a recording
// file (recording/recording_format.h). Each segment lands in the file as soon
// as it ends, so a killed process loses at most the segment it was in. A
// file about to pass its size limit is moved aside (FILE.1, FILE.2, ...) and
// a new one begins with the run's start again; the oldest beyond the number
// kept are removed.
//
// At 1 Hz a tick finds its memory cold, and on a virtual machine each page
// a tick touches may cost the host a fault first (now and then hundreds of
// microseconds). The recorder therefore lives, with all it keeps from tick
// to tick, on the tick page (platform/tick_page.h), beside the monitor: a
// tick touches no page of the recorder's besides its code and the file.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>

#include "recording/recording_format.h"

namespace kvx::recording {

struct RecorderOptions {
    std::string file;
    std::uint64_t maxBytes = 0;  // 0: one file, no limit
    int keepFiles = 10;          // files kept in all, the one being written included
};

class FlightRecorder final : public DriverTap {
public:
    // Creates the file and writes the run's start information; nullptr with
    // `error` set when the file cannot be created.
    static std::unique_ptr<FlightRecorder> create(RecorderOptions options, RunInfo info, std::string& error);
    ~FlightRecorder() override;
    // On the tick page (see above).
    static void* operator new(std::size_t size);
    static void operator delete(void* p);

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
    bool reserve(std::size_t more);
    bool writeAll(const std::vector<std::uint8_t>& bytes);
    bool fail(int error);
    void closeFile();
    void rollOver();
    // The segment's frame, encoded against what the file holds so far; in a
    // buffer kept for the next one.
    const std::vector<std::uint8_t>& encodeFrame(const Segment& segment, std::size_t answerCount);
    // The current segment's frame encoded aside (encodeFrame), rolling the
    // file over first when the frame would pass the size limit.
    bool writeFrameAside();
    // A steady segment's frame (SegmentEncoder::encodeSteady), encoded
    // straight into the file's mapping; `bound`: at most its size.
    bool writeSteadyFrame(std::size_t bound);
    static constexpr std::size_t kFrameExtra = 15;  // length, kind, checksum

    // The rest of the recorder's page, for what it keeps; the heap beyond it.
    std::pmr::monotonic_buffer_resource page_;
    std::pmr::unsynchronized_pool_resource memory_;

    RecorderOptions options_;
    RunInfo info_;
    int fd_ = -1;
    std::uint8_t* map_ = nullptr;
    std::size_t mapped_ = 0;
    std::uint64_t fileBytes_ = 0;
    std::uint64_t ticksInFile_ = 0;  // segments after the start in the current file
    std::uint64_t bytesWritten_ = 0;
    std::uint64_t segmentsWritten_ = 0;
    std::string failure_;

    bool inSegment_ = false;
    Segment segment_;
    std::size_t count_ = 0;  // answers of segment_ in use; the rest keep their buffers
    std::size_t steady_ = 0;  // the first answers, those that came at their place of the last segment
    Bytes same_;  // of those: the answer at each place is the one expected there
    std::size_t given_ = 0;  // what the answers not marked in same_ add to the frame's bound
    Segment start_;          // written again at the head of every new file
    SegmentEncoder encoder_;
    std::vector<std::uint8_t> payload_;
    std::vector<std::uint8_t> framed_;
    const bool carryless_ = hasCarrylessMultiply();  // asked once, kept on the recorder's page
};

}  // namespace kvx::recording
