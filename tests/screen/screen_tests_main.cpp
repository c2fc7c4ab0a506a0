// The screenshot tests share one X server and one application connected to
// it (for reading the screen and for the windows the tests show themselves).
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

#include "screen/screen_session.h"

namespace kvx::screen {

namespace {
ScreenSession* current = nullptr;
}

ScreenSession& session() { return *current; }

}  // namespace kvx::screen

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();  // no screen needed to name the tests
    kvx::screen::ScreenSession screen;
    kvx::screen::current = &screen;
    if (!screen.ok()) {
        std::fprintf(stderr, "Xvfb with openbox did not start\n");
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
