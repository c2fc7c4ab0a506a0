#include "app/window_replay.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <iostream>

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSocketNotifier>

#include "app/stop_signals.h"
#include "platform/plugin.h"
#include "ui/history_plugin.h"

namespace kvx {

ReplayWindow::ReplayWindow(ReplaySession& session, int speed)
    : session_(session),
      speed_(speed),
      window_(std::make_unique<MainWindow>(session.model(), ignored_)),
      controls_(std::make_unique<ReplayControls>(window_.get())) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        if (!running_) return;
        if (!advance()) running_ = false;
        showNow();
        schedule();
    });
    QObject::connect(controls_.get(), &ReplayControls::runToggled, [this] { toggleRun(); });
    QObject::connect(controls_.get(), &ReplayControls::stepRequested, [this] { stepTick(); });
    QObject::connect(controls_.get(), &ReplayControls::speedChosen, [this](int times) { setSpeed(times); });
    QObject::connect(controls_.get(), &ReplayControls::jumpRequested, [this](const QString& t) {
        if (!jumpTo(t)) controls_->showNote("Not a time: \"" + t + "\" (2024/03/05 - 08:15:02 or 08:15:02).");
    });
    QObject::connect(controls_.get(), &ReplayControls::previousFaultRequested, [this] { previousFault(); });
    QObject::connect(controls_.get(), &ReplayControls::nextFaultRequested, [this] { nextFault(); });
    QObject::connect(window_.get(), &MainWindow::closing, [this] {
        timer_.stop();
        controls_->rememberPlace();
        controls_->close();
    });
    controls_->showSpeed(speed_);
    // Closed controls come back from the main window's context menu.
    auto* showControls = new QAction("Replay controls", window_.get());
    showControls->setShortcut(QKeySequence("Ctrl+R"));
    showControls->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(showControls, &QAction::triggered, [this] {
        if (controls_->isVisible()) {
            controls_->raise();
            controls_->activateWindow();
        } else {
            controls_->showBeside();
        }
    });
    window_->addAction(showControls);
    window_->setContextMenuPolicy(Qt::ActionsContextMenu);
    lastEpochMs_ = session_.epochMs();
    if (session_.newFault()) faultTicks_.insert(session_.ticks());
}

void ReplayWindow::show() {
    window_->applyPlacement();
    showNow();
    window_->show();
    controls_->showBeside();
    running_ = true;
    schedule();
}

bool ReplayWindow::advance() {
    for (;;) {
        const ReplaySession::Step step = session_.step();
        if (step == ReplaySession::Step::Tick) {
            if (session_.newFault()) faultTicks_.insert(session_.ticks());
            return true;
        }
        if (step == ReplaySession::Step::Action) continue;
        ended_ = true;
        return false;
    }
}

void ReplayWindow::schedule() {
    if (!running_ || ended_) return;
    // The pace of the tick before stands for the next one.
    const std::int64_t recorded = session_.epochMs() - lastEpochMs_;
    lastEpochMs_ = session_.epochMs();
    const std::int64_t wait = (recorded > 0 && recorded < 60000 ? recorded : 1000) / (speed_ > 0 ? speed_ : 1);
    timer_.start(static_cast<int>(wait));
}

void ReplayWindow::showNow() {
    window_->render();
    const QString time = QString::fromStdString(replayTimeText(session_.localTime()));
    window_->setWindowTitle("Replay of " + time + " - " + QString::fromStdString(session_.model().caption));
    controls_->showState(time, session_.ticks(), running_, ended_);
    if (ended_ && !session_.problem().empty()) controls_->showNote(QString::fromStdString(session_.problem()));
    else if (ended_ && !session_.divergence().empty()) controls_->showNote(QString::fromStdString(session_.divergence()));
    if (afterShow_) afterShow_();
}

void ReplayWindow::toggleRun() {
    running_ = !running_ && !ended_;
    controls_->showNote("");
    lastEpochMs_ = session_.epochMs();
    showNow();
    schedule();
}

void ReplayWindow::stepTick() {
    running_ = false;
    advance();
    showNow();
}

void ReplayWindow::restartAndRunTo(long tick) {
    if (beforeRestart_) beforeRestart_();
    ended_ = false;
    session_.restart();
    while (session_.ticks() < tick && advance()) {
    }
}

bool ReplayWindow::jumpTo(const QString& text) {
    static const QRegularExpression full(R"(^\s*(\d{4})/(\d{1,2})/(\d{1,2})\s*-\s*(\d{1,2}):(\d{2}):(\d{2})\s*$)");
    static const QRegularExpression timeOnly(R"(^\s*(\d{1,2}):(\d{2}):(\d{2})\s*$)");
    LocalTime target = session_.localTime();
    if (auto m = full.match(text); m.hasMatch()) {
        target = {m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                  m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt()};
    } else if (auto t = timeOnly.match(text); t.hasMatch()) {
        target.hour = t.captured(1).toInt();
        target.minute = t.captured(2).toInt();
        target.second = t.captured(3).toInt();
    } else {
        return false;
    }
    std::tm tm{};
    tm.tm_year = target.year - 1900;
    tm.tm_mon = target.month - 1;
    tm.tm_mday = target.day;
    tm.tm_hour = target.hour;
    tm.tm_min = target.minute;
    tm.tm_sec = target.second;
    const std::int64_t epochMs = (static_cast<std::int64_t>(timegm(&tm)) - session_.info().utcOffsetSeconds) * 1000;

    running_ = false;
    if (epochMs < session_.epochMs()) restartAndRunTo(1);
    while (session_.epochMs() < epochMs && advance()) {
    }
    controls_->showNote("");
    showNow();
    return true;
}

