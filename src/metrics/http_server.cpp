#include "metrics/http_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace kvx::net {

namespace {

using Clock = std::chrono::steady_clock;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Whether the comma-separated `list` ("keep-alive, Upgrade") names `token`.
bool names(std::string_view list, std::string_view token) {
    for (std::size_t from = 0; from <= list.size();) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        if (sameText(trimmed(list.substr(from, comma - from)), token)) return true;
        from = comma + 1;
    }
    return false;
}

// The path of a request target, without its query and with %XX decoded.
std::string pathOf(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::string path;
    for (std::size_t i = 0; i < target.size(); ++i) {
        unsigned value = 0;
        if (target[i] == '%' && i + 2 < target.size() &&
            std::from_chars(target.data() + i + 1, target.data() + i + 3, value, 16).ptr == target.data() + i + 3) {
            path += static_cast<char>(value);
            i += 2;
        } else {
            path += target[i];
        }
    }
    return path;
}

bool isToken(std::string_view s) {
    static constexpr std::string_view kSpecial = "!#$%&'*+-.^_`|~";
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || kSpecial.find(c) != std::string_view::npos;
    });
}

const char* reasonOf(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Unknown";
    }
}

// What the head of a request says, or the status that refuses it.
struct Head {
    Request request;
    std::size_t bodyLength = 0;
    bool close = false;
    const char* refused = nullptr;  // "400 Bad Request", ...
};

Head refuse(const char* status) {
    Head h;
    h.refused = status;
    return h;
}

// `head` holds the request line and the header lines, each ending in LF.
Head parseHead(std::string_view head, const ServerLimits& limits) {
    std::vector<std::string_view> lines;
    for (std::size_t from = 0, newline; (newline = head.find('\n', from)) != std::string_view::npos; from = newline + 1) {
        std::string_view line = head.substr(from, newline - from);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
    }
    // As long a request line as common servers take.
    if (lines.front().size() > 8192) return refuse("414 URI Too Long");
    std::vector<std::string_view> words;
    for (std::size_t from = 0; from <= lines.front().size();) {
        const std::size_t space = std::min(lines.front().find(' ', from), lines.front().size());
        words.push_back(lines.front().substr(from, space - from));
        from = space + 1;
    }
    static constexpr std::string_view kMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"};
    if (words.size() != 3 || (words[2] != "HTTP/1.1" && words[2] != "HTTP/1.0") || words[1].empty() ||
        std::find(std::begin(kMethods), std::end(kMethods), words[0]) == std::end(kMethods) ||
        std::any_of(words[1].begin(), words[1].end(), [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; }))
        return refuse("400 Bad Request");
    Head h;
    h.request.method = words[0];
    h.request.target = words[1];
    h.request.path = pathOf(words[1]);
    std::optional<std::uint64_t> length;
    bool chunked = false;
    std::string_view connection;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t colon = line.find(':');
        // No name, white space before the colon, or a folded line: each read
        // differently by different parsers.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return refuse("400 Bad Request");
        const std::string_view name = line.substr(0, colon), value = trimmed(line.substr(colon + 1));
        if (sameText(name, "Content-Length")) {
            std::uint64_t n = 0;
            const auto [end, failed] = std::from_chars(value.data(), value.data() + value.size(), n);
            // Digits only: no sign, no list ("0, 5"), and one length however often it is given.
            if (value.empty() || failed != std::errc() || end != value.data() + value.size() ||
                !std::isdigit(static_cast<unsigned char>(value.front())) || (length && *length != n))
                return refuse("400 Bad Request");
            length = n;
        } else if (sameText(name, "Transfer-Encoding")) {
            chunked = true;
        } else if (sameText(name, "Connection")) {
            connection = value;
        }
        h.request.headers.emplace_back(name, value);
    }
    if (chunked && length) return refuse("400 Bad Request");
    // A body is taken only with a length, and only up to the limit.
    if (chunked || (length && *length > limits.maxBodyBytes)) return refuse("413 Payload Too Large");
    h.bodyLength = length.value_or(0);
    h.close = words[2] == "HTTP/1.1" ? names(connection, "close") : !names(connection, "keep-alive");
    return h;
}

