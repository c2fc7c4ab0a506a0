// Fuzz target: the web configuration reader on arbitrary text. It must
// refuse or take every input without an exception escaping, give a reason
// exactly when it refuses, and take only what it can honour: users with
// bcrypt hashes of a bounded cost, TLS only with both a certificate and a
// key, a known lowest version and client authentication type.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "metrics/web_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<kvx::WebConfig> config = kvx::parseWebConfig(text, "/nonexistent/web.yml", error);
    if (config.has_value() == !error.empty()) std::abort();
    if (!config) return 0;
    for (const auto& [name, hash] : config->users)
        if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0 || std::stoi(hash.substr(4, 2)) > kvx::kMaxBcryptCost)
            std::abort();
    if (config->tls() && config->keyFile.empty()) std::abort();
    static const std::string versions = " TLS10 TLS11 TLS12 TLS13 ";
    if (versions.find(" " + config->minVersion + " ") == std::string::npos) std::abort();
    return 0;
}
