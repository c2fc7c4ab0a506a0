#include <httplib.h>

#include <regex>

#include "lib/transport.h"

namespace kvxsim {

namespace {

class HttpTransport : public Transport {
public:
    HttpTransport(const std::string& origin, std::string prefix)
        : client_(origin), path_(std::move(prefix) + "/kvxg3/v1/call") {
        client_.set_connection_timeout(2, 0);
        client_.set_read_timeout(30, 0);
        client_.set_write_timeout(10, 0);
        client_.set_keep_alive(true);
    }

    std::optional<nlohmann::json> call(const nlohmann::json& request, std::string& error) override {
        auto res = client_.Post(path_, request.dump(), "application/json");
        if (!res) {
            error = "web services not reachable: " + httplib::to_string(res.error());
            return std::nullopt;
        }
        if (res->status != 200) {
            error = "web services answered HTTP " + std::to_string(res->status);
            return std::nullopt;
        }
        auto answer = nlohmann::json::parse(res->body, nullptr, false);
        if (answer.is_discarded() || !answer.is_object()) {
            error = "malformed answer from the web services";
            return std::nullopt;
        }
        return answer;
    }

    void disconnect() override { client_.stop(); }

private:
    httplib::Client client_;
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
