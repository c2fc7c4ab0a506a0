// The head of an HTTP/1.1 request as the server reads it: strict, so that no
// two parsers on the way could read the same bytes as different requests.
// Internal to the server; apart so that it can be fuzzed alone.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "metrics/http_server.h"

namespace kvx::net::detail {

// What the head of a request says, or the status that refuses it.
struct Head {
    Request request;
    std::size_t bodyLength = 0;
    bool close = false;
    const char* refused = nullptr;  // "400 Bad Request", ...
};

// `head` holds the request line and the header lines, each ending in LF.
Head parseHead(std::string_view head, const ServerLimits& limits);

// What the bytes a client has sent so far hold.
struct Taken {
    enum Kind {
        Nothing,  // no byte of a request yet
        Partial,  // part of a head
        Body,     // a whole head, its body on its way
        Request,  // a whole request: in `head`, taken from the bytes
        Refused,  // `head.refused` says why; the connection ends
    } kind = Nothing;
    Head head;
};

// Takes the next request from the front of `in`, within the limits.
// `skipped` counts the empty lines before a request line (one is taken).
Taken takeRequest(std::string& in, std::size_t& skipped, const ServerLimits& limits);

// "OK" for 200, ...
const char* reasonOf(int status);

bool sameText(std::string_view a, std::string_view b);

}  // namespace kvx::net::detail
