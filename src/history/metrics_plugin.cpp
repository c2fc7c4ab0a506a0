// libkvxdiag_metrics.so: the metrics server behind the plain-function seam.
#include "history/metrics_plugin.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "history/metrics.h"

namespace {

void* create() { return new (std::nothrow) kvx::MetricsServer(); }

int start(void* server, const char* host, int port, const char* webConfigFile, char* error, std::size_t errorSize) {
    std::string why;
    std::optional<kvx::WebConfig> web = kvx::WebConfig{};
    if (webConfigFile) web = kvx::readWebConfig(webConfigFile, why);
    std::optional<int> bound;
    if (web) bound = static_cast<kvx::MetricsServer*>(server)->start(host, port, *web, why);
    if (bound) return *bound;
    if (error && errorSize > 0) {
        const std::size_t n = std::min(why.size(), errorSize - 1);
        std::memcpy(error, why.data(), n);
        error[n] = '\0';
    }
    return -1;
}

void publish(void* server, const char* text, std::size_t size) {
    static_cast<kvx::MetricsServer*>(server)->publish(std::string(text, size));
}

void destroy(void* server) { delete static_cast<kvx::MetricsServer*>(server); }

constexpr KvxMetricsServerApi kApi{create, start, publish, destroy};

}  // namespace

extern "C" __attribute__((visibility("default"))) const KvxMetricsServerApi* kvxdiag_metrics_server_api(void) {
    return &kApi;
}
