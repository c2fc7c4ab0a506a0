// The window on a recording: the real main window drawn from the replayed
// monitor, with the replay's controls beside it. The caption says that it is
// a replay and of which time. The user's actions in the main window do
// nothing: the recorded ones are made again where they happened.
#pragma once

#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/recorded_run.h"
#include "app/recording_options.h"
#include "display/window_actions.h"
#include "ui/main_window.h"
#include "ui/replay_controls.h"

namespace kvx {

// What the user does in the main window of a replay changes nothing.
class IgnoredActions final : public WindowActions {
public:
    void cbCardNrChange(int) override {}
    void buRebootClick() override {}
    void meErrorSummaryDblClick() override {}
    void cbStayOnTopChange(int) override {}
    void cbUseWebServicesClick(bool) override {}
    void cbGetFileNamesClick(bool) override {}
};

class ReplayWindow {
public:
    // The session has run its start. `speed`: 1 to 60 times the recorded pace.
    ReplayWindow(ReplaySession& session, int speed);

    MainWindow& window() { return *window_; }
    ReplayControls& controls() { return *controls_; }
    // Called before the replay starts over from the beginning (to jump back),
    // when the monitor is about to be replaced.
    void setBeforeRestart(std::function<void()> fn) { beforeRestart_ = std::move(fn); }
    // Called after every change of what is shown.
    void setAfterShow(std::function<void()> fn) { afterShow_ = std::move(fn); }

    void show();  // shows both windows and starts running
    void toggleRun();
    void stepTick();
    void setSpeed(int times) { speed_ = times; }
    // "2024/03/05 - 08:15:02" or "08:15:02" (on the day shown); false when not understood.
    bool jumpTo(const QString& time);
    void nextFault();
    void previousFault();
    bool running() const { return running_; }

private:
    bool advance();  // one tick on; false at the recording's end
    void restartAndRunTo(long tick);
    void showNow();
    void schedule();

    ReplaySession& session_;
    int speed_;
    IgnoredActions ignored_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<ReplayControls> controls_;
    QTimer timer_;
    bool running_ = false;
    bool ended_ = false;
    std::int64_t lastEpochMs_ = 0;
    std::set<long> faultTicks_;  // ticks that brought up a new fault, as far as seen
    std::function<void()> beforeRestart_, afterShow_;
};

// Takes the recorder's and the replay's options out of the window front end's arguments.
void splitRecordingArguments(const std::vector<std::string>& passed, std::vector<std::string>& monitorArguments,
                             std::optional<RecordOptions>& record, std::optional<ReplayOptions>& replay);

// Runs the window on a recording until it is closed; the process exit code.
int runReplayWindow(const ReplayOptions& options);

}  // namespace kvx