void ReplayWindow::nextFault() {
    running_ = false;
    bool found = false;
    while (advance())
        if (session_.newFault()) {
            found = true;
            break;
        }
    controls_->showNote(found ? "" : "No later fault in the recording.");
    showNow();
}

void ReplayWindow::previousFault() {
    running_ = false;
    auto it = faultTicks_.lower_bound(session_.ticks());
    if (it == faultTicks_.begin()) {
        controls_->showNote("No earlier fault in the recording.");
        showNow();
        return;
    }
    restartAndRunTo(*std::prev(it));
    controls_->showNote("");
    showNow();
}

}  // namespace kvx

namespace kvx {

void splitRecordingArguments(const std::vector<std::string>& passed, std::vector<std::string>& monitorArguments,
                             std::optional<RecordOptions>& record, std::optional<ReplayOptions>& replay) {
    for (std::size_t i = 0; i < passed.size(); ++i) {
        const std::string& a = passed[i];
        const bool hasValue = i + 1 < passed.size();
        if (a == "--record" && hasValue) {
            if (!record) record.emplace();
            record->file = passed[++i];
        } else if ((a == "--record-max-mb" || a == "--record-files") && hasValue) {
            if (!record) record.emplace();
            (a == "--record-files" ? record->keepFiles : record->maxMegabytes) = std::atoi(passed[++i].c_str());
        } else if (a == "--replay" && hasValue) {
            if (!replay) replay.emplace();
            replay->file = passed[++i];
        } else if (a == "--speed" && hasValue) {
            if (!replay) replay.emplace();
            replay->speed = std::atoi(passed[++i].c_str());
        } else if (a == "--protocol" && hasValue) {
            if (!replay) replay.emplace();
            replay->protocolFile = passed[++i];
        } else {
            monitorArguments.push_back(a);
        }
    }
}

int runReplayWindow(const ReplayOptions& options) {
    std::string error;
    auto session = ReplaySession::open(options.file, options.protocolFile, std::cerr, error);
    if (!session || !session->restart()) {
        if (session) error = session->problem().empty() ? "the recorded start failed" : session->problem();
        QMessageBox::critical(nullptr, "KvxDiagnostics", QString::fromStdString(error));
        return 1;
    }
    ReplayWindow replay(*session, options.speed > 0 ? options.speed : 1);

    // The history window and the service report work on the replayed run;
    // the report's time is the recorded one.
    const std::function<ReportSources()> reportSources = [&] {
        ReportSources sources{session->model(), session->monitor().settings(), session->monitor().history(),
                              session->localTime(), session->monitor().programFileName()};
        sources.recordedRun = RecordedRunFiles{session->recordedSettingsFile(), session->recordedProtocolFile(), session->divergence()};
        return sources;
    };
    std::unique_ptr<HistoryPanel> history;
    auto* openHistory = new QAction("History, trends and service report...", &replay.window());
    openHistory->setShortcut(QKeySequence("Ctrl+H"));
    openHistory->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(openHistory, &QAction::triggered, [&] {
        if (!history) {
            void* plugin = loadPlugin(KVX_HISTORY_PLUGIN_FILE, error);
            auto create = reinterpret_cast<decltype(&kvxdiag_create_history_window)>(
                plugin ? pluginSymbol(plugin, KVX_HISTORY_PLUGIN_ENTRY, error) : nullptr);
            if (!create) {
                QMessageBox::warning(&replay.window(), "KvxDiagnostics",
                                     QString::fromStdString("The history window cannot be opened: " + error));
                return;
            }
            history.reset(create(&session->monitor().history(), &reportSources));
        }
        history->bringUp();
    });
    replay.window().addAction(openHistory);
    // The replay ends with its main window, whatever else is still open.
    QObject::connect(&replay.window(), &MainWindow::closing, [&] {
        if (history) history->close();
        QCoreApplication::quit();
    });
    // Going back starts the run over on a new monitor: the history window goes with the old one.
    replay.setBeforeRestart([&] {
        if (history) history->close();
        history.reset();
    });
    replay.setAfterShow([&] {
        if (history && history->visible()) history->refresh();
    });
    // The stop signals close the window, so the replay's private folder goes with it.
    static int stopPipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stopPipe) == 0) {
        struct sigaction action {};
        action.sa_handler = [](int) {
            const char byte = 1;
            [[maybe_unused]] ssize_t n = write(stopPipe[0], &byte, 1);
        };
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        const sigset_t stopSignals = stopSignalSet();
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            if (sigismember(&stopSignals, sig)) sigaction(sig, &action, nullptr);
        stopNotifier = std::make_unique<QSocketNotifier>(stopPipe[1], QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, [&] {
            char byte;
            [[maybe_unused]] ssize_t n = read(stopPipe[1], &byte, 1);
            replay.window().close();
        });
    }
    replay.show();
    return QApplication::exec();
}

}  // namespace kvx
