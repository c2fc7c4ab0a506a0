#include "lib/http_answer.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "lib/transport.h"

namespace kvxsim {

namespace {

// What an answer's head may hold: a controller sends a handful of lines.
constexpr std::size_t kHeadMaxBytes = 16 * 1024;
constexpr int kHeadMaxLines = 64;

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The status of a lowered head's first line, "http/1.x NNN[ reason]":
// three digits and no more, "HTTP/1.1 2000 OK" is no status 200.
bool statusOf(const std::string& head, int& status) {
    const std::string_view line(head.data(), head.find("\r\n"));
    if (line.size() < 12 || line.substr(0, 7) != "http/1." || (line[7] != '0' && line[7] != '1') || line[8] != ' ')
        return false;
    status = 0;
    for (std::size_t i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9') return false;
        status = status * 10 + (line[i] - '0');
    }
    return line.size() == 12 || (line[12] == ' ' && line.find_first_of("\r\n") == std::string_view::npos);
}

// A chunk-size line: hex digits (eight at most, nothing that could
// overflow), then nothing or extensions after a ';'. A sign, a "0x", a
// space or a bare CR or LF is refused rather than read one way here and
// another by a proxy on the way.
bool chunkSize(std::string_view line, std::size_t& size) {
    std::size_t digits = 0;
    for (; digits < line.size() && std::isxdigit(static_cast<unsigned char>(line[digits])); ++digits) {
        if (digits == 8) return false;
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[digits])));
        size = size * 16 + static_cast<std::size_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    std::string_view rest = line.substr(digits);
    if (digits == 0) return false;
    if (rest.empty()) return true;
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (rest.empty() || rest.front() != ';') return false;
    return std::none_of(rest.begin(), rest.end(), [](char c) {
        return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
    });
}

}  // namespace

HttpAnswerReader::State HttpAnswerReader::malformed(const char* why) {
    why_ = why;
    return State::Malformed;
}

// The status line and header lines up to an empty line; Whole once they are
// read and the body's framing is known.
HttpAnswerReader::State HttpAnswerReader::head(std::string& pending) {
    const std::size_t end = pending.find("\r\n\r\n");
    // Past the bound only when the end could no longer come within it,
    // so that the bytes' arrival in pieces changes nothing.
    if (end == std::string::npos)
        return pending.size() > kHeadMaxBytes + 3 ? malformed("answer head too large") : State::More;
    if (end > kHeadMaxBytes) return malformed("answer head too large");
    const std::string head = lower(pending.substr(0, end + 2));
    pending.erase(0, end + 4);
    if (!statusOf(head, status_)) return malformed("no HTTP status line");
    bool chunked = false;
    int lines = 0;
    for (std::size_t at = head.find("\r\n") + 2; at < head.size(); ++lines) {
        const std::size_t eol = head.find("\r\n", at);
        const std::string line = head.substr(at, eol - at);
        at = eol + 2;
        if (lines >= kHeadMaxLines) return malformed("too many header lines");
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) return malformed("malformed header line");
        const std::string name = line.substr(0, colon);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t") + 1);
        if (name == "content-length") {
            // Plain digits, a length below 10^12; a second header that
            // differs leaves the answer's end in doubt.
            if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos)
                return malformed("malformed Content-Length");
            const long long given = std::stoll(value);
            if (length_ >= 0 && given != length_) return malformed("two differing Content-Length headers");
            length_ = given;
        } else if (name == "transfer-encoding") {
            chunked = value.find("chunked") != std::string::npos;
        } else if (name == "connection") {
            keepAlive_ = value.find("close") == std::string::npos;
        }
    }
    if (chunked) {
        part_ = Part::ChunkSize;
    } else if (length_ < 0) {
        // The answer ends with the connection.
        keepAlive_ = false;
        part_ = Part::UntilClose;
    } else {
        if (static_cast<unsigned long long>(length_) > kAnswerMaxBytes) return malformed("answer too large");
        part_ = Part::Length;
    }
    return State::Whole;
}

HttpAnswerReader::State HttpAnswerReader::chunks(std::string& pending) {
    for (;;) {
        if (part_ == Part::ChunkSize) {
            const std::size_t eol = pending.find("\r\n");
            // A size line is short however the bytes arrive.
            if (eol == std::string::npos) return pending.size() > 64 + 1 ? malformed("malformed chunk size") : State::More;
            if (eol > 64) return malformed("malformed chunk size");
            std::size_t size = 0;
            if (!chunkSize(std::string_view(pending).substr(0, eol), size)) return malformed("malformed chunk size");
            if (body_.size() + size > kAnswerMaxBytes) return malformed("answer too large");
            pending.erase(0, eol + 2);
            chunk_ = size;
            part_ = size == 0 ? Part::Trailer : Part::ChunkData;
        } else if (part_ == Part::ChunkData) {
            if (pending.size() < chunk_ + 2) return State::More;
            // A chunk that runs past its size is no chunk: where the answer
            // ends would be a guess.
            if (pending.compare(chunk_, 2, "\r\n") != 0) return malformed("chunk not followed by CRLF");
            body_.append(pending, 0, chunk_);
            pending.erase(0, chunk_ + 2);
            part_ = Part::ChunkSize;
        } else {
            // Trailer lines, which no answer here needs, up to the empty
            // line that ends the answer, so nothing of them is taken for the
            // next answer's head.
            const std::size_t end = pending.starts_with("\r\n") ? 0 : pending.find("\r\n\r\n");
            if (end == std::string::npos)
                return pending.size() > kHeadMaxBytes + 3 ? malformed("trailer too large") : State::More;
            if (end > kHeadMaxBytes) return malformed("trailer too large");
            pending.erase(0, end == 0 ? 2 : end + 4);
            part_ = Part::Done;
            return State::Whole;
        }
    }
}

HttpAnswerReader::State HttpAnswerReader::read(std::string& pending, bool closed) {
    if (part_ == Part::Head) {
        const State s = head(pending);
        if (s != State::Whole) return s;
    }
    switch (part_) {
    case Part::Length:
        if (pending.size() < static_cast<std::size_t>(length_)) return State::More;
        body_ = pending.substr(0, static_cast<std::size_t>(length_));
        pending.erase(0, static_cast<std::size_t>(length_));
        part_ = Part::Done;
        return State::Whole;
    case Part::UntilClose:
        if (pending.size() > kAnswerMaxBytes) return malformed("answer too large");
        if (!closed) return State::More;
        body_.swap(pending);
        pending.clear();
        part_ = Part::Done;
        return State::Whole;
    case Part::Done: return State::Whole;
    default: return chunks(pending);
    }
}

}  // namespace kvxsim
