// A fleet end to end: one simulator serving many controllers, a monitor
// instance per watched controller, a real Prometheus finding them by file
// service discovery and evaluating the shipped alert rules, a real
// Alertmanager delivering to a webhook of the test. A fault in one
// controller must reach the webhook for that controller alone, and clear.
// The same behind a Prometheus agent that writes to a central one, with the
// files docs/fleet.md gives for it.
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>

#include "e2e/monitor_fixture.h"

namespace kvx::e2e {
namespace {

const fs::path kAlertRules = KVX_ALERT_RULES;
const fs::path kShipped = kAlertRules.parent_path();
const fs::path kTls = KVX_TEST_TLS_DIR;
const fs::path kFleetDoc = KVX_FLEET_DOC;
// The user prometheus (and the agent's host) with the password s3cret.
const char* const kUserHash = "$2y$04$CsatAQ.FUJUQlgnyrnaUqOzFKoyT8z2XhIWG0PqDvJmrLr98yqCmG";

// The YAML block of docs/fleet.md whose first line names `file`, without
// the indentation of the list item it stands in.
std::string documentedFile(const std::string& file) {
    std::istringstream doc(readFile(kFleetDoc));
    std::string line, fence, text;
    while (std::getline(doc, line)) {
        const auto indent = line.find_first_not_of(' ');
        if (fence.empty() && indent != std::string::npos && line.compare(indent, std::string::npos, "```yaml") == 0) {
            fence = line.substr(0, indent) + "```";
            text.clear();
        } else if (!fence.empty() && line == fence) {
            if (text.rfind("# " + file + "\n", 0) == 0) return text;
            fence.clear();
        } else if (!fence.empty()) {
            text += line.substr(std::min(line.size(), fence.size() - 3)) + "\n";
        }
    }
    ADD_FAILURE() << "docs/fleet.md has no block for " << file;
    return {};
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// What the Alertmanager delivers: one entry per alert per notification.
class WebhookReceiver {
public:
    struct Alert {
        std::string status, alertname, controller, axis, cls, runbook;
    };
    // One delivery: the alerts of one group, as one message reaches a person.
    struct Notification {
        std::chrono::steady_clock::time_point when;
        std::vector<Alert> alerts;
    };

    WebhookReceiver() {
        server_.Post("/alerts", [this](const httplib::Request& req, httplib::Response&) {
            const json body = json::parse(req.body, nullptr, false);
            std::lock_guard lock(mutex_);
            Notification n{std::chrono::steady_clock::now(), {}};
            for (const json& a : body.is_object() ? body.value("alerts", json::array()) : json::array()) {
                const json labels = a.value("labels", json::object());
                n.alerts.push_back({a.value("status", ""), labels.value("alertname", ""),
                                    labels.value("controller", ""), labels.value("axis", ""),
                                    labels.value("class", ""),
                                    a.value("annotations", json::object()).value("runbook_url", "")});
                alerts_.push_back(n.alerts.back());
            }
            notifications_.push_back(std::move(n));
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~WebhookReceiver() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }
    std::vector<Alert> alerts() {
        std::lock_guard lock(mutex_);
        return alerts_;
    }
    std::vector<Notification> notifications() {
        std::lock_guard lock(mutex_);
        return notifications_;
    }
    // The first alert that `match` accepts and the time its notification came.
    std::optional<std::pair<Alert, std::chrono::steady_clock::time_point>> waitFor(
        const std::function<bool(const Alert&)>& match, std::chrono::seconds limit) {
        for (auto deadline = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(100ms))
            for (const Notification& n : notifications())
                for (const Alert& a : n.alerts)
                    if (match(a)) return std::make_pair(a, n.when);
        return std::nullopt;
    }
    // The first alert of that status, once one has come.
    std::optional<Alert> waitFor(const std::string& status, std::chrono::seconds limit) {
        for (auto deadline = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(100ms))
            for (const Alert& a : alerts())
                if (a.status == status) return a;
        return std::nullopt;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Alert> alerts_;
    std::vector<Notification> notifications_;
};

class FleetTest : public ::testing::Test {
protected:
    FleetTest() {
        std::string pattern = (fs::temp_directory_path() / "kvx-fleet-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        std::ofstream(dir / "scenario.scn") << kHealthyScenario;
    }
    ~FleetTest() override {
        processes.clear();
        fs::remove_all(dir);
    }

    // A process of the fleet; its standard error goes to `log` (beside `cwd`).
    Process& spawn(std::vector<std::string> argv, const fs::path& log, const fs::path& cwd) {
        processes.push_back(std::make_unique<Process>(Process::Options{std::move(argv), {}, cwd, log.string()}));
        return *processes.back();
    }

    // Waits until `file` matches `pattern`; the first group, or "".
    std::string waitFor(const fs::path& file, const std::regex& pattern) {
        std::smatch m;
        std::string text;
        for (int i = 0; i < 400 && !std::regex_search(text, m, pattern); ++i) {
            std::this_thread::sleep_for(25ms);
            text = readFile(file);
        }
        EXPECT_TRUE(std::regex_search(text, m, pattern)) << file << ": " << text;
        return m.size() > 1 ? m[1].str() : std::string();
    }

    void startSimulator(int controllers) {
        spawn({(kBin / "kvxsim").string(), "--scenario", (dir / "scenario.scn").string(), "--socket",
               (dir / "sim.sock").string(), "--controllers", std::to_string(controllers), "--port-file",
               (dir / "port").string(), "--quiet"},
              dir / "sim.err", dir);
        simPort = std::stoi("0" + waitFor(dir / "port", std::regex("^([0-9]+)")));
    }

    // A monitor instance for controller `name`: its own settings file and
    // state folder; returns the metrics address it announced.
    std::string startMonitor(const std::string& name) {
        fs::create_directories(dir / name);
        std::ofstream(dir / (name + ".ini")) << "[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:" << simPort
                                             << "/" << name << "\n";
        monitors[name] = &spawn({(kBin / "KvxDiagnostics").string(), "--settings", (dir / (name + ".ini")).string(),
                                 "--metrics-address", "127.0.0.1:0", "--interval-ms", "250"},
                                dir / name / "monitor.err", dir / name);
        return waitFor(dir / name / "monitor.err", std::regex("metrics on http://(127\\.0\\.0\\.1:[0-9]+)/metrics"));
    }

    // The test's Alertmanager, sending to the webhook at once; its port.
    int startAlertmanager(int webhookPort) {
        const int alertmanagerPort = freePort();
        std::ofstream(dir / "alertmanager.yml")
            << "route:\n  receiver: test\n  group_by: [alertname, controller]\n  group_wait: 1s\n"
               "  group_interval: 1s\n  repeat_interval: 1h\n"
               "receivers:\n  - name: test\n    webhook_configs:\n      - url: http://127.0.0.1:"
            << webhookPort << "/alerts\n        send_resolved: true\n";
        spawn({"prometheus-alertmanager", "--config.file=" + (dir / "alertmanager.yml").string(),
               "--storage.path=" + (dir / "am").string(),
               "--web.listen-address=127.0.0.1:" + std::to_string(alertmanagerPort), "--cluster.listen-address=",
               "--log.level=warn"},
              dir / "alertmanager.log", dir);
        return alertmanagerPort;
    }

    // Alertmanager sending to the webhook, Prometheus finding the targets in
    // a file and evaluating the shipped rules, both every second.
    void startCollectors(int webhookPort, const std::vector<std::string>& targets) {
        const int alertmanagerPort = startAlertmanager(webhookPort);
        std::ofstream(dir / "targets.json") << json::array({json{{"targets", targets}}}).dump();
        const std::string timing = "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n";
        const std::string rules = "rule_files:\n  - " + kAlertRules.string() +
                                  "\nalerting:\n  alertmanagers:\n    - static_configs:\n        - targets: ['127.0.0.1:" +
                                  std::to_string(alertmanagerPort) + "']\n";
        const std::string scrape = "scrape_configs:\n  - job_name: kvxdiagnostics\n    file_sd_configs:\n      - files: ['" +
                                   (dir / "targets.json").string() + "']\n";
        prometheusPort = freePort();
        std::ofstream(dir / "prometheus.yml") << timing << rules << scrape;
        spawn({"prometheus", "--config.file=" + (dir / "prometheus.yml").string(),
               "--storage.tsdb.path=" + (dir / "tsdb").string(),
               "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort), "--log.level=warn"},
              dir / "prometheus.log", dir);
    }

    // Past one host, as docs/fleet.md writes it: a Prometheus agent scraping
    // the TLS monitors and writing over TLS with basic authentication to a
    // central Prometheus that alone holds the rules. The documented files
    // changed only where they name a site's files and addresses; returns
    // the agent.
    Process& startDocumentedRemoteWrite(int webhookPort, const std::vector<std::string>& targets) {
        const int alertmanagerPort = startAlertmanager(webhookPort);
        fs::create_directories(dir / "targets");
        std::ofstream(dir / "targets" / "line3.json") << json::array({json{{"targets", targets}}}).dump();
        std::ofstream(dir / "password") << "s3cret\n";
        const int centralPort = freePort();
        std::string central = documentedFile("/etc/prometheus/central.yml");
        replace(central, "/usr/share/kvxdiagnostics/kvx-alerts.yml", kAlertRules);
        replace(central, "localhost:9093", "127.0.0.1:" + std::to_string(alertmanagerPort));
        std::ofstream(dir / "central.yml") << central;
        std::string web = documentedFile("/etc/prometheus/web.yml");
        replace(web, "/etc/prometheus/central.crt", kTls / "server.crt");
        replace(web, "/etc/prometheus/central.key", kTls / "server.key");
        replace(web, "REPLACE-WITH-A-BCRYPT-HASH", std::string("'") + kUserHash + "'");
        std::ofstream(dir / "web.yml.central") << web;
        spawn({"prometheus", "--config.file=" + (dir / "central.yml").string(),
               "--web.config.file=" + (dir / "web.yml.central").string(), "--web.enable-remote-write-receiver",
               "--storage.tsdb.path=" + (dir / "central").string(),
               "--web.listen-address=127.0.0.1:" + std::to_string(centralPort), "--log.level=warn"},
              dir / "prometheus.log", dir);
        std::string agent = documentedFile("/etc/prometheus/agent.yml");
        replace(agent, "/etc/prometheus/kvx-ca.crt", kTls / "server.crt");
        replace(agent, "/etc/prometheus/kvx-password", dir / "password");
        replace(agent, "/etc/prometheus/kvx-targets/*.json", dir / "targets" / "*.json");
        replace(agent, "metrics.example:9090", "localhost:" + std::to_string(centralPort));
        replace(agent, "/etc/prometheus/central-ca.crt", kTls / "server.crt");
        replace(agent, "/etc/prometheus/rw-password", dir / "password");
        std::ofstream(dir / "agent.yml") << agent;
        return spawn({"prometheus", "--enable-feature=agent", "--config.file=" + (dir / "agent.yml").string(),
                      "--storage.agent.path=" + (dir / "agent").string(),
                      "--web.listen-address=127.0.0.1:" + std::to_string(freePort()), "--log.level=warn"},
                     dir / "agent.log", dir);
    }

    // As startMonitor, serving over TLS with basic authentication as the
    // documented instance does, against the simulator at `port`.
    std::string startTlsMonitor(const std::string& name, int port, std::map<std::string, std::string> env = {}) {
        fs::create_directories(dir / name);
        std::ofstream(dir / (name + ".ini")) << "[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:" << port
                                             << "/" << name << "\n";
        processes.push_back(std::make_unique<Process>(Process::Options{
            {(kBin / "KvxDiagnostics").string(), "--settings", (dir / (name + ".ini")).string(), "--web.listen-address",
             "127.0.0.1:0", "--web.config.file", (dir / "web.yml").string()},
            std::move(env),
            (dir / name).string(),
            (dir / name / "monitor.err").string()}));
        monitors[name] = processes.back().get();
        return waitFor(dir / name / "monitor.err", std::regex("metrics on https://(127\\.0\\.0\\.1:[0-9]+)/metrics"));
    }

    // Prometheus and Alertmanager with the configurations the project ships,
    // changed only where they name files and addresses of a real site.
    void startShippedCollectors(int webhookPort, const std::map<std::string, std::string>& targets) {
        const int alertmanagerPort = freePort();
        std::string route = readFile(kShipped / "kvx-alertmanager.yml");
        replace(route, "http://127.0.0.1:9095/alerts", "http://127.0.0.1:" + std::to_string(webhookPort) + "/alerts");
        std::ofstream(dir / "alertmanager.yml") << route;
        spawn({"prometheus-alertmanager", "--config.file=" + (dir / "alertmanager.yml").string(),
               "--storage.path=" + (dir / "am").string(),
               "--web.listen-address=127.0.0.1:" + std::to_string(alertmanagerPort), "--cluster.listen-address=",
               "--log.level=warn"},
              dir / "alertmanager.log", dir);
        json groups = json::array();
        for (const auto& [name, address] : targets)
            groups.push_back({{"targets", {address}}, {"labels", {{"controller", name}}}});
        fs::create_directories(dir / "targets");
        std::ofstream(dir / "targets" / "fleet.json") << groups.dump();
        std::ofstream(dir / "password") << "s3cret";
        std::string config = readFile(kShipped / "kvx-prometheus.yml");
        replace(config, "/usr/share/kvxdiagnostics/kvx-alerts.yml", kAlertRules.string());
        replace(config, "localhost:9093", "127.0.0.1:" + std::to_string(alertmanagerPort));
        replace(config, "/etc/prometheus/kvx-ca.crt", kTls / "server.crt");
        replace(config, "/etc/prometheus/kvx-password", dir / "password");
        replace(config, "/etc/prometheus/kvx-targets/*.json", dir / "targets" / "*.json");
        std::ofstream(dir / "prometheus.yml") << config;
        prometheusPort = freePort();
        spawn({"prometheus", "--config.file=" + (dir / "prometheus.yml").string(),
               "--storage.tsdb.path=" + (dir / "tsdb").string(),
               "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort), "--log.level=warn"},
              dir / "prometheus.log", dir);
    }

    // The web configuration every TLS monitor reads: the test certificate
    // and the user prometheus with the password s3cret.
    void writeWebConfig() {
        std::ofstream(dir / "web.yml") << "tls_server_config:\n  cert_file: " << (kTls / "server.crt").string()
                                       << "\n  key_file: " << (kTls / "server.key").string()
                                       << "\nbasic_auth_users:\n  prometheus: "
                                          "$2y$04$CsatAQ.FUJUQlgnyrnaUqOzFKoyT8z2XhIWG0PqDvJmrLr98yqCmG\n";
    }

    // A site's name in a shipped file, replaced by the test's; it must be there.
    static void replace(std::string& text, const std::string& from, const fs::path& to) {
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to.string());
    }

    // The value of an instant query (its first sample), or -1.
    double query(const std::string& promql) {
        httplib::Client client("127.0.0.1", prometheusPort);
        const auto res = client.Get("/api/v1/query", httplib::Params{{"query", promql}}, httplib::Headers{});
        if (!res || res->status != 200) return -1;
        const json body = json::parse(res->body, nullptr, false);
        const json result = body.is_object() ? body["data"].value("result", json::array()) : json::array();
        return result.empty() ? -1 : std::stod(result[0]["value"][1].get<std::string>());
    }

    void control(const std::string& controller, const std::vector<std::string>& words) {
        std::vector<std::string> argv{(kBin / "kvxsimctl").string(), "--url",
                                      "http://127.0.0.1:" + std::to_string(simPort) + "/" + controller};
        argv.insert(argv.end(), words.begin(), words.end());
        const RunResult r = run(argv);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    std::string logs() {
        return "prometheus: " + readFile(dir / "prometheus.log") + "\nagent: " + readFile(dir / "agent.log") +
               "\nalertmanager: " + readFile(dir / "alertmanager.log");
    }

    fs::path dir;
    int simPort = 0;
    int prometheusPort = 0;
    std::vector<std::unique_ptr<Process>> processes;
    std::map<std::string, Process*> monitors;
};

TEST_F(FleetTest, AFaultInOneControllerAlertsForItAloneAndClears) {
    // Twenty controllers; three of them watched, the middle one gets the fault.
    startSimulator(20);
    std::vector<std::string> targets;
    for (const char* name : {"c16", "c17", "c18"}) targets.push_back(startMonitor(name));
    WebhookReceiver webhook;
    startCollectors(webhook.port(), targets);

    control("c17", {"inject", "emergency-out", "axis", "1"});
    const auto firing = webhook.waitFor("firing", 40s);
    ASSERT_TRUE(firing) << logs();
    EXPECT_EQ(firing->controller, "c17");

    // Resolved once the fault is gone and its raise has left the rule's
    // one-minute window.
    control("c17", {"clear", "emergency-out", "axis", "1"});
    const auto resolved = webhook.waitFor("resolved", 90s);
    ASSERT_TRUE(resolved) << logs();
    EXPECT_EQ(resolved->controller, "c17");

    for (const WebhookReceiver::Alert& a : webhook.alerts()) {
        EXPECT_EQ(a.controller, "c17") << a.alertname << " " << a.status;
        EXPECT_EQ(a.alertname, "KvxFaultClassRaised");
    }

    // The instance kept to its settings file and its state folder, and ended in order.
    monitors["c17"]->signal(SIGTERM);
    EXPECT_EQ(monitors["c17"]->wait(10s), std::optional<int>(0));
    EXPECT_NE(readFile(dir / "c17.ini").find("BaseAdress=768\n"), std::string::npos);
    const std::string protocol = readFile(dir / "c17" / "DiagProtocol.txt");
    EXPECT_NE(protocol.find("Emergency Out is active! at Axis 1"), std::string::npos) << protocol;
    EXPECT_NE(protocol.find("Diagnostic Program closed!"), std::string::npos) << protocol;
}

// Past one host, with docs/fleet.md's files: the instances' host runs a
// Prometheus agent that keeps no rules; the alert for a controller behind
// it is raised by the central Prometheus from the samples written to it,
// within the documented bound, and delivered for that controller alone.
// The agent killed, the centre says the host is silent; none of its
// monitors, healthy to the last sample, is called stale.
TEST_F(FleetTest, AFaultBehindAnAgentAlertsAtTheCentreAndASilentHostToo) {
    startSimulator(3);
    writeWebConfig();
    std::vector<std::string> targets;
    for (const char* name : {"c1", "c2", "c3"}) targets.push_back(startTlsMonitor(name, simPort));
    WebhookReceiver webhook;
    Process& agent = startDocumentedRemoteWrite(webhook.port(), targets);
    std::this_thread::sleep_for(15s);  // the first scrapes written and evaluated

    const auto injected = std::chrono::steady_clock::now();
    control("c2", {"inject", "emergency-out", "axis", "1"});
    const auto firing = webhook.waitFor("firing", 60s);
    ASSERT_TRUE(firing) << logs();
    EXPECT_EQ(firing->controller, "c2");
    EXPECT_EQ(firing->alertname, "KvxFaultClassRaised");
    EXPECT_EQ(firing->runbook, "https://wiki.example/kvxdiagnostics/runbook.md#kvxfaultclassraised");
    const auto delay = webhook.notifications().front().when - injected;
    std::cout << "fault behind the agent notified after " << std::chrono::duration<double>(delay).count() << " s\n";
    // A tick (1 s), 2 E + d (11 s), the test route's group_wait (1 s).
    EXPECT_LE(delay, 13s);
    control("c2", {"clear", "emergency-out", "axis", "1"});

    const auto killed = std::chrono::steady_clock::now();
    agent.signal(SIGKILL);
    const auto silent = webhook.waitFor(
        [](const WebhookReceiver::Alert& a) { return a.alertname == "KvxHostSilent" && a.status == "firing"; }, 120s);
    ASSERT_TRUE(silent) << logs();
    std::cout << "killed agent notified after "
              << std::chrono::duration<double>(silent->second - killed).count() << " s\n";
    for (const WebhookReceiver::Alert& a : webhook.alerts())
        EXPECT_TRUE(a.alertname == "KvxHostSilent" || a.controller == "c2") << a.alertname << " " << a.controller;
}

// The shipped Prometheus configuration, rules and Alertmanager route, at their
// shipped intervals, over TLS with basic authentication: a fault of 1.2 s
// (shorter than the 15 s scrape) alerts with its axis, a killed monitor
// alerts as down naming its controller, ten controllers off at once arrive as
// one notification, and a tick stuck in the driver alerts as stale.
TEST_F(FleetTest, TheShippedRulesAndRouteAlertOnWhatAnOperatorMustKnow) {
    startSimulator(20);
    const int fleetPort = simPort;
    // A controller of its own whose link will stall under a long deadline.
    spawn({(kBin / "kvxsim").string(), "--scenario", (dir / "scenario.scn").string(), "--socket",
           (dir / "stalling.sock").string(), "--controllers", "40", "--port-file", (dir / "stalling.port").string(),
           "--quiet"},
          dir / "stalling.err", dir);
    Process& stalling = *processes.back();
    const int stallingPort = std::stoi("0" + waitFor(dir / "stalling.port", std::regex("^([0-9]+)")));
    writeWebConfig();
    std::map<std::string, std::string> targets;
    std::vector<std::string> offline;
    for (int i = 1; i <= 10; ++i) offline.push_back("c" + std::to_string(i));
    for (const std::string& name : offline) targets[name] = startTlsMonitor(name, fleetPort);
    for (const char* name : {"c16", "c17"}) targets[name] = startTlsMonitor(name, fleetPort);
    targets["c40"] = startTlsMonitor("c40", stallingPort, {{"KVXG3X_DEADLINE_MS", "60000"}});
    WebhookReceiver webhook;
    startShippedCollectors(webhook.port(), targets);
    // Every instance scraped over TLS once, and a scrape more of the counters' zeros.
    for (int i = 0; i < 600 && query("count(up{job=\"kvxdiagnostics\"} == 1)") < 13; ++i) std::this_thread::sleep_for(100ms);
    ASSERT_EQ(query("count(up{job=\"kvxdiagnostics\"} == 1)"), 13) << logs();
    ASSERT_EQ(query("count(count by (controller) (up) and count by (controller) (kvx_online))"), 13)
        << "the target label and the served one differ";
    std::this_thread::sleep_for(16s);

    const auto t0 = std::chrono::steady_clock::now();
    control("c17", {"inject", "emergency-out", "axis", "1"});
    std::this_thread::sleep_for(1200ms);
    control("c17", {"clear", "emergency-out", "axis", "1"});
    for (const std::string& name : offline) control(name, {"offline", "34"});
    ::kill(stalling.pid(), SIGSTOP);

    const auto fault = webhook.waitFor(
        [](const WebhookReceiver::Alert& a) { return a.alertname == "KvxFaultClassRaised" && a.status == "firing"; }, 60s);
    ASSERT_TRUE(fault) << logs();
    EXPECT_EQ(fault->first.controller, "c17");
    EXPECT_EQ(fault->first.cls, "emergency_out");
    EXPECT_EQ(fault->first.axis, "1");
    std::cout << "fault of 1.2 s notified after "
              << std::chrono::duration_cast<std::chrono::seconds>(fault->second - t0).count() << " s\n";

    const auto killed = std::chrono::steady_clock::now();
    monitors["c17"]->signal(SIGKILL);
    const auto down = webhook.waitFor(
        [](const WebhookReceiver::Alert& a) { return a.alertname == "KvxMonitorDown" && a.status == "firing"; }, 150s);
    ASSERT_TRUE(down) << logs();
    EXPECT_EQ(down->first.controller, "c17");
    std::cout << "killed monitor notified after "
              << std::chrono::duration_cast<std::chrono::seconds>(down->second - killed).count() << " s\n";
    const auto outage = webhook.waitFor(
        [](const WebhookReceiver::Alert& a) { return a.alertname == "KvxSiteOutage" && a.status == "firing"; }, 60s);
    ASSERT_TRUE(outage) << logs();
    const auto stale = webhook.waitFor(
        [](const WebhookReceiver::Alert& a) { return a.alertname == "KvxMonitorStale" && a.status == "firing"; }, 60s);
    ASSERT_TRUE(stale) << logs();
    EXPECT_EQ(stale->first.controller, "c40");
    ::kill(stalling.pid(), SIGCONT);

    // The ten offline controllers arrived as the one outage notification; none on its own.
    int outageNotifications = 0;
    for (const WebhookReceiver::Notification& n : webhook.notifications())
        for (const WebhookReceiver::Alert& a : n.alerts) {
            if (a.alertname == "KvxSiteOutage" && a.status == "firing") ++outageNotifications;
            EXPECT_FALSE(a.alertname == "KvxControllerOffline" &&
                         std::find(offline.begin(), offline.end(), a.controller) != offline.end())
                << a.controller << " notified on its own";
            EXPECT_NE(a.controller, "c16") << a.alertname;
        }
    EXPECT_EQ(outageNotifications, 1);
}

}  // namespace
}  // namespace kvx::e2e
