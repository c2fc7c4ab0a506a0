// The real program beside copies of the real driver libraries in a folder of
// its own, and the controller simulator on a scenario: started, read and
// stopped by the test.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "e2e/process.h"

namespace kvx::e2e {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

inline const fs::path kBin = KVX_BIN_DIR;

inline std::string readFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p).rdbuf();
    return s.str();
}

inline std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

inline bool summaryHas(const json& tick, const std::string& line) {
    for (const auto& l : tick["summary"])
        if (l == line) return true;
    return false;
}

// A healthy KVX-2000 with two axes that have limits: no warnings at start.
inline constexpr const char* kHealthyScenario =
    "[card 0]\nboard_type = 4\naxes = 2\noption 62 = 0x05\noption 63 = -1\n"
    "[axis 1]\nlimit = 5\n[axis 2]\nlimit = 5\n"
    "[task 0]\nfile = MAIN.QSL\nstate = 1\n";

class EndToEndTest : public ::testing::Test {
protected:
    EndToEndTest() {
        std::string pattern = (fs::temp_directory_path() / "kvx-e2e-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        // A program of its own: the settings file lies beside the executable.
        fs::create_directories(dir / "bin");
        for (const char* f : {"KvxDiagnostics", "kvxg3.dll", "kvxg3X.DLL"})
            fs::copy_file(kBin / f, dir / "bin" / f);
        // Plugins are loaded from beside the program only.
        for (const char* f : {"libkvxdiag_window.so", "libkvxdiag_history.so", "libkvxdiag_metrics.so", "libkvxdiag_metrics_tls.so"})
            if (fs::exists(kBin / f)) fs::copy_file(kBin / f, dir / "bin" / f);
        socket = (dir / "sim.sock").string();
        std::ofstream(dir / "scenario.scn") << kHealthyScenario;
    }
    ~EndToEndTest() override {
        monitor.reset();
        sim.reset();
        fs::remove_all(dir);
    }

    void startSimulator(int httpPort = 0) {
        fs::remove(dir / "port");
        sim = std::make_unique<Process>(Process::Options{
            {(kBin / "kvxsim").string(), "--scenario", (dir / "scenario.scn").string(), "--socket", socket,
             "--http-port", std::to_string(httpPort), "--port-file", (dir / "port").string(), "--quiet"},
            {},
            dir.string(),
            (dir / "sim.err").string()});
        for (int i = 0; i < 200 && !(fs::exists(socket) && fs::exists(dir / "port") && fs::file_size(dir / "port") > 0);
             ++i)
            std::this_thread::sleep_for(25ms);
        ASSERT_TRUE(fs::exists(socket)) << readFile(dir / "sim.err");
        port = std::stoi(readFile(dir / "port"));
    }

    void writeSettings(bool remote) {
        std::ofstream ini(dir / "bin" / "KvxDiagnostics.INI");
        ini << "[PROTOCOL]\nFileName=" << (dir / "DiagProtocol.txt").string() << "\n";
        if (remote) ini << "[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:" << port << "\n";
    }

    void startMonitor() {
        monitor = std::make_unique<Process>(Process::Options{
            {(dir / "bin" / "KvxDiagnostics").string(), "--console", "--json", "--interval-ms", "150"},
            {{"KVXSIM_SOCKET", socket}},
            dir.string(),
            (dir / "monitor.err").string()});
    }

    // Reads ticks until one satisfies `ok`; fails the test at the deadline.
    json waitForTick(const std::function<bool(const json&)>& ok, std::chrono::milliseconds timeout = 15s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        json last;
        while (std::chrono::steady_clock::now() < deadline) {
            auto line = monitor->readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (!line) break;
            last = json::parse(*line);
            if (ok(last)) return last;
        }
        ADD_FAILURE() << "no such tick; last: " << last.dump() << "\nstderr: " << readFile(dir / "monitor.err");
        return last;
    }

    json waitForSummaryLine(const std::string& line) {
        return waitForTick([&](const json& t) { return summaryHas(t, line); });
    }

    void control(const std::vector<std::string>& words) {
        std::vector<std::string> argv{(kBin / "kvxsimctl").string(), "--socket", socket};
        argv.insert(argv.end(), words.begin(), words.end());
        RunResult r = run(argv);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    int stopMonitor() {
        monitor->signal(SIGTERM);
        return monitor->wait(10s).value_or(-1);
    }

    fs::path dir;
    std::string socket;
    int port = 0;
    std::unique_ptr<Process> sim, monitor;
};

}  // namespace kvx::e2e
