// The replay's controls beside the main window at its design place: wholly on
// screens narrower and wider than the design desktop, and where the user left
// them when the next replay starts.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <cstdlib>
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
    const std::string out =
        e2e::run({"/usr/bin/xprop", "-id", std::to_string(window), "_NET_FRAME_EXTENTS"}, 5s, {{"DISPLAY", s.display()}})
            .out;
    std::smatch m;  // left, right, top, bottom
    if (!std::regex_search(out, m, std::regex(R"((\d+), (\d+), (\d+), (\d+))"))) return inside;
    return inside.adjusted(-std::stoi(m[1]), -std::stoi(m[3]), std::stoi(m[2]), std::stoi(m[4]));
}

struct Replay {
    Replay(const ScreenSession& screen, const fs::path& dir)
        : program({{std::string(KVX_BIN_DIR) + "/KvxDiagnostics", "--replay", KVX_TEST_RECORDING},
                   {{"DISPLAY", screen.display()}, {"XDG_CONFIG_HOME", dir.string()}, {"QT_QPA_PLATFORM", "xcb"}},
                   dir.string(),
                   (dir / "program.err").string()}) {
        main = screen.windowNamed("Replay of");
        const std::string out = screen.xdotool({"search", "--sync", "--onlyvisible", "--name", "^Replay$"});
        if (!out.empty()) controls = std::stoul(out);
        std::this_thread::sleep_for(500ms);  // the window manager's frames in place
    }
    ~Replay() {
        program.signal(SIGTERM);
        program.wait(10s);
    }
    e2e::Process program;
    unsigned long main = 0, controls = 0;
};

TEST(ReplayControlsOnScreen, WhollyOnTheScreenBesideTheMainWindowAndKeptThere) {
    const std::string shared = std::getenv("DISPLAY");
    for (const QSize size : {QSize(1600, 900), QSize(1920, 1080)}) {
        SCOPED_TRACE(size.width());
        std::string pattern = (fs::temp_directory_path() / "kvx-replay-screen-XXXXXX").string();
        const fs::path dir = mkdtemp(pattern.data());
        {
            ScreenSession screen(std::to_string(size.width()) + "x" + std::to_string(size.height()) + "x24");
            ASSERT_TRUE(screen.ok());
            const QRect desk(QPoint(0, 0), size);
            {
                Replay replay(screen, dir);
                ASSERT_NE(replay.main, 0u);
                ASSERT_NE(replay.controls, 0u);
                const QRect main = screen.clientRect(replay.main);
                EXPECT_EQ(main.size(), QSize(757, 677));
                EXPECT_NEAR(main.x(), 736, 10);
                EXPECT_NEAR(main.y(), 226, 40);
                const QRect controls = framed(screen, replay.controls);
                EXPECT_TRUE(desk.contains(controls)) << controls.x() << "," << controls.y() << " " << controls.width()
                                                     << "x" << controls.height();
                EXPECT_FALSE(controls.intersects(framed(screen, replay.main))) << "beside, not over the window";
                screen.xdotool({"windowmove", "--sync", std::to_string(replay.controls), "40", "60"});
            }
            Replay again(screen, dir);
            ASSERT_NE(again.controls, 0u);
            const QRect kept = framed(screen, again.controls);
            EXPECT_NEAR(kept.x(), 40, 12);
            EXPECT_NEAR(kept.y(), 60, 40);
        }
        setenv("DISPLAY", shared.c_str(), 1);
        fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace kvx::screen
