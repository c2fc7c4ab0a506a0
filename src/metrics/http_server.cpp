#include "metrics/http_server.h"

#include <arpa/inet.h>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <tuple>
#include <mutex>
#include <thread>

#include "metrics/http_head.h"

namespace kvx::net {

namespace {

using Clock = std::chrono::steady_clock;

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
    std::string peer;                // the client's address: places are shared out by it
    Clock::time_point waitingSince;  // the start of the request it has not yet completed
    Clock::time_point progressed;    // its last step forward: accepted, a request taken, bytes of an answer sent
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

// Handler threads and the requests that wait for them. The quick lane takes
// its requests in order; the slow one (password checks) in turn by peer, so
// that one client's flood of checks delays another's by at most one check.
struct Lane {
    bool byPeer = false;
    std::condition_variable work;
    std::deque<Job> jobs;
    std::vector<std::thread> workers;
    std::size_t idle = 0;
    std::vector<std::string> serving;  // the peers whose requests run now, one entry a worker

    // The next request to run: the oldest of the peer with the fewest
    // requests running.
    std::deque<Job>::iterator next() {
        if (!byPeer) return jobs.begin();
        auto best = jobs.begin();
        std::size_t fewest = SIZE_MAX;
        for (auto it = jobs.begin(); it != jobs.end() && fewest > 0; ++it) {
            const auto running = static_cast<std::size_t>(std::count(serving.begin(), serving.end(), it->request.peer));
            if (running < fewest) {
                fewest = running;
                best = it;
            }
        }
        return best;
    }
};

// The address of an accepted client, IPv4 in IPv6 written as IPv4.
std::string peerOf(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
    } else if (a.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
        else ::inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
    return text;
}

struct Done {
    std::uint64_t id;
    std::string answer;
    bool close;
};

// A listening socket on host:port, or -1. `dualStack`: an IPv6 socket takes
// IPv4 clients too. `noIpv6`: it failed for want of IPv6, not for a port taken.
int listenOn(const std::string& host, int port, bool dualStack, bool& noIpv6) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int fd = -1;
    noIpv6 = false;
    if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        noIpv6 = dualStack;
        return -1;
    }
    for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            noIpv6 = noIpv6 || (a->ai_family == AF_INET6 && errno == EAFNOSUPPORT);
            continue;
        }
        // Not SO_REUSEPORT, which would let a second instance share the
        // port unnoticed and split the requests between them.
        int yes = 1, no = 0;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (dualStack && a->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        // Connections that wait in the kernel's queue hold none of the
        // program's descriptors.
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 1024) != 0) {
            noIpv6 = noIpv6 || (a->ai_family == AF_INET6 && errno == EADDRNOTAVAIL);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

}  // namespace

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

    Triage slow;  // which requests go to the slow lane
    std::mutex mutex;  // guards the lanes and `done`
    Lane quick, checks;
    std::deque<Done> done;

    std::list<Connection> connections;
    std::uint64_t nextId = 1;

    void serve();
    void step(Connection& c, Clock::time_point now);
    void receive(Connection& c, Clock::time_point now);
    void parse(Connection& c, Clock::time_point now);
    void transmit(Connection& c, Clock::time_point now);
    void answered(Connection& c, std::string answer, bool close, Clock::time_point now);
    // False when out of descriptors.
    bool accept(Clock::time_point now);
    // Closes the connection that gives up its place to `newcomer`'s; false
    // when every place answers a request of that peer itself.
    bool makeRoom(const std::string& newcomer);
    void forget(std::uint64_t id);
    void dispatch(Job job);
    void runWorker(Lane& lane);
    std::string answerOf(const Job& job);
};

HttpServer::HttpServer(const ServerLimits& limits, Handler handler, std::shared_ptr<TlsContext> tls, Triage slow)
    : impl_(std::make_unique<Impl>()) {
    impl_->limits = limits;
    impl_->handler = std::move(handler);
    impl_->tls = std::move(tls);
    impl_->slow = std::move(slow);
    impl_->checks.byPeer = true;
}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::running() const { return impl_->loop.joinable(); }

std::optional<int> HttpServer::start(const std::string& host, int port, std::string& error) {
    if (running()) {
        error = "the server runs already";
        return std::nullopt;
    }
    // "::" is every address of both families, as exporters listen on it;
    // where IPv6 is not available, every IPv4 address.
    const bool everyAddress = host == "::";
    bool noIpv6 = false;
    int fd = listenOn(host, port, everyAddress, noIpv6);
    if (fd < 0 && everyAddress && noIpv6) fd = listenOn("0.0.0.0", port, false, noIpv6);
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
    for (Lane* lane : {&s.quick, &s.checks}) {
        {
            std::lock_guard lock(s.mutex);
            lane->jobs.clear();
        }
        lane->work.notify_all();
        for (std::thread& t : lane->workers) t.join();
        lane->workers.clear();
        lane->idle = 0;
    }
    s.done.clear();
    for (const Connection& c : s.connections) ::close(c.fd);
    s.connections.clear();
    ::close(s.listener);
    ::close(s.wake);
    s.listener = s.wake = -1;
}

