#include "history/metrics.h"

#include <httplib.h>

#include <chrono>

namespace kvx {

struct MetricsServer::Impl {
    httplib::Server server;
};

MetricsServer::MetricsServer() : impl_(std::make_unique<Impl>()) {
    // The library's default also sets SO_REUSEPORT, which would let a second
    // monitor share the port unnoticed and split the scrapes between them.
    impl_->server.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    });
    impl_->server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mutex_);
        res.set_content(text_, kContentType);
    });
    impl_->server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("KvxDiagnostics metrics: /metrics\n", "text/plain; charset=utf-8");
    });
}

MetricsServer::~MetricsServer() { stop(); }

std::optional<int> MetricsServer::start(int port) {
    if (running()) return std::nullopt;
    int bound = port;
    if (port == 0) {
        bound = impl_->server.bind_to_any_port("127.0.0.1");
        if (bound <= 0) return std::nullopt;
    } else if (!impl_->server.bind_to_port("127.0.0.1", port)) {
        return std::nullopt;
    }
    thread_ = std::thread([this] { impl_->server.listen_after_bind(); });
    // A stop before the loop runs would be lost: wait until it listens.
    for (int i = 0; i < 2000 && !impl_->server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return bound;
}

void MetricsServer::stop() {
    if (!thread_.joinable()) return;
    impl_->server.stop();
    thread_.join();
}

void MetricsServer::publish(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ = std::move(text);
}

}  // namespace kvx
