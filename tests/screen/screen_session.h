// An X server of its own (Xvfb) with a window manager (openbox) for the
// screenshot tests: the real program and the test's own windows show on it,
// xdotool sends real key and mouse events, and the test reads the screen.
#pragma once

#include <QImage>
#include <QRect>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace kvx::screen {

class ScreenSession {
public:
    // Starts Xvfb with a screen of `screen` ("WIDTHxHEIGHTxDEPTH") and openbox
    // and points DISPLAY at them; ok() tells whether it worked.
    explicit ScreenSession(const std::string& screen = "1600x1000x24");
    ~ScreenSession();
    bool ok() const { return !display_.empty(); }
    const std::string& display() const { return display_; }

    // Runs xdotool with these arguments; its standard output.
    std::string xdotool(const std::vector<std::string>& args) const;
    // The first visible top-level window of a process, 0 when none showed in time.
    unsigned long windowOf(int pid, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // The first visible window whose name holds `name`, 0 when none showed in time.
    unsigned long windowNamed(const std::string& name, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // The window's inside (without the frame) in screen coordinates.
    QRect clientRect(unsigned long window) const;
    std::string windowName(unsigned long window) const;
    // What the screen shows in `area`.
    QImage grab(const QRect& area) const;

private:
    std::string display_;
    std::unique_ptr<e2e::Process> server_, windowManager_;
};

// Where screenshots go: $KVX_SCREENSHOT_DIR, else "screenshots" in the build folder.
std::string screenshotFolder();
void saveShot(const QImage& image, const std::string& name);

}  // namespace kvx::screen
