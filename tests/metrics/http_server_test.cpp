// The HTTP server under the framings, caps and deadlines that hostile
// clients use, over plain HTTP and over TLS alike.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include "metrics/http_server.h"
#include "metrics/metrics_server.h"
#include "metrics/tls_context.h"

namespace kvx::test {
namespace {

using Clock = std::chrono::steady_clock;
const std::filesystem::path kTls = KVX_TEST_TLS_DIR;

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// One connection, plain or TLS, that sends raw bytes and reads what comes
// back until the server closes (or 5 s pass).
struct ClientTls {
    std::string certFile, keyFile;  // a client certificate to show, if any
    int maxVersion = 0;             // 0: the library's highest
};

class RawClient {
public:
    RawClient(int port, bool tls, const ClientTls& options = {}) : fd_(connectTo(port)) {
        if (!tls || fd_ < 0) return;
        context_ = ::SSL_CTX_new(::TLS_client_method());
        if (options.maxVersion) ::SSL_CTX_set_max_proto_version(context_, options.maxVersion);
        if (!options.certFile.empty()) {
            ::SSL_CTX_use_certificate_file(context_, options.certFile.c_str(), SSL_FILETYPE_PEM);
            ::SSL_CTX_use_PrivateKey_file(context_, options.keyFile.c_str(), SSL_FILETYPE_PEM);
        }
        ssl_ = ::SSL_new(context_);
        ::SSL_set_fd(ssl_, fd_);
        if (::SSL_connect(ssl_) != 1) ::close(std::exchange(fd_, -1));
    }
    ~RawClient() {
        ::SSL_free(ssl_);
        ::SSL_CTX_free(context_);
        if (fd_ >= 0) ::close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    // The common name of the certificate the server showed.
    std::string serverName() const {
        X509* cert = ssl_ ? ::SSL_get1_peer_certificate(ssl_) : nullptr;
        char name[256] = "";
        if (cert) ::X509_NAME_get_text_by_NID(::X509_get_subject_name(cert), NID_commonName, name, sizeof name);
        ::X509_free(cert);
        return name;
    }
    // The status line of GET /metrics; empty when none came.
    std::string scrape() {
        bool closed = false;
        if (connected()) send("GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
        const std::string answer = connected() ? readToEnd(closed) : "";
        return answer.substr(0, answer.find("\r\n"));
    }
    void send(const std::string& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const int n = ssl_ ? ::SSL_write(ssl_, bytes.data() + sent, static_cast<int>(bytes.size() - sent))
                               : static_cast<int>(::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL));
            if (n <= 0) return;  // the server closed: what it answered is still there to read
            sent += static_cast<std::size_t>(n);
        }
    }
    // Everything until the server closes; `closed` says whether it did.
    std::string readToEnd(bool& closed) {
        std::string all;
        char buffer[4096];
        for (;;) {
            const int n = ssl_ ? ::SSL_read(ssl_, buffer, sizeof buffer)
                               : static_cast<int>(::recv(fd_, buffer, sizeof buffer, 0));
            if (n <= 0) {
                // Not closed: the read timed out.
                closed = !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
                return all;
            }
            all.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
};

struct FramingCase {
    const char* name;
    std::string request;
};

// Framings that two parsers could read differently: refused with one 400
// and the connection closed, over plain HTTP and over TLS.
class Framing : public ::testing::TestWithParam<bool> {};

TEST_P(Framing, AmbiguousRequestsAreRefusedOnceAndClosed) {
    const std::vector<FramingCase> cases{
        {"TwoDifferentLengths", "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\nhello"},
        {"LengthList", "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0, 5\r\n\r\n"},
        {"SignedLength", "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: +0\r\n\r\n"},
        {"LengthAndChunked", "GET /metrics HTTP/1.1\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
        {"SpaceBeforeColon", "GET /metrics HTTP/1.1\r\nHost : x\r\n\r\n"},
        {"FoldedHeader", "GET /metrics HTTP/1.1\r\nHost: x\r\n continued\r\n\r\n"},
        {"TwentyThousandEmptyLines",
         [] {
             std::string r;
             for (int i = 0; i < 20000; ++i) r += "\r\n";
             return r + "GET /metrics HTTP/1.1\r\n\r\n";
         }()},
    };
    std::string error;
    std::optional<WebConfig> web = WebConfig{};
    if (GetParam()) web->certFile = (kTls / "server.crt").string(), web->keyFile = (kTls / "server.key").string();
    MetricsServer server;
    const std::optional<int> port = startSecured(server, "127.0.0.1", 0, *web, error);
    ASSERT_TRUE(port) << error;
    server.publish("kvx_up 1\n");
    for (const FramingCase& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(*port, GetParam());
        ASSERT_TRUE(client.connected());
        client.send(c.request);
        bool closed = false;
        const std::string answer = client.readToEnd(closed);
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 400 Bad Request");
        EXPECT_EQ(answer.find("HTTP/1.1 ", 1), std::string::npos) << answer;  // one answer only
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(RawClient(*port, GetParam()).scrape(), "HTTP/1.1 200 OK");  // still answering
}

INSTANTIATE_TEST_SUITE_P(Server, Framing, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

struct TlsCase {
    const char* name;
    std::string minVersion, clientAuthType;
    ClientTls client;
    bool answered;
};

// The lowest version and the client certificates a web configuration asks
// for, as a client meets them.
// ":PORT" ("::") takes clients of both families, as exporters listen;
// 0.0.0.0 stays IPv4 only.
TEST(Listening, EveryAddressTakesBothFamilies) {
    const auto answers = [](const char* family, int port) {
        const bool v6 = std::string_view(family) == "::1";
        const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage a{};
        if (v6) {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons(static_cast<std::uint16_t>(port));
            in6.sin6_addr = in6addr_loopback;
        } else {
            auto& in = reinterpret_cast<sockaddr_in&>(a);
            in.sin_family = AF_INET;
            in.sin_port = htons(static_cast<std::uint16_t>(port));
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in)) == 0;
        ::close(fd);
        return ok;
    };
    for (const auto& [host, v6] : {std::pair{"::", true}, std::pair{"0.0.0.0", false}}) {
        SCOPED_TRACE(host);
        net::HttpServer server(net::kScrapeLimits, [](const net::Request&) { return net::Response{}; });
        std::string error;
        const std::optional<int> port = server.start(host, 0, error);
        ASSERT_TRUE(port) << error;
        EXPECT_TRUE(answers("127.0.0.1", *port));
        EXPECT_EQ(answers("::1", *port), v6);
    }
}

TEST(TlsSettings, MinVersionAndClientCertificatesAreEnforced) {
    const std::string cert = (kTls / "server.crt").string(), key = (kTls / "server.key").string();
    const ClientTls withClientCert{(kTls / "client.crt").string(), (kTls / "client.key").string(), 0};
    const ClientTls withServerCert{cert, key, 0};
    const std::vector<TlsCase> cases{
        {"Tls12ClientDefault", "TLS12", "NoClientCert", {"", "", TLS1_2_VERSION}, true},
        {"Tls12ClientUnderMin13", "TLS13", "NoClientCert", {"", "", TLS1_2_VERSION}, false},
        {"VerifiedCertMissing", "TLS12", "RequireAndVerifyClientCert", {}, false},
        {"VerifiedCertShown", "TLS12", "RequireAndVerifyClientCert", withClientCert, true},
        {"UnknownCertNotVerified", "TLS12", "RequireAndVerifyClientCert", withServerCert, false},
        {"AnyCertTaken", "TLS12", "RequireAnyClientCert", withServerCert, true},
        {"NoCertIfGiven", "TLS12", "VerifyClientCertIfGiven", {}, true},
    };
    for (const TlsCase& c : cases) {
        SCOPED_TRACE(c.name);
        WebConfig web;
        web.certFile = cert;
        web.keyFile = key;
        web.minVersion = c.minVersion;
        web.clientAuthType = c.clientAuthType;
        web.clientCaFile = (kTls / "client.crt").string();
        MetricsServer server;
        std::string error;
        const std::optional<int> port = startSecured(server, "127.0.0.1", 0, web, error);
        ASSERT_TRUE(port) << error;
        server.publish("kvx_up 1\n");
        RawClient client(*port, true, c.client);
        EXPECT_EQ(client.scrape() == "HTTP/1.1 200 OK", c.answered);
    }
}

// A renewed certificate is served from the next connection after it
// changed, without a restart; one that cannot be used leaves the old one.
TEST(TlsSettings, ChangedCertificateIsServedWithoutARestart) {
    const auto dir = std::filesystem::temp_directory_path() / ("kvx_reload_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto install = [&](const char* cert, const char* key) {
        std::filesystem::copy_file(kTls / cert, dir / "tls.crt.new", std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(kTls / key, dir / "tls.key.new", std::filesystem::copy_options::overwrite_existing);
        std::filesystem::rename(dir / "tls.crt.new", dir / "tls.crt");
        std::filesystem::rename(dir / "tls.key.new", dir / "tls.key");
    };
    install("server.crt", "server.key");
    WebConfig web;
    web.certFile = (dir / "tls.crt").string();
    web.keyFile = (dir / "tls.key").string();
    MetricsServer server;
    std::string error;
    const std::optional<int> port = startSecured(server, "127.0.0.1", 0, web, error);
    ASSERT_TRUE(port) << error;
    EXPECT_EQ(RawClient(*port, true).serverName(), "localhost");
    install("client.crt", "client.key");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(RawClient(*port, true).serverName(), "kvx-test-client");
    // A certificate without its key: the one in use stays.
    std::filesystem::copy_file(kTls / "server.crt", dir / "tls.crt", std::filesystem::copy_options::overwrite_existing);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(RawClient(*port, true).serverName(), "kvx-test-client");
    // A FIFO in the key's place is refused, not waited on.
    std::filesystem::remove(dir / "tls.key");
    ASSERT_EQ(::mkfifo((dir / "tls.key").c_str(), 0600), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(RawClient(*port, true).serverName(), "kvx-test-client");
    ::close(::open((dir / "tls.key").c_str(), O_WRONLY | O_NONBLOCK));  // lets a reader stuck on it go
    server.stop();
    std::filesystem::remove_all(dir);
}

struct UnusableFileCase {
    const char* name;
    std::string cert, key, ca, error;
};

// Files that cannot be served are refused at the start by name, read only
// as regular files of bounded size, without asking for a pass phrase.
TEST(TlsSettings, UnusableFilesAreRefusedByName) {
    const auto dir = std::filesystem::temp_directory_path() / ("kvx_unusable_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string cert = (kTls / "server.crt").string(), key = (kTls / "server.key").string();
    const std::string large = (dir / "large.crt").string(), fifo = (dir / "fifo.key").string();
    std::filesystem::copy_file(kTls / "server.crt", large);
    std::ofstream(large, std::ios::app) << std::string(kMaxTlsFileBytes, '\n');
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<UnusableFileCase> cases{
        {"EncryptedKey", cert, (kTls / "server-encrypted.key").string(), "",
         "the key " + (kTls / "server-encrypted.key").string() + " is encrypted; give an unencrypted key"},
        {"CertificateOverOneMegabyte", large, key, "", "the certificate " + large + " is larger than 1 MB"},
        {"DevZeroAsCertificate", "/dev/zero", key, "", "the certificate /dev/zero cannot be read (not a regular file)"},
        {"FolderAsClientCa", cert, key, dir.string(),
         "the client CA file " + dir.string() + " cannot be read (Is a directory)"},
        {"FifoAsKey", cert, fifo, "", "the key " + fifo + " cannot be read (not a regular file)"},
    };
    for (const UnusableFileCase& c : cases) {
        SCOPED_TRACE(c.name);
        WebConfig web;
        web.certFile = c.cert;
        web.keyFile = c.key;
        web.clientCaFile = c.ca;
        std::string error;
        EXPECT_EQ(makeTlsContext(web, error), nullptr);
        EXPECT_EQ(error, c.error);
    }
    std::filesystem::remove_all(dir);
}

// A server of two places whose handler waits until it is let go.
class SmallServer : public ::testing::Test {
protected:
    void SetUp() override {
        limits.maxConnections = 2;
        limits.maxWorkers = 2;
        limits.headDeadline = std::chrono::milliseconds(300);
        limits.idleTimeout = std::chrono::milliseconds(300);
        server = std::make_unique<net::HttpServer>(limits, [this](const net::Request&) {
            std::unique_lock lock(mutex);
            released.wait(lock, [this] { return open; });
            return net::Response{200, "text/plain", "ok\n", {}};
        });
        std::string error;
        port = server->start("127.0.0.1", 0, error).value_or(0);
        ASSERT_NE(port, 0) << error;
    }
    void TearDown() override { release(); }
    void release() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        released.notify_all();
    }
    static bool closedByServer(int fd, int withinMs) {
        pollfd p{fd, POLLIN, 0};
        char c;
        return ::poll(&p, 1, withinMs) == 1 && ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
    }

    net::ServerLimits limits;
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    std::unique_ptr<net::HttpServer> server;
    int port = 0;
};

// At the cap, a new connection takes the place of the oldest one that has
// no whole request; when every place is answering one, it gets 503.
TEST_F(SmallServer, TheCapEvictsTheLongestWaitingThenRefuses) {
    const int first = connectTo(port), second = connectTo(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int third = connectTo(port);
    EXPECT_TRUE(closedByServer(first, 200));
    EXPECT_FALSE(closedByServer(second, 50));
    // Both places now answer a request the handler holds.
    for (int fd : {second, third}) ::send(fd, "GET / HTTP/1.1\r\n\r\n", 18, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int fourth = connectTo(port);
    char answer[64] = {};
    EXPECT_GT(::recv(fourth, answer, sizeof answer - 1, 0), 0);
    EXPECT_EQ(std::string(answer).substr(0, 32), "HTTP/1.1 503 Service Unavailable");
    for (int fd : {first, second, third, fourth}) ::close(fd);
}

// A connection that sends no whole head, and one kept after its answer,
// are closed when their time is up, not long after.
TEST_F(SmallServer, SlowHeadsAndIdleConnectionsAreClosedOnTime) {
    release();
    for (const bool answeredFirst : {false, true}) {
        SCOPED_TRACE(answeredFirst ? "Idle" : "SlowHead");
        const int fd = connectTo(port);
        if (answeredFirst) {
            ::send(fd, "GET / HTTP/1.1\r\n\r\n", 18, MSG_NOSIGNAL);
            char buffer[256];
            ASSERT_GT(::recv(fd, buffer, sizeof buffer, 0), 0);
        } else {
            ::send(fd, "GET / HT", 8, MSG_NOSIGNAL);
        }
        const auto start = Clock::now();
        EXPECT_TRUE(closedByServer(fd, 2000));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(took, 200);
        EXPECT_LE(took, 1000);
        ::close(fd);
    }
}

// An answer that is ready only after the head's deadline (a slow handler,
// a password check in a queue) is still sent.
TEST_F(SmallServer, ALateAnswerIsStillSent) {
    const int fd = connectTo(port);
    ::send(fd, "GET / HTTP/1.1\r\n\r\n", 18, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    release();
    char answer[64] = {};
    EXPECT_GT(::recv(fd, answer, sizeof answer - 1, 0), 0);
    EXPECT_EQ(std::string(answer).substr(0, 15), "HTTP/1.1 200 OK");
    ::close(fd);
}

}  // namespace
}  // namespace kvx::test
