// The program's two HTTP servers, the monitor's metrics endpoint and the
// simulator's web services, against hostile clients: bodies they do not
// need, heads without end, floods of idle and of slow connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "daemon_process.h"
#include "metrics_instance.h"

namespace kvx {
namespace {

using kvxsim::test::DaemonProcess;
using kvxsim::test::TempDir;

// A test client's write to a connection the server dropped fails; it must
// not end the test binary (and leave its servers running).
[[maybe_unused]] const auto kNoSigpipe = ::signal(SIGPIPE, SIG_IGN);

int connectTo(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// Sends `request` (as far as the server takes it) and returns the status
// line of the answer; empty when none came.
std::string statusOf(int port, const std::string& request) {
    const int fd = connectTo(port);
    if (fd < 0) return "";
    [[maybe_unused]] ssize_t sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[512];
    while (answer.find("\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

std::size_t openDescriptors(pid_t pid) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) ++n;
    return n;
}

std::string readFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

enum class Target { SimulatorWebServices, MetricsEndpoint, MetricsEndpointOverTls };

using test::kTlsDir;

// Either server, started for one test: the simulator's web services, or the
// monitor (against a simulator) serving its metrics, over HTTP or over TLS
// with basic authentication.
class HostileClients : public ::testing::TestWithParam<Target> {
protected:
    void SetUp() override {
        if (!metrics()) {
            daemon = std::make_unique<DaemonProcess>(kvxsim::test::scenarioDir() + "/kvx2000.scn", dir.file("kvxsim.sock"));
            port = daemon->port();
            pid = daemon->pid();
            path = "/kvxg3/v1/call";
            return;
        }
        path = "/metrics";
        // Over TLS with the user prometheus (password s3cret).
        monitor = std::make_unique<test::MetricsInstance>(
            dir, test::MetricsInstanceOptions{
                     overTls(), overTls() ? "$2y$04$CsatAQ.FUJUQlgnyrnaUqOzFKoyT8z2XhIWG0PqDvJmrLr98yqCmG" : ""});
        port = monitor->port();
        pid = monitor->pid();
        ASSERT_NE(port, 0) << readFile(dir.file("err"));
    }
    void TearDown() override {
        if (monitor) {
            const int status = monitor->stop();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
    }
    bool metrics() const { return GetParam() != Target::SimulatorWebServices; }
    bool overTls() const { return GetParam() == Target::MetricsEndpointOverTls; }
    std::string get() {
        if (!overTls()) return statusOf(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        httplib::SSLClient client("127.0.0.1", port);
        client.set_ca_cert_path((kTlsDir + "/server.crt").c_str());
        client.enable_server_certificate_verification(true);
        client.set_basic_auth("prometheus", "s3cret");
        const auto res = client.Get(path.c_str());
        if (!res) return "no answer: " + httplib::to_string(res.error());
        return "HTTP/1.1 " + std::to_string(res->status) + (res->status == 200 ? " OK" : "");
    }
    void floodWithIdleConnectionsThenScrape();

    TempDir dir;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<test::MetricsInstance> monitor;
    int port = 0;
    pid_t pid = -1;
    std::string path;
};

struct HostileRequest {
    const char* name;
    std::string (*make)(const std::string& path);
    const char* status;
};

const HostileRequest kHostileRequests[] = {
    {"GigabyteBody",
     [](const std::string& p) { return "POST " + p + " HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000\r\n\r\n" + std::string(65536, 'x'); },
     "HTTP/1.1 413 Payload Too Large"},
    {"EndlessChunkedBody",
     [](const std::string& p) {
         std::string r = "POST " + p + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
         for (int i = 0; i < 16; ++i) r += "1000\r\n" + std::string(4096, 'x') + "\r\n";
         return r;
     },
     "HTTP/1.1 413 Payload Too Large"},
    {"HundredHeaderLines",
     [](const std::string& p) {
         std::string r = "GET " + p + " HTTP/1.1\r\nHost: x\r\n";
         for (int i = 0; i < 100; ++i) r += "X-Filler: " + std::to_string(i) + "\r\n";
         return r + "\r\n";
     },
     "HTTP/1.1 431 Request Header Fields Too Large"},
    {"HeadOfOneMegabyte",
     [](const std::string& p) { return "GET " + p + " HTTP/1.1\r\nX-Filler: " + std::string(1 << 20, 'x'); },
     "HTTP/1.1 431 Request Header Fields Too Large"},
};

TEST_P(HostileClients, OversizedRequestsAreRefused) {
    for (const auto& r : kHostileRequests) EXPECT_EQ(statusOf(port, r.make(path)), r.status) << r.name;
    // Answered as before the attacks.
    const std::string healthy = metrics() ? get()
                                          : statusOf(port, "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 14\r\n\r\n{\"op\":\"hello\"}");
    EXPECT_EQ(healthy, "HTTP/1.1 200 OK");
}

// Over TLS the connections stay idle before their handshake.
void HostileClients::floodWithIdleConnectionsThenScrape() {
    const std::size_t before = openDescriptors(pid);
    std::vector<int> flood;
    for (int i = 0; i < 1100; ++i)
        if (const int fd = connectTo(port); fd >= 0) flood.push_back(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // Before the limits the monitor took all of its 1,024 descriptors and
    // then lost its simulator ("Miniport Driver not available!").
    const std::size_t during = openDescriptors(pid);
    EXPECT_LE(during, before + 64 + 2) << "descriptors before the flood: " << before;
    std::cout << "descriptors: " << before << " before, " << during << " during the flood of " << flood.size() << "\n";
    for (int fd : flood) ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (metrics()) {
        EXPECT_EQ(get(), "HTTP/1.1 200 OK");
        const std::string out = readFile(dir.file("out"));
        EXPECT_EQ(out.find("Miniport Driver not available!"), std::string::npos) << out;
        EXPECT_EQ(out.find("System is offline"), std::string::npos) << out;
    } else {
        EXPECT_EQ(statusOf(port, "GET /kvxg3/v1/state HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 200 OK");
    }
}

TEST_P(HostileClients, AFloodOfIdleConnectionsTakesNoDescriptorsAndTheServerRecovers) {
    floodWithIdleConnectionsThenScrape();
}

// The attacks above are on the HTTP head; over TLS the flood is the one left.
class HostileTlsClients : public HostileClients {};

TEST_P(HostileTlsClients, AFloodOfIdleConnectionsTakesNoDescriptorsAndTheServerRecovers) {
    floodWithIdleConnectionsThenScrape();
}

TEST_P(HostileClients, SlowClientsLeaveRoomForAScrape) {
    // Twenty clients that send their head one byte at a time.
    std::vector<int> slow;
    for (int i = 0; i < 20; ++i) slow.push_back(connectTo(port));
    for (int round = 0; round < 5; ++round) {
        for (int fd : slow) [[maybe_unused]] ssize_t n = ::send(fd, "G", 1, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Before the limits the twenty held every worker: no answer.
    EXPECT_EQ(metrics() ? get() : statusOf(port, "GET /kvxg3/v1/state HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 200 OK");
    for (int fd : slow) ::close(fd);
}

// Forty clients that send a byte a second (over TLS: of a record header,
// never finishing the handshake) and come back whenever they are dropped,
// as slowloris does, while Prometheus scrapes twice a second.
class SlowClients : public HostileClients {};

TEST_P(SlowClients, FortyHoldingOnLeaveEveryScrapeAnswered) {
    std::atomic<bool> done{false};
    std::thread attack([&] {
        std::vector<int> fds(40, -1);
        const std::string bytes = overTls() ? std::string("\x16\x03\x01", 3) : std::string("GET /metrics HTTP/1.1\r\n");
        std::vector<std::size_t> sent(fds.size(), 0);
        while (!done) {
            for (std::size_t i = 0; i < fds.size(); ++i) {
                char c;
                if (fds[i] >= 0 && ::recv(fds[i], &c, 1, MSG_DONTWAIT) == 0) {
                    ::close(fds[i]);
                    fds[i] = -1;
                }
                if (fds[i] < 0) {
                    fds[i] = connectTo(port);
                    sent[i] = 0;
                }
                if (fds[i] >= 0 && sent[i] < bytes.size()) ::send(fds[i], &bytes[sent[i]++], 1, MSG_NOSIGNAL);
            }
            for (int t = 0; t < 10 && !done; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    int answered = 0;
    const int scrapes = 12;
    for (int i = 0; i < scrapes; ++i) {
        answered += get() == "HTTP/1.1 200 OK";
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    done = true;
    attack.join();
    // Before eviction: 2 of 38 answered over HTTP, none over TLS.
    EXPECT_EQ(answered, scrapes);
}

std::string targetName(const ::testing::TestParamInfo<Target>& info) {
    switch (info.param) {
    case Target::SimulatorWebServices: return "SimulatorWebServices";
    case Target::MetricsEndpoint: return "MetricsEndpoint";
    case Target::MetricsEndpointOverTls: return "MetricsEndpointOverTls";
    }
    return "";
}

INSTANTIATE_TEST_SUITE_P(Servers, HostileClients,
                         ::testing::Values(Target::SimulatorWebServices, Target::MetricsEndpoint), targetName);
INSTANTIATE_TEST_SUITE_P(Servers, HostileTlsClients, ::testing::Values(Target::MetricsEndpointOverTls), targetName);
INSTANTIATE_TEST_SUITE_P(Servers, SlowClients, ::testing::Values(Target::MetricsEndpoint, Target::MetricsEndpointOverTls),
                         targetName);

}  // namespace
}  // namespace kvx
