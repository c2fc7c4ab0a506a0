// libkvxdiag_metrics_tls.so: metrics with the TLS and basic authentication
// of a web configuration file behind the plain-function seam.
#include "metrics/metrics_plugin_table.h"
#include "metrics/tls_context.h"
#include "platform/log.h"

namespace {

std::optional<int> listen(kvx::MetricsServer& server, const char* host, int port, const char* webConfigFile,
                          std::string& error) {
    std::optional<kvx::WebConfig> web = kvx::WebConfig{};
    if (webConfigFile) web = kvx::readWebConfig(webConfigFile, error);
    if (!web) return std::nullopt;
    return kvx::startSecured(server, host, port, *web, error);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const KvxMetricsServerApi* kvxdiag_metrics_server_api(void) {
    return &kvx::MetricsPluginTable<kvx::MetricsServer, listen>::api;
}

KVX_PLUGIN_TAKES_LOG_OPTIONS
