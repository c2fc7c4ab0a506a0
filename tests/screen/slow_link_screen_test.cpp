// Web services behind a slow link: the start says what it waits for; a
// tick waiting for the controller marks the data old and follows a resize.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "screen/program_on_screen.h"
#include "screen/screen_session.h"

namespace kvx::screen {

ScreenSession& session();

namespace {

using namespace std::chrono_literals;

TEST(SlowLinkOnScreen, DrawsWhileACallWaits) {
    std::ifstream scenario(KVX_SOURCE_DIR "/scenarios/kvx2000.scn");
    ProgramOnScreen program({std::istreambuf_iterator<char>(scenario), {}}, {}, 3000);
    EXPECT_NE(program.statusWindow(), 0ul);
    const unsigned long window = program.window();

    // A tick waiting for its answer marks the data as old; a resize then is
    // drawn at once, before the tick returns (the mark still shows after).
    const auto waitForStale = [&] {
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(50ms))
            if (session().windowName(window).find(" - no data for ") != std::string::npos) return true;
        return false;
    };
    bool followedDuringCall = false;
    int width = 0;
    for (int attempt = 0; attempt < 4 && !followedDuringCall; ++attempt) {
        ASSERT_TRUE(waitForStale()) << session().windowName(window) << program.errors();
        const QRect before = program.client();
        const QRgb background = session().grab(before).pixel(before.width() - 10, 60);
        width = before.width() + (attempt % 2 ? -150 : 150);
        session().xdotool({"windowsize", std::to_string(window), std::to_string(width), "677"});
        for (int i = 0; i < 20; ++i) {
            const QRect now = program.client();
            if (now.width() != width || session().grab(now).pixel(width - 10, 60) != background) continue;
            followedDuringCall = session().windowName(window).find(" - no data for ") != std::string::npos;
            break;
        }
    }
    EXPECT_TRUE(followedDuringCall);
    saveShot(program.shot(), "slow-link-resized.png");

    // A stop during a call ends the run with the whole shutdown once the call returned.
    ASSERT_TRUE(waitForStale());
    EXPECT_NE(program.stop().find("Width=" + std::to_string(width)), std::string::npos);
}

}  // namespace
}  // namespace kvx::screen
