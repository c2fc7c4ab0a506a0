// Fleet metrics: the exposition text through the poll engine, the endpoint
// over loopback, and a real Prometheus scraping it.
#include <sys/resource.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "metrics/metrics.h"
#include "metrics/metrics_server.h"
#include "metrics/tls_context.h"
#include "history_fixture.h"

extern char** environ;

namespace kvx::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> metricLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#') out.push_back(line);
    return out;
}

bool hasLine(const std::string& text, const std::string& line) {
    const auto lines = metricLines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(HistoryTest, MetricsOfAnOnlineTickWithFaults) {
    tickAt(0);
    setEmergencyOut(1, true);
    ctl.tasks[3].errorNumber = -2;
    ctl.setStatus(StatusRecord::kRxDataErrors, 9);
    ctl.setStatus(StatusRecord::kMaxCycleTime, 1800);
    tickAt(1);
    const std::string text = prometheusText(history, "m17");

    EXPECT_TRUE(hasLine(text, "kvx_ticks_total{controller=\"m17\"} 2"));
    EXPECT_TRUE(
        hasLine(text, "kvx_last_tick_timestamp_seconds{controller=\"m17\"} " + std::to_string(clock.unixSeconds())));
    EXPECT_TRUE(hasLine(text, "kvx_online{controller=\"m17\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_init_result{controller=\"m17\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_mask{controller=\"m17\"} 14352"));  // 0x10 | 0x800 | 0x1000 | 0x2000
    EXPECT_TRUE(hasLine(text, "kvx_fault_class{controller=\"m17\",class=\"emergency_out\",bit=\"0x00010\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_class{controller=\"m17\",class=\"task3_runtime_error\",bit=\"0x00800\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_class{controller=\"m17\",class=\"link_counters\",bit=\"0x01000\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_class{controller=\"m17\",class=\"timing\",bit=\"0x02000\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_class{controller=\"m17\",class=\"encoder_error\",bit=\"0x00001\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_lines{controller=\"m17\"} 4"));
    EXPECT_TRUE(hasLine(text, "kvx_axis_condition{controller=\"m17\",axis=\"2\",condition=\"emergency_out\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_axis_condition{controller=\"m17\",axis=\"1\",condition=\"emergency_out\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_axis_condition{controller=\"m17\",axis=\"2\",condition=\"max_position_error\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_task_error{controller=\"m17\",task=\"3\"} -2"));
    EXPECT_TRUE(hasLine(text, "kvx_task_error{controller=\"m17\",task=\"0\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_link_errors{controller=\"m17\",counter=\"rx_data\"} 9"));
    EXPECT_TRUE(hasLine(text, "kvx_link_errors{controller=\"m17\",counter=\"dma_read\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_cycle_time_min_seconds{controller=\"m17\"} 0.0012"));
    EXPECT_TRUE(hasLine(text, "kvx_cycle_time_max_seconds{controller=\"m17\"} 0.0018"));
    EXPECT_TRUE(hasLine(text, "kvx_cycle_time_lower_limit_seconds{controller=\"m17\"} 0.000895"));
    EXPECT_TRUE(hasLine(text, "kvx_cycle_time_upper_limit_seconds{controller=\"m17\"} 0.001791"));
    EXPECT_TRUE(hasLine(text, "kvx_sample_time_seconds{controller=\"m17\"} 0.00128"));
    EXPECT_TRUE(hasLine(text, "kvx_cycle_time_worst_seconds{controller=\"m17\"} 0.0018"));
    EXPECT_TRUE(hasLine(text, "kvx_restarts_total{controller=\"m17\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_history_entries{controller=\"m17\"} 4"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_history_unacknowledged{controller=\"m17\"} 4"));
    EXPECT_TRUE(hasLine(text, "kvx_up{controller=\"m17\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_raised_total{controller=\"m17\",class=\"emergency_out\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_raised_total{controller=\"m17\",class=\"encoder_error\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_axis_condition_raised_total{controller=\"m17\",axis=\"2\",condition=\"emergency_out\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_axis_condition_raised_total{controller=\"m17\",axis=\"1\",condition=\"emergency_out\"} 0"));
    // 26 run and fault-class samples, 8 axis conditions (two axes), 4 tasks,
    // 5 counters, 5 cycle-time values, the worst cycle time, build and
    // start, 16 fault classes raised, 8 axis conditions raised (the process
    // figures come with the scrape).
    EXPECT_EQ(metricLines(text).size(), 75u);
    EXPECT_NE(text.find("# TYPE kvx_restarts_total counter\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE kvx_link_errors gauge\n"), std::string::npos);
    // A fault that stays is raised once; one that comes back, again.
    tickAt(2);
    setEmergencyOut(1, false);
    tickAt(3);
    setEmergencyOut(1, true);
    tickAt(4);
    EXPECT_TRUE(hasLine(prometheusText(history, "m17"),
                        "kvx_fault_raised_total{controller=\"m17\",class=\"emergency_out\"} 2"));
}

TEST_F(HistoryTest, MetricsWhileOfflineLeaveOutTheControllerValues) {
    fixedRunCounter = true;
    ctl.setStatus(StatusRecord::kRunCounter, 800);
    tickAt(0);
    ctl.setStatus(StatusRecord::kRunCounter, 2);
    tickAt(1);
    ctl.initResult = 34;
    tickAt(2);
    const std::string text = prometheusText(history, "m17");

    EXPECT_TRUE(hasLine(text, "kvx_online{controller=\"m17\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_init_result{controller=\"m17\"} 34"));
    EXPECT_TRUE(hasLine(text, "kvx_fault_class{controller=\"m17\",class=\"offline\",bit=\"0x04000\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_restarts_total{controller=\"m17\"} 1"));
    EXPECT_TRUE(hasLine(text, "kvx_offline_periods_total{controller=\"m17\"} 1"));
    EXPECT_EQ(text.find("kvx_link_errors"), std::string::npos);
    EXPECT_EQ(text.find("kvx_axis_condition{"), std::string::npos);
    EXPECT_TRUE(hasLine(text, "kvx_fault_raised_total{controller=\"m17\",class=\"offline\"} 1"));
    EXPECT_EQ(text.find("kvx_cycle_time_min_seconds"), std::string::npos);
    EXPECT_TRUE(hasLine(text, "kvx_cycle_time_worst_seconds{controller=\"m17\"} 0.0013"));
}

TEST(MetricsText, BeforeTheFirstTickOnlyTheRunsOwnFigures) {
    FixedClock clock;
    RunHistory history(clock, [] { return std::int64_t{0}; });
    const std::string text = prometheusText(history, "m17");
    EXPECT_TRUE(hasLine(text, "kvx_ticks_total{controller=\"m17\"} 0"));
    EXPECT_TRUE(hasLine(text, "kvx_up{controller=\"m17\"} 1"));
    EXPECT_NE(text.find("kvx_build_info{controller=\"m17\",version=\"2.5.3\",revision=\""), std::string::npos);
    EXPECT_EQ(text.find("kvx_online"), std::string::npos);
    EXPECT_EQ(text.find("kvx_fault_raised_total"), std::string::npos);
    EXPECT_EQ(text.find("process_"), std::string::npos);  // the server adds them at each scrape
    // While the start waits for the controller: offline, and how often it tried.
    const std::string pending = prometheusStartPendingText("m17", 3);
    for (const char* line : {"kvx_up{controller=\"m17\"} 0", "kvx_online{controller=\"m17\"} 0",
                             "kvx_start_attempts_total{controller=\"m17\"} 3", "kvx_ticks_total{controller=\"m17\"} 0"})
        EXPECT_TRUE(hasLine(pending, line)) << line;
    // A name that would break the exposition is escaped.
    EXPECT_NE(prometheusText(history, "a\"b\\c\nd").find("kvx_ticks_total{controller=\"a\\\"b\\\\c\\nd\"} 0\n"),
              std::string::npos);
    // A Latin-1 name or a surrogate is no UTF-8: each byte becomes U+FFFD, a valid euro sign stays.
    const std::string bad = "\xef\xbf\xbd";
    EXPECT_NE(prometheusText(history, "S\xfc" "d\xe2\x82\xac\xed\xa0\x80")
                  .find("kvx_ticks_total{controller=\"S" + bad + "d\xe2\x82\xac" + bad + bad + bad + "\"} 0\n"),
              std::string::npos);
    EXPECT_STREQ(faultClassKey(0x40000), "unknown");
}

TEST(MetricsServerTest, ServesThePublishedTextOnLoopback) {
    MetricsServer server;
    std::string error;
    const std::optional<int> port = server.start("127.0.0.1", 0, error);
    ASSERT_TRUE(port.has_value()) << error;
    EXPECT_TRUE(server.running());
    server.publish("kvx_online 1\n");

    httplib::Client client("127.0.0.1", *port);
    auto res = client.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "kvx_online 1\n");
    EXPECT_EQ(res->get_header_value("Content-Type"), MetricsServer::kContentType);

    // A text of an instance: the scrapes counted, with its controller label (this one the second).
    server.publish("kvx_online{controller=\"c\\\"17\"} 0\n");
    res = client.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_TRUE(hasLine(res->body, "kvx_online{controller=\"c\\\"17\"} 0")) << res->body;
    EXPECT_TRUE(hasLine(res->body, "promhttp_metric_handler_requests_total{controller=\"c\\\"17\",code=\"200\"} 2"))
        << res->body;
    // The process figures as of the scrape, not of the text's tick.
    for (const char* family : {"process_cpu_seconds_total", "process_resident_memory_bytes", "process_open_fds",
                               "process_max_fds", "process_start_time_seconds", "process_virtual_memory_bytes",
                               "process_virtual_memory_max_bytes"})
        EXPECT_NE(res->body.find(std::string("\n") + family + "{controller=\"c\\\"17\"} "), std::string::npos)
            << family;
    rlimit address{};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &address), 0);
    if (address.rlim_cur == RLIM_INFINITY) {
        EXPECT_TRUE(hasLine(res->body, "process_virtual_memory_max_bytes{controller=\"c\\\"17\"} -1")) << res->body;
    }

    // The port is taken: a second monitor cannot share it.
    MetricsServer second;
    EXPECT_FALSE(second.start("127.0.0.1", *port, error).has_value());
    EXPECT_EQ(error, "cannot serve metrics on 127.0.0.1:" + std::to_string(*port));

    server.stop();
    EXPECT_FALSE(server.running());
    EXPECT_FALSE(httplib::Client("127.0.0.1", *port).Get("/metrics"));
}

