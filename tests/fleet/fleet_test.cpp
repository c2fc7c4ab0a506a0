// A fleet end to end: one simulator serving many controllers, a monitor
// instance per watched controller, a real Prometheus finding them by file
// service discovery and evaluating the shipped alert rules, a real
// Alertmanager delivering to a webhook of the test. A fault in one
// controller must reach the webhook for that controller alone, and clear.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "e2e/process.h"

namespace kvx::fleet {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using e2e::Process;

const fs::path kBin = KVX_BIN_DIR;
const fs::path kAlertRules = KVX_ALERT_RULES;

constexpr const char* kHealthyScenario =
    "[card 0]\nboard_type = 4\naxes = 2\noption 62 = 0x05\noption 63 = -1\n"
    "[axis 1]\nlimit = 5\n[axis 2]\nlimit = 5\n"
    "[task 0]\nfile = MAIN.QSL\nstate = 1\n";

std::string readFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p).rdbuf();
    return s.str();
}

// A program of the system (prometheus, prometheus-alertmanager), found on PATH.
std::string onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((fs::path(folder) / name).c_str(), X_OK) == 0) return fs::path(folder) / name;
    return name;
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
        std::string status, alertname, controller;
    };

    WebhookReceiver() {
        server_.Post("/alerts", [this](const httplib::Request& req, httplib::Response&) {
            const json body = json::parse(req.body, nullptr, false);
            if (body.is_discarded()) return;
            std::lock_guard lock(mutex_);
            for (const json& a : body.value("alerts", json::array()))
                alerts_.push_back({a.value("status", ""), a["labels"].value("alertname", ""),
                                   a["labels"].value("controller", "")});
            changed_.notify_all();
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~WebhookReceiver() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }

    // Waits until an alert of that status and name has come for some controller.
    std::optional<Alert> waitFor(const std::string& status, const std::string& alertname,
                                 std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        std::optional<Alert> found;
        changed_.wait_for(lock, limit, [&] {
            for (const Alert& a : alerts_)
                if (a.status == status && a.alertname == alertname) found = a;
            return found.has_value();
        });
        return found;
    }
    std::vector<Alert> alerts() {
        std::lock_guard lock(mutex_);
        return alerts_;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
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
        prometheus.reset();
        alertmanager.reset();
        monitors.clear();
        sim.reset();
        fs::remove_all(dir);
    }

    void startSimulator(int controllers) {
        sim = std::make_unique<Process>(Process::Options{
            {(kBin / "kvxsim").string(), "--scenario", (dir / "scenario.scn").string(), "--socket",
             (dir / "sim.sock").string(), "--controllers", std::to_string(controllers), "--port-file",
             (dir / "port").string(), "--quiet"},
            {},
            dir.string(),
            (dir / "sim.err").string()});
        for (int i = 0; i < 200 && !(fs::exists(dir / "port") && fs::file_size(dir / "port") > 0); ++i)
            std::this_thread::sleep_for(25ms);
        ASSERT_TRUE(fs::exists(dir / "port")) << readFile(dir / "sim.err");
        simPort = std::stoi(readFile(dir / "port"));
    }

    // A monitor instance for controller `name`: its own settings file and
    // state folder; returns the metrics address it announced.
    std::string startMonitor(const std::string& name) {
        fs::create_directories(dir / "state" / name);
        std::ofstream(dir / (name + ".ini")) << "[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:" << simPort
                                             << "/" << name << "\n";
        const fs::path err = dir / "state" / name / "monitor.err";
        monitors.push_back(std::make_unique<Process>(Process::Options{
            {(kBin / "KvxDiagnostics").string(), "--settings", (dir / (name + ".ini")).string(), "--metrics-address",
             "127.0.0.1:0", "--interval-ms", "250"},
            {},
            (dir / "state" / name).string(),
            err.string()}));
        const std::regex announced("metrics on http://(127\\.0\\.0\\.1:[0-9]+)/metrics");
        std::smatch m;
        std::string text;
        for (int i = 0; i < 400 && !std::regex_search(text, m, announced); ++i) {
            std::this_thread::sleep_for(25ms);
            text = readFile(err);
        }
        EXPECT_TRUE(std::regex_search(text, m, announced)) << text;
        return m.size() > 1 ? m[1].str() : std::string();
    }

    void startAlertmanager(int webhookPort) {
        alertmanagerPort = freePort();
        std::ofstream(dir / "alertmanager.yml")
            << "route:\n  receiver: test\n  group_by: [alertname, controller]\n  group_wait: 1s\n"
               "  group_interval: 1s\n  repeat_interval: 1h\n"
               "receivers:\n  - name: test\n    webhook_configs:\n      - url: http://127.0.0.1:"
            << webhookPort << "/alerts\n        send_resolved: true\n";
        alertmanager = std::make_unique<Process>(Process::Options{
            {onPath("prometheus-alertmanager"), "--config.file=" + (dir / "alertmanager.yml").string(),
             "--storage.path=" + (dir / "am").string(),
             "--web.listen-address=127.0.0.1:" + std::to_string(alertmanagerPort), "--cluster.listen-address=",
             "--log.level=warn"},
            {},
            dir.string(),
            (dir / "alertmanager.log").string()});
    }

    void startPrometheus(const std::vector<std::string>& targets) {
        json sd = json::array({json{{"targets", targets}}});
        std::ofstream(dir / "targets.json") << sd.dump();
        std::ofstream(dir / "prometheus.yml")
            << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
               "rule_files:\n  - " << kAlertRules.string() << "\n"
               "alerting:\n  alertmanagers:\n    - static_configs:\n        - targets: ['127.0.0.1:"
            << alertmanagerPort << "']\n"
               "scrape_configs:\n  - job_name: kvxdiagnostics\n    file_sd_configs:\n      - files: ['"
            << (dir / "targets.json").string() << "']\n";
        prometheus = std::make_unique<Process>(Process::Options{
            {onPath("prometheus"), "--config.file=" + (dir / "prometheus.yml").string(),
             "--storage.tsdb.path=" + (dir / "tsdb").string(),
             "--web.listen-address=127.0.0.1:" + std::to_string(freePort()), "--log.level=warn"},
            {},
            dir.string(),
            (dir / "prometheus.log").string()});
    }

    void control(const std::string& controller, const std::vector<std::string>& words) {
        std::vector<std::string> argv{(kBin / "kvxsimctl").string(), "--url",
                                      "http://127.0.0.1:" + std::to_string(simPort) + "/" + controller};
        argv.insert(argv.end(), words.begin(), words.end());
        const e2e::RunResult r = e2e::run(argv);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    std::string logs() {
        return "prometheus: " + readFile(dir / "prometheus.log") + "\nalertmanager: " +
               readFile(dir / "alertmanager.log");
    }

    fs::path dir;
    int simPort = 0;
    int alertmanagerPort = 0;
    std::unique_ptr<Process> sim, alertmanager, prometheus;
    std::vector<std::unique_ptr<Process>> monitors;
};

TEST_F(FleetTest, AFaultInOneControllerAlertsForItAloneAndClears) {
    // Twenty controllers; three of them watched, the middle one gets the fault.
    startSimulator(20);
    std::vector<std::string> targets;
    for (const char* name : {"c16", "c17", "c18"}) targets.push_back(startMonitor(name));
    WebhookReceiver webhook;
    startAlertmanager(webhook.port());
    startPrometheus(targets);

    control("c17", {"inject", "emergency-out", "axis", "1"});
    const auto firing = webhook.waitFor("firing", "KvxFaultClassRaised", 40s);
    ASSERT_TRUE(firing) << logs();
    EXPECT_EQ(firing->controller, "c17");

    control("c17", {"clear", "emergency-out", "axis", "1"});
    const auto resolved = webhook.waitFor("resolved", "KvxFaultClassRaised", 40s);
    ASSERT_TRUE(resolved) << logs();
    EXPECT_EQ(resolved->controller, "c17");

    for (const WebhookReceiver::Alert& a : webhook.alerts()) {
        EXPECT_EQ(a.controller, "c17") << a.alertname << " " << a.status;
        EXPECT_EQ(a.alertname, "KvxFaultClassRaised");
    }
}

}  // namespace
}  // namespace kvx::fleet