// A connection's bytes without TLS.
class PlainSession final : public TlsSession {
public:
    explicit PlainSession(int fd) : fd_(fd) {}
    Io handshake() override { return Io::Done; }
    Io read(char* data, std::size_t size, std::size_t& got) override {
        const ssize_t n = ::recv(fd_, data, size, MSG_DONTWAIT);
        got = n > 0 ? static_cast<std::size_t>(n) : 0;
        if (n > 0) return Io::Done;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? Io::WantRead : Io::Closed;
    }
    Io write(const char* data, std::size_t size, std::size_t& put) override {
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        put = n > 0 ? static_cast<std::size_t>(n) : 0;
        if (n >= 0) return Io::Done;
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Io::WantWrite : Io::Closed;
    }
    void close() override {}

private:
    int fd_;
};

enum class Phase { Handshake, Reading, Handling, Writing, Closing };

struct Connection {
    std::uint64_t id = 0;
    int fd = -1;
    std::unique_ptr<TlsSession> session;
    Phase phase = Phase::Reading;
    short wants = 0;                // what the transport waits for; 0: what the phase needs
    Clock::time_point waitingSince;  // the start of the request it has not yet completed
    Clock::time_point deadline;
    bool idle = false;              // kept open after an answer, nothing of the next request yet
    std::string in;
    std::size_t skipped = 0;        // empty lines before the request line
    std::string out;
    std::size_t sent = 0;
    bool closeAfter = false;
};

struct Job {
    std::uint64_t id;
    Request request;
    bool head;
    bool close;
};

struct Done {
    std::uint64_t id;
    std::string answer;
    bool close;
};

}  // namespace

std::string Request::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (sameText(n, name)) return v;
    return "";
}

std::string bindError(const std::string& host, int port) {
    return "cannot serve metrics on " + host + ":" + std::to_string(port);
}

struct HttpServer::Impl {
    ServerLimits limits;
    Handler handler;
    std::shared_ptr<TlsContext> tls;
    int listener = -1;
    int wake = -1;  // an eventfd: a handler's answer is ready, or stop()
    std::atomic<bool> stopping{false};
    std::thread loop;

    std::mutex mutex;  // guards the queues and the workers
    std::condition_variable work;
    std::deque<Job> jobs;
    std::deque<Done> done;
    std::vector<std::thread> workers;
    std::size_t idleWorkers = 0;

    std::list<Connection> connections;
    std::uint64_t nextId = 1;

    void serve();
    void step(Connection& c, Clock::time_point now);
    void receive(Connection& c, Clock::time_point now);
    void parse(Connection& c, Clock::time_point now);
    void transmit(Connection& c, Clock::time_point now);
    void answered(Connection& c, std::string answer, bool close);
    // False when out of descriptors.
    bool accept(Clock::time_point now);
    void dispatch(Job job);
    void runWorker();
    std::string answerOf(const Job& job);
};

HttpServer::HttpServer(const ServerLimits& limits, Handler handler, std::shared_ptr<TlsContext> tls)
    : impl_(std::make_unique<Impl>()) {
    impl_->limits = limits;
    impl_->handler = std::move(handler);
    impl_->tls = std::move(tls);
}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::running() const { return impl_->loop.joinable(); }

