// Fuzz target: the server's reading of what a client sends, as it arrives.
// The same bytes must give the same requests (method, target, headers,
// body) and the same refusal whether they arrive at once or in pieces (the
// first input byte sets the piece size): a framing read one way or the
// other by the moment of arrival is a smuggling gap. Nothing taken may pass
// the limits.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "metrics/http_head.h"
#include "metrics/server_limits.h"

namespace {

using kvx::net::detail::Taken;

// Each request as one line of text, then how the bytes ended.
std::string readAll(const std::string& bytes, std::size_t piece, const kvx::net::ServerLimits& limits) {
    std::string in, out;
    std::size_t skipped = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        in.append(bytes, at, piece);
        at += piece;
        for (;;) {
            Taken t = kvx::net::detail::takeRequest(in, skipped, limits);
            if (t.kind == Taken::Refused) return out + "refused " + t.head.refused;
            if (t.kind != Taken::Request) break;
            const kvx::net::Request& r = t.head.request;
            if (r.method.empty() || r.target.empty() || r.body.size() > limits.maxBodyBytes ||
                r.headers.size() > limits.maxHeaderLines)
                std::abort();
            out += r.method + " " + r.target + " " + std::to_string(r.headers.size()) + " " + r.body + "|";
        }
    }
    return out + "waiting " + std::to_string(in.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    kvx::net::ServerLimits limits;
    limits.maxHeadBytes = 512;
    limits.maxHeaderLines = 8;
    limits.maxBodyBytes = 64;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t piece = 1 + data[0] % 16;
    if (readAll(bytes, bytes.size() + 1, limits) != readAll(bytes, piece, limits)) std::abort();
    return 0;
}
