// The metrics endpoint: GET or HEAD of /metrics answers the latest published
// text, GET / points there, /-/healthy and /-/ready answer as exporters do,
// over plain HTTP or over TLS, with or without basic authentication (without
// valid credentials nothing but 401, whatever the path).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "metrics/http_server.h"

namespace kvx {

class MetricsServer {
public:
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";
    // The landing page at "/", as exporters have one: a link to the metrics.
    static constexpr const char* kIndexText =
        "<!DOCTYPE html>\n<html><head><title>KvxDiagnostics</title></head>\n"
        "<body><h1>KvxDiagnostics</h1><p><a href=\"/metrics\">Metrics</a></p></body></html>\n";
    static constexpr const char* kIndexType = "text/html; charset=utf-8";
    // Whether an Authorization header names a user with the right password;
    // it gives up (false) once `stop` is set.
    using Authorizer = std::function<bool(const std::string& authorization, const std::atomic<bool>& stop)>;
    // Whether an Authorization header was accepted before and is answered
    // at once: the others wait for a password check apart from the scrapes.
    using Remembered = std::function<bool(const std::string& authorization)>;
    // What start() serves with, for the start line.
    static constexpr unsigned kTls = 1, kUsers = 2;

    MetricsServer();
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on host:port (0: any free port) in a thread of its own: plain
    // HTTP without `tls`, every request checked when `authorize` is set.
    // The port, or nothing with `error` set when it cannot be bound.
    std::optional<int> start(const std::string& host, int port, std::string& error,
                             std::shared_ptr<net::TlsContext> tls = nullptr, Authorizer authorize = {},
                             Remembered remembered = {});
    void stop();
    bool running() const { return server_ != nullptr; }
    unsigned features() const { return features_; }

    // The text served from now on. Its samples' controller label is given to
    // the server's own counters of /metrics requests
    // (promhttp_metric_handler_requests_total{code}, as exporters count them).
    void publish(std::string text);
    // /-/ready answers 503 until this, 200 from then on: the monitor has
    // reached its controller and completed a tick, so its text is a tick's.
    void markReady() { state_->ready = true; }

private:
    struct State {
        std::mutex mutex;
        std::string text;
        std::string controllerLabel;  // controller="...", from the text
        std::atomic<std::uint64_t> scrapes{0}, refused{0};  // /metrics answered 200, 401
        std::atomic<bool> stopping{false};
        std::atomic<bool> ready{false};
        Authorizer authorize;
    };
    static net::Response answer(State& state, const net::Request& request);

    std::shared_ptr<State> state_;
    std::unique_ptr<net::HttpServer> server_;
    unsigned features_ = 0;
};

}  // namespace kvx