std::optional<int> HttpServer::start(const std::string& host, int port, std::string& error) {
    if (running()) {
        error = "the server runs already";
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int fd = -1;
    if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found) == 0) {
        for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) continue;
            // Not SO_REUSEPORT, which would let a second instance share the
            // port unnoticed and split the requests between them.
            int yes = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            // Connections that wait in the kernel's queue hold none of the
            // program's descriptors.
            if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 1024) != 0) {
                ::close(fd);
                fd = -1;
            }
        }
        ::freeaddrinfo(found);
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                                 : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    impl_->wake = fd >= 0 ? ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1;
    if (impl_->wake < 0) {
        if (fd >= 0) ::close(fd);
        error = bindError(host, port);
        return std::nullopt;
    }
    impl_->listener = fd;
    impl_->stopping = false;
    impl_->loop = std::thread([this] { impl_->serve(); });
    return port;
}

void HttpServer::stop() {
    Impl& s = *impl_;
    if (!s.loop.joinable()) return;
    s.stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(s.wake, &one, sizeof one);
    s.loop.join();
    {
        std::lock_guard lock(s.mutex);
        s.jobs.clear();
    }
    s.work.notify_all();
    for (std::thread& t : s.workers) t.join();
    s.workers.clear();
    s.idleWorkers = 0;
    s.done.clear();
    for (const Connection& c : s.connections) ::close(c.fd);
    s.connections.clear();
    ::close(s.listener);
    ::close(s.wake);
    s.listener = s.wake = -1;
}

void HttpServer::Impl::dispatch(Job job) {
    std::lock_guard lock(mutex);
    jobs.push_back(std::move(job));
    if (jobs.size() > idleWorkers && workers.size() < std::max<std::size_t>(limits.maxWorkers, 1))
        workers.emplace_back([this] { runWorker(); });
    work.notify_one();
}

void HttpServer::Impl::runWorker() {
    std::unique_lock lock(mutex);
    for (;;) {
        ++idleWorkers;
        work.wait(lock, [this] { return stopping || !jobs.empty(); });
        --idleWorkers;
        if (stopping) return;
        Job job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        std::string answer = answerOf(job);
        lock.lock();
        done.push_back({job.id, std::move(answer), job.close});
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake, &one, sizeof one);
    }
}

std::string HttpServer::Impl::answerOf(const Job& job) {
    Response r;
    try {
        r = handler(job.request);
    } catch (...) {
        r = Response{500, "text/plain; charset=utf-8", "Internal Server Error\n", {}};
    }
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reasonOf(r.status) + "\r\n";
    for (const auto& [name, value] : r.headers) out += name + ": " + value + "\r\n";
    if (job.close) out += "Connection: close\r\n";
    out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    if (!r.body.empty() || r.status == 200) out += "Content-Type: " + r.contentType + "\r\n";
    if (!job.close)
        out += "Keep-Alive: timeout=" +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limits.idleTimeout).count()) + "\r\n";
    out += "\r\n";
    if (!job.head) out += r.body;
    return out;
}

void HttpServer::Impl::answered(Connection& c, std::string answer, bool close) {
    c.out = std::move(answer);
    c.sent = 0;
    c.closeAfter = close;
    c.phase = Phase::Writing;
    c.wants = 0;
}

