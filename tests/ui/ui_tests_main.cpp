// Runs every window test suite in one process on the offscreen platform.
#include <QApplication>

int runControlsTests(int argc, char** argv);
int runRenderTests(int argc, char** argv);
int runLayoutTests(int argc, char** argv);
int runActionsTests(int argc, char** argv);
int runDialogsTests(int argc, char** argv);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int failures = 0;
    for (auto* run : {runControlsTests, runRenderTests, runLayoutTests, runActionsTests, runDialogsTests})
        failures += run(argc, argv);
    return failures == 0 ? 0 : 1;
}