void HttpServer::Impl::dispatch(Job job) {
    // Only the loop's thread dispatches, so `slow` is never called twice at once.
    Lane& lane = slow && slow(job.request) ? checks : quick;
    std::lock_guard lock(mutex);
    lane.jobs.push_back(std::move(job));
    if (lane.jobs.size() > lane.idle && lane.workers.size() < std::max<std::size_t>(limits.maxWorkers, 1))
        lane.workers.emplace_back([this, &lane] { runWorker(lane); });
    lane.work.notify_one();
}

// A request of a connection that is gone is not answered.
void HttpServer::Impl::forget(std::uint64_t id) {
    std::lock_guard lock(mutex);
    for (Lane* lane : {&quick, &checks}) std::erase_if(lane->jobs, [id](const Job& j) { return j.id == id; });
}

void HttpServer::Impl::runWorker(Lane& lane) {
    std::unique_lock lock(mutex);
    for (;;) {
        ++lane.idle;
        lane.work.wait(lock, [this, &lane] { return stopping || !lane.jobs.empty(); });
        --lane.idle;
        if (stopping) return;
        const auto next = lane.next();
        Job job = std::move(*next);
        lane.jobs.erase(next);
        lane.serving.push_back(job.request.peer);
        lock.unlock();
        std::string answer = answerOf(job);
        lock.lock();
        lane.serving.erase(std::find(lane.serving.begin(), lane.serving.end(), job.request.peer));
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
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + detail::reasonOf(r.status) + "\r\n";
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

// An answer gets the request's deadline anew, however long the handler
// took: a client that reads nothing of it cannot keep its place for ever.
void HttpServer::Impl::answered(Connection& c, std::string answer, bool close, Clock::time_point now) {
    c.out = std::move(answer);
    c.sent = 0;
    c.closeAfter = close;
    c.phase = Phase::Writing;
    c.wants = 0;
    c.deadline = now + limits.requestDeadline;
}

// Takes the next request from what `c` sent once it is whole, or refuses it.
void HttpServer::Impl::parse(Connection& c, Clock::time_point now) {
    detail::Taken t = detail::takeRequest(c.in, c.skipped, limits);
    if (t.kind == detail::Taken::Refused) return answered(c, refusal(t.head.refused), true, now);
    if (t.kind == detail::Taken::Nothing) return;
    if (c.idle) {
        // The first byte of the next request: its head deadline runs.
        c.idle = false;
        c.waitingSince = now;
        c.deadline = now + limits.headDeadline;
    }
    // The body is on its way, within the request's deadline.
    if (t.kind == detail::Taken::Body) c.deadline = c.waitingSince + limits.requestDeadline;
    if (t.kind != detail::Taken::Request) return;
    c.phase = Phase::Handling;
    c.wants = 0;
    c.progressed = now;
    t.head.request.peer = c.peer;
    const bool headOnly = t.head.request.method == "HEAD";
    dispatch({c.id, std::move(t.head.request), headOnly, t.head.close});
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
        if (put > 0) c.progressed = now;
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
    c.waitingSince = c.progressed = now;
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

bool HttpServer::Impl::makeRoom(const std::string& newcomer) {
    std::map<std::string_view, std::size_t> held{{newcomer, 1}};
    for (const Connection& c : connections) ++held[c.peer];
    // The client holding the most places gives one up, the connection that
    // has gone longest without a step forward: one address's flood of idle,
    // slow or reconnecting clients costs its own places, never another
    // client's. A place that answers a request goes last.
    auto victim = connections.end();
    auto rank = [&](const Connection& c) {
        return std::make_tuple(-static_cast<long>(held[c.peer]), c.phase == Phase::Handling, c.progressed);
    };
    for (auto it = connections.begin(); it != connections.end(); ++it)
        if (victim == connections.end() || rank(*it) < rank(*victim)) victim = it;
    if (victim == connections.end() || (victim->phase == Phase::Handling && victim->peer == newcomer)) return false;
    if (victim->phase == Phase::Handling) forget(victim->id);
    ::close(victim->fd);
    connections.erase(victim);
    return true;
}

bool HttpServer::Impl::accept(Clock::time_point now) {
    // A bounded share per turn: clients that come back as fast as they are
    // refused must not keep the loop from the connections it holds.
    for (std::size_t taken = 0; taken < 2 * limits.maxConnections; ++taken) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return !(errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM);
        }
        std::string peer = peerOf(address);
        if (connections.size() >= limits.maxConnections && !makeRoom(peer)) {
            // Every place of this client answers one of its requests: refused
            // at once, holding no descriptor (a TLS client could read no
            // plain answer).
            if (!tls) {
                static const std::string kBusy = refusal("503 Service Unavailable");
                [[maybe_unused]] const ssize_t n = ::send(fd, kBusy.data(), kBusy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            ::close(fd);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Connection c;
        c.id = nextId++;
        c.fd = fd;
        c.peer = std::move(peer);
        c.waitingSince = c.progressed = now;
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
    return true;
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
                    if (c.id == d.id && c.phase == Phase::Handling) answered(c, std::move(d.answer), d.close, now);
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
