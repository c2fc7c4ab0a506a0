#include "metrics/metrics_endpoint.h"

#include "metrics/metrics_plugin.h"
#include "platform/plugin.h"

namespace kvx {

MetricsEndpoint::~MetricsEndpoint() { stop(); }

std::optional<int> MetricsEndpoint::start(const std::string& host, int port,
                                          const std::optional<std::string>& webConfigFile, std::string& error) {
    if (running()) {
        error = "the metrics server runs already";
        return std::nullopt;
    }
    // Only a web configuration needs the plugin with TLS: plain HTTP maps
    // neither OpenSSL nor the YAML and password libraries.
    const char* file = webConfigFile ? KVX_METRICS_TLS_PLUGIN_FILE : KVX_METRICS_PLUGIN_FILE;
    if (!api_ || apiFile_ != file) {
        std::string why;
        void* plugin = loadPlugin(file, why);
        auto entry = reinterpret_cast<const KvxMetricsServerApi* (*)()>(
            plugin ? pluginSymbol(plugin, KVX_METRICS_PLUGIN_ENTRY, why) : nullptr);
        if (!entry) {
            error = "cannot serve metrics: " + why;
            return std::nullopt;
        }
        api_ = entry();
        apiFile_ = file;
    }
    void* server = api_->create();
    if (!server) {
        error = "no memory for the metrics server";
        return std::nullopt;
    }
    char why[512] = "";
    const int bound = api_->start(server, host.c_str(), port, webConfigFile ? webConfigFile->c_str() : nullptr, why,
                                  sizeof why);
    if (bound < 0) {
        api_->destroy(server);
        error = why;
        return std::nullopt;
    }
    server_ = server;
    return bound;
}

void MetricsEndpoint::stop() {
    if (!server_) return;
    api_->destroy(server_);
    server_ = nullptr;
}

unsigned MetricsEndpoint::features() const { return server_ ? api_->features(server_) : 0; }

void MetricsEndpoint::markReady() {
    if (server_) api_->ready(server_);
}

void MetricsEndpoint::publish(const std::string& text) {
    if (server_) api_->publish(server_, text.data(), text.size());
}

}  // namespace kvx
