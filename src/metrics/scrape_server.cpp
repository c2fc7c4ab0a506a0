#include "metrics/scrape_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <list>
#include <string_view>
#include <system_error>
#include <vector>

namespace kvx::net {

namespace {

using Clock = std::chrono::steady_clock;

enum class Head { Incomplete, Complete, TooLarge };

// Whether `in` begins with a whole request head within the limits, and
// where that head ends (after its empty line). Lines end in CRLF or LF.
Head scanHead(const std::string& in, const ServerLimits& limits, std::size_t& end) {
    std::size_t lines = 0;
    for (std::size_t from = 0;;) {
        const std::size_t newline = in.find('\n', from);
        if (newline == std::string::npos) return in.size() > limits.maxHeadBytes ? Head::TooLarge : Head::Incomplete;
        if (newline + 1 > limits.maxHeadBytes) return Head::TooLarge;
        if (newline == from || (newline == from + 1 && in[from] == '\r')) {
            end = newline + 1;
            return Head::Complete;
        }
        if (++lines > limits.maxHeaderLines + 1) return Head::TooLarge;  // the request line and the header lines
        from = newline + 1;
    }
}

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

// What the header lines of a request say about it.
struct Fields {
    bool body = false;  // a body beyond the limit, or one of unknown length
    std::string_view connection;
};

Fields fieldsOf(const std::vector<std::string_view>& headerLines, std::uint64_t maxBody) {
    Fields fields;
    for (const std::string_view line : headerLines) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = trimmed(line.substr(0, colon)), value = trimmed(line.substr(colon + 1));
        if (sameText(name, "Transfer-Encoding")) {
            fields.body = true;
        } else if (sameText(name, "Content-Length")) {
            std::uint64_t length = 0;
            const auto [end, failed] = std::from_chars(value.data(), value.data() + value.size(), length);
            fields.body = fields.body || value.empty() || failed != std::errc() ||
                          end != value.data() + value.size() || length > maxBody;
        } else if (sameText(name, "Connection")) {
            fields.connection = value;
        }
    }
    return fields;
}

struct RequestLine {
    std::string_view method, target, version;
};

// "GET /metrics HTTP/1.1"; nothing for a line that is no request of HTTP/1.x.
std::optional<RequestLine> requestLineOf(std::string_view line) {
    std::vector<std::string_view> words;
    for (std::size_t from = 0; from < line.size();) {
        const std::size_t space = std::min(line.find(' ', from), line.size());
        if (space > from) words.push_back(line.substr(from, space - from));
        from = space + 1;
    }
    if (words.size() != 3 || (words[2] != "HTTP/1.1" && words[2] != "HTTP/1.0")) return std::nullopt;
    for (const char c : words[1])
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return std::nullopt;
    static constexpr std::string_view kMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"};
    if (std::find(std::begin(kMethods), std::end(kMethods), words[0]) == std::end(kMethods)) return std::nullopt;
    return RequestLine{words[0], words[1], words[2]};
}

}  // namespace

std::string bindError(const std::string& host, int port) {
    return "cannot serve metrics on " + host + ":" + std::to_string(port);
}

// One client: what it sent that is not answered yet, the answer on its way,
// and until when it may take.
struct ScrapeServer::Connection {
    int fd = -1;
    Clock::time_point deadline;
    std::string in;
    std::string out;
    std::size_t sent = 0;
    bool inRequest = false;  // a request has begun: its deadline runs, not the idle one
    bool closeAfterAnswer = false;
    bool closing = false;    // the last answer is out: read to the end, then close
};

ScrapeServer::~ScrapeServer() { stop(); }

std::optional<int> ScrapeServer::start(const std::string& host, int port, std::string& error) {
    if (running()) {
        error = "the metrics server runs already";
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int fd = -1;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) == 0) {
        for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) continue;
            // Not SO_REUSEPORT, which would let a second monitor share the
            // port unnoticed and split the scrapes between them.
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
    wake_ = fd >= 0 ? ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1;
    if (wake_ < 0) {
        if (fd >= 0) ::close(fd);
        error = bindError(host, port);
        return std::nullopt;
    }
    listener_ = fd;
    thread_ = std::thread([this] { serve(); });
    return port;
}

void ScrapeServer::stop() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(listener_);
    ::close(wake_);
    listener_ = wake_ = -1;
}

void ScrapeServer::publish(std::string text) {
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
}

