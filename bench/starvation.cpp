#include "starvation.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace kvx::starvation {

namespace {

using Clock = std::chrono::steady_clock;

std::string base64(const std::string& text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int n = ::EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                    reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string request(const std::string& user, const std::string& password) {
    std::string r = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!user.empty()) r += "Authorization: Basic " + base64(user + ":" + password) + "\r\n";
    return r + "\r\n";
}

// A blocking connection from `from` to 127.0.0.1:port whose every wait
// ends after `waitMs`, over TLS when `context` is set. Not verified: the
// figures are about the server's places, not its certificate.
class Connection {
public:
    Connection(const std::string& from, int port, SSL_CTX* context, int waitMs, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        sockaddr_in local{}, remote{};
        local.sin_family = remote.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
        remote.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
            close();
            return;
        }
        if (!context) return;
        ssl_ = ::SSL_new(context);
        if (!ssl_ || ::SSL_set_fd(ssl_, fd_) != 1 || ::SSL_connect(ssl_) != 1) close();
        ::ERR_clear_error();
    }
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool open() const { return fd_ >= 0; }
    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (open() && done < bytes.size()) {
            const int n = ssl_ ? ::SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                               : static_cast<int>(::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL));
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return open();
    }
    // Some bytes; empty when closed or when the wait ended.
    std::string receive() {
        char buffer[16384];
        const int n = ssl_ ? ::SSL_read(ssl_, buffer, sizeof buffer)
                           : static_cast<int>(::recv(fd_, buffer, sizeof buffer, 0));
        ::ERR_clear_error();
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    // The status of one whole answer, 0 when none came.
    int answer() {
        std::string in;
        std::size_t end = std::string::npos;
        while ((end = in.find("\r\n\r\n")) == std::string::npos) {
            const std::string more = receive();
            if (more.empty()) return 0;
            in += more;
        }
        std::size_t length = 0;
        if (const auto at = in.find("Content-Length: "); at != std::string::npos && at < end)
            length = std::stoul(in.substr(at + 16));
        while (in.size() < end + 4 + length) {
            const std::string more = receive();
            if (more.empty()) return 0;
            in += more;
        }
        return in.starts_with("HTTP/1.1 ") ? std::atoi(in.c_str() + 9) : 0;
    }
    // Whether the server closed it, looked at without reading.
    bool closedByPeer() const {
        pollfd p{fd_, POLLRDHUP, 0};
        return !open() || (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)));
    }

private:
    void close() {
        if (ssl_) ::SSL_free(ssl_);
        if (fd_ >= 0) ::close(fd_);
        ssl_ = nullptr;
        fd_ = -1;
    }

    int fd_ = -1;
    SSL* ssl_ = nullptr;
};

// One attacking client: comes back at once whenever it is dropped.
void attack(const Setup& s, SSL_CTX* context, const std::atomic<bool>& stop, unsigned seed) {
    std::mt19937 random(seed);
    while (!stop) {
        const bool slowReader = s.attack == Attack::SlowReaders;
        Connection c(s.attackerAddress, s.port, context, 200, slowReader ? 4096 : 0);
        if (!c.open()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (s.attack == Attack::Reconnect) {
            // Sends nothing and waits to be dropped.
            while (!stop && !c.closedByPeer()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else if (slowReader) {
            // Asks for as many answers as the server takes and reads none.
            std::string pipelined;
            for (int i = 0; i < 64; ++i) pipelined += request(s.user, s.password);
            while (!stop && !c.closedByPeer()) {
                c.send(pipelined);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        } else {
            // One guess after another on a kept connection, for the user of
            // the valid scrapes.
            const std::string user = s.user.empty() ? "prometheus" : s.user;
            while (!stop && c.send(request(user, "guess" + std::to_string(random()))) && c.answer() != 0) {
            }
        }
    }
}

long peakKbOf(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return std::atol(line.c_str() + 6);
    return 0;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.999);
    return values[std::min(at, values.size() - 1)];
}

}  // namespace

const char* nameOf(Attack attack) {
    switch (attack) {
    case Attack::None: return "none";
    case Attack::Reconnect: return "reconnect";
    case Attack::SlowReaders: return "slow-readers";
    case Attack::WrongPasswords: return "wrong-passwords";
    }
    return "";
}

Figures run(const Setup& s) {
    // A server that drops a connection mid-write must not end the measurement.
    ::signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<SSL_CTX, decltype(&::SSL_CTX_free)> context(s.tls ? ::SSL_CTX_new(::TLS_client_method()) : nullptr,
                                                                &::SSL_CTX_free);
    std::atomic<bool> stop{false};
    std::vector<std::thread> attackers;
    if (s.attack != Attack::None)
        for (int i = 0; i < s.connections; ++i)
            attackers.emplace_back(attack, std::cref(s), context.get(), std::cref(stop), static_cast<unsigned>(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(s.attack == Attack::None ? 0 : s.warmUpMs));

    Figures f;
    std::vector<double> times;
    for (int i = 0; i < s.scrapes; ++i) {
        const auto start = Clock::now();
        Connection c("127.0.0.1", s.port, context.get(), s.timeoutMs);
        const bool ok = c.open() && c.send(request(s.user, s.password)) && c.answer() == 200;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        ++f.scrapes;
        if (ok && ms <= s.timeoutMs) ++f.answered;
        // A lost scrape counts as the timeout, so that it shows in the tail.
        times.push_back(ok ? ms : std::max<double>(ms, s.timeoutMs));
        std::this_thread::sleep_for(std::chrono::milliseconds(s.intervalMs));
    }
    if (s.pid > 0) f.peakKb = peakKbOf(s.pid);
    stop = true;
    for (std::thread& t : attackers) t.join();
    f.p50Ms = percentile(times, 0.50);
    f.p99Ms = percentile(times, 0.99);
    f.maxMs = percentile(times, 1.0);
    return f;
}

std::string describe(const Setup& s, const Figures& f) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(1);
    out << nameOf(s.attack) << (s.tls ? " tls" : " plain") << (s.user.empty() ? "" : " users") << ": " << f.answered
        << " of " << f.scrapes << " answered, p50 " << f.p50Ms << " ms, p99 " << f.p99Ms << " ms, max " << f.maxMs
        << " ms";
    if (f.peakKb > 0) out << ", peak " << f.peakKb << " kB";
    return out.str();
}

}  // namespace kvx::starvation