// Takes the next request from what `c` sent once it is whole, or refuses it.
void HttpServer::Impl::parse(Connection& c, Clock::time_point now) {
    // One empty line may come before a request (after a body some clients
    // end with CRLF); more are refused like any other malformed head.
    while (!c.in.empty() && (c.in[0] == '\n' || c.in.starts_with("\r\n"))) {
        c.in.erase(0, c.in[0] == '\n' ? 1 : 2);
        if (++c.skipped > 1) return answered(c, refusal("400 Bad Request"), true);
    }
    if (c.in.empty() || (c.in.size() == 1 && c.in[0] == '\r')) return;
    if (c.idle) {
        // The first byte of the next request: its head deadline runs.
        c.idle = false;
        c.waitingSince = now;
        c.deadline = now + limits.headDeadline;
    }
    std::size_t headLength = 0, end = 0, lines = 0;
    for (std::size_t from = 0;;) {
        const std::size_t newline = c.in.find('\n', from);
        if (newline == std::string::npos || newline + 1 > limits.maxHeadBytes) {
            if (c.in.size() > limits.maxHeadBytes || newline != std::string::npos)
                return answered(c, refusal("431 Request Header Fields Too Large"), true);
            return;  // more to come
        }
        if (newline == from || (newline == from + 1 && c.in[from] == '\r')) {
            headLength = from;
            end = newline + 1;
            break;
        }
        // The request line and the header lines.
        if (++lines > limits.maxHeaderLines + 1) return answered(c, refusal("431 Request Header Fields Too Large"), true);
        from = newline + 1;
    }
    Head h = parseHead(std::string_view(c.in).substr(0, headLength), limits);
    if (h.refused) return answered(c, refusal(h.refused), true);
    if (c.in.size() < end + h.bodyLength) {
        // The body is on its way, within the request's deadline.
        c.deadline = c.waitingSince + limits.requestDeadline;
        return;
    }
    h.request.body = c.in.substr(end, h.bodyLength);
    c.in.erase(0, end + h.bodyLength);
    c.skipped = 0;
    c.phase = Phase::Handling;
    c.wants = 0;
    const bool headOnly = h.request.method == "HEAD";
    dispatch({c.id, std::move(h.request), headOnly, h.close});
}

void HttpServer::Impl::receive(Connection& c, Clock::time_point now) {
    char buffer[4096];
    // A bounded share per turn, so that one fast sender cannot hold the loop.
    for (int turn = 0; turn < 16; ++turn) {
        std::size_t got = 0;
        const TlsSession::Io io = c.session->read(buffer, sizeof buffer, got);
        if (io == TlsSession::Io::Closed) {
            c.phase = Phase::Closing;
            c.deadline = now;  // the client is done
            return;
        }
        if (io != TlsSession::Io::Done) {
            c.wants = io == TlsSession::Io::WantWrite ? POLLOUT : 0;
            return;
        }
        if (c.phase == Phase::Closing) continue;  // read and dropped, so that closing does not reset the answer
        c.in.append(buffer, got);
        parse(c, now);
        if (c.phase != Phase::Reading) return;
    }
}

void HttpServer::Impl::transmit(Connection& c, Clock::time_point now) {
    while (c.sent < c.out.size()) {
        std::size_t put = 0;
        const TlsSession::Io io = c.session->write(c.out.data() + c.sent, c.out.size() - c.sent, put);
        if (io == TlsSession::Io::Closed) {
            c.phase = Phase::Closing;
            c.deadline = now;
            return;
        }
        if (io != TlsSession::Io::Done) {
            c.wants = io == TlsSession::Io::WantRead ? POLLIN : 0;
            return;
        }
        c.sent += put;
    }
    c.out.clear();
    c.sent = 0;
    c.wants = 0;
    if (c.closeAfter) {
        // What the client still sends is read until it closes or a short
        // while passes, so that its unread bytes do not reset the answer.
        c.session->close();
        ::shutdown(c.fd, SHUT_WR);
        c.phase = Phase::Closing;
        c.in.clear();
        c.deadline = now + std::chrono::seconds(2);
        return;
    }
    c.phase = Phase::Reading;
    c.idle = true;
    c.waitingSince = now;
    c.deadline = now + limits.idleTimeout;
    parse(c, now);  // a request sent ahead
}

void HttpServer::Impl::step(Connection& c, Clock::time_point now) {
    if (c.phase == Phase::Handshake) {
        const TlsSession::Io io = c.session->handshake();
        if (io == TlsSession::Io::Closed) {
            c.deadline = now;
            c.phase = Phase::Closing;
            return;
        }
        if (io != TlsSession::Io::Done) {
            c.wants = io == TlsSession::Io::WantWrite ? POLLOUT : POLLIN;
            return;
        }
        c.phase = Phase::Reading;
        c.wants = 0;
        c.waitingSince = now;
        c.deadline = now + limits.headDeadline;
    }
    if (c.phase == Phase::Writing) transmit(c, now);
    else if (c.phase == Phase::Reading || c.phase == Phase::Closing) receive(c, now);
}

