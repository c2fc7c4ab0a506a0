// libkvxdiag_metrics.so: metrics over plain HTTP behind the plain-function
// seam. It links no TLS, YAML or password library; a run with a web
// configuration loads libkvxdiag_metrics_tls.so instead.
#include "metrics/metrics_plugin_table.h"
#include "metrics/metrics_server.h"

namespace {

std::optional<int> listen(kvx::MetricsServer& server, const char* host, int port, const char* webConfigFile,
                          std::string& error) {
    if (webConfigFile) {
        error = std::string("TLS and basic authentication are served by ") + KVX_METRICS_TLS_PLUGIN_FILE;
        return std::nullopt;
    }
    return server.start(host, port, error);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const KvxMetricsServerApi* kvxdiag_metrics_server_api(void) {
    return &kvx::MetricsPluginTable<kvx::MetricsServer, listen>::api;
}
