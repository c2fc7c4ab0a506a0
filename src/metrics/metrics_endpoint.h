// The metrics server as the headless front end uses it: a plugin loaded at
// the first start, so a run without --metrics-port maps no HTTP server, and
// only a run with a web configuration maps the one with TLS.
#pragma once

#include <optional>
#include <string>

struct KvxMetricsServerApi;

namespace kvx {

class MetricsEndpoint {
public:
    MetricsEndpoint() = default;
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Loads the server and listens on host:port (0: any free port), with the
    // TLS and users of the web configuration file when one is named. The
    // port; nothing with `error` set when the plugin cannot be loaded, the
    // file cannot be used or the port cannot be bound.
    std::optional<int> start(const std::string& host, int port, const std::optional<std::string>& webConfigFile,
                             std::string& error);
    void stop();
    bool running() const { return server_ != nullptr; }
    // What the running server serves with: KVX_METRICS_TLS, KVX_METRICS_USERS.
    unsigned features() const;

    // The text served from now on; ignored while not running.
    void publish(const std::string& text);
    // The first tick's text is published: /-/ready answers 200 from now on.
    void markReady();

private:
    const KvxMetricsServerApi* api_ = nullptr;
    const char* apiFile_ = nullptr;  // the plugin `api_` is from
    void* server_ = nullptr;
};

}  // namespace kvx
