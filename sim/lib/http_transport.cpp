// The remote library's HTTP client: one POST per request on a kept
// connection. Hand-written rather than cpp-httplib's client, which in the
// version we build against has no deadline for a whole request and takes
// any number of header lines and any answer size: a stalled or hostile
// server could hold a tick for ever or fill the memory.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string_view>

#include "lib/answer_fields.h"
#include "lib/deadline_io.h"
#include "lib/transport.h"

namespace kvxsim {

namespace {

// What an answer's head may hold: a controller sends a handful of lines.
constexpr std::size_t kHeadMaxBytes = 16 * 1024;
constexpr int kHeadMaxLines = 64;
constexpr const char* kStoppingText = "the program is stopping";

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Why a request failed: the server is unreachable (the call answers "no
// connection") or its answer is malformed.
struct Failure {
    bool malformed = false;
    std::string why;
};

class HttpTransport : public Transport {
public:
    HttpTransport(std::string host, int port, std::string prefix)
        : host_(std::move(host)),
          port_(port),
          path_(std::move(prefix) + "/kvxg3/v1/call"),
          deadline_(webRequestDeadline(std::getenv("KVXG3X_DEADLINE_MS"))) {
        origin_ = "http://" + host_ + ":" + std::to_string(port_);
    }
    ~HttpTransport() override { disconnect(); }

    std::optional<nlohmann::json> call(const nlohmann::json& request, std::string& error) override {
        const Deadline deadline = std::chrono::steady_clock::now() + deadline_;
        const std::string body = request.dump();
        const std::string head = "POST " + path_ + " HTTP/1.1\r\nHost: " + host_ + ":" + std::to_string(port_) +
                                 "\r\nContent-Type: application/json\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n";
        // A kept connection the server has closed meanwhile fails at once:
        // one fresh attempt follows.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const bool fresh = fd_ < 0;
            Failure failure;
            if (fresh && !connect(deadline, failure.why)) {
                error = "web services at " + origin_ + " not reachable (" + failure.why + ")";
                return std::nullopt;
            }
            bool answered = false;  // any byte of an answer came
            std::string answer;
            int status = 0;
            if (exchange(head + body, deadline, status, answer, answered, failure)) {
                if (status != 200) {
                    error = "web services answered HTTP " + std::to_string(status);
                    return std::nullopt;
                }
                return parseAnswer(answer);
            }
            disconnect();
            if (failure.malformed) throw answer::MalformedAnswer("web services at " + origin_ + ": " + failure.why);
            error = "web services at " + origin_ + " not reachable (" + failure.why + ")";
            if (fresh || answered || failure.why == timeoutText() || failure.why == kStoppingText) return std::nullopt;
        }
        return std::nullopt;
    }

    void disconnect() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        pending_.clear();
    }

