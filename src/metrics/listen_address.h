// The address an instance's metrics are served on, as an operator names it:
// "HOST:PORT", "[IPv6]:PORT", ":PORT".
#pragma once

#include <optional>
#include <string>

namespace kvx {

struct ListenAddress {
    std::string host;
    int port = 0;  // 0: any free port
};

// ":PORT" means every address of both families, as exporters take it (the
// server listens on "::" for IPv4 clients too, on 0.0.0.0 without IPv6).
inline constexpr const char* kEveryAddress = "::";

// Nothing for a text without a port from 0 to 65535, or an IPv6 address
// without its brackets or with more than one pair.
std::optional<ListenAddress> parseListenAddress(const std::string& text);

}  // namespace kvx
