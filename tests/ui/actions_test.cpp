// What the user does reaches the core, once, with the right argument.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "window_fixture.h"

using kvx::test::WindowFixture;

namespace {

void show(WindowFixture& f) {
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
}

void retype(QComboBox* combo, const QString& text) {
    combo->lineEdit()->selectAll();
    QTest::keyClick(combo->lineEdit(), Qt::Key_Backspace);
    if (!text.isEmpty()) QTest::keyClicks(combo->lineEdit(), text);
}

}  // namespace

class ActionsTest : public QObject {
    Q_OBJECT

private slots:
    void doubleClickOnTheSummaryReachesTheCore() {
        WindowFixture f;
        f.model.summary = {"Emergency Out at Axis 2"};
        f.window->render();
        show(f);
        auto* summary = f.find<QPlainTextEdit>("meErrorSummary");
        QTest::mouseDClick(summary->viewport(), Qt::LeftButton, {}, QPoint(20, 8));
        QCOMPARE(f.actions.doubleClicks, 1);
        QCOMPARE(summary->toPlainText(), QStringLiteral("Emergency Out at Axis 2"));  // still read-only
        QTest::mouseClick(summary->viewport(), Qt::LeftButton, {}, QPoint(20, 8));
        QCOMPARE(f.actions.doubleClicks, 1);
    }

    void cardSelectionReachesTheCore() {
        WindowFixture f;
        f.model["cbCardNr"].items = {"0", "1", "2"};
        f.window->render();
        show(f);
        auto* card = f.find<QComboBox>("cbCardNr");
        QTest::keyClick(card, Qt::Key_Down);
        QCOMPARE(f.actions.cardIndexes, std::vector<int>{1});
        QCOMPARE(f.model["cbCardNr"].selectedIndex, 1);
        QCOMPARE(f.model["cbCardNr"].text, std::string("1"));

        // Typing an existing card number selects it; other text selects none.
        retype(card, QStringLiteral("2"));
        QCOMPARE(f.actions.cardIndexes, (std::vector<int>{1, 2}));
        retype(card, QStringLiteral("7"));
        QCOMPARE(f.actions.cardIndexes, (std::vector<int>{1, 2}));
        QCOMPARE(f.model["cbCardNr"].selectedIndex, -1);
        f.window->render();  // the next tick leaves the typed text alone
        QCOMPARE(card->currentText(), QStringLiteral("7"));
    }

    void windowModeSetAndClearedByTheUser() {
        WindowFixture f;
        show(f);
        auto* mode = f.find<QComboBox>("cbStayOnTop");
        QTest::keyClick(mode, Qt::Key_Down);  // first item: "normal"
        QCOMPARE(f.actions.modeIndexes, std::vector<int>{0});
        QTest::keyClick(mode, Qt::Key_Down);  // "StayOnTop"
        QCOMPARE(f.actions.modeIndexes, (std::vector<int>{0, 1}));
        QVERIFY(f.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(f.window->isVisible());

        retype(mode, QString());
        QCOMPARE(f.actions.modeIndexes, (std::vector<int>{0, 1, -1}));
        QCOMPARE(f.model["cbStayOnTop"].selectedIndex, -1);
        QVERIFY(!f.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));

        retype(mode, QStringLiteral("StayOnTop"));
        QCOMPARE(f.actions.modeIndexes, (std::vector<int>{0, 1, -1, 1}));
        QCOMPARE(mode->currentIndex(), 1);
        QVERIFY(f.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }

    void superUserControlsReachTheCore() {
        WindowFixture f;
        for (const char* name : {"cbUseWebServices", "cbGetFileNames", "buReboot"}) f.model.setVisible(name, true);
        f.window->render();
        show(f);
        QTest::mouseClick(f.find<QCheckBox>("cbUseWebServices"), Qt::LeftButton);
        QCOMPARE(f.actions.webServices, std::vector<bool>{true});
        QVERIFY(f.model["cbUseWebServices"].checked);
        QTest::mouseClick(f.find<QCheckBox>("cbGetFileNames"), Qt::LeftButton);
        QTest::mouseClick(f.find<QCheckBox>("cbGetFileNames"), Qt::LeftButton);
        QCOMPARE(f.actions.getFileNames, (std::vector<bool>{true, false}));
        QVERIFY(!f.model["cbGetFileNames"].checked);
        QTest::mouseClick(f.find<QPushButton>("buReboot"), Qt::LeftButton);
        QCOMPARE(f.actions.reboots, 1);
        QVERIFY(f.actions.cardIndexes.empty());
    }
};

int runActionsTests(int argc, char** argv) {
    ActionsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "actions_test.moc"
