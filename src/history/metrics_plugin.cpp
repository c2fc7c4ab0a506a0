// libkvxdiag_metrics.so: the metrics server behind the plain-function seam.
#include "history/metrics_plugin.h"

#include <new>
#include <string>

#include "history/metrics.h"

namespace {

void* create() { return new (std::nothrow) kvx::MetricsServer(); }

int start(void* server, int port) {
    const std::optional<int> bound = static_cast<kvx::MetricsServer*>(server)->start(port);
    return bound ? *bound : -1;
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
