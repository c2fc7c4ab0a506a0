#include "app/console_output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>

#include "platform/log.h"

namespace kvx {

OutputQueue::OutputQueue(int fd, std::size_t capacity) : fd_(fd), capacity_(capacity) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        mustPoll_ = true;
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        socket_ = true;  // the journal's stream: MSG_DONTWAIT per call
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // O_NONBLOCK on the inherited descriptor would also change it for the
        // shell or the other programs sharing it; a descriptor of our own on
        // the same pipe or terminal does not.
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            fd_ = own;
            ownFd_ = true;
        } else {
            mustPoll_ = true;
        }
    }
    // A regular file takes what is written without waiting for a reader.
}

OutputQueue::~OutputQueue() {
    if (ownFd_) ::close(fd_);
}

void OutputQueue::write(std::string_view text) {
    if (closed_ || text.empty()) return;
    if (queue_.size() + text.size() > capacity_) {
        dropped_ += std::max<std::size_t>(1, static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
        flush();
        return;
    }
    queue_.append(text);
    flush();
}

void OutputQueue::flush() {
    std::size_t done = 0;
    while (!closed_ && done < queue_.size()) {
        if (mustPoll_) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 0) <= 0) break;
            if (p.revents & (POLLERR | POLLNVAL)) {
                closed_ = true;
                break;
            }
        }
        // At most PIPE_BUF a write: a blocking pipe that polled writable takes that much at once.
        const std::size_t size = std::min<std::size_t>(queue_.size() - done, mustPoll_ ? PIPE_BUF : queue_.size());
        const ssize_t n = socket_ ? ::send(fd_, queue_.data() + done, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                  : ::write(fd_, queue_.data() + done, size);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            closed_ = true;
        }
    }
    queue_.erase(0, done);
    if (closed_) queue_.clear();
}

std::uint64_t OutputQueue::takeCaughtUpDrops() {
    if (pending() || dropped_ == reported_) return 0;
    const std::uint64_t lost = dropped_ - reported_;
    reported_ = dropped_;
    return lost;
}

// std::cerr's buffer while a run lives: a line at a time into the queue, so
// a line is queued or dropped whole.
class ConsoleOutput::ErrorBuffer final : public std::streambuf {
public:
    explicit ErrorBuffer(OutputQueue& queue) : queue_(queue) {}
    ~ErrorBuffer() override {
        if (!line_.empty()) queue_.write(line_ + '\n');
    }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        line_.push_back(traits_type::to_char_type(c));
        if (line_.back() == '\n') handOver();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        line_.append(s, static_cast<std::size_t>(n));
        if (line_.find('\n') != std::string::npos) handOver();
        return n;
    }

private:
    void handOver() {
        const std::size_t end = line_.rfind('\n') + 1;
        queue_.write(std::string_view(line_).substr(0, end));
        line_.erase(0, end);
    }

    OutputQueue& queue_;
    std::string line_;
};

ConsoleOutput::ConsoleOutput(const sigset_t& stopSignals)
    : out_(STDOUT_FILENO), err_(STDERR_FILENO), signals_(::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC)),
      errorBuffer_(std::make_unique<ErrorBuffer>(err_)) {
    std::cerr.flush();
    previousError_ = std::cerr.rdbuf(errorBuffer_.get());
}

ConsoleOutput::~ConsoleOutput() {
    std::cerr.rdbuf(previousError_);
    errorBuffer_.reset();
    flush();
    if (signals_ >= 0) ::close(signals_);
}

bool ConsoleOutput::print(std::string_view text) {
    out_.write(text);
    flush();
    return !out_.closed();
}

// Writes what each stream takes and, once one has caught up after dropping
// lines, says how many on standard error.
void ConsoleOutput::flush() {
    out_.flush();
    if (const std::uint64_t lost = out_.takeCaughtUpDrops())
        err_.write(logLine(LogLevel::Warn, "standard output fell behind: " + std::to_string(lost) + " lines dropped"));
    err_.flush();
    if (const std::uint64_t lost = err_.takeCaughtUpDrops())
        err_.write(logLine(LogLevel::Warn, "standard error fell behind: " + std::to_string(lost) + " lines dropped"));
}

bool ConsoleOutput::waitForStop(long ms) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(std::max(ms, 0L));
    for (;;) {
        // A stream with nothing queued is not polled: a closed reader would wake the wait at once.
        pollfd polled[3] = {{signals_, POLLIN, 0},
                            {out_.pending() ? out_.fd() : -1, POLLOUT, 0},
                            {err_.pending() ? err_.fd() : -1, POLLOUT, 0}};
        const long left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        const int ready = ::poll(polled, 3, static_cast<int>(std::max(left, 0L)));
        if (ready < 0 && errno != EINTR) return false;
        if (polled[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) return true;
        }
        if (polled[1].revents || polled[2].revents) flush();
        if (left <= 0) return false;
    }
}

void ConsoleOutput::drain(long ms) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    flush();
    while ((out_.pending() || err_.pending()) && Clock::now() < until) {
        const long left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (waitForStop(std::min(left, 50L))) break;
        flush();
    }
}

}  // namespace kvx
