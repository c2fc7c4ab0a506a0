// The web configuration of the metrics endpoint, in the file format of the
// Prometheus exporter toolkit, so that one file serves every exporter of a
// site:
//
//   tls_server_config:
//     cert_file: server.crt      # relative to the file's own folder
//     key_file: server.key
//   basic_auth_users:
//     prometheus: $2y$10$...     # bcrypt hash (htpasswd -nBC 10 USER)
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace kvx {

struct WebConfig {
    std::string certFile;  // both set: the endpoint speaks TLS only
    std::string keyFile;
    std::map<std::string, std::string> users;  // name -> bcrypt hash; none: no authentication

    bool tls() const { return !certFile.empty(); }
};

// Reads and checks the file; nothing, with `error` saying what is wrong
// (unknown keys included, so that a misspelt setting never leaves the
// endpoint open), when it cannot be used.
std::optional<WebConfig> readWebConfig(const std::string& path, std::string& error);

// Checks the Authorization header of a request against the users. A hash
// check costs tens of milliseconds by design, so a header once accepted is
// remembered for as long as the configuration lives.
class BasicAuth {
public:
    explicit BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {}
    bool required() const { return !users_.empty(); }
    bool accepts(const std::string& authorization);

private:
    std::map<std::string, std::string> users_;
    std::mutex mutex_;
    std::map<std::string, std::string> accepted_;  // user -> header accepted for them
};

}  // namespace kvx
