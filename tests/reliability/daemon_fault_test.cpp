// The monitor against the controller simulator while the daemon is killed
// with SIGKILL in the middle of a tick and started again, many times in a
// row, in local mode (unix socket) and in remote mode (HTTP). After each kill
// the monitor reports the controller offline with the code its library
// gives, after each restart it is online again, healthy, and the protocol
// holds one offline block per kill.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "app/monitor.h"
#include "sim/daemon_process.h"
#include "support/fixed_clock.h"
#include "support/scripted_dialogs.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using kvxsim::test::DaemonProcess;

constexpr int kKills = 20;
constexpr int kLatencyMs = 2;  // every driver answer; a tick takes some 60 ms

const Lines kOffline = {"System is offline:", "Boot System in Application", "or check monitor screen in bootmon!"};

std::string readFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

// The protocol's blocks: each one the lines after a timestamp header.
std::vector<Lines> blocks(const std::string& protocol) {
    std::vector<Lines> out;
    std::istringstream in(protocol);
    std::string line;
    bool inBlock = false;
    while (std::getline(in, line)) {
        if (line.size() == 22 && line[4] == '/' && line[21] == ':') {
            out.emplace_back();
            inBlock = true;
        } else if (line.empty() || line.find("Diagnostic Program") != std::string::npos) {
            inBlock = false;
        } else if (inBlock) {
            out.back().push_back(line);
        }
    }
    return out;
}

class DaemonKills : public ::testing::TestWithParam<bool> {
protected:
    DaemonKills() {
        socket = tmp.file("kvxsim.sock");
        scenario = kvxsim::test::scenarioDir() + "/kvx2000.scn";
        daemon = std::make_unique<DaemonProcess>(scenario, socket, 0, latency());
        port = daemon->port();
        ::setenv("KVXSIM_SOCKET", socket.c_str(), 1);
        settingsFile = tmp.file("KvxDiagnostics.INI");
        protocolFile = tmp.file("DiagProtocol.txt");
        fs::create_directories(tmp.file("config"));
    }
    ~DaemonKills() override {
        monitor.reset();
        daemon.reset();
        ::unsetenv("KVXSIM_SOCKET");
    }
    static std::vector<std::string> latency() { return {"--latency-ms", std::to_string(kLatencyMs)}; }
    bool remote() const { return GetParam(); }

    void start() {
        std::string settings = "[PROTOCOL]\nFileName=" + protocolFile + "\n";
        if (remote())
            settings += "[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:" + std::to_string(port) +
                        "\nDEV FileNameX=kvx0\n";
        std::ofstream(settingsFile) << settings;
        MonitorOptions options;
        options.locations = {settingsFile, tmp.path() + "/", tmp.file("config")};
        options.programPath = tmp.file("KvxDiagnostics");
        const std::string library = kvxsim::test::binDir() + (remote() ? "/kvxg3X.DLL" : "/kvxg3.dll");
        options.environment = [library](const std::string& name) -> std::optional<std::string> {
            if (name == "KVXDLLNAME") return library;
            return std::nullopt;
        };
        monitor = std::make_unique<Monitor>(model, dialogs, clock, options);
        ASSERT_TRUE(monitor->formCreate());
    }

    kvxsim::test::TempDir tmp;
    std::string socket, scenario, settingsFile, protocolFile;
    int port = 0;
    std::unique_ptr<DaemonProcess> daemon;
    DisplayModel model;
    test::ScriptedDialogs dialogs;
    test::FixedClock clock;
    std::unique_ptr<Monitor> monitor;
};

