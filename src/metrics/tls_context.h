// TLS for the HTTP server with OpenSSL, as a web configuration sets it:
// certificate and key, the lowest protocol version, client certificates.
// The certificate, key and client CA files are read again when one of them
// changes, so a renewed certificate is served without a restart.
#pragma once

#include <memory>
#include <string>

#include "metrics/http_server.h"
#include "metrics/metrics_server.h"
#include "metrics/web_config.h"

namespace kvx {

// Nothing, with `error` set, when the files cannot be used.
std::shared_ptr<net::TlsContext> makeTlsContext(const WebConfig& web, std::string& error);

// Starts `server` with the TLS and the users of `web`.
std::optional<int> startSecured(MetricsServer& server, const std::string& host, int port, const WebConfig& web,
                                std::string& error);

}  // namespace kvx
