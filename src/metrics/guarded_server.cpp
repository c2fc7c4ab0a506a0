#include "metrics/guarded_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cctype>
#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kvx::net {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for `events` until `deadline`; false when it passed.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

std::string addressText(const sockaddr_storage& a, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (a.ss_family == AF_INET6) {
        auto* in = reinterpret_cast<const sockaddr_in6*>(&a);
        ::inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
        port = ntohs(in->sin6_port);
    }
    return text;
}

// One connection as the library's request parser reads it: every read and
// write waits no longer than the request's deadline, and the head of a
// request ends within its byte and line limits or the read fails. Over TLS
// the same bytes pass through `ssl`, which holds the non-blocking socket.
class GuardedStream final : public httplib::Stream {
public:
    GuardedStream(int fd, SSL* ssl, const ServerLimits& limits) : fd_(fd), ssl_(ssl), limits_(limits) {}

    // The TLS handshake, within the deadline of a request.
    bool handshake() {
        deadline_ = Clock::now() + limits_.requestDeadline;
        for (;;) {
            const int r = ::SSL_accept(ssl_);
            if (r == 1) return true;
            short wait = 0;
            if (!retry(r, wait) || !waitFor(fd_, wait, deadline_)) return false;
        }
    }

    // Waits up to the idle timeout for the next request to begin.
    bool nextRequest() {
        head_.clear();
        headLines_ = 0;
        headDone_ = false;
        deadline_ = Clock::now() + limits_.idleTimeout;
        if (begin_ == end_ && !fill()) return false;
        deadline_ = Clock::now() + limits_.requestDeadline;
        return true;
    }

    bool is_readable() const override {
        return begin_ < end_ || (ssl_ && ::SSL_pending(ssl_) > 0) || waitFor(fd_, POLLIN, deadline_);
    }
    bool is_writable() const override { return waitFor(fd_, POLLOUT, deadline_); }

    ssize_t read(char* ptr, size_t size) override {
        if (begin_ == end_ && !fill()) return -1;
        std::size_t n = std::min(size, end_ - begin_);
        if (refused_) return -1;
        if (!headDone_) {
            // Counted byte by byte up to the empty line that ends the head.
            for (std::size_t i = 0; i < n; ++i) {
                const char c = buffer_[begin_ + i];
                head_ += c;
                if (head_.size() > limits_.maxHeadBytes) return refuse("431 Request Header Fields Too Large");
                if (c == '\n' && ++headLines_ > limits_.maxHeaderLines + 1)
                    return refuse("431 Request Header Fields Too Large");
                if (head_.size() >= 4 && head_.compare(head_.size() - 4, 4, "\r\n\r\n") == 0) {
                    headDone_ = true;
                    n = i + 1;
                    if (!bodyWithinLimit()) {
                        // The head goes to the parser; the refusal is
                        // answered now, and the body is never read.
                        refuse("413 Payload Too Large");
                    }
                    break;
                }
            }
        }
        std::memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (refused_) return static_cast<ssize_t>(size);  // the refusal was the answer
        std::size_t sent = 0;
        while (sent < size) {
            short wait = 0;
            const ssize_t n = transfer(const_cast<char*>(ptr) + sent, size - sent, false, wait);
            if (n > 0) sent += static_cast<std::size_t>(n);
            else if (wait == 0 || !waitFor(fd_, wait, deadline_)) return -1;
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        port = 0;
        if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) ip = addressText(a, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        port = 0;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) ip = addressText(a, port);
    }
    socket_t socket() const override { return fd_; }

    bool refused() const { return refused_; }

private:
    // Answers `status` and closes the exchange: every later read fails and
    // whatever the parser still writes is dropped.
    ssize_t refuse(const char* status) {
        const std::string answer = refusal(status);
        write(answer.data(), answer.size());
        refused_ = true;
        return -1;
    }

    // A body is taken only with a length, and only up to the limit.
    bool bodyWithinLimit() const {
        std::string head = head_;
        for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (head.find("\ntransfer-encoding:") != std::string::npos) return false;
        const std::size_t at = head.find("\ncontent-length:");
        if (at == std::string::npos) return true;
        const char* digits = head.c_str() + at + 16;
        while (*digits == ' ' || *digits == '\t') ++digits;
        char* end = nullptr;
        errno = 0;
        const unsigned long long length = std::strtoull(digits, &end, 10);
        return end != digits && errno == 0 && length <= limits_.maxBodyBytes;
    }

    bool fill() {
        begin_ = end_ = 0;
        for (;;) {
            short wait = 0;
            const ssize_t n = transfer(buffer_, sizeof buffer_, true, wait);
            if (n > 0) {
                end_ = static_cast<std::size_t>(n);
                return true;
            }
            if (wait == 0 || !waitFor(fd_, wait, deadline_)) return false;
        }
    }

