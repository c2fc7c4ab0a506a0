// The window on a recording: a run recorded by an earlier build of the
// program (tests/data), replayed into the real main window and its replay
// controls. Jumps to the recorded faults and shows them; the picture is kept
// for a look (KVX_SCREENSHOT_DIR, else the working folder).
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <sstream>

#include "app/window_replay.h"

namespace kvx {

class ReplayWindowTest : public QObject {
    Q_OBJECT

    std::ostringstream messages;
    std::unique_ptr<ReplaySession> session;
    std::unique_ptr<ReplayWindow> replay;

    void click(const char* name) {
        QTest::mouseClick(replay->controls().findChild<QPushButton*>(name), Qt::LeftButton);
    }
    QString state() { return replay->controls().findChild<QLabel*>("laReplayState")->text(); }
    QString summary() {
        return static_cast<QPlainTextEdit*>(replay->window().control("meErrorSummary"))->toPlainText();
    }

private slots:
    void init() {
        std::string error;
        session = ReplaySession::open(KVX_TEST_RECORDING, std::nullopt, messages, error);
        QVERIFY2(session, error.c_str());
        QVERIFY(session->restart());
        replay = std::make_unique<ReplayWindow>(*session, 1);
        replay->show();
        click("buReplayRun");  // pause
    }
    void cleanup() {
        replay.reset();
        session.reset();
    }

    void nextAndPreviousFaultJumpBetweenTheTicksThatBroughtUpAFault() {
        QCOMPARE(state(), "Replay of 2026/12/08 - 01:03:11, tick 1 (paused)");
        click("buNextFault");
        QCOMPARE(state(), "Replay of 2026/12/08 - 01:03:11, tick 3 (paused)");
        QCOMPARE(replay->window().windowTitle(), "Replay of 2026/12/08 - 01:03:11 - KvxDiagnostics - Online Mode");
        QVERIFY2(summary().contains("Encoder Error at Axis 3"), qPrintable(summary()));
        click("buNextFault");
        QCOMPARE(state(), "Replay of 2026/12/08 - 01:03:11, tick 6 (paused)");
        click("buPreviousFault");
        QCOMPARE(state(), "Replay of 2026/12/08 - 01:03:11, tick 3 (paused)");
        click("buPreviousFault");
        click("buPreviousFault");
        QCOMPARE(replay->controls().findChild<QLabel*>("laReplayNote")->text(), "No earlier fault in the recording.");
    }

    // The speed asked for on the command line shows; closed controls keep
    // their place and come back from the main window's context menu.
    void speedShownAndClosedControlsReopened() {
        replay = std::make_unique<ReplayWindow>(*session, 10);
        replay->show();
        QCOMPARE(replay->controls().findChild<QComboBox*>("cbReplaySpeed")->currentText(), "10x");
        QVERIFY(QTest::qWaitForWindowExposed(&replay->controls()));
        replay->controls().move(replay->controls().pos() + QPoint(7, 5));
        QTRY_VERIFY(replay->controls().frameGeometry().topLeft() != QPoint());
        const QRect frame = replay->controls().frameGeometry();
        replay->controls().close();
        QSettings kept(QSettings::IniFormat, QSettings::UserScope, "KvxDiagnostics", "replay");
        QCOMPARE(kept.value("Controls/Position").toPoint(), frame.topLeft());
        QCOMPARE(kept.value("Controls/Size").toSize(), frame.size());

        const auto actions = replay->window().actions();
        const auto reopen = std::find_if(actions.begin(), actions.end(), [](QAction* a) { return a->text() == "Replay controls"; });
        QVERIFY(reopen != actions.end());
        (*reopen)->trigger();
        QVERIFY(replay->controls().isVisible());
    }

    void jumpToATimeThenToTheNextFaultShowsIt() {
        replay->controls().findChild<QLineEdit*>("edReplayTime")->setText("01:03:15");
        click("buReplayJump");
        QCOMPARE(state(), "Replay of 2026/12/08 - 01:03:15, tick 37 (paused)");
        QVERIFY2(summary().contains("Encoder Error at Axis 3"), qPrintable(summary()));
        click("buNextFault");
        QCOMPARE(state(), "Replay of 2026/12/08 - 01:03:15, tick 38 (paused)");
        QVERIFY2(summary().contains("Emergency Out is active! at Axis 2"), qPrintable(summary()));
        const QString dir = qEnvironmentVariable("KVX_SCREENSHOT_DIR", ".");
        QVERIFY(replay->window().grab().save(dir + "/replay-window.png"));
        QVERIFY(replay->controls().grab().save(dir + "/replay-controls.png"));
    }
};

}  // namespace kvx

QTEST_MAIN(kvx::ReplayWindowTest)
#include "replay_window_test.moc"
