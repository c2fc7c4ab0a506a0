#include "metrics/metrics_server.h"

#include "metrics/process_metrics.h"

namespace kvx {

MetricsServer::MetricsServer() : state_(std::make_shared<State>()) {}

MetricsServer::~MetricsServer() { stop(); }

namespace {

// The label set `controller="..."` of the first sample that carries one.
std::string controllerLabelOf(const std::string& text) {
    const auto at = text.find("{controller=\"");
    if (at == std::string::npos) return {};
    std::size_t end = at + 13;
    while (end < text.size() && text[end] != '"' && text[end] != '\n') end += text[end] == '\\' ? 2 : 1;
    return end < text.size() && text[end] == '"' ? text.substr(at + 1, end - at) : std::string();
}

}  // namespace

net::Response MetricsServer::answer(State& state, const net::Request& request) {
    const bool scrape = request.path == "/metrics";
    // Without valid credentials nothing but 401, whatever the path.
    if (state.authorize && !state.authorize(request.header("Authorization"), state.stopping)) {
        if (scrape) ++state.refused;
        return {401, "text/plain; charset=utf-8", "Unauthorized\n", {{"WWW-Authenticate", "Basic realm=\"KvxDiagnostics\""}}};
    }
    if (request.method != "GET" && request.method != "HEAD") return {405, "", "", {{"Allow", "GET, HEAD"}}};
    if (scrape) {
        // This scrape counts itself, as exporters count theirs, and the
        // process figures are read now, as of the scrape. Both carry the
        // text's controller label, as every series does; a text without one
        // is served as it stands.
        const std::uint64_t answered = ++state.scrapes;
        std::lock_guard lock(state.mutex);
        if (state.controllerLabel.empty()) return {200, kContentType, state.text, {}};
        const std::string labels = state.controllerLabel + ",";
        return {200, kContentType,
                state.text + processMetricsText(state.controllerLabel) +
                    "# HELP promhttp_metric_handler_requests_total Scrapes of /metrics, by HTTP status code.\n"
                    "# TYPE promhttp_metric_handler_requests_total counter\n"
                    "promhttp_metric_handler_requests_total{" + labels + "code=\"200\"} " + std::to_string(answered) +
                    "\npromhttp_metric_handler_requests_total{" + labels + "code=\"401\"} " +
                    std::to_string(state.refused.load()) + "\n",
                {}};
    }
    if (request.path == "/") return {200, kIndexType, kIndexText, {}};
    // The process answers: healthy. Ready once a tick's data is served; a
    // service still waiting for its controller at start is not.
    if (request.path == "/-/healthy") return {200, "text/plain; charset=utf-8", "OK\n", {}};
    if (request.path == "/-/ready")
        return state.ready ? net::Response{200, "text/plain; charset=utf-8", "OK\n", {}}
                           : net::Response{503, "text/plain; charset=utf-8", "Service Unavailable\n", {}};
    return {404, "", "", {}};
}

std::optional<int> MetricsServer::start(const std::string& host, int port, std::string& error,
                                        std::shared_ptr<net::TlsContext> tls, Authorizer authorize,
                                        Remembered remembered) {
    if (running()) {
        error = "the metrics server runs already";
        return std::nullopt;
    }
    features_ = (tls ? kTls : 0u) | (authorize ? kUsers : 0u);
    state_->authorize = std::move(authorize);
    state_->stopping = false;
    // The handler owns the state it reads: a password check left running at
    // the end never reads freed memory.
    net::Triage slow;
    if (state_->authorize)
        slow = [remembered = std::move(remembered)](const net::Request& r) {
            return !remembered || !remembered(r.header("Authorization"));
        };
    auto server = std::make_unique<net::HttpServer>(
        net::kScrapeLimits, [state = state_](const net::Request& r) { return answer(*state, r); }, std::move(tls),
        std::move(slow));
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
    std::string label = controllerLabelOf(text);
    std::lock_guard lock(state_->mutex);
    state_->text = std::move(text);
    state_->controllerLabel = std::move(label);
}

}  // namespace kvx
