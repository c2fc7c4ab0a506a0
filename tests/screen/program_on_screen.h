// The simulator on a scenario and the real program in super-user mode on it,
// on the test's X server, in a folder of their own; the window opens at the
// design size and is shown once the controller is online.
#pragma once

#include <QImage>
#include <QRect>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "e2e/process.h"

namespace kvx::screen {

class ProgramOnScreen {
public:
    // `environment` goes to the program besides its own (QT_SCALE_FACTOR); with
    // a latency, on web services whose every answer waits that long.
    explicit ProgramOnScreen(const std::string& scenario, const std::map<std::string, std::string>& environment = {},
                             int latencyMs = 0);
    ~ProgramOnScreen();

    unsigned long window() const { return window_; }
    QRect client() const;
    QImage shot() const;
    std::string errors() const;
    const std::filesystem::path& folder() const { return dir_; }
    std::string socket() const { return (dir_ / "sim.sock").string(); }
    // The start's status window ("Connecting to URL..."), 0 when none showed.
    unsigned long statusWindow() const { return statusWindow_; }
    // A visible window of the program other than the main window and `other`
    // (a dialog), 0 when none showed in time.
    unsigned long dialog(unsigned long other = 0) const;
    // Closes the program as a stop signal does (settings written) and gives its settings file.
    std::string stop();

private:
    std::filesystem::path dir_;
    std::unique_ptr<e2e::Process> sim_, program_;
    unsigned long window_ = 0;
    unsigned long statusWindow_ = 0;
    std::string url_;
};

}  // namespace kvx::screen