struct ScrapeCase {
    const char* name;
    std::vector<std::string> sent;  // one after another, a moment apart: the server reads them apart
    std::string answered;           // everything answered on the connection
};

const std::string kHeadOfText = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n"
                                "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\nKeep-Alive: timeout=120\r\n\r\n";
const std::string kMetrics = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";

// Plain HTTP as Prometheus and other clients use it, on one connection each.
TEST(MetricsServerTest, AnswersWhatAScrapeAsksAndKeepsTheConnection) {
    const std::vector<ScrapeCase> cases{
        {"Head", {"HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n"}, kHeadOfText},
        {"Index", {"GET / HTTP/1.1\r\n\r\n"},
         "HTTP/1.1 200 OK\r\nContent-Length: 146\r\nContent-Type: text/html; charset=utf-8\r\nKeep-Alive: timeout=120\r\n\r\n" +
             std::string(MetricsServer::kIndexText)},
        {"Healthy", {"GET /-/healthy HTTP/1.1\r\n\r\n"},
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Type: text/plain; charset=utf-8\r\nKeep-Alive: timeout=120\r\n\r\nOK\n"},
        {"NotReadyBeforeATick", {"GET /-/ready HTTP/1.1\r\n\r\n"},
         "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 20\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Keep-Alive: timeout=120\r\n\r\nService Unavailable\n"},
        {"OtherPath", {"GET /favicon.ico HTTP/1.1\r\n\r\n"}, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nKeep-Alive: timeout=120\r\n\r\n"},
        {"OtherMethod", {"DELETE /metrics HTTP/1.1\r\n\r\n"},
         "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\nKeep-Alive: timeout=120\r\n\r\n"},
        {"MalformedRequestLine", {"GET /metrics\r\n\r\n", kMetrics},
         "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
        {"TwoRequestsOnOneConnection", {kMetrics, "GET /metrics?x=1 HTTP/1.1\r\nConnection: close\r\n\r\n"},
         kHeadOfText + "kvx_online 1\n" +
             "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 13\r\n"
             "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n\r\nkvx_online 1\n"},
        {"TwoRequestsInOneWrite", {kMetrics + "HEAD /metrics HTTP/1.1\r\n\r\n"}, kHeadOfText + "kvx_online 1\n" + kHeadOfText},
        {"RequestSplitAcrossReads", {"GE", "T /metrics HTTP/1.1\r\nHo", "st: x\r\n", "\r\n"}, kHeadOfText + "kvx_online 1\n"},
        {"Http10EndsTheConnection", {"GET / HTTP/1.0\r\n\r\n", kMetrics},
         "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 146\r\nContent-Type: text/html; charset=utf-8\r\n\r\n" +
             std::string(MetricsServer::kIndexText)},
    };
    MetricsServer server;
    std::string error;
    const std::optional<int> port = server.start("127.0.0.1", 0, error);
    ASSERT_TRUE(port) << error;
    server.publish("kvx_online 1\n");
    for (const ScrapeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(*port));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        timeval limit{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        for (const std::string& part : c.sent) {
            ::send(fd, part.data(), part.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::string answered;
        char buffer[4096];
        for (ssize_t n; answered.size() < c.answered.size() && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answered.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
        EXPECT_EQ(answered, c.answered);
    }
    server.markReady();
    const auto ready = httplib::Client("127.0.0.1", *port).Get("/-/ready");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 200);
    EXPECT_EQ(ready->body, "OK\n");
    // No second server on the same port (SO_REUSEPORT would allow one).
    MetricsServer second;
    EXPECT_FALSE(second.start("127.0.0.1", *port, error));
    EXPECT_EQ(error, "cannot serve metrics on 127.0.0.1:" + std::to_string(*port));
}

// A port that was free a moment ago.
int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// A Prometheus of its own: temporary configuration and storage, loopback
// ports, stopped by the destructor.
class PrometheusProcess {
public:
    // `scrapeConfigs`: the jobs, as the lines under "scrape_configs:".
    PrometheusProcess(const fs::path& folder, const std::string& scrapeConfigs) : folder_(folder), port_(freePort()) {
        std::ofstream(folder_ / "prometheus.yml") << "global:\n"
                                                     "  scrape_interval: 1s\n"
                                                     "  evaluation_interval: 1s\n"
                                                     "scrape_configs:\n"
                                                  << scrapeConfigs;
        fs::create_directories(folder_ / "data");
        std::vector<std::string> args{"prometheus",
                                      "--config.file=" + (folder_ / "prometheus.yml").string(),
                                      "--storage.tsdb.path=" + (folder_ / "data").string(),
                                      "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                                      "--log.level=warn"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = (folder_ / "prometheus.log").string();
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        spawned_ = posix_spawnp(&pid_, "prometheus", &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~PrometheusProcess() {
        if (!spawned_) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }

    bool spawned() const { return spawned_; }
    int port() const { return port_; }
    std::string log() const {
        std::ostringstream s;
        s << std::ifstream(folder_ / "prometheus.log").rdbuf();
        return s.str();
    }

    // The value of the single series `query` selects, once Prometheus has one.
    std::optional<std::string> valueOf(const std::string& query, std::chrono::seconds limit) const {
        httplib::Client client("127.0.0.1", port_);
        client.set_connection_timeout(1);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            auto res = client.Get("/api/v1/query", httplib::Params{{"query", query}}, httplib::Headers{});
            if (res && res->status == 200) {
                auto json = nlohmann::json::parse(res->body, nullptr, false);
                if (!json.is_discarded() && json["status"] == "success" && json["data"]["result"].size() == 1)
                    return json["data"]["result"][0]["value"][1].get<std::string>();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return std::nullopt;
    }

private:
    fs::path folder_;
    int port_;
    pid_t pid_ = 0;
    bool spawned_ = false;
};

TEST_F(HistoryTest, RealPrometheusScrapesTheMonitorsState) {
    const fs::path folder = fs::temp_directory_path() / ("kvx_prometheus_" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);

    tickAt(0);
    ctl.setStatus(StatusRecord::kTimeoutErrors, 7);
    setEmergencyOut(0, true);
    tickAt(1);
    MetricsServer server;
    std::string error;
    const std::optional<int> port = server.start("127.0.0.1", 0, error);
    ASSERT_TRUE(port.has_value()) << error;
    server.publish(prometheusText(history, "m17"));

    {
        PrometheusProcess prometheus(folder, "  - job_name: kvx\n"
                                             "    static_configs:\n"
                                             "      - targets: ['127.0.0.1:" + std::to_string(*port) + "']\n");
        ASSERT_TRUE(prometheus.spawned()) << "prometheus is not installed (scripts/install-deps.sh)";
        const auto timeouts = prometheus.valueOf("kvx_link_errors{job=\"kvx\",controller=\"m17\",counter=\"timeout\"}",
                                                 std::chrono::seconds(60));
        ASSERT_TRUE(timeouts.has_value()) << prometheus.log();
        EXPECT_EQ(*timeouts, "7");
        EXPECT_EQ(prometheus.valueOf("kvx_axis_condition{axis=\"1\",condition=\"emergency_out\"}", std::chrono::seconds(10)),
                  std::optional<std::string>("1"));
        EXPECT_EQ(prometheus.valueOf("up{job=\"kvx\"}", std::chrono::seconds(10)), std::optional<std::string>("1"));

        // The controller goes offline: the next scrape sees it.
        ctl.initResult = 34;
        tickAt(2);
        server.publish(prometheusText(history, "m17"));
        std::optional<std::string> online;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            online = prometheus.valueOf("kvx_online{job=\"kvx\"}", std::chrono::seconds(5));
            if (online == std::optional<std::string>("0")) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        EXPECT_EQ(online, std::optional<std::string>("0"));
    }
    server.stop();
    fs::remove_all(folder);
}


// The test certificate (self-signed for 127.0.0.1 and localhost) and a user
// "prometheus" with the password "s3cret" (htpasswd -nbBC 4).
const fs::path kTls = KVX_TEST_TLS_DIR;
constexpr const char* kUserHash = "$2y$04$CsatAQ.FUJUQlgnyrnaUqOzFKoyT8z2XhIWG0PqDvJmrLr98yqCmG";

std::string webConfigText() {
    return "tls_server_config:\n  cert_file: " + (kTls / "server.crt").string() + "\n  key_file: " +
           (kTls / "server.key").string() + "\nbasic_auth_users:\n  prometheus: " + kUserHash + "\n";
}

struct WebConfigCase {
    const char* name;
    std::string text;
    std::string error;  // after "<file>: "; empty: the file is taken
};

TEST(WebConfigFile, ReadsTheExporterToolkitFormatAndRefusesWhatItCannotHonour) {
    const fs::path file = fs::temp_directory_path() / ("kvx_web_" + std::to_string(::getpid()) + ".yml");
    const std::vector<WebConfigCase> cases{
        {"Empty", "", ""},
        {"TlsAndUsers", webConfigText(), ""},
        {"UnknownKey", "http_server_config:\n  http2: true\n",
         "http_server_config is not supported (only tls_server_config, basic_auth_users)"},
        {"UnknownTlsKey", "tls_server_config:\n  cipher_suites: [TLS_AES_128_GCM_SHA256]\n",
         "tls_server_config: cipher_suites is not supported (only cert_file, key_file, min_version, client_auth_type, "
         "client_ca_file)"},
        {"PlainPassword", "basic_auth_users:\n  alice: secret\n",
         "basic_auth_users: the password of alice is not a bcrypt hash"},
        {"CertWithoutKey", "tls_server_config:\n  cert_file: server.crt\n",
         "tls_server_config needs both cert_file and key_file"},
        {"MissingCertFile", "tls_server_config:\n  cert_file: none.crt\n  key_file: none.key\n",
         (file.parent_path() / "none.crt").string() + " is not a readable regular file"},
        {"NotAMapping", "hello\n", "not a mapping of settings"},
        {"TlsAsText", "tls_server_config: \"yes please\"\nbasic_auth_users:\n  prom: " + std::string(kUserHash) + "\n",
         "tls_server_config must be a mapping, not \"yes please\""},
        {"TlsAsNumber", "tls_server_config: 5\n", "tls_server_config must be a mapping, not \"5\""},
        {"UsersAsText", "basic_auth_users: \"prom:secret\"\n",
         "basic_auth_users must be a mapping of users to bcrypt hashes, not \"prom:secret\""},
        {"CertAsList", "tls_server_config:\n  cert_file: [a, b]\n  key_file: k\n",
         "tls_server_config: cert_file must be a text, not a list"},
        {"CostAbove14", "basic_auth_users:\n  prom: $2y$31$" + std::string(kUserHash).substr(7) + "\n",
         "basic_auth_users: the hash of prom has cost 31; at most 14 is taken (every step doubles each check)"},
        {"UnknownMinVersion", "tls_server_config:\n  min_version: TLS14\n",
         "tls_server_config: min_version must be TLS10, TLS11, TLS12 or TLS13, not \"TLS14\""},
        {"VerifyWithoutCa", "tls_server_config:\n  client_auth_type: RequireAndVerifyClientCert\n",
         "tls_server_config: client_auth_type RequireAndVerifyClientCert needs client_ca_file"},
        {"LargerThanOneMegabyte", "basic_auth_users:\n" + std::string(1 << 20, '#'), "larger than 1 MB"},
        {"NestedTooDeep", std::string(100000, '['), "brackets or braces nested more than 64 deep"},
    };
    for (const WebConfigCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(file) << c.text;
        std::string error;
        EXPECT_EQ(readWebConfig(file.string(), error).has_value(), c.error.empty());
        EXPECT_EQ(error, c.error.empty() ? "" : file.string() + ": " + c.error);
    }
    fs::remove(file);
}

// Every user, known or not, costs one hash check (so names cannot be told
// apart by time); a right password is checked once, then remembered; a
// stop ends the wait on a check at once.
TEST(BasicAuthTest, EveryNameCostsACheckAndAStopEndsTheWait) {
    BasicAuth auth({{"prometheus", kUserHash}, {"slow", "$2y$14$" + std::string(kUserHash).substr(7)}});
    std::atomic<bool> stop{false};
    const struct {
        const char* name;
        std::string header;
        bool accepted;
        unsigned checks;  // in all, after this case
    } cases[] = {
        {"UnknownUser", "Basic bm9ib2R5OnMzY3JldA==" /* nobody:s3cret */, false, 1},
        {"WrongPassword", "Basic cHJvbWV0aGV1czpndWVzcw==" /* prometheus:guess */, false, 2},
        {"RightPassword", "Basic cHJvbWV0aGV1czpzM2NyZXQ=" /* prometheus:s3cret */, true, 3},
        {"RememberedHeader", "Basic cHJvbWV0aGV1czpzM2NyZXQ=" /* prometheus:s3cret */, true, 3},
        {"NotBasic", "Bearer x", false, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(auth.accepts(c.header, stop), c.accepted);
        EXPECT_EQ(auth.checks(), c.checks);
    }
    // A cost-14 check takes a second or more; the stop ends the wait.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(auth.accepts("Basic c2xvdzpndWVzcw==" /* slow:guess */, stop));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    stopper.join();
}

TEST_F(HistoryTest, RealPrometheusScrapesOverTlsWithBasicAuthAndFailsWithout) {
    const fs::path folder = fs::temp_directory_path() / ("kvx_prometheus_tls_" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(folder / "web.yml") << webConfigText();
    std::string error;
    const std::optional<WebConfig> config = readWebConfig((folder / "web.yml").string(), error);
    ASSERT_TRUE(config) << error;
    tickAt(0);
    MetricsServer server;
    const std::optional<int> port = startSecured(server, "127.0.0.1", 0, *config, error);
    ASSERT_TRUE(port) << error;
    server.publish(prometheusText(history, "m17"));

    // Without valid credentials, whatever the path: 401 and nothing else.
    for (const auto& [path, password] : std::vector<std::pair<std::string, std::string>>{
             {"/metrics", ""}, {"/metrics", "guess"}, {"/", ""}, {"/-/healthy", ""}}) {
        httplib::SSLClient client("127.0.0.1", *port);
        client.set_ca_cert_path((kTls / "server.crt").c_str());
        client.enable_server_certificate_verification(true);
        if (!password.empty()) client.set_basic_auth("prometheus", password.c_str());
        auto res = client.Get(path.c_str());
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 401) << path << " " << password;
        EXPECT_EQ(res->body, "Unauthorized\n");
    }

    const std::string target = "      - targets: ['127.0.0.1:" + std::to_string(*port) + "']\n";
    const std::string tls = "    scheme: https\n    tls_config:\n      ca_file: " + (kTls / "server.crt").string() + "\n";
    {
        PrometheusProcess prometheus(folder, "  - job_name: with_credentials\n" + tls +
                                                 "    basic_auth:\n      username: prometheus\n      password: s3cret\n"
                                                 "    static_configs:\n" + target +
                                                 "  - job_name: without_credentials\n" + tls +
                                                 "    static_configs:\n" + target);
        ASSERT_TRUE(prometheus.spawned()) << "prometheus is not installed (scripts/install-deps.sh)";
        EXPECT_EQ(prometheus.valueOf("kvx_online{job=\"with_credentials\",controller=\"m17\"}", std::chrono::seconds(60)),
                  std::optional<std::string>("1"))
            << prometheus.log();
        EXPECT_EQ(prometheus.valueOf("up{job=\"with_credentials\"}", std::chrono::seconds(10)),
                  std::optional<std::string>("1"));
        EXPECT_EQ(prometheus.valueOf("up{job=\"without_credentials\"}", std::chrono::seconds(10)),
                  std::optional<std::string>("0"));
    }
    server.stop();
    fs::remove_all(folder);
}

// The exposition follows the naming conventions promtool checks (base units,
// counters ending in _total, help on every family).
TEST_F(HistoryTest, ExpositionPassesPromtoolCheckMetrics) {
    tickAt(0);
    setEmergencyOut(1, true);
    tickAt(1);
    const fs::path file = fs::temp_directory_path() / ("kvx_exposition_" + std::to_string(::getpid()));
    std::ofstream(file) << prometheusText(history, "m17");
    const int status = std::system(("promtool check metrics < " + file.string() + " > " + file.string() + ".out 2>&1").c_str());
    std::ostringstream output;
    output << std::ifstream(file.string() + ".out").rdbuf();
    fs::remove(file);
    fs::remove(file.string() + ".out");
    EXPECT_EQ(output.str(), "");
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace kvx::test
