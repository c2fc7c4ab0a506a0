#include "app/window_frontend.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QAction>
#include <QCloseEvent>
#include <QApplication>
#include <QFontDatabase>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <fontconfig/fontconfig.h>
#include <malloc.h>

#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>

#include "app/driver_call_thread.h"
#include "app/monitor.h"
#include "app/recorded_run.h"
#include "app/start_status.h"
#include "app/stop_signals.h"
#include "app/window_replay.h"
#include "display/staleness.h"
#include "platform/plugin.h"
#include "platform/profile_file.h"
#include "ui/history_plugin.h"
#include "ui/main_window.h"
#include "ui/qt_dialogs.h"

namespace kvx {

namespace {

// The history window keeps its place in the settings file under a section
// of its own, apart from every key the main window uses.
constexpr const char* kHistorySection = "HistoryWindow";
constexpr const char* kHistoryGeometryKey = "Geometry";

// A close asked for while a tick or a user action runs (a stop signal, or the
// window closed while a dialog of that handler is open) must not pull the
// connection and the library from under it: the open dialog is answered,
// the close is held until the handler has returned, and only then does the
// window close with the whole shutdown.
class CloseWhenIdle : public QObject {
public:
    CloseWhenIdle(QWidget& window, const Monitor& monitor, QtDialogs& dialogs)
        : window_(window), monitor_(monitor), dialogs_(dialogs) {
        retry_.setInterval(20);
        QObject::connect(&retry_, &QTimer::timeout, [this] {
            if (monitor_.busy()) return;
            retry_.stop();
            window_.close();
        });
        window_.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != &window_ || event->type() != QEvent::Close || !monitor_.busy()) return false;
        event->ignore();
        dialogs_.dismissAll();
        retry_.start();
        return true;
    }

private:
    QWidget& window_;
    const Monitor& monitor_;
    QtDialogs& dialogs_;
    QTimer retry_;
};

}  // namespace

