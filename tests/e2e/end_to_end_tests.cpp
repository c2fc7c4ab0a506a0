// The real program with the real driver libraries and the controller
// simulator, in local mode (unix socket) and remote mode (HTTP on loopback).
// Every daemon is started and stopped by the test itself.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>

#include "driver/driver_library.h"
#include "e2e/monitor_fixture.h"

namespace kvx::e2e {
namespace {

TEST_F(EndToEndTest, LocalFaultsComeAndGoAndTheProtocolRecordsTheNewOnes) {
    startSimulator();
    writeSettings(false);
    startMonitor();
    json t = waitForSummaryLine("No errors detected!");
    EXPECT_EQ(t["caption"], "KvxDiagnostics - Online Mode");
    EXPECT_EQ(t["controls"]["laDllName"]["text"], "kvxg3.dll: 2.5.3.99");
    EXPECT_EQ(t["controls"]["laBoardTypeNr"]["text"], "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1.28 ms");
    EXPECT_EQ(t["controls"]["laTask0FileName"]["text"], "MAIN.QSL");

    control({"inject", "emergency-out", "axis", "2"});
    t = waitForSummaryLine("Emergency Out is active! at Axis 2");
    EXPECT_EQ(t["controls"]["laEONr"]["text"], "2 ");
    EXPECT_EQ(t["controls"]["laEONr"]["role"], "fault");

    control({"clear", "emergency-out", "axis", "2"});
    t = waitForSummaryLine("No errors detected!");
    EXPECT_EQ(t["controls"]["laEONr"]["role"], "normal");

    EXPECT_EQ(stopMonitor(), 0);
    const std::string ts = R"(\d{4}/\d{2}/\d{2} - \d{2}:\d{2}:\d{2})";
    const std::regex expected("\n" + ts + ": Diagnostic Program opened! --------------------\n"
                              "\n" + ts + ":\nNo errors detected!\n"
                              "\n" + ts + ":\nEmergency Out is active! at Axis 2\n" +
                              ts + ": Diagnostic Program closed! --------------------\n");
    const std::string protocol = readFile(dir / "DiagProtocol.txt");
    EXPECT_TRUE(std::regex_match(protocol, expected)) << protocol;
    EXPECT_NE(readFile(dir / "bin" / "KvxDiagnostics.INI").find("[DESKTOP]"), std::string::npos);
}

// The reboot record is in the file as soon as it is written: a kill keeps it.
TEST_F(EndToEndTest, ControllerRestartGivesExactlyOneRebootRecordThatAKillKeeps) {
    startSimulator();
    writeSettings(false);
    startMonitor();
    waitForSummaryLine("No errors detected!");
    waitForTick([](const json& t) { return t["tick"] >= 3; });
    control({"restart"});
    json t = waitForTick([](const json&) { return true; });
    const long restartTick = t["tick"];
    t = waitForTick([&](const json& x) { return x["tick"] >= restartTick + 4; });
    EXPECT_EQ(t["summary"], json::array({"No errors detected!"}));
    monitor->signal(SIGKILL);
    EXPECT_EQ(monitor->wait(10s), 128 + SIGKILL);
    EXPECT_EQ(countOf(readFile(dir / "DiagProtocol.txt"), "System has been rebooted"), 1u);
}

TEST_F(EndToEndTest, LocalDaemonGoneMeansOfflineUntilItReturns) {
    startSimulator();
    writeSettings(false);
    startMonitor();
    waitForSummaryLine("No errors detected!");

    sim->signal(SIGTERM);
    ASSERT_EQ(sim->wait(5s), 0);
    json t = waitForSummaryLine("Miniport Driver not available!");
    EXPECT_EQ(t["summary"], json::array({"System is offline:", "Boot System in Application",
                                         "or check monitor screen in bootmon!", "Miniport Driver not available!"}));
    EXPECT_EQ(t["caption"], "Error 34 at Initialisation!");
    EXPECT_EQ(t["controls"]["laBoardTypeNr"]["text"], "not identified");
    EXPECT_EQ(t["controls"]["laDmaReadErrNr"]["text"], "---");

    startSimulator();
    t = waitForSummaryLine("No errors detected!");
    EXPECT_EQ(t["caption"], "KvxDiagnostics - Online Mode");
    EXPECT_EQ(stopMonitor(), 0);
}

TEST_F(EndToEndTest, RemoteModeReportsOneNetworkFailureAndRecovers) {
    startSimulator();
    writeSettings(true);
    startMonitor();
    json t = waitForSummaryLine("No errors detected!");
    EXPECT_EQ(t["controls"]["laDllName"]["text"], "kvxg3x.dll: 2.5.3.99");
    EXPECT_EQ(t["controls"]["laMiniportVersionNr"]["text"], "n.a.");
    EXPECT_EQ(t["controls"]["cbCardNr"]["items"], json::array({"0"}));

    control({"inject", "runtime-error", "task", "1", "1207", "88"});
    t = waitForSummaryLine("Runtime error at Task-1 detected!");
    EXPECT_EQ(t["controls"]["edErrNum1"]["text"], "1207");
    EXPECT_EQ(t["controls"]["edErrLine1"]["role"], "fault");

    sim->signal(SIGKILL);
    sim->wait(5s);
    t = waitForSummaryLine("System is offline:");
    waitForTick([&](const json& x) { return x["tick"] >= t["tick"].get<long>() + 3; });
    startSimulator(port);
    t = waitForSummaryLine("No errors detected!");
    EXPECT_EQ(t["caption"], "KvxDiagnostics - Online Mode");
    EXPECT_EQ(stopMonitor(), 0);

    const std::string err = readFile(dir / "monitor.err");
    EXPECT_EQ(countOf(err, ": Netzwerkfehler"), 1u) << err;
    const std::string protocol = readFile(dir / "DiagProtocol.txt");
    EXPECT_EQ(countOf(protocol, "\nSystem is offline:\n"), 1u) << protocol;
}

TEST_F(EndToEndTest, HeadlessPrintsCaptionAndSummaryAndStopsAfterItsTicks) {
    startSimulator();
    writeSettings(false);
    RunResult r = run({(dir / "bin" / "KvxDiagnostics").string(), "--console", "--ticks", "3", "--interval-ms", "100"},
                      std::chrono::seconds(20), {{"KVXSIM_SOCKET", socket}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // Printed once each: the summary does not change over the three ticks.
    EXPECT_EQ(r.out, "== KvxDiagnostics - Online Mode\n-- tick 1:\n   No errors detected!\n");
    EXPECT_EQ(countOf(readFile(dir / "DiagProtocol.txt"), "Diagnostic Program closed!"), 1u);
}

TEST_F(EndToEndTest, BothLibrariesPassTheLoadersValidation) {
    DriverLibrary local([](const std::string&) { return std::nullopt; });
    EXPECT_EQ(local.loadDriverLibrary((kBin / "kvxg3.dll").string(), false, false), 1);
    DriverLibrary remote([](const std::string&) { return std::nullopt; });
    // The remote name rule turns ".../kvxg3.dll" into ".../kvxg3X.DLL".
    EXPECT_EQ(remote.loadDriverLibrary((kBin / "kvxg3.dll").string(), true, false), 1);
    EXPECT_EQ(remote.loadedDriverFileName(), (kBin / "kvxg3X.DLL").string());
    const FileVersionInfo v = readFileVersion((kBin / "kvxg3X.DLL").string());
    EXPECT_EQ(driverVersionText("kvxg3x.dll", v), "kvxg3x.dll: 2.5.3.99");
}

TEST_F(EndToEndTest, BadScenarioIsRefusedWithItsLineAndField) {
    std::ofstream(dir / "bad.scn") << "[card 0]\naxes = 2\n[axis 1]\nlimit = wide\n";
    RunResult r = run({(kBin / "kvxsim").string(), "--check", "--scenario", (dir / "bad.scn").string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("bad.scn:4"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\"limit\""), std::string::npos) << r.err;
}

// ---- optional features: plugins loaded only by the runs that use them ------

// The shared objects the process `pid` has mapped whose path contains `part`.
std::size_t mappedCount(pid_t pid, const std::string& part) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::set<std::string> files;
    for (std::string line; std::getline(maps, line);) {
        const auto slash = line.find('/');
        if (slash != std::string::npos && line.find(part, slash) != std::string::npos) files.insert(line.substr(slash));
    }
    return files.size();
}

// A plain HTTP GET on loopback: the body, or "" when nothing answers.
std::string httpGet(int port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    const auto body = answer.find("\r\n\r\n");
    return body == std::string::npos ? "" : answer.substr(body + 4);
}

TEST_F(EndToEndTest, HeadlessRunMapsNeitherTheWindowToolkitNorHttp) {
    startSimulator();
    writeSettings(false);
    startMonitor();
    waitForTick([](const json& t) { return t["caption"] == "KvxDiagnostics - Online Mode"; });
    EXPECT_EQ(mappedCount(monitor->pid(), "libQt6"), 0u);
    EXPECT_EQ(mappedCount(monitor->pid(), "httplib"), 0u);
    EXPECT_EQ(mappedCount(monitor->pid(), "libssl"), 0u);
    EXPECT_EQ(mappedCount(monitor->pid(), "libkvxdiag_"), 0u);
    EXPECT_EQ(stopMonitor(), 0);
}

TEST_F(EndToEndTest, MetricsPortLoadsTheServerAndServesTheMonitorsState) {
    // The plugin lies beside the copied program (the fixture puts it there), as an installation has it.
    startSimulator();
    writeSettings(false);
    monitor = std::make_unique<Process>(Process::Options{
        {(dir / "bin" / "KvxDiagnostics").string(), "--metrics-port", "0", "--interval-ms", "150"},
        {{"KVXSIM_SOCKET", socket}},
        dir.string(),
        (dir / "monitor.err").string()});
    std::smatch m;
    std::string err;
    const std::regex announced("metrics on http://127\\.0\\.0\\.1:([0-9]+)/metrics");
    for (int i = 0; i < 400 && !std::regex_search(err, m, announced); ++i) {
        std::this_thread::sleep_for(25ms);
        err = readFile(dir / "monitor.err");
    }
    ASSERT_TRUE(std::regex_search(err, m, announced)) << err;
    const int metricsPort = std::stoi(m[1].str());
    std::string body;
    for (int i = 0; i < 200 && body.find("kvx_online{controller=\"KvxDiagnostics\"} 1\n") == std::string::npos; ++i) {
        std::this_thread::sleep_for(25ms);
        body = httpGet(metricsPort, "/metrics");
    }
    EXPECT_NE(body.find("kvx_online{controller=\"KvxDiagnostics\"} 1\n"), std::string::npos) << body;
    // A whole scrape, the server's own counters included, as promtool checks an exporter's.
    std::ofstream(dir / "scrape.txt") << httpGet(metricsPort, "/metrics");
    const RunResult check = run({"bash", "-c", "promtool check metrics < " + (dir / "scrape.txt").string()});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_NE(readFile(dir / "scrape.txt").find("promhttp_metric_handler_requests_total{controller=\"KvxDiagnostics\",code=\"200\"}"),
              std::string::npos);
    EXPECT_NE(httpGet(metricsPort, "/").find("<a href=\"/metrics\">"), std::string::npos);
    EXPECT_EQ(mappedCount(monitor->pid(), (dir / "bin" / "libkvxdiag_metrics.so").string()), 1u);
    EXPECT_EQ(mappedCount(monitor->pid(), "libQt6"), 0u);
    // Plain HTTP needs no HTTP, TLS or YAML library (the web configuration's plugin has them).
    for (const char* library : {"libkvxdiag_metrics_tls", "httplib", "libssl", "libcrypto", "yaml-cpp"})
        EXPECT_EQ(mappedCount(monitor->pid(), library), 0u) << library;
    EXPECT_EQ(stopMonitor(), 0);
}

// The metrics port a headless run announced on standard error.
int announcedMetricsPort(const fs::path& errFile) {
    const std::regex announced("metrics on http://127\\.0\\.0\\.1:([0-9]+)/metrics");
    std::smatch m;
    std::string err;
    for (int i = 0; i < 400 && !std::regex_search(err, m, announced); ++i) {
        std::this_thread::sleep_for(25ms);
        err = readFile(errFile);
    }
    return std::regex_search(err, m, announced) ? std::stoi(m[1].str()) : -1;
}

// Scrapes until the text holds every one of `samples`; the last text.
std::string scrapeUntil(int port, const std::vector<std::string>& samples) {
    std::string body;
    for (int i = 0; i < 400; ++i) {
        body = httpGet(port, "/metrics");
        if (std::all_of(samples.begin(), samples.end(), [&](const std::string& s) { return body.find(s) != std::string::npos; }))
            break;
        std::this_thread::sleep_for(25ms);
    }
    return body;
}

// A service whose controller is off at its start stays up, says so in its
// metrics and starts as soon as the controller answers, without a restart.
TEST_F(EndToEndTest, ControllerOffAtStartIsOfflineInTheMetricsUntilItAnswers) {
    startSimulator();
    sim->signal(SIGTERM);
    ASSERT_EQ(sim->wait(5s), 0);
    writeSettings(true);
    monitor = std::make_unique<Process>(Process::Options{
        {(dir / "bin" / "KvxDiagnostics").string(), "--json", "--metrics-port", "0", "--interval-ms", "150", "--record",
         (dir / "run.kvxrec").string()},
        {{"KVXSIM_SOCKET", socket}},
        dir.string(),
        (dir / "monitor.err").string()});
    const int metricsPort = announcedMetricsPort(dir / "monitor.err");
    ASSERT_GT(metricsPort, 0) << readFile(dir / "monitor.err");
    const std::string down = "kvx_up{controller=\"KvxDiagnostics\"} 0\n";
    std::string body = scrapeUntil(metricsPort, {down, "kvx_start_attempts_total{controller=\"KvxDiagnostics\"} 2\n"});
    EXPECT_NE(body.find(down), std::string::npos) << body;
    EXPECT_NE(body.find("kvx_online{controller=\"KvxDiagnostics\"} 0\n"), std::string::npos) << body;
    EXPECT_FALSE(monitor->wait(0ms)) << readFile(dir / "monitor.err");

    startSimulator(port);
    const json t = waitForTick([](const json& x) { return x["caption"] == "KvxDiagnostics - Online Mode"; });
    EXPECT_EQ(t["tick"], 1);
    body = scrapeUntil(metricsPort, {"kvx_up{controller=\"KvxDiagnostics\"} 1\n"});
    EXPECT_NE(body.find("kvx_online{controller=\"KvxDiagnostics\"} 1\n"), std::string::npos) << body;
    EXPECT_EQ(stopMonitor(), 0);
    const std::string err = readFile(dir / "monitor.err");
    for (const char* line : {"cannot be reached); trying again in 1 s\n", "cannot be reached); trying again in 2 s\n"})
        EXPECT_NE(err.find(line), std::string::npos) << err;
    EXPECT_EQ(err.find("Fatal Error!"), std::string::npos) << err;
    // Its recording replays from the attempt that reached the controller.
    const RunResult replay = run({(dir / "bin" / "KvxDiagnostics").string(), "--replay", (dir / "run.kvxrec").string(), "--console"});
    EXPECT_EQ(replay.exitCode, 0) << replay.err;
    EXPECT_EQ(replay.out.rfind("== KvxDiagnostics - Online Mode\n", 0), 0u) << replay.out << replay.err;
}

// The value of the sample that starts with `series` in a scrape, -1 without one.
double sampleOf(const std::string& body, const std::string& series) {
    const auto at = body.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(body.substr(at + series.size() + 2));
}

// Nobody reads standard output: the pipe fills, the ticks go on at their
// pace and the lines that do not fit are dropped and counted.
TEST_F(EndToEndTest, FullStandardOutputDelaysNoTick) {
    startSimulator();
    writeSettings(false);
    monitor = std::make_unique<Process>(Process::Options{
        {(dir / "bin" / "KvxDiagnostics").string(), "--json", "--metrics-port", "0", "--interval-ms", "100"},
        {{"KVXSIM_SOCKET", socket}},
        dir.string(),
        (dir / "monitor.err").string()});
    const int metricsPort = announcedMetricsPort(dir / "monitor.err");
    ASSERT_GT(metricsPort, 0) << readFile(dir / "monitor.err");
    const std::string ticks = "kvx_ticks_total{controller=\"KvxDiagnostics\"}";
    const std::string dropped = "kvx_output_lines_dropped_total{controller=\"KvxDiagnostics\",stream=\"stdout\"}";
    std::string body = scrapeUntil(metricsPort, {dropped + " 1\n"});
    for (int i = 0; i < 400 && sampleOf(body, dropped) < 1; ++i) {
        std::this_thread::sleep_for(25ms);
        body = httpGet(metricsPort, "/metrics");
    }
    ASSERT_GE(sampleOf(body, dropped), 1) << body;
    const double before = sampleOf(body, ticks);
    std::this_thread::sleep_for(2s);
    body = httpGet(metricsPort, "/metrics");
    // 20 ticks are due; a frozen tick shows none.
    EXPECT_GE(sampleOf(body, ticks) - before, 10) << body;
    EXPECT_EQ(stopMonitor(), 0);
}

TEST_F(EndToEndTest, TheWindowRunsFromItsPluginAndClosesOnSigterm) {
    startSimulator();
    writeSettings(false);
    monitor = std::make_unique<Process>(Process::Options{{(dir / "bin" / "KvxDiagnostics").string()},
                                                         {{"KVXSIM_SOCKET", socket}, {"QT_QPA_PLATFORM", "offscreen"}},
                                                         dir.string(),
                                                         (dir / "monitor.err").string()});
    // The first tick writes the protocol's first block.
    const fs::path protocol = dir / "DiagProtocol.txt";
    for (int i = 0; i < 400 && !(fs::exists(protocol) && fs::file_size(protocol) > 0); ++i)
        std::this_thread::sleep_for(25ms);
    ASSERT_TRUE(fs::exists(protocol)) << readFile(dir / "monitor.err");
    EXPECT_EQ(mappedCount(monitor->pid(), "libkvxdiag_window.so"), 1u);
    EXPECT_EQ(mappedCount(monitor->pid(), "libQt6Widgets"), 1u);
    // The charts come with the history window, at its first opening.
    EXPECT_EQ(mappedCount(monitor->pid(), "libQt6Charts"), 0u);
    EXPECT_EQ(mappedCount(monitor->pid(), "httplib"), 0u);
    EXPECT_EQ(stopMonitor(), 0);
    EXPECT_EQ(countOf(readFile(protocol), "Diagnostic Program closed!"), 1u);
}

// A hang-up (the terminal closed) ends either front end in order; the
// window opens on Qt's own --platform option, with no display set.
TEST_F(EndToEndTest, AHangUpEndsEitherFrontEndInOrder) {
    startSimulator();
    const fs::path protocol = dir / "DiagProtocol.txt";
    for (const std::vector<std::string>& options : {std::vector<std::string>{"--console"}, {"--platform", "offscreen"}}) {
        SCOPED_TRACE(options.front());
        writeSettings(false);
        fs::remove(protocol);
        std::vector<std::string> argv{(dir / "bin" / "KvxDiagnostics").string()};
        argv.insert(argv.end(), options.begin(), options.end());
        monitor = std::make_unique<Process>(Process::Options{
            argv, {{"KVXSIM_SOCKET", socket}, {"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}},
            dir.string(), (dir / "monitor.err").string()});
        for (int i = 0; i < 400 && !(fs::exists(protocol) && fs::file_size(protocol) > 0); ++i)
            std::this_thread::sleep_for(25ms);
        monitor->signal(SIGHUP);
        EXPECT_EQ(monitor->wait(10s), 0) << readFile(dir / "monitor.err");
        EXPECT_EQ(countOf(readFile(protocol), "Diagnostic Program closed!"), 1u);
        EXPECT_NE(readFile(dir / "bin" / "KvxDiagnostics.INI").find("[DESKTOP]"), std::string::npos);
    }
}

}  // namespace
}  // namespace kvx::e2e
