// Fleet metrics: the monitor's state in the Prometheus text exposition
// format, and the HTTP server with TLS and basic authentication that serves
// the latest text at /metrics when a web configuration asks for them (plain
// HTTP is net::ScrapeServer's), so that an existing Prometheus and its alert
// rules can watch a fleet of controllers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "history/run_history.h"
#include "metrics/web_config.h"
#include "metrics/scrape_server.h"

namespace httplib {
class Server;
}

namespace kvx {

// The text for the latest tick of `history`: online state, fault classes,
// per-axis conditions, task errors, link counters, cycle times and band,
// restarts and offline periods. Values that only an online tick has are left
// out while the controller is offline. Every sample carries the label
// controller="<controller>".
std::string prometheusText(const RunHistory& history, const std::string& controller);

// The text while a service's start waits for a controller whose web services
// cannot be reached: kvx_up and kvx_online are 0 (the controller counts as
// offline, as at a tick that cannot reach it), and the attempts so far.
std::string prometheusStartPendingText(const std::string& controller, long attempts);

// "encoder_error", "link_counters", ... as label values.
std::string faultClassKey(std::uint32_t faultClass);

class MetricsServer {
public:
    static constexpr const char* kContentType = net::ScrapeServer::kContentType;

    MetricsServer();
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on host:port (0: any free port) in a thread of its own, with
    // the TLS and the users of `web`. Returns the port, or nothing with
    // `error` set when it cannot be bound.
    std::optional<int> start(const std::string& host, int port, const WebConfig& web, std::string& error);
    void stop();
    bool running() const { return thread_.joinable(); }

    // The text served from now on.
    void publish(std::string text);

private:
    void configure(httplib::Server& server);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
    std::mutex mutex_;
    std::string text_;
};

}  // namespace kvx
