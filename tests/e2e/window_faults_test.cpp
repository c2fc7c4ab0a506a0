// The window on an X server with a window manager, where stacking and focus
// matter: another application is active, the window stays on top, and the
// web-services link breaks, so the library's error routine opens its box
// inside a tick.
#include <regex>

#include "e2e/monitor_fixture.h"

namespace kvx::e2e {
namespace {

// The "Netzwerkfehler" box is stacked above the window that owns it; while it
// waits, the window says that it has no data; SIGTERM waits until the box's
// tick has returned and ends the run in order (it used to close the library
// under the tick).
TEST_F(EndToEndTest, NetworkFailureBoxIsOwnedMarksTheDataOldAndSigtermEndsInOrder) {
    Process xvfb({{"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp"}, {}, dir.string(), (dir / "x.err").string()});
    const std::string display = ":" + xvfb.readLine(20s).value_or("");
    const auto x = [&](std::vector<std::string> argv, const std::string& until = "") {
        std::string out;
        for (int i = 0; i < 600 && (i == 0 || !std::regex_search(out, std::regex(until))); ++i) {
            const RunResult r = run(argv, 10s, {{"DISPLAY", display}});
            out = r.out + r.err;
        }
        return out;
    };
    // openbox, started again while it cannot reach the new server yet.
    std::unique_ptr<Process> wm;
    std::string wmCheck;
    for (int i = 0; i < 400 && wmCheck.find("window id") == std::string::npos; ++i) {
        if (!wm || wm->wait(0ms))
            wm = std::make_unique<Process>(Process::Options{
                {"/usr/bin/openbox", "--sm-disable"}, {{"DISPLAY", display}, {"XDG_CACHE_HOME", dir.string()}},
                dir.string(), (dir / "wm.err").string()});
        std::this_thread::sleep_for(25ms);
        wmCheck = x({"/usr/bin/xprop", "-root", "_NET_SUPPORTING_WM_CHECK"});
    }
    ASSERT_NE(wmCheck.find("window id"), std::string::npos) << display << wmCheck << readFile(dir / "x.err");
    startSimulator();
    writeSettings(true);
    std::ofstream(dir / "bin" / "KvxDiagnostics.INI", std::ios::app) << "[DESKTOP]\nStayOnTop=1\n";
    monitor = std::make_unique<Process>(Process::Options{{(dir / "bin" / "KvxDiagnostics").string()},
                                                         {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}},
                                                         dir.string(),
                                                         (dir / "monitor.err").string()});
    const std::string window = x({"/usr/bin/xdotool", "search", "--name", "^KvxDiagnostics - Online Mode$"}, "\n");
    Process other({{"/usr/bin/xmessage", "-name", "other", "another application"}, {{"DISPLAY", display}}, dir.string(), (dir / "other.err").string()});
    const std::string otherWindow = x({"/usr/bin/xdotool", "search", "--classname", "^other$"}, "\n");
    x({"/usr/bin/xdotool", "windowactivate", "--sync", otherWindow.substr(0, otherWindow.find('\n'))});

    sim->signal(SIGKILL);
    const std::string pid = std::to_string(monitor->pid());
    const std::string mine = x({"/usr/bin/xdotool", "search", "--all", "--onlyvisible", "--pid", pid, "--name", ""},
                               "\n.*\n");  // the window and its box
    const std::string box = std::regex_replace(mine, std::regex(window + "|\n"), "");
    const std::string stack = std::regex_replace(x({"/usr/bin/xprop", "-root", "_NET_CLIENT_LIST_STACKING"}), std::regex("\n"), ",");
    const auto at = [&](const std::string& id) {  // bottom to top
        std::ostringstream hex;
        hex << ' ' << std::showbase << std::hex << std::stoul(id) << ',';
        return stack.find(hex.str());
    };
    EXPECT_LT(at(otherWindow), at(window)) << stack;
    EXPECT_LT(at(window), at(box)) << stack;
    const std::string title = x({"/usr/bin/xdotool", "getwindowname", window}, "no data for");
    EXPECT_TRUE(std::regex_match(title, std::regex("KvxDiagnostics - Online Mode - no data for [0-9]+ s\n"))) << title;

    monitor->signal(SIGTERM);
    EXPECT_EQ(monitor->wait(20s), 0) << readFile(dir / "monitor.err");
    EXPECT_TRUE(readFile(dir / "DiagProtocol.txt").ends_with(" Diagnostic Program closed! --------------------\n"));
    EXPECT_NE(readFile(dir / "bin" / "KvxDiagnostics.INI").find("[DESKTOP]"), std::string::npos);
}

}  // namespace
}  // namespace kvx::e2e
