// A plain HTTP/1.1 server for exactly what a Prometheus scrape needs: GET or
// HEAD of /metrics answers the latest published text, GET / points there.
// It needs nothing but the C library, so a monitor that serves its metrics
// without TLS maps no HTTP or TLS library (the GuardedServer serves TLS and
// basic authentication). One thread polls the listening socket and every
// connection, all non-blocking, under the limits of a scrape (kScrapeLimits):
// at most that many connections at once (more are answered 503 and closed at
// once, so a flood never takes the program's file descriptors), a head within
// its byte and line limits (431), no body (413), a deadline for each request
// from its first byte and for the idle time of a kept connection.
#pragma once

#include <optional>
#include <mutex>
#include <string>
#include <thread>

#include "metrics/server_limits.h"

namespace kvx::net {

class ScrapeServer {
public:
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";
    // The answer to GET /.
    static constexpr const char* kIndexText = "KvxDiagnostics metrics: /metrics\n";

    explicit ScrapeServer(const ServerLimits& limits = kScrapeLimits) : limits_(limits) {}
    ~ScrapeServer();
    ScrapeServer(const ScrapeServer&) = delete;
    ScrapeServer& operator=(const ScrapeServer&) = delete;

    // Listens on host:port (0: any free port) in a thread of its own. The
    // port, or nothing with `error` set when it cannot be bound.
    std::optional<int> start(const std::string& host, int port, std::string& error);
    void stop();
    bool running() const { return thread_.joinable(); }

    // The text served at /metrics from now on.
    void publish(std::string text);

private:
    struct Connection;
    void serve();
    // The answer to the head of one request; `close` tells whether the
    // connection ends after it.
    std::string answer(const std::string& head, bool& close);
    // Reads what `c` sent and answers what is complete.
    bool receive(Connection& c);
    bool transmit(Connection& c);
    void proceed(Connection& c);

    ServerLimits limits_;
    int listener_ = -1;
    int wake_ = -1;  // an eventfd that ends the loop
    std::thread thread_;
    std::mutex mutex_;
    std::string text_;
};

// "cannot serve metrics on HOST:PORT": a port taken or an address not ours.
std::string bindError(const std::string& host, int port);

}  // namespace kvx::net
