// The yardstick for start-up and memory: a Qt program that shows one empty
// window. Prints "shown" once the window has been painted the first time,
// then runs until it is told to stop (SIGTERM), or ends at once with --exit.
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstring>

namespace {

class EmptyWindow : public QWidget {
public:
    bool exitAfterPaint = false;

protected:
    void paintEvent(QPaintEvent*) override {
        if (painted_) return;
        painted_ = true;
        std::puts("shown");
        std::fflush(stdout);
        if (exitAfterPaint) QTimer::singleShot(0, qApp, &QApplication::quit);
    }

private:
    bool painted_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    EmptyWindow window;
    window.exitAfterPaint = argc > 1 && std::strcmp(argv[1], "--exit") == 0;
    window.resize(640, 480);
    window.show();
    return app.exec();
}
