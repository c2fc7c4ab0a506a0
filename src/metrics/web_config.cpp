#include "metrics/web_config.h"

#include <crypt.h>
#include <yaml-cpp/yaml.h>

#include <unistd.h>

#include <filesystem>

#include "platform/safe_file.h"

namespace kvx {

namespace {

namespace fs = std::filesystem;

bool isBcryptHash(const std::string& hash) {
    return hash.size() == 60 && hash[0] == '$' && hash[1] == '2' &&
           (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') && hash[3] == '$';
}

// A file named relative to the configuration is looked for beside it.
std::string besideConfig(const std::string& configPath, const std::string& name) {
    fs::path p(name);
    if (p.is_absolute()) return name;
    return (fs::path(configPath).parent_path() / p).lexically_normal().string();
}

// A regular file only, opened without waiting: a FIFO in the place of the
// configuration or of a key file would otherwise hold the start in open().
bool readable(const std::string& path) {
    std::string error;
    const int fd = platform::openRegularForReading(path, error);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// A real configuration holds a few users; more than this is refused unread.
constexpr std::size_t kMostConfigBytes = 1 << 20;

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

bool passwordMatches(const std::string& password, const std::string& hash) {
    crypt_data data{};
    const char* result = crypt_rn(password.c_str(), hash.c_str(), &data, sizeof data);
    return result && sameText(result, hash);
}

// An unknown user costs as much as a known one, so a guesser cannot tell them apart.
constexpr const char* kDummyHash = "$2y$10$M4aIFbqnsrCiBgUOMZ2njOeHwHNDG4rMKi2e23bnOPILatQDdjGIG";

}  // namespace

std::optional<WebConfig> readWebConfig(const std::string& path, std::string& error) {
    YAML::Node root;
    try {
        std::string text, why;
        bool tooLarge = false;
        if (!platform::readRegularFile(path, kMostConfigBytes, text, why, nullptr, &tooLarge)) {
            error = path + ": cannot be read (" + why + ")";
            return std::nullopt;
        }
        if (tooLarge) {
            error = path + ": larger than 1 MB";
            return std::nullopt;
        }
        root = YAML::Load(text);
    } catch (const YAML::Exception& e) {
        error = path + ": " + e.what();
        return std::nullopt;
    }
    WebConfig config;
    if (root.IsNull()) return config;
    if (!root.IsMap()) {
        error = path + ": not a mapping of settings";
        return std::nullopt;
    }
    try {
        for (const auto& entry : root) {
            const std::string key = entry.first.as<std::string>();
            const YAML::Node& value = entry.second;
            if (key == "tls_server_config") {
                if (value.IsNull()) continue;
                for (const auto& tls : value) {
                    const std::string tlsKey = tls.first.as<std::string>();
                    if (tlsKey == "cert_file") config.certFile = tls.second.as<std::string>();
                    else if (tlsKey == "key_file") config.keyFile = tls.second.as<std::string>();
                    else {
                        error = path + ": tls_server_config: " + tlsKey + " is not supported (only cert_file, key_file)";
                        return std::nullopt;
                    }
                }
            } else if (key == "basic_auth_users") {
                if (value.IsNull()) continue;
                for (const auto& user : value) {
                    const std::string name = user.first.as<std::string>();
                    const std::string hash = user.second.as<std::string>();
                    if (!isBcryptHash(hash)) {
                        error = path + ": basic_auth_users: the password of " + name + " is not a bcrypt hash";
                        return std::nullopt;
                    }
                    config.users[name] = hash;
                }
            } else {
                error = path + ": " + key + " is not supported (only tls_server_config, basic_auth_users)";
                return std::nullopt;
            }
        }
    } catch (const YAML::Exception& e) {
        error = path + ": " + e.what();
        return std::nullopt;
    }
    if (config.certFile.empty() != config.keyFile.empty()) {
        error = path + ": tls_server_config needs both cert_file and key_file";
        return std::nullopt;
    }
    if (config.tls()) {
        config.certFile = besideConfig(path, config.certFile);
        config.keyFile = besideConfig(path, config.keyFile);
        for (const std::string& file : {config.certFile, config.keyFile}) {
            if (!readable(file)) {
                error = path + ": " + file + " cannot be read";
                return std::nullopt;
            }
        }
    }
    return config;
}

bool BasicAuth::accepts(const std::string& authorization) {
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
        passwordMatches(password, kDummyHash);
        return false;
    }
    if (!passwordMatches(password, user->second)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    accepted_[name] = authorization;
    return true;
}

}  // namespace kvx
