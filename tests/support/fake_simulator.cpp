#include "fake_simulator.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace kvx::test {

using nlohmann::json;

namespace {

bool sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until `pending` holds `delimiter`; false at end of stream.
bool readUntil(int fd, std::string& pending, const std::string& delimiter) {
    while (pending.find(delimiter) == std::string::npos) {
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        pending.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

FakeSimulator::FakeSimulator(const std::string& socketPath, Script script)
    : script_(std::move(script)), socketPath_(socketPath) {
    unixListener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un ua{};
    ua.sun_family = AF_UNIX;
    std::strncpy(ua.sun_path, socketPath.c_str(), sizeof ua.sun_path - 1);
    ::unlink(socketPath.c_str());
    if (::bind(unixListener_, reinterpret_cast<sockaddr*>(&ua), sizeof ua) != 0 || ::listen(unixListener_, 16) != 0)
        throw std::runtime_error("fake simulator: cannot listen on " + socketPath);

    tcpListener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(tcpListener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in ta{};
    ta.sin_family = AF_INET;
    ta.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof ta;
    if (::bind(tcpListener_, reinterpret_cast<sockaddr*>(&ta), sizeof ta) != 0 || ::listen(tcpListener_, 16) != 0 ||
        ::getsockname(tcpListener_, reinterpret_cast<sockaddr*>(&ta), &len) != 0)
        throw std::runtime_error("fake simulator: cannot listen on loopback");
    port_ = ntohs(ta.sin_port);

    threads_.emplace_back([this] { accept(unixListener_, false); });
    threads_.emplace_back([this] { accept(tcpListener_, true); });
}

FakeSimulator::~FakeSimulator() {
    stopping_ = true;
    ::shutdown(unixListener_, SHUT_RDWR);
    ::shutdown(tcpListener_, SHUT_RDWR);
    {
        std::lock_guard lock(mutex_);
        for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : threads_) t.join();  // the accept loops: no connection comes after them
    for (auto& served : served_) served.first.join();
    ::close(unixListener_);
    ::close(tcpListener_);
    ::unlink(socketPath_.c_str());
}

void FakeSimulator::accept(int listener, bool http) {
    while (!stopping_) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        connections_.push_back(fd);
        // Threads of connections that ended are joined as new ones come, so a
        // long run (the fuzz target) holds neither threads nor descriptors.
        for (auto it = served_.begin(); it != served_.end();) {
            if (it->second->load()) {
                it->first.join();
                it = served_.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        served_.emplace_back(std::thread([this, fd, http, done] {
                                 serve(fd, http);
                                 std::lock_guard lock(mutex_);
                                 std::erase(connections_, fd);
                                 ::close(fd);
                                 *done = true;
                             }),
                             done);
    }
}

void FakeSimulator::serve(int fd, bool http) {
    std::string pending;
    while (!stopping_) {
        json request;
        if (http) {
            if (!readUntil(fd, pending, "\r\n\r\n")) return;
            const std::size_t end = pending.find("\r\n\r\n") + 4;
            std::string head = pending.substr(0, end);
            pending.erase(0, end);
            std::size_t length = 0;
            for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (auto at = head.find("content-length:"); at != std::string::npos)
                length = std::stoul(head.substr(at + 15));
            while (pending.size() < length) {
                char buf[4096];
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) return;
                pending.append(buf, static_cast<std::size_t>(n));
            }
            request = json::parse(pending.substr(0, length), nullptr, false);
            pending.erase(0, length);
        } else {
            if (!readUntil(fd, pending, "\n")) return;
            const std::size_t nl = pending.find('\n');
            request = json::parse(pending.substr(0, nl), nullptr, false);
            pending.erase(0, nl + 1);
        }
        ++requests_;
        if (!reply(fd, request, http)) return;
    }
}

bool FakeSimulator::pause(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return !stopping_;
}

bool FakeSimulator::reply(int fd, const json& request, bool http) {
    const FakeReply r = script_(request);
    if (r.kind == FakeReply::Kind::Silent) {
        while (pause(50)) {
        }
        return false;
    }
    if (r.kind == FakeReply::Kind::Raw) return sendAll(fd, r.body);
    if (r.kind == FakeReply::Kind::Endless) {
        if (http && !sendAll(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return false;
        const std::string chunk = (http ? "10000\r\n" : "") + std::string(0x10000, '[') + (http ? "\r\n" : "");
        while (!stopping_ && sendAll(fd, chunk)) {
        }
        return false;
    }
    std::string body = r.body;
    if (!http) body += '\n';
    std::string head;
    if (http)
        head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n";
    // One write for a whole answer: a second small one would wait for the
    // peer's delayed acknowledgement.
    if (r.kind == FakeReply::Kind::Answer) return sendAll(fd, head + body);
    if (!sendAll(fd, head)) return false;
    for (char c : body)
        if (!pause(r.trickleMs) || !sendAll(fd, std::string(1, c))) return false;
    return true;
}

std::string FakeSimulator::healthyAnswer(const json& request) {
    const std::string op = request.value("op", "");
    json a = {{"rc", 0}};
    if (op == "hello") a["cards"] = 1;
    if (op == "snapshot") a["rc"] = -100;  // asked operation by operation
    if (op == "init") {
        a["tavosName"] = "TAVOS";
        a["axisCount"] = 2;
        a["boardType"] = 4;
        a["axes"] = json::array({{{"limit", 8.0}}, {{"limit", 8.0}}});
    }
    if (op == "status") {
        a["minCycle"] = 900;
        a["maxCycle"] = 1300;
        a["runCounter"] = 1;
        a["links"] = json::array({0, 0, 0, 0, 0});
    }
    if (op == "axis") a["limit"] = 8.0;
    if (op == "option") a = {{"rc", 4}, {"value", 5}};
    if (op == "env") a = {{"rc", 8}, {"value", "20001234"}};
    if (op == "osVersion") a["value"] = 253048;
    if (op == "pld" || op == "sampleTime" || op == "errorReg" || op == "ifs") a["value"] = op == "sampleTime" ? 1280 : 0;
    if (op == "miniport") a["value"] = 0x51234;
    if (op == "task") a["file"] = "MAIN.TXT";
    return a.dump();
}

}  // namespace kvx::test