TEST_P(DaemonKills, KilledMidTickAndRestartedManyTimes) {
    start();
    ASSERT_EQ(dialogs.messages.size(), 0u);
    ASSERT_EQ(monitor->state().online, 1);
    ASSERT_EQ(model.caption, "KvxDiagnostics - Online Mode");
    const Lines healthy = model.summary;
    ASSERT_EQ(healthy, Lines{"No errors detected!"});
    monitor->timerTimer();
    ASSERT_EQ(model.summary, healthy);

    const Lines offline = remote() ? kOffline : Lines{kOffline[0], kOffline[1], kOffline[2], "Miniport Driver not available!"};
    const std::string offlineCaption = remote() ? "Error -101 at Initialisation!" : "Error 34 at Initialisation!";
    std::mt19937 random(7);
    for (int kill = 0; kill < kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        // The controller has run for a long time before each kill, so the
        // restarted one, which counts from the start, is seen to have
        // rebooted however long its start took on a busy machine.
        ASSERT_EQ(daemon->control({"set", "run-counter", "1000000000"}).exitCode, 0);
        monitor->timerTimer();
        ASSERT_EQ(model.summary, healthy);
        // SIGKILL somewhere inside the next tick.
        const int delayMs = std::uniform_int_distribution<int>(0, 40)(random);
        std::thread killer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            daemon->stop(SIGKILL);
        });
        monitor->timerTimer();
        killer.join();
        EXPECT_FALSE(model.summary.empty());
        SCOPED_TRACE("after the killed tick: caption \"" + model.caption + "\", online " +
                     std::to_string(monitor->state().online) + ", init " + std::to_string(monitor->state().initResult) +
                     ", delay " + std::to_string(delayMs));

        monitor->timerTimer();  // the daemon is gone
        EXPECT_EQ(monitor->state().online, 0);
        EXPECT_EQ(model.caption, offlineCaption);
        EXPECT_EQ(model.summary, offline);
        EXPECT_EQ(model["laBoardTypeNr"].text, "not identified");

        daemon = std::make_unique<DaemonProcess>(scenario, socket, remote() ? port : 0, latency());
        ASSERT_TRUE(daemon->running());
        monitor->timerTimer();
        EXPECT_EQ(monitor->state().online, 1);
        EXPECT_EQ(model.caption, "KvxDiagnostics - Online Mode");
        EXPECT_EQ(model.summary, healthy);
        EXPECT_EQ(model["laSnrGrundplatineNr"].text, "20001234");
        // The restarted controller counts from the start again: taken for a
        // reboot, which repeats the went-online steps at the next tick.
        monitor->timerTimer();
        EXPECT_EQ(monitor->state().online, 1);
        EXPECT_EQ(model.caption, "KvxDiagnostics - Online Mode");
        EXPECT_EQ(model.summary, healthy);
    }

    // Remote: one network message per kill, shown while the controller was
    // online; local mode has no error routine and shows none.
    if (remote()) {
        ASSERT_EQ(dialogs.messages.size(), static_cast<std::size_t>(kKills));
        for (const auto& m : dialogs.messages) {
            EXPECT_EQ(m.text, "Netzwerkfehler");
            EXPECT_EQ(m.title.rfind("web services at http://127.0.0.1:" + std::to_string(port) + " not reachable", 0),
                      0u)
                << m.title;
        }
    } else {
        EXPECT_EQ(dialogs.messages.size(), 0u);
    }

    monitor->formClose();
    const std::string protocol = readFile(protocolFile);

    const std::string start = "\n2024/03/05 - 08:15:02: Diagnostic Program opened! --------------------\n";
    const std::string end = "2024/03/05 - 08:15:02: Diagnostic Program closed! --------------------\n";
    EXPECT_EQ(protocol.substr(0, start.size()), start);
    EXPECT_EQ(protocol.substr(protocol.size() - end.size()), end);
    const auto all = blocks(protocol);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), healthy);
    int offlineBlocks = 0;
    for (const auto& b : all) {
        EXPECT_FALSE(b.empty());
        offlineBlocks += b == offline ? 1 : 0;
    }
    // Each kill: one block when the controller went offline. A tick that the
    // kill cut short may add one of its own, with what the reads before the
    // kill found (the interface status register left unread, for example).
    EXPECT_EQ(offlineBlocks, kKills);
    std::size_t reboots = 0;
    for (std::size_t at = 0; (at = protocol.find(": System has been rebooted\n", at)) != std::string::npos; ++at)
        ++reboots;
    EXPECT_EQ(reboots, static_cast<std::size_t>(kKills));
}

INSTANTIATE_TEST_SUITE_P(Modes, DaemonKills, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Remote" : "Local"; });

}  // namespace
}  // namespace kvx
