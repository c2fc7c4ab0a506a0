// The address an instance's metrics are served on, as an operator names it:
// "HOST:PORT", "[IPv6]:PORT".
#pragma once

#include <optional>
#include <string>

namespace kvx {

struct ListenAddress {
    std::string host;
    int port = 0;  // 0: any free port
};

// Nothing for a text without a host (":9464" would silently mean every
// address) or without a port from 0 to 65535.
std::optional<ListenAddress> parseListenAddress(const std::string& text);

}  // namespace kvx
