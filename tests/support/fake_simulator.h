// A simulator that answers whatever the test wants, the way a broken or
// hostile peer would: on a unix socket (line framed, for the local library)
// and over HTTP on a loopback port (for the remote one). Each request is
// handed to the test's script, whose reply is sent as it stands, late, one
// byte at a time or not at all.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace kvx::test {

struct FakeReply {
    // Answer: the body, framed (a line, or an HTTP answer with its length).
    // Silent: nothing, ever. Trickle: the framing, then the body one byte
    // per `trickleMs`. Endless: an answer that never ends (a line without
    // end; HTTP chunks of 64 kB for ever). Raw: the body as it stands.
    enum class Kind { Answer, Silent, Trickle, Endless, Raw };
    std::string body;  // sent without any check
    Kind kind = Kind::Answer;
    int trickleMs = 0;
};

class FakeSimulator {
public:
    using Script = std::function<FakeReply(const nlohmann::json& request)>;

    FakeSimulator(const std::string& socketPath, Script script);
    ~FakeSimulator();
    FakeSimulator(const FakeSimulator&) = delete;
    FakeSimulator& operator=(const FakeSimulator&) = delete;

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int requests() const { return requests_; }

    // The plain answer of a running controller to `request`, for scripts that
    // spoil one answer and let the rest be.
    static std::string healthyAnswer(const nlohmann::json& request);

private:
    void accept(int listener, bool http);
    void serve(int fd, bool http);
    bool reply(int fd, const nlohmann::json& request, bool http);
    bool pause(int ms);

    Script script_;
    std::string socketPath_;
    int unixListener_ = -1;
    int tcpListener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::thread> threads_;  // the two accept loops
    std::list<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> served_;  // a thread per connection
};

}  // namespace kvx::test
