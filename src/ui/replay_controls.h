// The controls of a replay, in a small tool window above the main window:
// pause and run, one tick on, the speed, a time to jump to, and the previous
// or next fault. It only reports what the user asks for; the replay decides.
#pragma once

#include <QRect>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kvx {

class ReplayControls : public QWidget {
    Q_OBJECT

public:
    explicit ReplayControls(QWidget* mainWindow);

    // What the replay shows now: the recorded time, the tick, whether it runs.
    void showState(const QString& time, long tick, bool running, bool ended);
    // A short note below the controls ("No earlier fault.").
    void showNote(const QString& note);
    // Selects `times` in the speed list (added where the list lacks it),
    // without reporting it back.
    void showSpeed(int times);

    // Shows the controls where the user left them last time, as long as that
    // place is wholly on a screen, else beside the main window (placeFor).
    void showBeside();
    // Keeps the place and the size with the window manager's frame for the
    // next replay (a file of the replay's own under the user's configuration
    // folder; the monitor's settings stay as they are).
    void rememberPlace() const;

signals:
    void runToggled();
    void stepRequested();
    void speedChosen(int times);
    void jumpRequested(const QString& time);
    void previousFaultRequested();
    void nextFaultRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* mainWindow_;
    QPushButton* run_;
    QPushButton* step_;
    QComboBox* speed_;
    QLineEdit* time_;
    QPushButton* jump_;
    QPushButton* previousFault_;
    QPushButton* nextFault_;
    QLabel* state_;
    QLabel* note_;
};

// Where a window of `size` (frame included) goes beside `main` (its frame):
// right of it, else left of it, where the screen's `available` area has room,
// else over its lower right corner; always wholly inside `available`.
QRect placeFor(const QRect& main, const QSize& size, const QRect& available);

}  // namespace kvx
