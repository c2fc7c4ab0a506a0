#include "metrics/listen_address.h"

#include <cstdlib>

namespace kvx {

std::optional<ListenAddress> parseListenAddress(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string host = colon == 0 ? std::string("[") + kEveryAddress + "]" : text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return std::nullopt;
        host = host.substr(1, host.size() - 2);
        if (host.find_first_of("[]") != std::string::npos) return std::nullopt;  // "[[::1]]"
    } else if (host.find(':') != std::string::npos) {
        return std::nullopt;  // an IPv6 address needs its brackets
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long number = std::strtol(port.c_str(), nullptr, 10);
    if (number > 65535) return std::nullopt;
    return ListenAddress{host, static_cast<int>(number)};
}

}  // namespace kvx
