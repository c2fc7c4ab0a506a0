// Standard output and error of a live headless run, never waited for: a
// reader that stops reading (a pipe nobody empties, a terminal held with
// Ctrl-S, a journal that lags) must not hold up the ticks. Each stream has a
// bounded queue that goes out as fast as the reader takes it; whole lines
// that do not fit are dropped and counted, and once the stream has caught up
// standard error says how many were lost. While a run lives, std::cerr writes
// into the queue of standard error.
#pragma once

#include <signal.h>

#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>

namespace kvx {

class OutputQueue {
public:
    static constexpr std::size_t kCapacity = 64 * 1024;

    OutputQueue(int fd, std::size_t capacity = kCapacity);
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Queues `text` (whole lines) and writes what the stream takes now; text
    // that does not fit beside what waits is dropped whole and counted.
    void write(std::string_view text);
    // Writes what the stream takes now, without waiting.
    void flush();
    bool pending() const { return !queue_.empty(); }
    // The reader went away (EPIPE) or the stream failed: nothing more is written.
    bool closed() const { return closed_; }
    std::uint64_t droppedLines() const { return dropped_; }
    // The lines dropped since the last report, once the queue has emptied; else 0.
    std::uint64_t takeCaughtUpDrops();
    // The descriptor to poll for POLLOUT.
    int fd() const { return fd_; }

private:
    int fd_;
    bool ownFd_ = false;  // a non-blocking descriptor of its own on the same file
    bool socket_ = false;  // written with MSG_DONTWAIT
    bool mustPoll_ = false;  // fd_ may block: written only after poll says it takes PIPE_BUF
    std::size_t capacity_;
    std::string queue_;
    bool closed_ = false;
    std::uint64_t dropped_ = 0, reported_ = 0;
};

class ConsoleOutput {
public:
    // `stopSignals` are blocked; waitForStop takes them.
    explicit ConsoleOutput(const sigset_t& stopSignals);
    ~ConsoleOutput();  // std::cerr writes directly again; what is still queued gets one last try
    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;

    // Queues a block of lines for standard output; false once it is closed.
    bool print(std::string_view text);
    // Waits up to `ms` for a stop signal, writing queued output meanwhile;
    // true when one came.
    bool waitForStop(long ms);
    // At the end of a run: writes what is queued, waiting up to `ms` for the
    // reader, unless a stop signal comes or a stream closes.
    void drain(long ms);
    std::uint64_t droppedLines(bool standardError) const {
        return standardError ? err_.droppedLines() : out_.droppedLines();
    }

private:
    class ErrorBuffer;
    void flush();

    OutputQueue out_, err_;
    int signals_ = -1;  // a signalfd of the stop signals
    std::unique_ptr<ErrorBuffer> errorBuffer_;
    std::streambuf* previousError_ = nullptr;
};

}  // namespace kvx
