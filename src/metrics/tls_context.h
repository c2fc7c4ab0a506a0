// TLS for the HTTP server with OpenSSL, as a web configuration sets it:
// certificate and key, the lowest protocol version, client certificates.
// The certificate, key and client CA files are read again when one of them
// changes, so a renewed certificate is served without a restart. They are
// read only as regular files of bounded size, and an encrypted key is
// refused: nothing ever asks for a pass phrase.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "metrics/http_server.h"
#include "metrics/metrics_server.h"
#include "metrics/web_config.h"

namespace kvx {

// The largest certificate, key or client CA file read; a chain of a few
// certificates or a site's CA bundle fits many times.
inline constexpr std::size_t kMaxTlsFileBytes = 1 << 20;

// Nothing, with `error` set, when the files cannot be used.
std::shared_ptr<net::TlsContext> makeTlsContext(const WebConfig& web, std::string& error);

// Starts `server` with the TLS and the users of `web`.
std::optional<int> startSecured(MetricsServer& server, const std::string& host, int port, const WebConfig& web,
                                std::string& error);

}  // namespace kvx
