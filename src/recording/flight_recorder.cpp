#include "recording/flight_recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace kvx::recording {

namespace {

std::int64_t epochMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string numbered(const std::string& file, int n) { return n == 0 ? file : file + "." + std::to_string(n); }

}  // namespace

FlightRecorder::FlightRecorder(RecorderOptions options, RunInfo info)
    : options_(std::move(options)), info_(std::move(info)) {
    info_.callNames = currentCallNames();
}

std::unique_ptr<FlightRecorder> FlightRecorder::create(RecorderOptions options, RunInfo info, std::string& error) {
    std::unique_ptr<FlightRecorder> r(new FlightRecorder(std::move(options), std::move(info)));
    if (r->options_.keepFiles < 1) r->options_.keepFiles = 1;
    if (!r->openFile(error)) return nullptr;
    return r;
}

FlightRecorder::~FlightRecorder() {
    if (fd_ >= 0) ::close(fd_);
}

bool FlightRecorder::openFile(std::string& error) {
    fd_ = ::open(options_.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "cannot create the recording " + options_.file + ": " + std::strerror(errno);
        return false;
    }
    fileBytes_ = 0;
    std::vector<std::uint8_t> head = fileHeader();
    const std::vector<std::uint8_t> infoFrame = frame(FrameKind::RunInfo, encodeRunInfo(info_));
    head.insert(head.end(), infoFrame.begin(), infoFrame.end());
    if (!writeAll(head)) {
        error = failure_;
        return false;
    }
    return true;
}

bool FlightRecorder::writeAll(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failure_ = "recording stopped: cannot write " + options_.file + ": " + std::strerror(n < 0 ? errno : EIO);
            std::cerr << "KvxDiagnostics: " << failure_ << std::endl;
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        done += static_cast<std::size_t>(n);
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
    count_ = 0;
}

void FlightRecorder::answered(CallId id, std::int32_t key, DriverResult result, Outputs outputs) {
    if (!inSegment_ || fd_ < 0) return;
    if (count_ == segment_.answers.size()) segment_.answers.emplace_back();
    Answer& a = segment_.answers[count_++];
    a.call = id;
    a.key = key;
    a.result = result;
    a.bytes.clear();
    for (const auto& out : outputs) a.bytes.insert(a.bytes.end(), out.begin(), out.end());
}

void FlightRecorder::endSegment() {
    if (!inSegment_) return;
    inSegment_ = false;
    if (fd_ < 0) return;
    if (segment_.kind == SegmentKind::Start) {
        start_ = segment_;
        start_.answers.resize(count_);
    }
    payload_.clear();
    encoder_.encode(segment_, count_, payload_);
    std::vector<std::uint8_t> bytes = frame(FrameKind::Segment, payload_);
    // A file full to its limit moves aside before the segment that would pass it.
    if (options_.maxBytes > 0 && fileBytes_ + bytes.size() > options_.maxBytes && ticksInFile_ > 0) {
        rollOver();
        if (fd_ < 0) return;
        payload_.clear();
        encoder_.encode(segment_, count_, payload_);  // against the new file's start
        bytes = frame(FrameKind::Segment, payload_);
    }
    if (!writeAll(bytes)) return;
    ++segmentsWritten_;
    if (segment_.kind != SegmentKind::Start) ++ticksInFile_;
}

void FlightRecorder::rollOver() {
    ::close(fd_);
    fd_ = -1;
    std::remove(numbered(options_.file, options_.keepFiles - 1).c_str());
    for (int n = options_.keepFiles - 2; n >= 0; --n)
        std::rename(numbered(options_.file, n).c_str(), numbered(options_.file, n + 1).c_str());
    std::string error;
    if (!openFile(error)) return;
    // The new file starts with the run's start, so it replays on its own.
    ticksInFile_ = 0;
    encoder_.reset();
    payload_.clear();
    encoder_.encode(start_, start_.answers.size(), payload_);
    writeAll(frame(FrameKind::Segment, payload_));
}

}  // namespace kvx::recording
