#include "recording/flight_recorder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/safe_file.h"
#include "platform/log.h"

namespace kvx::recording {

namespace {

std::int64_t epochMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string numbered(const std::string& file, int n) { return n == 0 ? file : file + "." + std::to_string(n); }

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

FlightRecorder::FlightRecorder(RecorderOptions options, RunInfo info)
    : options_(std::move(options)), info_(std::move(info)) {
    info_.callNames = currentCallNames();
    start_.kind = SegmentKind::Start;
}

std::unique_ptr<FlightRecorder> FlightRecorder::create(RecorderOptions options, RunInfo info, std::string& error) {
    std::unique_ptr<FlightRecorder> r(new FlightRecorder(std::move(options), std::move(info)));
    r->options_.keepFiles = std::clamp(r->options_.keepFiles, 1, kMostRecordingFiles);
    if (!r->openFile(error)) return nullptr;
    return r;
}

FlightRecorder::~FlightRecorder() { closeFile(); }

bool FlightRecorder::openFile(std::string& error) {
    std::string why;
    fd_ = platform::openForWriting(options_.file, platform::WriteMode::Replace, 0644, why);
    if (fd_ < 0) {
        error = "cannot create the recording " + options_.file + ": " + why;
        return false;
    }
    fileBytes_ = 0;
    std::vector<std::uint8_t> head = fileHeader();
    appendFrame(FrameKind::RunInfo, encodeRunInfo(info_), head);
    if (!writeAll(head)) {
        error = failure_;
        return false;
    }
    return true;
}

void FlightRecorder::fail(int error) {
    failure_ = "recording stopped: cannot write " + options_.file + ": " + std::strerror(error);
    log(LogLevel::Warn, failure_);
    closeFile();
}

void FlightRecorder::closeFile() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

// One write per frame: a process killed on the way leaves at most a torn
// last frame, which a reader drops. A short write (a full disk) is cut back
// for the same reason, so that nothing follows a torn frame.
bool FlightRecorder::writeAll(const std::vector<std::uint8_t>& bytes) {
    if (fd_ < 0) return false;
    if (!platform::writeAll(fd_, bytes.data(), bytes.size())) {
        const int error = errno;
        [[maybe_unused]] const int rc = ::ftruncate(fd_, static_cast<off_t>(fileBytes_));
        fail(error);
        return false;
    }
    fileBytes_ += bytes.size();
    bytesWritten_ += bytes.size();
    return true;
}

void FlightRecorder::beginSegment(SegmentKind kind, Action action, std::int32_t argument) {
    inSegment_ = true;
    segment_.kind = kind;
    segment_.action = action;
    segment_.argument = argument;
    segment_.epochMs = epochMs();
    segment_.answers.clear();
}

void FlightRecorder::answered(CallId id, std::int32_t key, DriverResult result, Outputs outputs) {
    if (!inSegment_ || fd_ < 0) return;
    Answer& a = segment_.answers.emplace_back();
    a.call = id;
    a.key = key;
    a.result = result;
    for (const auto& out : outputs) a.bytes.insert(a.bytes.end(), out.begin(), out.end());
}

void FlightRecorder::endSegment() {
    if (!inSegment_) return;
    inSegment_ = false;
    if (fd_ < 0) return;
    if (segment_.kind == SegmentKind::Start) start_ = segment_;
    const std::vector<std::uint8_t>* bytes = &encodeFrame(segment_);
    // A file full to its limit moves aside before the segment that would pass it.
    if (options_.maxBytes > 0 && fileBytes_ + bytes->size() > options_.maxBytes && ticksInFile_ > 0) {
        rollOver();
        if (fd_ < 0) return;
        bytes = &encodeFrame(segment_);  // against the new file's start
    }
    if (!writeAll(*bytes)) return;
    ++segmentsWritten_;
    if (segment_.kind != SegmentKind::Start) ++ticksInFile_;
}

// FILE becomes FILE.1, FILE.1 FILE.2 and so on up to the first number not
// there, after the oldest kept has gone: a rollover costs at most one
// rename per file kept.
void FlightRecorder::rollOver() {
    closeFile();
    std::remove(numbered(options_.file, options_.keepFiles - 1).c_str());
    int free = 1;
    while (free < options_.keepFiles - 1 && exists(numbered(options_.file, free))) ++free;
    for (int n = std::min(free, options_.keepFiles - 1) - 1; n >= 0; --n) {
        // The file that cannot move aside (another user's FILE.1 in a shared
        // folder) is kept whole: recording stops instead of emptying it.
        if (std::rename(numbered(options_.file, n).c_str(), numbered(options_.file, n + 1).c_str()) != 0 && n == 0) {
            failure_ = "recording stopped: cannot move " + options_.file + " aside: " + std::strerror(errno);
            log(LogLevel::Warn, failure_);
            return;
        }
    }
    std::string error;
    if (!openFile(error)) {
        failure_ = "recording stopped: " + error;
        log(LogLevel::Warn, failure_);
        return;
    }
    // The new file starts with the run's start, so it replays on its own.
    ticksInFile_ = 0;
    encoder_.reset();
    writeAll(encodeFrame(start_));
}

const std::vector<std::uint8_t>& FlightRecorder::encodeFrame(const Segment& segment) {
    payload_.clear();
    encoder_.encode(segment, payload_);
    framed_.clear();
    appendFrame(FrameKind::Segment, payload_, framed_);
    return framed_;
}

}  // namespace kvx::recording
