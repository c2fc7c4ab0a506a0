#include "app/window_frontend.h"

#include <QApplication>
#include <QTimer>

#include "app/monitor.h"
#include "ui/main_window.h"
#include "ui/qt_dialogs.h"

namespace kvx {

namespace {

// Hands the window's actions to the monitor and redraws what they changed.
class RenderingActions final : public WindowActions {
public:
    RenderingActions(Monitor& monitor, MainWindow*& window) : monitor_(monitor), window_(window) {}

    void cbCardNrChange(int index) override { run([&] { monitor_.cbCardNrChange(index); }); }
    void buRebootClick() override { run([&] { monitor_.buRebootClick(); }); }
    void meErrorSummaryDblClick() override { run([&] { monitor_.meErrorSummaryDblClick(); }); }
    void cbStayOnTopChange(int index) override { run([&] { monitor_.cbStayOnTopChange(index); }); }
    void cbUseWebServicesClick(bool checked) override { run([&] { monitor_.cbUseWebServicesClick(checked); }); }
    void cbGetFileNamesClick(bool checked) override { run([&] { monitor_.cbGetFileNamesClick(checked); }); }

private:
    template <typename F>
    void run(F action) {
        action();
        if (window_) window_->render();
    }

    Monitor& monitor_;
    MainWindow*& window_;
};

}  // namespace

int runWindow(int& argc, char** argv, const std::vector<std::string>& arguments) {
    QApplication app(argc, argv);

    DisplayModel model;
    QtDialogs dialogs;
    MonitorOptions options;
    options.arguments = arguments;
    Monitor monitor(model, dialogs, systemClock(), options);

    MainWindow* windowPointer = nullptr;
    RenderingActions actions(monitor, windowPointer);
    MainWindow window(model, actions);
    windowPointer = &window;

    if (!monitor.formCreate()) return 1;
    window.applyPlacement();
    window.render();
    window.show();

    QTimer timer;
    timer.setInterval(Monitor::kTimerIntervalMs);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (!monitor.timerEnabled()) return;
        monitor.timerTimer();
        window.render();
    });
    timer.start();

    QObject::connect(&window, &MainWindow::closing, [&] {
        timer.stop();
        window.syncPlacement();
        monitor.formClose();
    });
    return app.exec();
}

}  // namespace kvx
