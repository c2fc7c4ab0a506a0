// The one HTTP/1.1 server of the program and the simulator. One thread polls
// the listening socket and every connection, all non-blocking, and parses
// the requests itself under ServerLimits: at most that many connections (at
// the cap the client address holding the most places gives up the one that
// has gone longest without a step forward, so one address's idle, slow or
// reconnecting clients cannot lock out another's scrape; when a client's
// every place answers its own requests, 503), a head within its bytes and
// lines (431) and its deadline, an answer written within the request's
// deadline (else the connection is closed), a body only with one
// Content-Length within the limit (413), any framing that two parsers could
// read differently refused (400), and the connection closed after every
// refusal. Whole requests go to the handler on a few worker threads, so a
// slow handler (a simulated latency) never stalls the other connections;
// requests that may take long (a password check) wait in a lane of their
// own, taken in turn by client, so they never hold up the quick ones. With a
// TlsContext the same runs over TLS, the handshake under a deadline of its
// own.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "metrics/server_limits.h"

namespace kvx::net {

struct Request {
    std::string method;
    std::string target;  // as sent, query included
    std::string path;    // without the query, %XX decoded
    std::string peer;    // the client's address
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of the first header of that name (case-insensitive), or "".
    std::string header(std::string_view name) const;
};

struct Response {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

using Handler = std::function<Response(const Request&)>;
// Whether answering a request may take long (a password not yet checked).
// Called on the server's loop thread: it must be quick.
using Triage = std::function<bool(const Request&)>;

// The transport of one accepted connection. Each call does what the socket
// allows now and says what it waits for otherwise.
class TlsSession {
public:
    enum class Io { Done, WantRead, WantWrite, Closed };
    virtual ~TlsSession() = default;
    virtual Io handshake() = 0;
    virtual Io read(char* data, std::size_t size, std::size_t& got) = 0;
    virtual Io write(const char* data, std::size_t size, std::size_t& put) = 0;
    // The close notice, sent once without waiting.
    virtual void close() = 0;
    // Whether bytes already received wait to be read without the socket
    // being readable again.
    virtual bool pending() const { return false; }
};

class TlsContext {
public:
    virtual ~TlsContext() = default;
    // A session on the accepted socket `fd`; null when none can be made.
    virtual std::unique_ptr<TlsSession> session(int fd) = 0;
};

class HttpServer {
public:
    HttpServer(const ServerLimits& limits, Handler handler, std::shared_ptr<TlsContext> tls = nullptr,
               Triage slow = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on host:port (0: any free port) in a thread of its own. The
    // port, or nothing with `error` set when it cannot be bound.
    std::optional<int> start(const std::string& host, int port, std::string& error);
    // Ends the loop and waits for the handlers that run.
    void stop();
    bool running() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// "cannot serve metrics on HOST:PORT": a port taken or an address not ours.
std::string bindError(const std::string& host, int port);

}  // namespace kvx::net
