// An HTTP/1.1 answer read as its bytes arrive, apart from the socket so that
// it can be fuzzed alone. Strict where two readers could disagree on where
// an answer ends: a status of three digits, one Content-Length however often
// it is given, chunk sizes of hex digits only, each chunk ended by CRLF,
// trailers skipped to the empty line; bounded in head, lines and body.
#pragma once

#include <cstddef>
#include <string>

namespace kvxsim {

class HttpAnswerReader {
public:
    enum class State { More, Whole, Malformed };

    // Reads from the front of `pending`, removing what belongs to this
    // answer and leaving what follows it. `closed`: the peer has closed, no
    // more bytes come (an answer without a length ends there). More means
    // read more and call again.
    State read(std::string& pending, bool closed);

    int status() const { return status_; }
    const std::string& body() const { return body_; }
    // Whether the connection may carry the next request.
    bool keepAlive() const { return keepAlive_; }
    const std::string& why() const { return why_; }

private:
    enum class Part { Head, Length, UntilClose, ChunkSize, ChunkData, Trailer, Done };
    State head(std::string& pending);
    State chunks(std::string& pending);
    State malformed(const char* why);

    Part part_ = Part::Head;
    int status_ = 0;
    long long length_ = -1;
    std::size_t chunk_ = 0;
    bool keepAlive_ = true;
    std::string body_;
    std::string why_;
};

}  // namespace kvxsim