    std::chrono::milliseconds deadline() const override { return deadline_; }

private:
    bool connect(Deadline deadline, std::string& why) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const std::string host = host_.front() == '[' ? host_.substr(1, host_.size() - 2) : host_;
        if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port_).c_str(), &hints, &found); rc != 0) {
            why = ::gai_strerror(rc);
            return false;
        }
        why = "no address";
        for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
            fd_ = connectWithin(a->ai_addr, a->ai_addrlen, deadline);
            if (fd_ < 0) why = failureText();
        }
        ::freeaddrinfo(found);
        if (fd_ < 0) return false;
        // The head and body go out in one write; answers are small: no
        // waiting for the peer's delayed acknowledgement.
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    std::string timeoutText() const { return "no answer within " + std::to_string(deadline_.count()) + " ms"; }
    // Why the last socket call failed, from errno.
    std::string failureText() const {
        return errno == ETIMEDOUT ? timeoutText() : errno == ECANCELED ? kStoppingText : std::strerror(errno);
    }

    // More bytes into pending_; false (with `why`) at end, on error or past the deadline.
    bool more(Deadline deadline, bool& answered, Failure& failure) {
        char buffer[16384];
        errno = 0;
        const long n = receiveWithin(fd_, buffer, sizeof buffer, deadline);
        if (n > 0) {
            answered = true;
            pending_.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
        failure.why = n == 0 ? "connection closed" : failureText();
        return false;
    }

    bool malformed(Failure& failure, const std::string& why) {
        failure.malformed = true;
        failure.why = why;
        return false;
    }

    // The status of a lowered head's first line, "http/1.x NNN[ reason]":
    // three digits and no more, "HTTP/1.1 2000 OK" is no status 200.
    static bool statusOf(const std::string& head, int& status) {
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

    bool exchange(const std::string& message, Deadline deadline, int& status, std::string& body, bool& answered,
                  Failure& failure) {
        if (!sendAllWithin(fd_, message, deadline)) {
            failure.why = failureText();
            return false;
        }
        // The head: a status line and header lines up to an empty line.
        std::size_t end;
        while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
            if (pending_.size() > kHeadMaxBytes) return malformed(failure, "answer head too large");
            if (!more(deadline, answered, failure)) return false;
        }
        if (end > kHeadMaxBytes) return malformed(failure, "answer head too large");
        const std::string head = lower(pending_.substr(0, end + 2));
        pending_.erase(0, end + 4);
        if (!statusOf(head, status)) return malformed(failure, "no HTTP status line");
        long long length = -1;
        bool chunked = false;
        keepAlive_ = true;
        int lines = 0;
        for (std::size_t at = head.find("\r\n") + 2; at < head.size(); ++lines) {
            const std::size_t eol = head.find("\r\n", at);
            const std::string line = head.substr(at, eol - at);
            at = eol + 2;
            if (lines >= kHeadMaxLines) return malformed(failure, "too many header lines");
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) return malformed(failure, "malformed header line");
            const std::string name = line.substr(0, colon);
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t") + 1);
            if (name == "content-length") {
                // Plain digits, a length below 10^12; a second header that
                // differs leaves the answer's end in doubt.
                if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos)
                    return malformed(failure, "malformed Content-Length");
                const long long given = std::stoll(value);
                if (length >= 0 && given != length) return malformed(failure, "two differing Content-Length headers");
                length = given;
            } else if (name == "transfer-encoding") {
                chunked = value.find("chunked") != std::string::npos;
            } else if (name == "connection") {
                keepAlive_ = value.find("close") == std::string::npos;
            }
        }
        body.clear();
        if (chunked) return readChunked(deadline, body, answered, failure);
        if (length < 0) {
            // The answer ends with the connection.
            keepAlive_ = false;
            while (true) {
                if (pending_.size() > kAnswerMaxBytes) return malformed(failure, "answer too large");
                if (!more(deadline, answered, failure)) break;
            }
            if (failure.why != "connection closed") return false;
            body.swap(pending_);
            return true;
        }
        if (static_cast<unsigned long long>(length) > kAnswerMaxBytes) return malformed(failure, "answer too large");
        while (pending_.size() < static_cast<std::size_t>(length))
            if (!more(deadline, answered, failure)) return false;
        body = pending_.substr(0, static_cast<std::size_t>(length));
        pending_.erase(0, static_cast<std::size_t>(length));
        if (!keepAlive_) disconnect();
        return true;
    }

    bool readChunked(Deadline deadline, std::string& body, bool& answered, Failure& failure) {
        for (;;) {
            std::size_t eol;
            while ((eol = pending_.find("\r\n")) == std::string::npos) {
                if (pending_.size() > 64) return malformed(failure, "malformed chunk size");
                if (!more(deadline, answered, failure)) return false;
            }
            std::size_t size = 0;
            if (!chunkSize(std::string_view(pending_).substr(0, eol), size))
                return malformed(failure, "malformed chunk size");
            if (body.size() + size > kAnswerMaxBytes) return malformed(failure, "answer too large");
            pending_.erase(0, eol + 2);
            if (size == 0) return endOfChunks(deadline, answered, failure);
            while (pending_.size() < size + 2)
                if (!more(deadline, answered, failure)) return false;
            // A chunk that runs past its size is no chunk: where the answer
            // ends would be a guess.
            if (pending_.compare(size, 2, "\r\n") != 0) return malformed(failure, "chunk not followed by CRLF");
            body.append(pending_, 0, size);
            pending_.erase(0, size + 2);
        }
    }

    // A chunk-size line: hex digits (eight at most, nothing that could
    // overflow), then nothing or extensions after a ';'. A sign, a "0x", a
    // space or a bare CR or LF is refused rather than read one way here and
    // another by a proxy on the way.
    static bool chunkSize(std::string_view line, std::size_t& size) {
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

    // After the last chunk: trailer lines, which no answer here needs, up to
    // the empty line that ends the answer, so nothing of them is taken for
    // the next answer's head.
    bool endOfChunks(Deadline deadline, bool& answered, Failure& failure) {
        std::size_t end = 0;
        while (!pending_.starts_with("\r\n") && (end = pending_.find("\r\n\r\n")) == std::string::npos) {
            if (pending_.size() > kHeadMaxBytes) return malformed(failure, "trailer too large");
            if (!more(deadline, answered, failure)) return false;
        }
        pending_.erase(0, pending_.starts_with("\r\n") ? 2 : end + 4);
        if (!keepAlive_) disconnect();
        return true;
    }

    std::string host_;
    int port_;
    std::string path_;
    std::chrono::milliseconds deadline_;
    std::string origin_;
    int fd_ = -1;
    std::string pending_;
    bool keepAlive_ = true;
};

}  // namespace

std::unique_ptr<Transport> makeHttpTransport(const std::string& url) {
    // Bounded before the regular expression, whose matcher recurses per character.
    if (url.size() > 2048) return nullptr;
    static const std::regex form(R"(^http://([A-Za-z0-9.\-]+|\[[0-9A-Fa-f:]+\])(:([0-9]{1,5}))?(/[^\s?#]*)?$)");
    std::smatch m;
    if (!std::regex_match(url, m, form)) return nullptr;
    int port = m[3].matched ? std::stoi(m[3].str()) : 80;
    if (port < 1 || port > 65535) return nullptr;
    std::string prefix = m[4].matched ? m[4].str() : std::string();
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    return std::make_unique<HttpTransport>(m[1].str(), port, prefix);
}

}  // namespace kvxsim
