#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <ctime>
#include <regex>

#include "lib/answer_fields.h"
#include "lib/transport.h"

namespace kvxsim {

namespace {

// Writing to a connection whose peer has died raises SIGPIPE, which would end
// the monitor. For the length of one request the calling thread blocks it and
// discards any that the request raised.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~SigpipeGuard() {
        if (!pendingBefore_) {
            sigset_t pending;
            sigpending(&pending);
            timespec zero{0, 0};
            if (sigismember(&pending, SIGPIPE) == 1) sigtimedwait(&pipe_, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
    bool pendingBefore_ = false;
};

class HttpTransport : public Transport {
public:
    HttpTransport(const std::string& origin, std::string prefix)
        : client_(origin), origin_(origin), path_(std::move(prefix) + "/kvxg3/v1/call") {
        client_.set_connection_timeout(2, 0);
        client_.set_read_timeout(30, 0);
        client_.set_write_timeout(10, 0);
        client_.set_keep_alive(true);
        // A request goes out as header and body in two writes; without this
        // the second waits for the peer's delayed acknowledgement (some 40 ms
        // per request on loopback).
        client_.set_tcp_nodelay(true);
    }

    std::optional<nlohmann::json> call(const nlohmann::json& request, std::string& error) override {
        SigpipeGuard guard;
        auto res = client_.Post(path_, request.dump(), "application/json");
        if (!res) {
            error = "web services at " + origin_ + " not reachable (" + httplib::to_string(res.error()) + ")";
            return std::nullopt;
        }
        if (res->status != 200) {
            error = "web services answered HTTP " + std::to_string(res->status);
            return std::nullopt;
        }
        auto answer = nlohmann::json::parse(res->body, nullptr, false);
        if (answer.is_discarded() || !answer.is_object())
            throw answer::MalformedAnswer("malformed answer from the web services");
        return answer;
    }

    void disconnect() override { client_.stop(); }

private:
    httplib::Client client_;
    std::string origin_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Transport> makeHttpTransport(const std::string& url) {
    static const std::regex form(R"(^http://([A-Za-z0-9.\-]+|\[[0-9A-Fa-f:]+\])(:([0-9]{1,5}))?(/[^\s?#]*)?$)");
    std::smatch m;
    if (!std::regex_match(url, m, form)) return nullptr;
    int port = m[3].matched ? std::stoi(m[3].str()) : 80;
    if (port < 1 || port > 65535) return nullptr;
    std::string prefix = m[4].matched ? m[4].str() : std::string();
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    return std::make_unique<HttpTransport>("http://" + m[1].str() + ":" + std::to_string(port), prefix);
}

}  // namespace kvxsim