    // Receives (or sends) what the socket takes now. Above 0: the bytes
    // moved; otherwise `wait` names the event to wait for before trying
    // again, or is 0 when the connection has ended or failed.
    ssize_t transfer(char* data, std::size_t size, bool receive, short& wait) {
        wait = 0;
        if (ssl_) {
            const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
            const int n = receive ? ::SSL_read(ssl_, data, chunk) : ::SSL_write(ssl_, data, chunk);
            if (n > 0) return n;
            retry(n, wait);
            return -1;
        }
        const ssize_t n = receive ? ::recv(fd_, data, size, MSG_DONTWAIT) : ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) return n;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) wait = receive ? POLLIN : POLLOUT;
        return -1;
    }

    // After a TLS call that moved nothing: whether it may be tried again,
    // and after which event.
    bool retry(int result, short& wait) const {
        const int error = ::SSL_get_error(ssl_, result);
        ::ERR_clear_error();  // the queue is per thread; leave nothing behind
        if (error == SSL_ERROR_WANT_READ) wait = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE) wait = POLLOUT;
        return wait != 0;
    }

    int fd_;
    SSL* ssl_;
    const ServerLimits& limits_;
    Clock::time_point deadline_{};
    char buffer_[4096];
    std::size_t begin_ = 0, end_ = 0;
    std::string head_;
    std::size_t headLines_ = 0;
    bool headDone_ = false;
    bool refused_ = false;
};

}  // namespace

GuardedServer::GuardedServer(ServerLimits limits) : limits_(limits) {
    set_payload_max_length(limits_.maxBodyBytes);
}

GuardedServer::~GuardedServer() {
    stopServing();
    ::SSL_CTX_free(tls_);
}

bool GuardedServer::useTls(const std::string& certFile, const std::string& keyFile, std::string& error) {
    SSL_CTX* context = ::SSL_CTX_new(::TLS_server_method());
    const bool usable = context && ::SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
                        ::SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) == 1 &&
                        ::SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
                        ::SSL_CTX_check_private_key(context) == 1;
    ::ERR_clear_error();
    if (!usable) {
        ::SSL_CTX_free(context);
        error = "cannot use the certificate " + certFile + " with the key " + keyFile;
        return false;
    }
    ::SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    // OpenSSL writes to the socket with write(): a peer gone mid-answer must
    // not end the program with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    ::SSL_CTX_free(tls_);
    tls_ = context;
    return true;
}

bool GuardedServer::serve() {
    const int listener = svr_sock_;
    if (listener < 0) return false;
    // The library listens with a backlog of 5: a burst of connections beyond
    // it waits a second per retry before it is even refused. Connections that
    // wait in the kernel's queue hold none of the program's descriptors.
    ::listen(listener, 1024);
    serving_ = true;
    while (!stopping_) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors elsewhere in the program: try again shortly.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            break;
        }
        reap();
        if (active_ >= limits_.maxConnections) {
            // Refused at once: a flood of connections holds no descriptor.
            // (A TLS client could read no plain answer before its handshake.)
            if (!tls_) {
                static const std::string kBusy = refusal("503 Service Unavailable");
                [[maybe_unused]] ssize_t n = ::send(fd, kBusy.data(), kBusy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            ::close(fd);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(mutex_);
        ++active_;
        Connection& c = connections_.emplace_back();
        c.fd = fd;
        c.thread = std::thread([this, &c] {
            handle(c.fd);
            --active_;
            c.done = true;
        });
    }
    serving_ = false;
    return !stopping_;
}

void GuardedServer::handle(int fd) {
    SSL* ssl = nullptr;
    if (tls_) {
        ssl = ::SSL_new(tls_);
        if (!ssl || ::SSL_set_fd(ssl, fd) != 1) {
            ::SSL_free(ssl);
            ::ERR_clear_error();
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
    }
    GuardedStream stream(fd, ssl, limits_);
    if (!ssl || stream.handshake()) {
        bool closed = false;
        while (!closed && !stopping_ && stream.nextRequest()) {
            if (!process_request(stream, false, closed, nullptr) || stream.refused()) break;
        }
        if (ssl) ::SSL_shutdown(ssl);  // the close notice, sent once without waiting
    }
    ::SSL_free(ssl);
    ::ERR_clear_error();
    ::shutdown(fd, SHUT_RDWR);
}

void GuardedServer::reap() {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->done) {
            it->thread.join();
            ::close(it->fd);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void GuardedServer::stopServing() {
    stopping_ = true;
    const int listener = svr_sock_;
    if (listener >= 0) ::shutdown(listener, SHUT_RDWR);
    // The listen loop ends before its connections are taken down.
    while (serving_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (listener >= 0) {
        ::close(listener);
        svr_sock_ = INVALID_SOCKET;
    }
    {
        std::lock_guard lock(mutex_);
        for (auto& c : connections_) ::shutdown(c.fd, SHUT_RDWR);
    }
    for (;;) {
        std::unique_lock lock(mutex_);
        if (connections_.empty()) break;
        Connection& c = connections_.front();
        lock.unlock();
        c.thread.join();
        ::close(c.fd);
        lock.lock();
        connections_.pop_front();
    }
}

}  // namespace kvx::net
