#include "recording/flight_recorder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>

#include "platform/tick_page.h"

namespace kvx::recording {

// The functions every tick runs are marked hot: the linker keeps them
// together, and a tick, which at 1 Hz finds them out of the caches, brings
// back fewer pages of code. They are some 7.5 KB; the first of them,
// beginSegment(), starts a page, so that they take two pages, not three.
// What only some ticks run (a tick out of the last one's order, a growing
// buffer, a long frame's checksum) is kept off them.

namespace {

// The recorder's part of the tick page: the object and, after it, what it keeps.
constexpr std::size_t kRecorderBytes = 1u << 20;

// Where the recorder's part ends and what it keeps begins.
constexpr std::size_t kObjectBytes = (sizeof(FlightRecorder) + 63) / 64 * 64;
static_assert(kObjectBytes < kRecorderBytes / 2 && kRecorderBytes <= platform::kHugePage);

std::pmr::pool_options poolOptions() {
    std::pmr::pool_options o;
    o.largest_required_pool_block = 64u << 10;  // the longest answer a file holds; a tick's are some 5 KB at most
    return o;
}

// The C library's clock directly: through the C++ library's a tick would
// bring back a page of that library's code as well.
[[gnu::hot]] std::int64_t epochMs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string numbered(const std::string& file, int n) { return n == 0 ? file : file + "." + std::to_string(n); }

}  // namespace

// On the tick page, beside the monitor that a tick works in as well; where
// it has no room left (a second recorder in one process), on a huge page of
// its own.
void* FlightRecorder::operator new(std::size_t size) {
    if (size > kObjectBytes) throw std::bad_alloc();
    if (void* p = platform::takeFromTickPage(kRecorderBytes)) return p;
    if (void* p = platform::mapHugePage()) return p;
    throw std::bad_alloc();
}

void FlightRecorder::operator delete(void* p) {
    if (platform::onTickPage(p)) platform::giveToTickPage(p);
    else platform::unmapHugePage(p);
}

FlightRecorder::FlightRecorder(RecorderOptions options, RunInfo info)
    : page_(reinterpret_cast<std::uint8_t*>(this) + kObjectBytes, kRecorderBytes - kObjectBytes,
            std::pmr::new_delete_resource()),
      memory_(poolOptions(), &page_),
      options_(std::move(options)),
      info_(std::move(info)),
      segment_{SegmentKind::Tick, Action::None, 0, 0, std::pmr::vector<Answer>(&memory_), 0},
      same_(&memory_),
      start_{SegmentKind::Start, Action::None, 0, 0, std::pmr::vector<Answer>(&memory_), 0},
      encoder_(&memory_) {
    info_.callNames = currentCallNames();
}

std::unique_ptr<FlightRecorder> FlightRecorder::create(RecorderOptions options, RunInfo info, std::string& error) {
    std::unique_ptr<FlightRecorder> r(new FlightRecorder(std::move(options), std::move(info)));
    if (r->options_.keepFiles < 1) r->options_.keepFiles = 1;
    if (!r->openFile(error)) return nullptr;
    return r;
}

FlightRecorder::~FlightRecorder() { closeFile(); }

bool FlightRecorder::openFile(std::string& error) {
    fd_ = ::open(options_.file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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

// The file is written through a shared mapping of space reserved ahead: the
// bytes of a segment are in the file the moment they are copied, with no
// system call per tick, and a killed process leaves them there.
bool FlightRecorder::reserve(std::size_t more) {
    if (fileBytes_ + more <= mapped_) return true;
    const std::size_t chunk = 1u << 20;
    const std::size_t size = (fileBytes_ + more + chunk - 1) / chunk * chunk;
    // Reserved, not only sized: a full disk shows here, not as a fault on a later copy.
    const int rc = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
    if (rc != 0) return fail(rc);
    if (map_) ::munmap(map_, mapped_);
    map_ = nullptr;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) return fail(errno);
    // The pages just reserved come into the page cache here, all in one
    // call, not one by one in the ticks: a tick whose store met a page not
    // yet there paid a read fault besides the write fault, on ext4 some
    // 0.5 ms of CPU on average (up to several), once every 85 ticks or so.
    // Where the kernel cannot (before 5.14), the ticks pay as before.
#if defined(MADV_POPULATE_READ)
    ::madvise(static_cast<std::uint8_t*>(p) + mapped_, size - mapped_, MADV_POPULATE_READ);  // chunks: page-aligned
#endif
    map_ = static_cast<std::uint8_t*>(p);
    mapped_ = size;
    return true;
}

bool FlightRecorder::fail(int error) {
    failure_ = "recording stopped: cannot write " + options_.file + ": " + std::strerror(error);
    std::cerr << "KvxDiagnostics: " << failure_ << std::endl;
    closeFile();
    return false;
}

void FlightRecorder::closeFile() {
    if (map_) ::munmap(map_, mapped_);
    map_ = nullptr;
    mapped_ = 0;
    if (fd_ < 0) return;
    // The space reserved ahead goes again.
    [[maybe_unused]] int rc = ::ftruncate(fd_, static_cast<off_t>(fileBytes_));
    ::close(fd_);
    fd_ = -1;
}

bool FlightRecorder::writeAll(const std::vector<std::uint8_t>& bytes) {
    if (fd_ < 0 || bytes.empty()) return fd_ >= 0;
    if (!reserve(bytes.size())) return false;
    std::uint8_t* at = map_ + fileBytes_;
    // The first byte last: a frame whose length is still 0 is not there yet,
    // so a process killed while copying leaves no partial frame behind.
    std::memcpy(at + 1, bytes.data() + 1, bytes.size() - 1);
    std::atomic_signal_fence(std::memory_order_release);
    at[0] = bytes[0];
    fileBytes_ += bytes.size();
    bytesWritten_ += bytes.size();
    return true;
}

[[gnu::hot, gnu::aligned(4096)]] void FlightRecorder::beginSegment(SegmentKind kind, Action action, std::int32_t argument) {
    inSegment_ = true;
    segment_.kind = kind;
    segment_.action = action;
    segment_.argument = argument;
    segment_.epochMs = epochMs();
    count_ = 0;
    steady_ = 0;
    given_ = 0;
    encoder_.prefetchWords(kind, 0);
}

[[gnu::hot]] void FlightRecorder::answered(CallId id, std::int32_t key, DriverResult result, Outputs outputs) {
    if (!inSegment_ || fd_ < 0) return;
    if (count_ == segment_.answers.size()) [[unlikely]] {
        segment_.answers.emplace_back();
        same_.push_back(0);
    }
    const std::size_t place = count_++;
    // While every answer comes at its place of the last segment of its kind
    // (the steady case), one like the answer there is only marked: neither
    // its bytes nor its answer are copied. What the next answer is checked
    // against, and what a changed one is encoded against, are asked for
    // now, to come from memory while the driver is called.
    if (steady_ == place) {
        if (const auto* e = encoder_.expectedAt(segment_.kind, place, id, key)) {
            ++steady_;
            same_[place] = encoder_.matches(segment_.kind, *e, result, outputs);
            encoder_.prefetchWords(segment_.kind, place + 1);
            if (same_[place]) return;
            encoder_.prefetchKept(segment_.kind, place);
        }
    }
    Answer& a = segment_.answers[place];
    a.call = id;
    a.key = key;
    a.result = result;
    a.unchanged = false;
    std::size_t size = 0;
    for (const auto& out : outputs) size += out.size();
    a.bytes.resize(size);  // mostly the size it had: nothing made or filled
    std::uint8_t* to = a.bytes.data();
    for (const auto& out : outputs) {
        copyBytes(to, out.data(), out.size());
        to += out.size();
    }
    given_ += SegmentEncoder::answerBound(size);
}

[[gnu::hot]] void FlightRecorder::endSegment() {
    if (!inSegment_) return;
    inSegment_ = false;
    if (fd_ < 0) return;
    // A steady segment goes straight into the file, unless it might pass
    // the size limit: it is then encoded aside first and measured. So does
    // the run's start, and a segment that left the last one's order early.
    const bool steady = segment_.kind != SegmentKind::Start && count_ - steady_ <= SegmentEncoder::kMostAfterSteady;
    const std::size_t bound = steady ? SegmentEncoder::steadyBound(count_, given_) + kFrameExtra : 0;
    const bool inPlace = steady && (options_.maxBytes == 0 || fileBytes_ + bound <= options_.maxBytes);
    if (!(inPlace ? writeSteadyFrame(bound) : writeFrameAside())) return;
    ++segmentsWritten_;
    if (segment_.kind != SegmentKind::Start) ++ticksInFile_;
}

bool FlightRecorder::writeFrameAside() {
    encoder_.fillExpected(segment_, same_, steady_);
    if (segment_.kind == SegmentKind::Start) {
        // The first segment of its kind since the encoder began: no answer expected, all given.
        start_ = segment_;
        start_.answers.resize(count_);
    }
    const std::vector<std::uint8_t>* bytes = &encodeFrame(segment_, count_);
    // A file full to its limit moves aside before the segment that would pass it.
    if (options_.maxBytes > 0 && fileBytes_ + bytes->size() > options_.maxBytes && ticksInFile_ > 0) {
        encoder_.materialise(segment_, count_);
        rollOver();
        if (fd_ < 0) return false;
        bytes = &encodeFrame(segment_, count_);  // against the new file's start
    }
    return writeAll(*bytes);
}

void FlightRecorder::rollOver() {
    closeFile();
    std::remove(numbered(options_.file, options_.keepFiles - 1).c_str());
    for (int n = options_.keepFiles - 2; n >= 0; --n)
        std::rename(numbered(options_.file, n).c_str(), numbered(options_.file, n + 1).c_str());
    std::string error;
    if (!openFile(error)) return;
    // The new file starts with the run's start, so it replays on its own.
    ticksInFile_ = 0;
    encoder_.reset();
    writeAll(encodeFrame(start_, start_.answers.size()));
}

const std::vector<std::uint8_t>& FlightRecorder::encodeFrame(const Segment& segment, std::size_t answerCount) {
    payload_.clear();
    encoder_.encode(segment, answerCount, payload_);
    framed_.clear();
    appendFrame(FrameKind::Segment, payload_, framed_);
    return framed_;
}

// The frame is encoded in place, after room for the longest length it can
// have; the length, its first byte last, goes in front once known, and the
// frame moves up to it. As with writeAll(), a process killed on the way
// leaves a length of 0 there: no frame.
[[gnu::hot]] bool FlightRecorder::writeSteadyFrame(std::size_t bound) {
    if (!reserve(bound)) return false;
    std::uint8_t* const at = map_ + fileBytes_;
    const std::size_t slot = varintSize(bound);
    std::uint8_t* const body = at + slot;
    body[0] = static_cast<std::uint8_t>(FrameKind::Segment);
    std::uint8_t* end = encoder_.encodeSteady(segment_, same_, steady_, count_, body + 1);
    const std::size_t length = static_cast<std::size_t>(end - body);
    const std::uint32_t crc = carryless_ ? crc32Carryless(body, length) : crc32(body, length);
    for (int i = 0; i < 4; ++i) *end++ = static_cast<std::uint8_t>(crc >> (8 * i));
    std::uint8_t head[10];
    RawWriter lengthWriter(head);
    lengthWriter.varint(length);
    const std::size_t need = static_cast<std::size_t>(lengthWriter.at() - head);
    if (need < slot) {
        copyBytes(at + need, body, length + 4);
        const std::uint8_t zeros[10] = {};
        copyBytes(at + need + length + 4, zeros, slot - need);
    }
    copyBytes(at + 1, head + 1, need - 1);
    std::atomic_signal_fence(std::memory_order_release);
    at[0] = head[0];
    fileBytes_ += need + length + 4;
    bytesWritten_ += need + length + 4;
    return true;
}

}  // namespace kvx::recording
