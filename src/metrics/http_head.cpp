#include "metrics/http_head.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>

namespace kvx::net::detail {

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

const char* reasonOf(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Unknown";
    }
}

namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Whether the comma-separated `list` ("keep-alive, Upgrade") names `token`.
bool names(std::string_view list, std::string_view token) {
    for (std::size_t from = 0; from <= list.size();) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        if (sameText(trimmed(list.substr(from, comma - from)), token)) return true;
        from = comma + 1;
    }
    return false;
}

// The path of a request target, without its query and with %XX decoded.
std::string pathOf(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::string path;
    for (std::size_t i = 0; i < target.size(); ++i) {
        unsigned value = 0;
        if (target[i] == '%' && i + 2 < target.size() &&
            std::from_chars(target.data() + i + 1, target.data() + i + 3, value, 16).ptr == target.data() + i + 3) {
            path += static_cast<char>(value);
            i += 2;
        } else {
            path += target[i];
        }
    }
    return path;
}

bool isToken(std::string_view s) {
    static constexpr std::string_view kSpecial = "!#$%&'*+-.^_`|~";
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || kSpecial.find(c) != std::string_view::npos;
    });
}

}  // namespace

Head refuse(const char* status) {
    Head h;
    h.refused = status;
    return h;
}

// `head` holds the request line and the header lines, each ending in LF.
Head parseHead(std::string_view head, const ServerLimits& limits) {
    std::vector<std::string_view> lines;
    for (std::size_t from = 0, newline; (newline = head.find('\n', from)) != std::string_view::npos; from = newline + 1) {
        std::string_view line = head.substr(from, newline - from);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
    }
    // As long a request line as common servers take.
    if (lines.front().size() > 8192) return refuse("414 URI Too Long");
    std::vector<std::string_view> words;
    for (std::size_t from = 0; from <= lines.front().size();) {
        const std::size_t space = std::min(lines.front().find(' ', from), lines.front().size());
        words.push_back(lines.front().substr(from, space - from));
        from = space + 1;
    }
    static constexpr std::string_view kMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"};
    if (words.size() != 3 || (words[2] != "HTTP/1.1" && words[2] != "HTTP/1.0") || words[1].empty() ||
        std::find(std::begin(kMethods), std::end(kMethods), words[0]) == std::end(kMethods) ||
        std::any_of(words[1].begin(), words[1].end(), [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; }))
        return refuse("400 Bad Request");
    Head h;
    h.request.method = words[0];
    h.request.target = words[1];
    h.request.path = pathOf(words[1]);
    std::optional<std::uint64_t> length;
    bool chunked = false;
    std::string_view connection;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t colon = line.find(':');
        // No name, white space before the colon, or a folded line: each read
        // differently by different parsers.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return refuse("400 Bad Request");
        const std::string_view name = line.substr(0, colon), value = trimmed(line.substr(colon + 1));
        if (sameText(name, "Content-Length")) {
            std::uint64_t n = 0;
            const auto [end, failed] = std::from_chars(value.data(), value.data() + value.size(), n);
            // Digits only: no sign, no list ("0, 5"), and one length however often it is given.
            if (value.empty() || failed != std::errc() || end != value.data() + value.size() ||
                !std::isdigit(static_cast<unsigned char>(value.front())) || (length && *length != n))
                return refuse("400 Bad Request");
            length = n;
        } else if (sameText(name, "Transfer-Encoding")) {
            chunked = true;
        } else if (sameText(name, "Connection")) {
            connection = value;
        }
        h.request.headers.emplace_back(name, value);
    }
    if (chunked && length) return refuse("400 Bad Request");
    // A body is taken only with a length, and only up to the limit.
    if (chunked || (length && *length > limits.maxBodyBytes)) return refuse("413 Payload Too Large");
    h.bodyLength = length.value_or(0);
    h.close = words[2] == "HTTP/1.1" ? names(connection, "close") : !names(connection, "keep-alive");
    return h;
}

Taken takeRequest(std::string& in, std::size_t& skipped, const ServerLimits& limits) {
    Taken t;
    // One empty line may come before a request (after a body some clients
    // end with CRLF); more are refused like any other malformed head.
    while (!in.empty() && (in[0] == '\n' || in.starts_with("\r\n"))) {
        in.erase(0, in[0] == '\n' ? 1 : 2);
        if (++skipped > 1) return {Taken::Refused, refuse("400 Bad Request")};
    }
    if (in.empty() || (in.size() == 1 && in[0] == '\r')) return t;
    std::size_t headLength = 0, end = 0, lines = 0;
    for (std::size_t from = 0;;) {
        const std::size_t newline = in.find('\n', from);
        if (newline == std::string::npos || newline + 1 > limits.maxHeadBytes) {
            if (in.size() > limits.maxHeadBytes || newline != std::string::npos)
                return {Taken::Refused, refuse("431 Request Header Fields Too Large")};
            return {Taken::Partial, {}};
        }
        if (newline == from || (newline == from + 1 && in[from] == '\r')) {
            headLength = from;
            end = newline + 1;
            break;
        }
        // The request line and the header lines.
        if (++lines > limits.maxHeaderLines + 1) return {Taken::Refused, refuse("431 Request Header Fields Too Large")};
        from = newline + 1;
    }
    t.head = parseHead(std::string_view(in).substr(0, headLength), limits);
    if (t.head.refused) {
        t.kind = Taken::Refused;
        return t;
    }
    if (in.size() < end + t.head.bodyLength) {
        t.kind = Taken::Body;
        return t;
    }
    t.head.request.body = in.substr(end, t.head.bodyLength);
    in.erase(0, end + t.head.bodyLength);
    skipped = 0;
    t.kind = Taken::Request;
    return t;
}

}  // namespace kvx::net::detail

namespace kvx::net {

std::string Request::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (detail::sameText(n, name)) return v;
    return "";
}

}  // namespace kvx::net