int runWindow(int& argc, char** argv, const std::vector<std::string>& passed) {
    // The program's few threads share one malloc arena: each arena of its own
    // would keep the pages it once held (the font thread's alone some 300 KB).
    mallopt(M_ARENA_MAX, 1);

    // Loading the font configuration (parsing its XML files, mapping the font
    // caches) and Qt's list of the installed fonts is the largest single step
    // before the window's first paint. It runs on a thread of its own while Qt
    // connects to the display and the first tick runs (with the went-online
    // waits); the window's first text finds it done. The font configuration
    // needs nothing of Qt, the font list needs the application object.
    // Held back before the first thread starts: every thread inherits it.
    // The stop signals (app/stop_signals.h) close the window like the user
    // would, so the shutdown (settings, program-end record) runs. The event
    // loop takes them from a signalfd: one that comes during a tick stays
    // pending, which a driver request on a slow link sees and gives up at once.
    const sigset_t stopSignals = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::latch applicationMade(1);
    std::jthread fontLoading([&applicationMade] {
        FcInit();
        applicationMade.wait();
        if (QCoreApplication::instance()) QFontDatabase::families();
    });
    QApplication app(argc, argv);
    applicationMade.count_down();
    // Whichever way this function is left, the thread is done before the
    // application object goes.
    struct JoinFirst {
        std::jthread& thread;
        ~JoinFirst() {
            if (thread.joinable()) thread.join();
        }
    } joinFontLoading{fontLoading};
    std::vector<std::string> arguments;
    std::optional<RecordOptions> record;
    std::optional<ReplayOptions> replay;
    splitRecordingArguments(passed, arguments, record, replay);
    if (replay) {
        // The replay catches them itself, on this thread.
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
        return runReplayWindow(*replay);
    }

    // Taken from the start on: a stop signal during the start and the first
    // tick closes the window once it exists, with the whole shutdown.
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    const bool stopSignalsCaught = stopFd >= 0;
    if (!stopSignalsCaught) pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

    // Every call into the driver library runs on this thread while the
    // window keeps drawing; made after the stop signals are held back, which
    // it inherits, so that a call on a slow link sees one pending and stops.
    DriverCallThread driverCalls;
    DisplayModel model;
    QtDialogs dialogs;
    MonitorOptions options;
    options.arguments = arguments;
    options.driverCallWait = &driverCalls;
    std::unique_ptr<LiveRecording> recording;
    if (record) {
        std::string error;
        recording = LiveRecording::start(*record, options, systemClock(), dialogs, error);
        if (!recording) {
            QMessageBox::critical(nullptr, "KvxDiagnostics", QString::fromStdString(error));
            return 1;
        }
        recording->wire(options);
    }
    const auto owned = std::make_unique<Monitor>(
        model, recording ? recording->dialogs() : dialogs, recording ? recording->clock() : systemClock(), options);
    Monitor& monitor = *owned;

    // A stop signal closes the window. One that comes while the start waits
    // in a message box answers the box and ends the run once the start has
    // returned, so no start waits for a person before it can be stopped.
    MainWindow* shownWindow = nullptr;
    bool stopBeforeWindow = false;
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (stopSignalsCaught) {
        stopNotifier = std::make_unique<QSocketNotifier>(stopFd, QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, [&] {
            signalfd_siginfo info;
            while (read(stopFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            }
            if (shownWindow) {
                shownWindow->close();
            } else {
                stopBeforeWindow = true;
                dialogs.dismissAll();
            }
        });
        // Not taken while a driver call waits: a stop signal left pending
        // makes the call give up at once, and the close follows its return.
        driverCalls.setWaitHook([&](bool waiting) { stopNotifier->setEnabled(!waiting); });
    }

    // The start and the first tick need no window: they run before its
    // controls (and with them the fonts) are built, and a start that fails
    // builds none. The window shows once it has drawn the first tick.
    // A start that waits long for the controller says so in a small window;
    // closing it stops the run as a stop signal does.
    bool started = false;
    {
        StartStatus status(monitor.settings(), [&] {
            stopBeforeWindow = true;
            if (stopSignalsCaught) kill(getpid(), SIGTERM);
        });
        driverCalls.setTakeUserInput(true);
        RecordedSegment segment(recording.get(), recording::SegmentKind::Start);
        started = monitor.formCreate();
        driverCalls.setTakeUserInput(false);
    }
    fontLoading.join();
    if (!started) return 1;
    if (stopBeforeWindow) {
        RecordedSegment segment(recording.get(), recording::SegmentKind::Close);
        monitor.formClose();
        return 0;
    }

    // The window hands the user's actions to the monitor and redraws after
    // each; while recording, each action is recorded as the event it is.
    std::unique_ptr<recording::RecordingActions> recordedActions;
    if (recording) recordedActions = std::make_unique<recording::RecordingActions>(monitor, recording->recorder());
    model.tickIntervalMs = Monitor::kTimerIntervalMs;
    MainWindow window(model, recordedActions ? static_cast<WindowActions&>(*recordedActions) : monitor);
    dialogs.setOwner(&window);
    CloseWhenIdle closeWhenIdle(window, monitor, dialogs);
    window.applyPlacement();
    window.render();
    window.show();

    // History, trends and the service report live in a window of their own,
    // opened with Ctrl+H or from the main window's context menu. It comes
    // from a plugin with the charts library, loaded the first time it opens.
    const std::function<ReportSources()> reportSources = [&] {
        return ReportSources{model, monitor.settings(), monitor.history(), systemClock().now(),
                             monitor.programFileName()};
    };
    std::unique_ptr<HistoryPanel> history;
    auto* openHistory = new QAction("History, trends and service report...", &window);
    openHistory->setShortcut(QKeySequence("Ctrl+H"));
    openHistory->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(openHistory, &QAction::triggered, [&] {
        if (!history) {
            std::string error;
            void* plugin = loadPlugin(KVX_HISTORY_PLUGIN_FILE, error);
            auto create = reinterpret_cast<decltype(&kvxdiag_create_history_window)>(
                plugin ? pluginSymbol(plugin, KVX_HISTORY_PLUGIN_ENTRY, error) : nullptr);
            if (!create) {
                QMessageBox::warning(&window, "KvxDiagnostics",
                                     QString::fromStdString("The history window cannot be opened: " + error));
                return;
            }
            history.reset(create(&monitor.history(), &reportSources));
            const std::string saved =
                profile::readString(monitor.settings().settingsFileName, kHistorySection, kHistoryGeometryKey, "");
            if (!saved.empty()) history->setGeometry(saved);
        }
        history->bringUp();
    });
    window.addAction(openHistory);
    window.setContextMenuPolicy(Qt::ActionsContextMenu);

    QTimer timer;
    timer.setInterval(Monitor::kTimerIntervalMs);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (!monitor.timerEnabled() || monitor.busy()) return;
        {
            RecordedSegment segment(recording.get(), recording::SegmentKind::Tick);
            monitor.timerTimer();
        }
        window.render();
        window.setStale(staleSeconds(model, steadyMilliseconds()));
        if (history && history->visible()) history->refresh();
    });
    timer.start();

    // While a tick or an action waits in a dialog no tick runs (and the poll
    // timer is not called again while its own handler waits): this clock
    // keeps saying how long the window has seen nothing.
    QTimer staleness;
    staleness.setInterval(250);
    QObject::connect(&staleness, &QTimer::timeout,
                     [&] { window.setStale(staleSeconds(model, steadyMilliseconds())); });
    staleness.start();

    // From here a stop signal closes the window; one that came during the
    // start waited in the pipe until now.
    shownWindow = &window;

    QObject::connect(&window, &MainWindow::closing, [&] {
        timer.stop();
        staleness.stop();
        window.syncPlacement();
        const std::string historyGeometry = history ? history->geometry() : std::string();
        if (history) history->close();
        RecordedSegment segment(recording.get(), recording::SegmentKind::Close);
        monitor.formClose();
        // After the main window's settings, and only for a run that opened it.
        const SettingsValues& settings = monitor.settings();
        if (!historyGeometry.empty() && settings.settingsWritable)
            profile::writeString(settings.settingsFileName, kHistorySection, kHistoryGeometryKey, historyGeometry);
    });
    return app.exec();
}

}  // namespace kvx
