// The web configuration of the metrics endpoint, in the file format of the
// Prometheus exporter toolkit, so that one file serves every exporter of a
// site:
//
//   tls_server_config:
//     cert_file: server.crt      # relative to the file's own folder
//     key_file: server.key
//     min_version: TLS12         # TLS10, TLS11, TLS12 (default), TLS13
//     client_auth_type: RequireAndVerifyClientCert
//     client_ca_file: clients.crt
//   basic_auth_users:
//     prometheus: $2y$10$...     # bcrypt hash (htpasswd -nBC 10 USER)
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace kvx {

struct WebConfig {
    std::string certFile;  // both set: the endpoint speaks TLS only
    std::string keyFile;
    std::string minVersion = "TLS12";
    std::string clientAuthType = "NoClientCert";
    std::string clientCaFile;
    std::map<std::string, std::string> users;  // name -> bcrypt hash; none: no authentication

    bool tls() const { return !certFile.empty(); }
};

// The largest web configuration file read; a site's users fit many times.
inline constexpr std::size_t kMaxWebConfigBytes = 1 << 20;
// The deepest nesting of brackets and braces taken; a configuration in flow
// style nests two deep.
inline constexpr int kMaxWebConfigNesting = 64;
// The highest bcrypt cost taken: each step doubles a check's time, and the
// toolkit's hashes are usually 10 to 12.
inline constexpr int kMaxBcryptCost = 14;

// Reads and checks the file; nothing, with `error` naming the key that is
// wrong (unknown keys and values of the wrong type included, so that a
// misspelt or mistyped setting never leaves the endpoint open), when it
// cannot be used.
std::optional<WebConfig> readWebConfig(const std::string& path, std::string& error);
// The same for the text of such a file.
std::optional<WebConfig> parseWebConfig(const std::string& text, const std::string& path, std::string& error);

// Checks the Authorization header of a request against the users. A hash
// check costs tens of milliseconds by design, so a header once accepted is
// remembered for as long as the configuration lives. An unknown user costs
// a check too, so that names cannot be told apart by time.
class BasicAuth {
public:
    explicit BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {}
    bool required() const { return !users_.empty(); }
    // False also when `stop` is set while the check runs: the check itself
    // goes on alone and nobody waits for it.
    bool accepts(const std::string& authorization, const std::atomic<bool>& stop);
    // Whether the header was accepted before, so that accepts() answers it
    // at once, without a hash check.
    bool remembers(const std::string& authorization);
    // How many hash checks were made: what proves an unknown user paid one.
    unsigned checks() const { return checks_; }

private:
    std::map<std::string, std::string> users_;
    std::mutex mutex_;
    std::map<std::string, std::string> accepted_;  // user -> header accepted for them
    std::atomic<unsigned> checks_{0};
};

}  // namespace kvx
