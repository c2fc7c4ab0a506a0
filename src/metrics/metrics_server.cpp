#include "metrics/metrics_server.h"

namespace kvx {

MetricsServer::MetricsServer() : state_(std::make_shared<State>()) {}

MetricsServer::~MetricsServer() { stop(); }

net::Response MetricsServer::answer(State& state, const net::Request& request) {
    // Without valid credentials nothing but 401, whatever the path.
    if (state.authorize && !state.authorize(request.header("Authorization"), state.stopping))
        return {401, "text/plain; charset=utf-8", "Unauthorized\n", {{"WWW-Authenticate", "Basic realm=\"KvxDiagnostics\""}}};
    if (request.method != "GET" && request.method != "HEAD") return {405, "", "", {{"Allow", "GET, HEAD"}}};
    if (request.path == "/metrics") {
        std::lock_guard lock(state.mutex);
        return {200, kContentType, state.text, {}};
    }
    if (request.path == "/") return {200, "text/plain; charset=utf-8", kIndexText, {}};
    return {404, "", "", {}};
}

std::optional<int> MetricsServer::start(const std::string& host, int port, std::string& error,
                                        std::shared_ptr<net::TlsContext> tls, Authorizer authorize) {
    if (running()) {
        error = "the metrics server runs already";
        return std::nullopt;
    }
    features_ = (tls ? kTls : 0u) | (authorize ? kUsers : 0u);
    state_->authorize = std::move(authorize);
    state_->stopping = false;
    // The handler owns the state it reads: a password check left running at
    // the end never reads freed memory.
    auto server = std::make_unique<net::HttpServer>(
        net::kScrapeLimits, [state = state_](const net::Request& r) { return answer(*state, r); }, std::move(tls));
    const std::optional<int> bound = server->start(host, port, error);
    if (bound) server_ = std::move(server);
    return bound;
}

void MetricsServer::stop() {
    if (!server_) return;
    // A password check in progress is abandoned, not waited for.
    state_->stopping = true;
    server_->stop();
    server_.reset();
}

void MetricsServer::publish(std::string text) {
    std::lock_guard lock(state_->mutex);
    state_->text = std::move(text);
}

}  // namespace kvx
