#include "metrics/web_config.h"

#include <crypt.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "platform/safe_file.h"

namespace kvx {

namespace {

namespace fs = std::filesystem;

// "$2y$10$" and 53 characters of salt and hash; the cost in its bounds.
bool isBcryptHash(const std::string& hash, int& cost) {
    if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') ||
        hash[3] != '$' || !std::isdigit(static_cast<unsigned char>(hash[4])) ||
        !std::isdigit(static_cast<unsigned char>(hash[5])) || hash[6] != '$')
        return false;
    cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    return true;
}

// A file named relative to the configuration is looked for beside it.
std::string besideConfig(const std::string& configPath, const std::string& name) {
    fs::path p(name);
    if (p.is_absolute()) return name;
    return (fs::path(configPath).parent_path() / p).lexically_normal().string();
}

// A regular file only, opened without waiting: a FIFO in the place of a key
// file would otherwise hold the start in open().
bool readableRegularFile(const std::string& path) {
    std::string error;
    const int fd = platform::openRegularForReading(path, error);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::optional<std::string> base64Decode(const std::string& in) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    std::size_t end = in.find_last_not_of('=');
    end = end == std::string::npos ? 0 : end + 1;
    if (in.size() - end > 2) return std::nullopt;
    for (std::size_t i = 0; i < end; ++i) {
        const auto v = alphabet.find(in[i]);
        if (v == std::string::npos) return std::nullopt;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

bool sameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// A check runs on a thread of its own that owns what it reads, so that a
// caller that stops waiting (the program ends) leaves it behind instead of
// waiting for it.
bool passwordMatches(const std::string& password, const std::string& hash, const std::atomic<bool>& stop,
                     std::atomic<unsigned>& checks) {
    struct Check {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool matches = false;
    };
    auto check = std::make_shared<Check>();
    ++checks;
    try {
        std::thread([check, password, hash] {
            auto data = std::make_unique<crypt_data>();
            const char* result = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
            const bool matches = result && sameText(result, hash);
            std::lock_guard lock(check->mutex);
            check->done = true;
            check->matches = matches;
            check->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    std::unique_lock lock(check->mutex);
    while (!check->done) {
        if (stop) return false;
        check->finished.wait_for(lock, std::chrono::milliseconds(50));
    }
    return check->matches;
}

// An unknown user costs as much as a known one, so a guesser cannot tell them apart.
constexpr const char* kDummyHash = "$2y$10$M4aIFbqnsrCiBgUOMZ2njOeHwHNDG4rMKi2e23bnOPILatQDdjGIG";

std::string describe(const YAML::Node& node) {
    switch (node.Type()) {
    case YAML::NodeType::Map: return "a mapping";
    case YAML::NodeType::Sequence: return "a list";
    case YAML::NodeType::Null: return "empty";
    default: return "\"" + node.Scalar() + "\"";
    }
}

// A setting's text: a scalar, nothing else.
std::optional<std::string> textOf(const YAML::Node& node, const std::string& key, const std::string& path,
                                  std::string& error) {
    if (node.IsScalar()) return node.Scalar();
    error = path + ": " + key + " must be a text, not " + describe(node);
    return std::nullopt;
}

const std::set<std::string> kTlsVersions = {"TLS10", "TLS11", "TLS12", "TLS13"};
const std::set<std::string> kClientAuthTypes = {"NoClientCert", "RequestClientCert", "RequireAnyClientCert",
                                                "VerifyClientCertIfGiven", "RequireAndVerifyClientCert"};

bool readTls(const YAML::Node& tls, WebConfig& config, const std::string& path, std::string& error) {
    if (tls.IsNull()) return true;
    if (!tls.IsMap()) {
        error = path + ": tls_server_config must be a mapping, not " + describe(tls);
        return false;
    }
    bool any = false;
    for (const auto& entry : tls) {
        const std::string key = entry.first.IsScalar() ? entry.first.Scalar() : describe(entry.first);
        const std::string name = "tls_server_config: " + key;
        std::string* target = key == "cert_file"          ? &config.certFile
                              : key == "key_file"         ? &config.keyFile
                              : key == "min_version"      ? &config.minVersion
                              : key == "client_auth_type" ? &config.clientAuthType
                              : key == "client_ca_file"   ? &config.clientCaFile
                                                          : nullptr;
        if (!target) {
            error = path + ": " + name +
                    " is not supported (only cert_file, key_file, min_version, client_auth_type, client_ca_file)";
            return false;
        }
        const std::optional<std::string> value = textOf(entry.second, name, path, error);
        if (!value) return false;
        *target = *value;
        any = true;
    }
    if (!kTlsVersions.contains(config.minVersion)) {
        error = path + ": tls_server_config: min_version must be TLS10, TLS11, TLS12 or TLS13, not \"" + config.minVersion + "\"";
        return false;
    }
    if (!kClientAuthTypes.contains(config.clientAuthType)) {
        error = path + ": tls_server_config: client_auth_type \"" + config.clientAuthType + "\" is unknown";
        return false;
    }
    if (config.clientAuthType.find("Verify") != std::string::npos && config.clientCaFile.empty()) {
        error = path + ": tls_server_config: client_auth_type " + config.clientAuthType + " needs client_ca_file";
        return false;
    }
    if (any && (config.certFile.empty() || config.keyFile.empty())) {
        error = path + ": tls_server_config needs both cert_file and key_file";
        return false;
    }
    return true;
}

bool readUsers(const YAML::Node& users, WebConfig& config, const std::string& path, std::string& error) {
    if (users.IsNull()) return true;
    if (!users.IsMap()) {
        error = path + ": basic_auth_users must be a mapping of users to bcrypt hashes, not " + describe(users);
        return false;
    }
    for (const auto& entry : users) {
        const std::optional<std::string> name = textOf(entry.first, "basic_auth_users: a user name", path, error);
        if (!name) return false;
        const std::optional<std::string> hash = textOf(entry.second, "basic_auth_users: " + *name, path, error);
        if (!hash) return false;
        int cost = 0;
        if (!isBcryptHash(*hash, cost) || cost < 4) {
            error = path + ": basic_auth_users: the password of " + *name + " is not a bcrypt hash";
            return false;
        }
        if (cost > kMaxBcryptCost) {
            error = path + ": basic_auth_users: the hash of " + *name + " has cost " + std::to_string(cost) +
                    "; at most " + std::to_string(kMaxBcryptCost) + " is taken (every step doubles each check)";
            return false;
        }
        config.users[*name] = *hash;
    }
    return true;
}

// Whether brackets and braces nest deeper than `most` anywhere in the text.
// yaml-cpp holds every token of a flow collection until it ends, so a file
// of brackets costs seconds and hundreds of MB before its own depth guard
// refuses it. Brackets in quotes and comments are counted too: a web
// configuration has no reason to hold many unclosed ones.
bool nestedDeeperThan(const std::string& text, int most) {
    int depth = 0;
    for (const char c : text) {
        if (c == '[' || c == '{') {
            if (++depth > most) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace

std::optional<WebConfig> parseWebConfig(const std::string& text, const std::string& path, std::string& error) {
    WebConfig config;
    if (nestedDeeperThan(text, kMaxWebConfigNesting)) {
        error = path + ": brackets or braces nested more than " + std::to_string(kMaxWebConfigNesting) + " deep";
        return std::nullopt;
    }
    try {
        const YAML::Node root = YAML::Load(text);
        if (root.IsNull()) return config;
        if (!root.IsMap()) {
            error = path + ": not a mapping of settings";
            return std::nullopt;
        }
        for (const auto& entry : root) {
            const std::string key = entry.first.IsScalar() ? entry.first.Scalar() : describe(entry.first);
            if (key == "tls_server_config") {
                if (!readTls(entry.second, config, path, error)) return std::nullopt;
            } else if (key == "basic_auth_users") {
                if (!readUsers(entry.second, config, path, error)) return std::nullopt;
            } else {
                error = path + ": " + key + " is not supported (only tls_server_config, basic_auth_users)";
                return std::nullopt;
            }
        }
    } catch (const YAML::Exception& e) {
        error = path + ": " + e.what();
        return std::nullopt;
    }
    if (config.tls()) {
        config.certFile = besideConfig(path, config.certFile);
        config.keyFile = besideConfig(path, config.keyFile);
        if (!config.clientCaFile.empty()) config.clientCaFile = besideConfig(path, config.clientCaFile);
        for (const std::string& file : {config.certFile, config.keyFile, config.clientCaFile}) {
            if (!file.empty() && !readableRegularFile(file)) {
                error = path + ": " + file + " is not a readable regular file";
                return std::nullopt;
            }
        }
    }
    return config;
}

std::optional<WebConfig> readWebConfig(const std::string& path, std::string& error) {
    std::string text, why;
    bool tooLarge = false;
    if (!platform::readRegularFile(path, kMaxWebConfigBytes, text, why, nullptr, &tooLarge)) {
        error = path + ": cannot be read (" + why + ")";
        return std::nullopt;
    }
    if (tooLarge) {
        error = path + ": larger than " + std::to_string(kMaxWebConfigBytes >> 20) + " MB";
        return std::nullopt;
    }
    return parseWebConfig(text, path, error);
}

bool BasicAuth::remembers(const std::string& authorization) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(accepted_.begin(), accepted_.end(),
                       [&](const auto& known) { return sameText(known.second, authorization); });
}

bool BasicAuth::accepts(const std::string& authorization, const std::atomic<bool>& stop) {
    const std::string scheme = "Basic ";
    if (authorization.compare(0, scheme.size(), scheme) != 0) return false;
    const std::optional<std::string> decoded = base64Decode(authorization.substr(scheme.size()));
    if (!decoded) return false;
    const auto colon = decoded->find(':');
    if (colon == std::string::npos) return false;
    const std::string name = decoded->substr(0, colon);
    const std::string password = decoded->substr(colon + 1);

    const auto user = users_.find(name);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto known = accepted_.find(name);
        if (user != users_.end() && known != accepted_.end() && sameText(known->second, authorization)) return true;
    }
    if (user == users_.end()) {
        passwordMatches(password, kDummyHash, stop, checks_);
        return false;
    }
    if (!passwordMatches(password, user->second, stop, checks_)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    accepted_[name] = authorization;
    return true;
}

}  // namespace kvx
