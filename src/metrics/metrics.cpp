#include "metrics/metrics.h"

#include <httplib.h>

#include "metrics/guarded_server.h"

#include <chrono>

namespace kvx {

struct MetricsServer::Impl {
    std::unique_ptr<net::GuardedServer> server;
    std::unique_ptr<BasicAuth> auth;
};

MetricsServer::MetricsServer() : impl_(std::make_unique<Impl>()) {}

// The routes and socket options, the same over HTTP and TLS (both served
// under the same limits).
void MetricsServer::configure(httplib::Server& server) {
    // The library's default also sets SO_REUSEPORT, which would let a second
    // monitor share the port unnoticed and split the scrapes between them.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    });
    // Without valid credentials nothing but 401, whatever the path.
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (!impl_->auth || !impl_->auth->required() || impl_->auth->accepts(req.get_header_value("Authorization")))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"KvxDiagnostics\"");
        res.set_content("Unauthorized\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_payload_max_length(net::kScrapeLimits.maxBodyBytes);
    server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mutex_);
        res.set_content(text_, kContentType);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(net::ScrapeServer::kIndexText, "text/plain; charset=utf-8");
    });
}

MetricsServer::~MetricsServer() { stop(); }

std::optional<int> MetricsServer::start(const std::string& host, int port, const WebConfig& web, std::string& error) {
    if (running()) {
        error = "the metrics server runs already";
        return std::nullopt;
    }
    auto guarded = std::make_unique<net::GuardedServer>(net::kScrapeLimits);
    if (web.tls() && !guarded->useTls(web.certFile, web.keyFile, error)) return std::nullopt;
    impl_->server = std::move(guarded);
    impl_->auth = std::make_unique<BasicAuth>(web.users);
    configure(*impl_->server);
    net::GuardedServer& server = *impl_->server;
    int bound = port;
    if (port == 0) bound = server.bind_to_any_port(host);
    else if (!server.bind_to_port(host, port)) bound = -1;
    if (bound <= 0) {
        error = net::bindError(host, port);
        impl_->server.reset();
        return std::nullopt;
    }
    thread_ = std::thread([&server] { server.serve(); });
    // A stop before the loop runs would be lost: wait until it listens.
    for (int i = 0; i < 2000 && !server.serving(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return bound;
}

void MetricsServer::stop() {
    if (!thread_.joinable()) return;
    impl_->server->stopServing();
    thread_.join();
}

void MetricsServer::publish(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ = std::move(text);
}

}  // namespace kvx
