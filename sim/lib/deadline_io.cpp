#include "lib/deadline_io.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kvxsim {

namespace {

// How long one wait looks away from the stop signals.
constexpr std::chrono::milliseconds kStopCheckEvery{200};

// A program that holds SIGINT, SIGTERM and SIGHUP back to take them between
// ticks (the headless monitor) has one pending while it should stop: a request on
// a slow link must not hold that stop for a whole deadline.
bool stopPending() {
    sigset_t pending;
    if (::sigpending(&pending) != 0) return false;
    return ::sigismember(&pending, SIGINT) == 1 || ::sigismember(&pending, SIGTERM) == 1 ||
           ::sigismember(&pending, SIGHUP) == 1;
}

// Waits for `events` on `fd` until the deadline; false with errno set when
// it passed (ETIMEDOUT), a stop signal is pending (ECANCELED) or polling
// failed.
bool waitFor(int fd, short events, Deadline deadline) {
    for (;;) {
        if (stopPending()) {
            errno = ECANCELED;
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min(left, kStopCheckEvery).count()));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool pastDeadline(Deadline deadline) {
    if (std::chrono::steady_clock::now() < deadline) return false;
    errno = ETIMEDOUT;
    return true;
}

}  // namespace

int connectWithin(const sockaddr* address, socklen_t length, Deadline deadline) {
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int rc = ::connect(fd, address, length);
    if (rc != 0 && (errno == EINPROGRESS || errno == EAGAIN)) {
        if (waitFor(fd, POLLOUT, deadline)) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            rc = error == 0 ? 0 : -1;
            errno = error;
        }
    }
    if (rc != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool sendAllWithin(int fd, std::string_view data, Deadline deadline) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        if (pastDeadline(deadline)) return false;
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!waitFor(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

long receiveWithin(int fd, char* buffer, std::size_t size, Deadline deadline) {
    // Checked before every read, not only before a wait: a peer that never
    // stops sending never makes a read wait.
    for (;;) {
        if (pastDeadline(deadline)) return -1;
        const ssize_t n = ::recv(fd, buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        if (!waitFor(fd, POLLIN, deadline)) return -1;
    }
}

bool readLineWithin(int fd, std::string& pending, std::string& line, std::size_t maxBytes, Deadline deadline) {
    for (;;) {
        if (auto nl = pending.find('\n'); nl != std::string::npos) {
            line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return true;
        }
        if (pending.size() > maxBytes) return false;
        char buffer[16384];
        const long n = receiveWithin(fd, buffer, sizeof buffer, deadline);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace kvxsim
