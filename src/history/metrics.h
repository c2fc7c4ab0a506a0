// Fleet metrics: the monitor's state in the Prometheus text exposition
// format, and a small HTTP server on loopback that serves the latest text at
// /metrics, so that an existing Prometheus and its alert rules can watch a
// fleet of controllers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "history/run_history.h"

namespace kvx {

// The text for the latest tick of `history`: online state, fault classes,
// per-axis conditions, task errors, link counters, cycle times and band,
// restarts and offline periods. Values that only an online tick has are left
// out while the controller is offline.
std::string prometheusText(const RunHistory& history);

// "encoder_error", "link_counters", ... as label values.
std::string faultClassKey(std::uint32_t faultClass);

class MetricsServer {
public:
    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

    MetricsServer();
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on 127.0.0.1:port (0: any free port) in a thread of its own.
    // Returns the port, or nothing when it cannot be bound.
    std::optional<int> start(int port);
    void stop();
    bool running() const { return thread_.joinable(); }

    // The text served from now on.
    void publish(std::string text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
    std::mutex mutex_;
    std::string text_;
};

}  // namespace kvx