bool HttpServer::Impl::accept(Clock::time_point now) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return !(errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM);
        }
        if (connections.size() >= limits.maxConnections) {
            // At the cap the connection that has waited longest without a
            // whole request makes room: slow clients lose their places, not
            // the scrapes that arrive whole.
            auto victim = connections.end();
            for (auto it = connections.begin(); it != connections.end(); ++it)
                if ((it->phase == Phase::Handshake || it->phase == Phase::Reading || it->phase == Phase::Closing) &&
                    (victim == connections.end() || it->waitingSince < victim->waitingSince))
                    victim = it;
            if (victim == connections.end()) {
                // Every place answers a request: refused at once, holding
                // no descriptor (a TLS client could read no plain answer).
                if (!tls) {
                    static const std::string kBusy = refusal("503 Service Unavailable");
                    [[maybe_unused]] const ssize_t n = ::send(fd, kBusy.data(), kBusy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                }
                ::close(fd);
                continue;
            }
            ::close(victim->fd);
            connections.erase(victim);
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Connection c;
        c.id = nextId++;
        c.fd = fd;
        c.waitingSince = now;
        if (tls) {
            c.session = tls->session(fd);
            if (!c.session) {
                ::close(fd);
                continue;
            }
            c.phase = Phase::Handshake;
            c.deadline = now + limits.handshakeDeadline;
        } else {
            c.session = std::make_unique<PlainSession>(fd);
            c.deadline = now + limits.headDeadline;
        }
        connections.push_back(std::move(c));
    }
}

void HttpServer::Impl::serve() {
    std::vector<pollfd> polled;
    std::vector<Connection*> order;
    Clock::time_point acceptAgain{};
    while (!stopping) {
        const auto now = Clock::now();
        {
            std::lock_guard lock(mutex);
            for (Done& d : done)
                for (Connection& c : connections)
                    if (c.id == d.id && c.phase == Phase::Handling) answered(c, std::move(d.answer), d.close);
            done.clear();
        }
        auto wake_at = now + limits.idleTimeout;
        const bool accepting = now >= acceptAgain;
        if (!accepting) wake_at = std::min(wake_at, acceptAgain);
        polled.assign({{wake, POLLIN, 0}, {listener, static_cast<short>(accepting ? POLLIN : 0), 0}});
        order.clear();
        for (auto it = connections.begin(); it != connections.end();) {
            // A handler's time is its own; every other phase has a deadline.
            if (it->phase != Phase::Handling && it->deadline <= now) {
                ::close(it->fd);
                it = connections.erase(it);
                continue;
            }
            short events = it->wants;
            if (!events) events = it->phase == Phase::Writing ? POLLOUT : it->phase == Phase::Handling ? 0 : POLLIN;
            polled.push_back({it->fd, events, 0});
            order.push_back(&*it);
            if (it->phase == Phase::Reading && it->session->pending()) wake_at = now;
            if (it->phase != Phase::Handling) wake_at = std::min(wake_at, it->deadline);
            ++it;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake_at - now).count();
        if (::poll(polled.data(), polled.size(), static_cast<int>(std::max<long>(wait, 0))) < 0 && errno != EINTR) break;
        if (polled[0].revents) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake, &count, sizeof count);
        }
        const auto later = Clock::now();
        for (std::size_t i = 0; i < order.size(); ++i)
            if ((polled[i + 2].revents || (order[i]->phase == Phase::Reading && order[i]->session->pending())) &&
                order[i]->phase != Phase::Handling)
                step(*order[i], later);
        // Out of descriptors elsewhere in the program: try again shortly.
        if ((polled[1].revents & POLLIN) && !accept(later)) acceptAgain = later + std::chrono::milliseconds(50);
    }
}

}  // namespace kvx::net
