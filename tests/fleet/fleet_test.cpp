// A fleet end to end: one simulator serving many controllers, a monitor
// instance per watched controller, a real Prometheus finding them by file
// service discovery and evaluating the shipped alert rules, a real
// Alertmanager delivering to a webhook of the test. A fault in one
// controller must reach the webhook for that controller alone, and clear.
// The same behind a Prometheus agent that writes to a central one.
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <regex>

#include "e2e/monitor_fixture.h"

namespace kvx::e2e {
namespace {

const fs::path kAlertRules = KVX_ALERT_RULES;

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
        std::string status, alertname, controller;
    };

    WebhookReceiver() {
        server_.Post("/alerts", [this](const httplib::Request& req, httplib::Response&) {
            const json body = json::parse(req.body, nullptr, false);
            std::lock_guard lock(mutex_);
            for (const json& a : body.is_object() ? body.value("alerts", json::array()) : json::array())
                alerts_.push_back({a.value("status", ""), a["labels"].value("alertname", ""),
                                   a["labels"].value("controller", "")});
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

    // Alertmanager sending to the webhook, Prometheus finding the targets in
    // a file and evaluating the shipped rules, both every second. Past one
    // host: a Prometheus in agent mode scrapes and writes to a central one
    // that receives by remote write and alone holds the rules.
    enum class Layout { OnePrometheus, AgentAndCentral };
    void startCollectors(int webhookPort, const std::vector<std::string>& targets,
                         Layout layout = Layout::OnePrometheus) {
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
        std::ofstream(dir / "targets.json") << json::array({json{{"targets", targets}}}).dump();
        const std::string timing = "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n";
        const std::string rules = "rule_files:\n  - " + kAlertRules.string() +
                                  "\nalerting:\n  alertmanagers:\n    - static_configs:\n        - targets: ['127.0.0.1:" +
                                  std::to_string(alertmanagerPort) + "']\n";
        const std::string scrape = "scrape_configs:\n  - job_name: kvxdiagnostics\n    file_sd_configs:\n      - files: ['" +
                                   (dir / "targets.json").string() + "']\n";
        const int prometheusPort = freePort();
        if (layout == Layout::OnePrometheus) {
            std::ofstream(dir / "prometheus.yml") << timing << rules << scrape;
            spawn({"prometheus", "--config.file=" + (dir / "prometheus.yml").string(),
                   "--storage.tsdb.path=" + (dir / "tsdb").string(),
                   "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort), "--log.level=warn"},
                  dir / "prometheus.log", dir);
            return;
        }
        std::ofstream(dir / "central.yml") << timing << rules;
        spawn({"prometheus", "--config.file=" + (dir / "central.yml").string(),
               "--storage.tsdb.path=" + (dir / "central").string(), "--web.enable-remote-write-receiver",
               "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort), "--log.level=warn"},
              dir / "prometheus.log", dir);
        std::ofstream(dir / "agent.yml") << timing << scrape << "remote_write:\n  - url: http://127.0.0.1:"
                                         << prometheusPort << "/api/v1/write\n";
        spawn({"prometheus", "--enable-feature=agent", "--config.file=" + (dir / "agent.yml").string(),
               "--storage.agent.path=" + (dir / "agent").string(),
               "--web.listen-address=127.0.0.1:" + std::to_string(freePort()), "--log.level=warn"},
              dir / "agent.log", dir);
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

    control("c17", {"clear", "emergency-out", "axis", "1"});
    const auto resolved = webhook.waitFor("resolved", 40s);
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

// Past one host: the instances' host runs a Prometheus agent that keeps no
// rules; the alert for a controller behind it is raised by the central
// Prometheus from the samples written to it, and delivered for that
// controller alone.
TEST_F(FleetTest, AFaultBehindAnAgentAlertsAtTheCentre) {
    startSimulator(3);
    std::vector<std::string> targets;
    for (const char* name : {"c1", "c2", "c3"}) targets.push_back(startMonitor(name));
    WebhookReceiver webhook;
    startCollectors(webhook.port(), targets, Layout::AgentAndCentral);

    control("c2", {"inject", "emergency-out", "axis", "1"});
    const auto firing = webhook.waitFor("firing", 60s);
    ASSERT_TRUE(firing) << logs();
    EXPECT_EQ(firing->controller, "c2");
    EXPECT_EQ(firing->alertname, "KvxFaultClassRaised");
    control("c2", {"clear", "emergency-out", "axis", "1"});
    const auto resolved = webhook.waitFor("resolved", 60s);
    ASSERT_TRUE(resolved) << logs();
    EXPECT_EQ(resolved->controller, "c2");
    for (const WebhookReceiver::Alert& a : webhook.alerts()) EXPECT_EQ(a.controller, "c2") << a.alertname;
}

}  // namespace
}  // namespace kvx::e2e
