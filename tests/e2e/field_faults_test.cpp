// Faults a technician meets in the field, each driven through the real
// program the way it happens.
#include <sys/stat.h>

#include <map>
#include <regex>

#include "e2e/monitor_fixture.h"

namespace kvx::e2e {
namespace {

// A protocol name that is no regular file is a file that cannot be opened:
// no protocol, the run goes on and stops in order (a FIFO blocked the start).
TEST_F(EndToEndTest, ProtocolNameThatIsNoRegularFileIsNoProtocol) {
    startSimulator();
    mkfifo((dir / "fifo").c_str(), 0600);
    for (const std::string& node : {(dir / "fifo").string(), dir.string(), socket, std::string("/dev/null")}) {
        SCOPED_TRACE(node);
        std::ofstream(dir / "bin" / "KvxDiagnostics.INI") << "[PROTOCOL]\nFileName=" << node << "\n";
        startMonitor();
        waitForSummaryLine("No errors detected!");
        EXPECT_EQ(stopMonitor(), 0);
    }
}

// Filling the card list leaves the driver on the last card; the one shown is selected again.
TEST_F(EndToEndTest, TwoCardsShowTheFirstUnderCardZero) {
    std::ofstream(dir / "scenario.scn") << kHealthyScenario << "[card 1]\nboard_type = 16\naxes = 8\n";
    startSimulator();
    writeSettings(false);
    startMonitor();
    const json t = waitForSummaryLine("No errors detected!");
    EXPECT_EQ(t["controls"]["cbCardNr"]["items"], json::array({"0", "1"}));
    EXPECT_EQ(t["controls"]["laBoardTypeNr"]["text"], "KVX-2000/PXB-5001 - 2 Axis - Sample Time: 1.28 ms");
    EXPECT_TRUE(t["dataAgeMs"].is_number_integer()) << t.dump();
    EXPECT_EQ(stopMonitor(), 0);
}

// `| head -n 1` closes the output: the run ends as on SIGTERM.
TEST_F(EndToEndTest, ClosedStandardOutputEndsTheRunInOrder) {
    startSimulator();
    writeSettings(false);
    const RunResult r = run({"/bin/bash", "-c", "\"$0\" --console --json --interval-ms 100 | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}",
                             (dir / "bin" / "KvxDiagnostics").string()},
                            20s, {{"KVXSIM_SOCKET", socket}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(countOf(readFile(dir / "DiagProtocol.txt"), "Diagnostic Program closed!"), 1u);
    EXPECT_NE(readFile(dir / "bin" / "KvxDiagnostics.INI").find("[Project data]"), std::string::npos);
}

// A reader that stops reading: the pipe fills, and SIGTERM still ends the run in order.
TEST_F(EndToEndTest, StalledStandardOutputStillEndsInOrderOnSigterm) {
    startSimulator();
    writeSettings(false);
    const RunResult r = run({"/bin/bash", "-c",
                             "cd \"$1\" && mkfifo out.fifo && exec 3<>out.fifo && "
                             "{ \"$0\" --console --json --interval-ms 20 >out.fifo & pid=$!; sleep 3; kill -TERM $pid; "
                             "for i in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done; "
                             "kill -0 $pid 2>/dev/null && { kill -KILL $pid; exit 99; }; wait $pid; }",
                             (dir / "bin" / "KvxDiagnostics").string(), dir.string()},
                            30s, {{"KVXSIM_SOCKET", socket}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(countOf(readFile(dir / "DiagProtocol.txt"), "Diagnostic Program closed!"), 1u);
}

// Xvfb, openbox, another application active, the window on top: the box of a tick is stacked above its window,
// the window marks its data as old, and SIGTERM waits for the tick, then ends the run in order.
TEST_F(EndToEndTest, NetworkFailureBoxIsOwnedMarksTheDataOldAndSigtermEndsInOrder) {
    Process xvfb({{"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp"}, {}, dir.string(), (dir / "x.err").string()});
    const std::string display = ":" + xvfb.readLine(20s).value_or("");
    const std::map<std::string, std::string> env{{"DISPLAY", display}, {"XDG_CACHE_HOME", dir.string()}};
    // Asked until the answer matches, for at most 20 s however fast the answers come.
    const auto x = [&](std::vector<std::string> argv, const std::string& until = "") {
        argv[0] = "/usr/bin/" + argv[0];
        const auto end = std::chrono::steady_clock::now() + 20s;
        RunResult r = run(argv, 10s, env);
        while (!std::regex_search(r.out, std::regex(until)) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(20ms);
            r = run(argv, 10s, env);
        }
        return r.out;
    };
    std::unique_ptr<Process> wm;  // started again while it cannot reach the new server yet
    for (int i = 0; i < 400 && x({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") == std::string::npos;
         ++i) {
        if (!wm || wm->wait(0ms))
            wm = std::make_unique<Process>(Process::Options{{"/usr/bin/openbox", "--sm-disable"}, env, dir.string(), "/dev/null"});
        std::this_thread::sleep_for(25ms);
    }
    startSimulator();
    writeSettings(true);
    std::ofstream(dir / "bin" / "KvxDiagnostics.INI", std::ios::app) << "[DESKTOP]\nStayOnTop=1\n";
    monitor = std::make_unique<Process>(Process::Options{{(dir / "bin" / "KvxDiagnostics").string()},
                                                         {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}},
                                                         dir.string(),
                                                         (dir / "monitor.err").string()});
    const std::string window = x({"xdotool", "search", "--name", "^KvxDiagnostics - Online Mode$"}, "\n");
    Process other({{"/usr/bin/xmessage", "-name", "other", "another application"}, env, dir.string(), "/dev/null"});
    const std::string otherWindow = x({"xdotool", "search", "--classname", "^other$"}, "\n");
    x({"xdotool", "windowactivate", "--sync", otherWindow.substr(0, otherWindow.find('\n'))});

    sim->signal(SIGKILL);
    const std::string mine =
        x({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(monitor->pid()), "--name", ""}, "\n.*\n");
    const std::string box = std::regex_replace(mine, std::regex(window + "|\n"), "");  // the other one
    const std::string stack = std::regex_replace(x({"xprop", "-root", "_NET_CLIENT_LIST_STACKING"}), std::regex("\n"), ",");
    const auto at = [&](const std::string& id) {  // from the bottom
        std::ostringstream hex;
        hex << ' ' << std::showbase << std::hex << std::stoul(id) << ',';
        return stack.find(hex.str());
    };
    EXPECT_LT(at(otherWindow), at(window)) << stack;
    EXPECT_LT(at(window), at(box)) << stack;
    const std::string title = x({"xdotool", "getwindowname", window}, "no data for");
    EXPECT_TRUE(std::regex_match(title, std::regex("KvxDiagnostics - Online Mode - no data for [0-9]+ s\n"))) << title;

    monitor->signal(SIGTERM);
    EXPECT_EQ(monitor->wait(20s), 0) << readFile(dir / "monitor.err");
    EXPECT_TRUE(readFile(dir / "DiagProtocol.txt").ends_with(" Diagnostic Program closed! --------------------\n"));
    EXPECT_NE(readFile(dir / "bin" / "KvxDiagnostics.INI").find("[DESKTOP]"), std::string::npos);
}

}  // namespace
}  // namespace kvx::e2e
