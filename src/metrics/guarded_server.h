// An HTTP server with the limits cpp-httplib 0.11 lacks. Its own listen loop
// serves the routes registered on it (it is an httplib::Server) on each
// accepted connection, but caps how many connections it holds at once
// (more are refused at once, so a flood never takes the program's file
// descriptors), how large a request's head may grow and how many header
// lines it may have, and how long a request may take from its first byte
// and a kept connection may idle. Bodies are capped by the payload limit.
// With a certificate it serves HTTPS under the same limits: the TLS
// handshake is part of the request and keeps its deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <thread>

#include <string>

#include <httplib.h>

#include "metrics/server_limits.h"

struct ssl_ctx_st;

namespace kvx::net {

class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(ServerLimits limits);
    ~GuardedServer() override;

    // Serves TLS with this certificate (chain) and key, TLS 1.2 at least;
    // before serve(). False, with the reason, when they cannot be used.
    bool useTls(const std::string& certFile, const std::string& keyFile, std::string& error);

    // After bind_to_port / bind_to_any_port: serves until stopServing().
    bool serve();
    void stopServing();
    bool serving() const { return serving_; }
    std::size_t connections() const { return active_; }

private:
    void handle(int fd);
    void reap();

    ServerLimits limits_;
    ssl_ctx_st* tls_ = nullptr;
    std::atomic<bool> serving_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> active_{0};
    std::mutex mutex_;
    struct Connection {
        int fd;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::list<Connection> connections_;
};

}  // namespace kvx::net
