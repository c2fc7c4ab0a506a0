#include "app/window_frontend.h"

#include <QApplication>
#include <QTimer>

#include "app/monitor.h"
#include "ui/main_window.h"
#include "ui/qt_dialogs.h"

namespace kvx {

int runWindow(int& argc, char** argv, const std::vector<std::string>& arguments) {
    QApplication app(argc, argv);

    DisplayModel model;
    QtDialogs dialogs;
    MonitorOptions options;
    options.arguments = arguments;
    Monitor monitor(model, dialogs, systemClock(), options);

    // The window hands the user's actions to the monitor and redraws after each.
    MainWindow window(model, monitor);

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