std::string ScrapeServer::answer(const std::string& head, bool& close) {
    std::vector<std::string_view> lines;
    for (std::size_t from = 0, newline; (newline = head.find('\n', from)) != std::string::npos; from = newline + 1)
        lines.push_back(trimmed(std::string_view(head).substr(from, newline - from)));
    lines.pop_back();  // the empty line that ends the head
    const Fields fields = fieldsOf({lines.begin() + 1, lines.end()}, limits_.maxBodyBytes);
    close = true;
    // A body is taken only with a length, and only up to the limit.
    if (fields.body) return refusal("413 Payload Too Large");
    // As long a request line as common servers take.
    if (lines.front().size() > 8192) return refusal("414 URI Too Long");
    const std::optional<RequestLine> request = requestLineOf(lines.front());
    if (!request) return refusal("400 Bad Request");
    close = request->version == "HTTP/1.1" ? names(fields.connection, "close") : !names(fields.connection, "keep-alive");

    const std::string path = pathOf(request->target);
    const bool get = request->method == "GET" || request->method == "HEAD";
    std::string status = "404 Not Found", type, content;
    if (!get) {
        status = "405 Method Not Allowed";
    } else if (path == "/metrics") {
        status = "200 OK";
        type = kContentType;
        std::lock_guard lock(mutex_);
        content = text_;
    } else if (path == "/") {
        status = "200 OK";
        type = "text/plain; charset=utf-8";
        content = kIndexText;
    }
    std::string out = "HTTP/1.1 " + status + "\r\n";
    if (!get) out += "Allow: GET, HEAD\r\n";
    if (close) out += "Connection: close\r\n";
    out += "Content-Length: " + std::to_string(content.size()) + "\r\n";
    if (!type.empty()) out += "Content-Type: " + type + "\r\n";
    if (!close)
        out += "Keep-Alive: timeout=" +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limits_.idleTimeout).count()) + "\r\n";
    out += "\r\n";
    if (request->method != "HEAD") out += content;
    return out;
}

// Answers the request at the front of what `c` sent once its head is whole;
// one answer at a time, so a client that sends ahead waits for its answers.
void ScrapeServer::proceed(Connection& c) {
    if (c.sent < c.out.size() || c.closing) return;
    // The empty lines a client may send between requests.
    while (!c.in.empty() && (c.in[0] == '\n' || c.in.starts_with("\r\n"))) c.in.erase(0, c.in[0] == '\n' ? 1 : 2);
    std::size_t end = 0;
    switch (scanHead(c.in, limits_, end)) {
    case Head::Incomplete: return;
    case Head::TooLarge:
        c.out = refusal("431 Request Header Fields Too Large");
        c.closeAfterAnswer = true;
        break;
    case Head::Complete:
        c.out = answer(c.in.substr(0, end), c.closeAfterAnswer);
        c.in.erase(0, end);
        break;
    }
    c.sent = 0;
}

bool ScrapeServer::receive(Connection& c) {
    char buffer[4096];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) return false;   // the client is done
    if (c.closing) return true;  // read and dropped, so that closing does not reset the answer
    if (!c.inRequest) {
        c.inRequest = true;
        c.deadline = Clock::now() + limits_.requestDeadline;
    }
    c.in.append(buffer, static_cast<std::size_t>(n));
    proceed(c);
    return c.sent < c.out.size() ? transmit(c) : true;
}

bool ScrapeServer::transmit(Connection& c) {
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.sent += static_cast<std::size_t>(n);
    }
    c.out.clear();
    c.sent = 0;
    if (c.closeAfterAnswer) {
        // What the client still sends is read until it closes or the
        // request's deadline passes.
        ::shutdown(c.fd, SHUT_WR);
        c.closing = true;
        c.in.clear();
        return true;
    }
    c.inRequest = !c.in.empty();
    c.deadline = Clock::now() + (c.inRequest ? limits_.requestDeadline : limits_.idleTimeout);
    proceed(c);
    return true;
}

void ScrapeServer::serve() {
    std::list<Connection> connections;
    Clock::time_point acceptAgain{};
    std::vector<pollfd> polled;
    for (;;) {
        const auto now = Clock::now();
        auto wake = now + limits_.idleTimeout;
        polled.assign({{wake_, POLLIN, 0}, {listener_, static_cast<short>(now >= acceptAgain ? POLLIN : 0), 0}});
        if (now < acceptAgain) wake = std::min(wake, acceptAgain);
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->deadline <= now) {
                ::close(it->fd);
                it = connections.erase(it);
                continue;
            }
            polled.push_back({it->fd, static_cast<short>(it->sent < it->out.size() ? POLLOUT : POLLIN), 0});
            wake = std::min(wake, it->deadline);
            ++it;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        if (::poll(polled.data(), polled.size(), static_cast<int>(wait)) < 0 && errno != EINTR) break;
        if (polled[0].revents) break;  // stop()

        std::size_t i = 2;
        for (auto it = connections.begin(); it != connections.end(); ++i) {
            const short events = polled[i].revents;
            const bool keep = (events & POLLOUT) ? transmit(*it) : events ? receive(*it) : true;
            if (keep) {
                ++it;
            } else {
                ::close(it->fd);
                it = connections.erase(it);
            }
        }
        while (polled[1].revents & POLLIN) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                // Out of descriptors elsewhere in the program: try again shortly.
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    acceptAgain = Clock::now() + std::chrono::milliseconds(50);
                break;
            }
            if (connections.size() >= limits_.maxConnections) {
                // Refused at once: a flood of connections holds no descriptor.
                static const std::string kBusy = refusal("503 Service Unavailable");
                [[maybe_unused]] const ssize_t n = ::send(fd, kBusy.data(), kBusy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                ::close(fd);
                continue;
            }
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            Connection& c = connections.emplace_back();
            c.fd = fd;
            c.deadline = Clock::now() + limits_.idleTimeout;
        }
    }
    for (const Connection& c : connections) ::close(c.fd);
}

}  // namespace kvx::net
