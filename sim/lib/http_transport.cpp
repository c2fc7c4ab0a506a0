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
#include "lib/http_answer.h"
#include "lib/transport.h"

namespace kvxsim {

namespace {

constexpr const char* kStoppingText = "the program is stopping";

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

    bool exchange(const std::string& message, Deadline deadline, int& status, std::string& body, bool& answered,
                  Failure& failure) {
        if (!sendAllWithin(fd_, message, deadline)) {
            failure.why = failureText();
            return false;
        }
        HttpAnswerReader reader;
        for (bool closed = false;;) {
            switch (reader.read(pending_, closed)) {
            case HttpAnswerReader::State::Malformed: return malformed(failure, reader.why());
            case HttpAnswerReader::State::Whole:
                status = reader.status();
                body = reader.body();
                if (!reader.keepAlive()) disconnect();
                return true;
            case HttpAnswerReader::State::More:
                // Only an answer that ends with the connection is whole at its close.
                if (closed || (!more(deadline, answered, failure) && failure.why != "connection closed")) return false;
                closed = failure.why == "connection closed";
                break;
            }
        }
    }

    std::string host_;
    int port_;
    std::string path_;
    std::chrono::milliseconds deadline_;
    std::string origin_;
    int fd_ = -1;
    std::string pending_;
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
