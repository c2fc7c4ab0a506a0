// What every HTTP server of ours takes from a client at most: connections
// held at once, the size and line count of a request's head, a body, and
// the time a TLS handshake, a request's head, a whole request and an idle
// kept connection may take.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace kvx::net {

struct ServerLimits {
    std::size_t maxConnections = 32;
    std::size_t maxHeadBytes = 16 * 1024;  // request line and header lines
    std::size_t maxHeaderLines = 64;
    std::size_t maxBodyBytes = 0;          // larger bodies are answered 413
    // From a new connection's accept (after its handshake over TLS), or
    // from the first byte of a later request on a kept connection.
    std::chrono::milliseconds headDeadline{5000};
    std::chrono::milliseconds requestDeadline{10000};  // head and body
    std::chrono::milliseconds handshakeDeadline{3000};
    std::chrono::milliseconds idleTimeout{5000};
    // Threads that run the handler; more are started only while all are busy.
    std::size_t maxWorkers = 2;
};

// What a metrics scrape needs, and no more: no body, a small head, a few
// scrapers at once. Everything beyond is refused, so the port can take
// neither the monitor's memory nor its file descriptors (which its driver
// connection needs). A kept connection idles longer than any scrape interval
// in use (Prometheus's default is a minute): otherwise every scrape at a
// longer interval, and at 5 s now and then one that comes a little late,
// connects anew, and over TLS a handshake costs the monitor seven times the
// scrape. Idle connections are the first to make room at the cap.
inline constexpr ServerLimits kScrapeLimits{.maxConnections = 32,
                                            .maxHeadBytes = 16 * 1024,
                                            .maxHeaderLines = 64,
                                            .maxBodyBytes = 0,
                                            .headDeadline = std::chrono::seconds(5),
                                            .requestDeadline = std::chrono::seconds(10),
                                            .handshakeDeadline = std::chrono::seconds(3),
                                            .idleTimeout = std::chrono::minutes(2),
                                            .maxWorkers = 2};

// The answer that refuses a request ("413 Payload Too Large") and ends its
// connection.
inline std::string refusal(const char* status) {
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

}  // namespace kvx::net
