// The replay's controls beside the main window at its design place: wholly on
// screens narrower and wider than the design desktop, and where the user left
// them when the next replay starts.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "e2e/process.h"
#include "screen/screen_session.h"

namespace kvx::screen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A window with the frame the window manager put round it.
QRect framed(const ScreenSession& s, unsigned long window) {
    const QRect inside = s.clientRect(window);
    const auto out = e2e::run({"/usr/bin/xprop", "-id", std::to_string(window), "_NET_FRAME_EXTENTS"}, 5s,
                              {{"DISPLAY", s.display()}});
    std::smatch m;  // left, right, top, bottom
    if (!std::regex_search(out.out, m, std::regex(R"((\d+), (\d+), (\d+), (\d+))"))) return inside;
    return inside.adjusted(-std::stoi(m[1]), -std::stoi(m[3]), std::stoi(m[2]), std::stoi(m[4]));
}

TEST(ReplayControlsOnScreen, WhollyOnTheScreenBesideTheMainWindowAndKeptThere) {
    const std::string shared = std::getenv("DISPLAY");
    for (const QSize size : {QSize(1600, 900), QSize(1920, 1080)}) {
        SCOPED_TRACE(size.width());
        std::string pattern = (fs::temp_directory_path() / "kvx-replay-screen-XXXXXX").string();
        const fs::path dir = mkdtemp(pattern.data());
        {
            ScreenSession screen(std::to_string(size.width()) + "x" + std::to_string(size.height()) + "x24");
            ASSERT_TRUE(screen.ok());
            // Each run in the same configuration folder; gives the main window and the controls.
            auto replay = [&](std::unique_ptr<e2e::Process>& program) {
                program = std::make_unique<e2e::Process>(e2e::Process::Options{
                    {std::string(KVX_BIN_DIR) + "/KvxDiagnostics", "--replay", KVX_TEST_RECORDING},
                    {{"DISPLAY", screen.display()}, {"XDG_CONFIG_HOME", dir.string()}, {"QT_QPA_PLATFORM", "xcb"}},
                    dir.string(),
                    (dir / "program.err").string()});
                const unsigned long main = screen.windowNamed("Replay of");
                const std::string controls = screen.xdotool({"search", "--sync", "--onlyvisible", "--name", "^Replay$"});
                std::this_thread::sleep_for(500ms);  // the window manager's frames in place
                return std::pair{main, controls.empty() ? 0ul : std::stoul(controls)};
            };
            std::unique_ptr<e2e::Process> program;
            const auto [main, controls] = replay(program);
            ASSERT_TRUE(main && controls);
            const QRect client = screen.clientRect(main);
            EXPECT_EQ(client.size(), QSize(757, 677));
            EXPECT_NEAR(client.x(), 736, 10);
            EXPECT_NEAR(client.y(), 226, 40);
            const QRect placed = framed(screen, controls);
            EXPECT_TRUE(QRect(QPoint(0, 0), size).contains(placed)) << placed.x() << "," << placed.y();
            EXPECT_FALSE(placed.intersects(framed(screen, main))) << "beside, not over the window";
            screen.xdotool({"windowmove", "--sync", std::to_string(controls), "40", "60"});
            // The history window open does not keep the replay running.
            screen.xdotool({"key", "--window", std::to_string(main), "ctrl+h"});
            ASSERT_NE(screen.windowNamed("History and Trends"), 0u);
            program->signal(SIGTERM);
            EXPECT_TRUE(program->wait(10s).has_value()) << "the replay still runs with its history window";

            const auto [mainAgain, controlsAgain] = replay(program);
            ASSERT_NE(controlsAgain, 0u);
            EXPECT_NEAR(framed(screen, controlsAgain).x(), 40, 12);
            EXPECT_NEAR(framed(screen, controlsAgain).y(), 60, 40);
            program->signal(SIGTERM);
            program->wait(10s);
        }
        setenv("DISPLAY", shared.c_str(), 1);
        fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace kvx::screen
