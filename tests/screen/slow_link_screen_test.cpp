// The window on web services behind a slow link: it says what the start
// waits for, and while a tick waits for the controller it follows a resize
// and marks its data as old.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "screen/screen_session.h"

namespace kvx::screen {

ScreenSession& session();

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readAll(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p).rdbuf();
    return s.str();
}

TEST(SlowLinkOnScreen, DrawsWhileACallWaits) {
    std::string pattern = (fs::temp_directory_path() / "kvx-slow-XXXXXX").string();
    const fs::path dir = mkdtemp(pattern.data());
    const fs::path bin = KVX_BIN_DIR;
    e2e::Process sim({{(bin / "kvxsim").string(), "--scenario", KVX_SOURCE_DIR "/scenarios/kvx2000.scn", "--socket",
                       (dir / "sim.sock").string(), "--http-port", "0", "--port-file", (dir / "port").string(),
                       "--latency-ms", "3000", "--quiet"},
                      {}, dir.string(), (dir / "sim.err").string()});
    for (int i = 0; i < 200 && !(fs::exists(dir / "port") && fs::file_size(dir / "port") > 0); ++i)
        std::this_thread::sleep_for(25ms);
    const std::string url = "http://127.0.0.1:" + std::to_string(std::stoi(readAll(dir / "port")));
    std::ofstream(dir / "KvxDiagnostics.INI") << "[DESKTOP]\nLeft=40\nTop=40\nWidth=757\nHeight=677\n"
                                              << "[PROTOCOL]\nFileName=" << (dir / "DiagProtocol.txt").string()
                                              << "\n[Project data]\nUse Webservices=1\nURL=" << url << "\n";
    e2e::Process program({{(bin / "KvxDiagnostics").string(), "--settings", (dir / "KvxDiagnostics.INI").string()},
                          {{"XDG_CONFIG_HOME", dir.string()}, {"QT_QPA_PLATFORM", "xcb"}},
                          dir.string(), (dir / "program.err").string()});

    // Each request of the start waits 3 s: the start says so meanwhile.
    EXPECT_NE(session().windowNamed("Connecting to " + url, 10s), 0ul);
    const unsigned long window = session().windowNamed("Online Mode", 60s);
    ASSERT_NE(window, 0ul) << readAll(dir / "program.err");

    // A tick waiting for its answer marks the data as old; a resize then is
    // drawn at once, before the tick returns (the mark still shows after).
    const auto staleShown = [&] { return session().windowName(window).find(" - no data for ") != std::string::npos; };
    bool followedDuringCall = false;
    for (int attempt = 0; attempt < 4 && !followedDuringCall; ++attempt) {
        for (int i = 0; i < 200 && !staleShown(); ++i) std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(staleShown()) << session().windowName(window);
        const QRect before = session().clientRect(window);
        const QRgb background = session().grab(before).pixel(before.width() - 10, 60);
        const int width = before.width() + (attempt % 2 ? -150 : 150);
        session().xdotool(
            {"windowsize", std::to_string(window), std::to_string(width), std::to_string(before.height())});
        for (int i = 0; i < 20 && !followedDuringCall; ++i) {
            const QRect now = session().clientRect(window);
            const bool drawn = now.width() == width && session().grab(now).pixel(width - 10, 60) == background;
            followedDuringCall = drawn && staleShown();
            if (drawn) break;
        }
    }
    EXPECT_TRUE(followedDuringCall);
    saveShot(session().grab(session().clientRect(window)), "slow-link-resized.png");

    // A stop during a call ends the run with the whole shutdown once the call returned.
    for (int i = 0; i < 200 && !staleShown(); ++i) std::this_thread::sleep_for(50ms);
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(15s), 0);
    EXPECT_NE(readAll(dir / "DiagProtocol.txt").find("Diagnostic Program closed!"), std::string::npos);
    sim.signal(SIGTERM);
    sim.wait(5s);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace kvx::screen
