// Drawing the model: texts, colours, visibility, values after captions,
// stay-on-top, the summary, and no echo back into the core.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

#include "window_fixture.h"

using kvx::ColourRole;
using kvx::test::WindowFixture;

namespace {

int textWidth(QWidget* label) {
    return label->fontMetrics().horizontalAdvance(static_cast<QLabel*>(label)->text());
}

int rightOf(QWidget* w) { return w->x() + w->width(); }

}  // namespace

class RenderTest : public QObject {
    Q_OBJECT

private slots:
    void valueIsPlacedFourPixelsAfterItsCaption() {
        WindowFixture f;
        f.model.setText("laBoardType", "Board type: ");
        f.model.setValue("laBoardTypeNr", "KVX-2100/PXB-5008 - 4 Axis - Sample Time: 1.28 ms", ColourRole::Normal);
        f.window->render();
        QWidget* caption = f.find("laBoardType");
        QWidget* value = f.find("laBoardTypeNr");
        QCOMPARE(caption->width(), textWidth(caption));
        QCOMPARE(value->pos(), QPoint(160, 24));  // not placed yet: its design spot

        f.model.placeAfter("laBoardTypeNr", "laBoardType");
        f.window->render();
        QCOMPARE(value->x(), 8 + textWidth(caption) + 4);
        QCOMPARE(value->y(), 24);

        // A longer caption pushes the value along.
        f.model.setText("laBoardType", "Board type (changed): ");
        f.window->render();
        QCOMPARE(value->x(), 8 + textWidth(caption) + 4);
    }

    void everyPairFollowsItsCaption() {
        WindowFixture f;
        const std::pair<const char*, const char*> pairs[] = {
            {"laExeVersion", "laExeVersionNr"}, {"laMiniportVersion", "laMiniportVersionNr"},
            {"laTavosName", "laTavosNameNr"},   {"laStatusRegister", "laStatusRegisterNr"},
            {"laEO", "laEONr"},                 {"laCEF", "laCEFNr"},
            {"laDHEF", "laDHEFNr"},             {"laMPE", "laMPENr"},
            {"laECS", "laECSNr"},               {"laErrorReg", "laErrorRegNr"}};
        f.model.setText("laEO", "Emergency Out detected at Axis #: ");
        f.model.setText("laExeVersion", "kvxdiag: ");
        for (const auto& [caption, value] : pairs) f.model.placeAfter(value, caption);
        f.window->render();
        for (const auto& [caption, value] : pairs) {
            QWidget* c = f.find(caption);
            QCOMPARE(f.find(value)->x(), rightOf(c) + 4);
            QCOMPARE(f.find(value)->y(), c->y());
        }
    }

    // KVX-2000/2100: one chain through the board and FPGA versions. KVX-4000,
    // KVX-2400 and others: the PLD value right after its caption, the two
    // version labels untouched where they were.
    void revisionLineFollowsTheBoard() {
        const char* kChain[] = {"laPldRev",     "laBdver_RenumNr", "laFpver_FfuncNr", "laPldRevNr",
                                "laEpmBaseRev", "laEpmBaseRevNr",  "laEpmOptionRev",  "laEpmOptionRevNr"};
        WindowFixture f;
        f.model.setText("laPldRev", "PLD Rev.Nr.: ");
        f.model.setText("laPldRevNr", "3");
        for (const char* name : {"laEpmBaseRev", "laEpmBaseRevNr", "laEpmOptionRev", "laEpmOptionRevNr"})
            f.model.setText(name, "");
        f.model.placeAfter("laPldRevNr", "laPldRev");
        for (std::size_t i = 4; i < std::size(kChain); ++i) f.model.placeAfter(kChain[i], kChain[i - 1]);
        f.window->render();
        QCOMPARE(f.find("laPldRevNr")->x(), rightOf(f.find("laPldRev")) + 4);
        QCOMPARE(f.find("laBdver_RenumNr")->x(), 240);
        QCOMPARE(f.find("laFpver_FfuncNr")->x(), 280);
        QCOMPARE(f.find<QLabel>("laBdver_RenumNr")->text(), QStringLiteral("---"));

        f.model.setText("laBdver_RenumNr", "");
        f.model.setText("laFpver_FfuncNr", "");
        for (std::size_t i = 1; i < std::size(kChain); ++i) f.model.placeAfter(kChain[i], kChain[i - 1]);
        f.window->render();
        for (std::size_t i = 1; i < std::size(kChain); ++i)
            QCOMPARE(f.find(kChain[i])->x(), rightOf(f.find(kChain[i - 1])) + 4);
        // Two empty labels in between leave 4 + 4 + 4 pixels.
        QCOMPARE(f.find("laBdver_RenumNr")->width(), 0);
        QCOMPARE(f.find("laPldRevNr")->x(), rightOf(f.find("laPldRev")) + 12);
    }

    void serialValuesStartAtTheLargerPositionOnlyWhileAligned() {
        WindowFixture f;
        f.model.setText("laSnrGrundplatine", "Serial Number KVX-2000/PXB-5001: ");
        f.model.setText("laSnrOptionsprint", "Serial Number Option: ");
        f.model.placeAfter("laSnrGrundplatineNr", "laSnrGrundplatine");
        f.model.placeAfter("laSnrOptionsprintNr", "laSnrOptionsprint");
        f.model.alignStarts("laSnrGrundplatineNr", "laSnrOptionsprintNr");
        f.window->render();
        const int wide = rightOf(f.find("laSnrGrundplatine")) + 4;
        QCOMPARE(f.find("laSnrGrundplatineNr")->x(), wide);
        QCOMPARE(f.find("laSnrOptionsprintNr")->x(), wide);

        f.model.setText("laSnrGrundplatine", "Serial:");
        f.window->render();
        const int optionWide = rightOf(f.find("laSnrOptionsprint")) + 4;
        QCOMPARE(f.find("laSnrGrundplatineNr")->x(), optionWide);
        QCOMPARE(f.find("laSnrOptionsprintNr")->x(), optionWide);

        // Placed again (a KVX-4000): the base value follows its own caption
        // however long the module status list in the option row grows.
        f.model.setText("laSnrGrundplatine", "Serial Number KVX-4000/PXB-5401: ");
        f.model.placeAfter("laSnrGrundplatineNr", "laSnrGrundplatine");
        f.model.setText("laSnrOptionsprint", "ASMS Error at ASM# 1 (90 hex)  2 (11 hex)  4 (30 hex)  ");
        f.model.placeAfter("laSnrOptionsprintNr", "laSnrOptionsprint");
        f.window->render();
        QCOMPARE(f.find("laSnrGrundplatineNr")->x(), rightOf(f.find("laSnrGrundplatine")) + 4);
        QCOMPARE(f.find("laSnrOptionsprintNr")->x(), rightOf(f.find("laSnrOptionsprint")) + 4);
    }

    void labelsSizeToTheirText() {
        WindowFixture f;
        f.model.setValue("laDmaReadErrNr", "12345", ColourRole::Fault);
        f.window->render();
        QWidget* value = f.find("laDmaReadErrNr");
        QCOMPARE(value->width(), textWidth(value));
        QCOMPARE(value->height(), value->fontMetrics().height());
        QCOMPARE(f.find<QLabel>("laDmaReadErrNr")->text(), QStringLiteral("12345"));
    }

    void coloursFollowRoles() {
        WindowFixture f;
        f.model.setValue("laEONr", "2", ColourRole::Fault);
        f.model.setValue("laCEFNr", "", ColourRole::Normal);
        f.model.setRole("laBoardTypeNr", ColourRole::Plain);
        f.window->render();
        QCOMPARE(f.find("laEONr")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QCOMPARE(f.find("laCEFNr")->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(f.find("laBoardTypeNr")->palette().color(QPalette::WindowText),
                 f.window->palette().color(QPalette::WindowText));

        // Back to sound: blue again.
        f.model.setRole("laEONr", ColourRole::Normal);
        f.window->render();
        QCOMPARE(f.find("laEONr")->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    }

    void valuesCopyTheColourOfTheHolders() {
        WindowFixture f;
        QWidget* holder = f.find("ErrorColor");
        QPalette p = holder->palette();
        p.setColor(QPalette::WindowText, QColor(200, 0, 100));
        holder->setPalette(p);
        f.model.setValue("laMPENr", "1", ColourRole::Fault);
        f.window->render();
        QCOMPARE(f.find("laMPENr")->palette().color(QPalette::WindowText), QColor(200, 0, 100));
    }

    void taskFieldsAreDisabledAndKeepWindowText() {
        WindowFixture f;
        f.model.setText("edErrNum1", "17");
        f.model.setChecked("cbRun1", true);
        f.window->render();
        auto* edit = f.find<QLineEdit>("edErrNum1");
        QCOMPARE(edit->text(), QStringLiteral("17"));
        QVERIFY(!edit->isEnabled());
        QVERIFY(edit->isReadOnly());
        QCOMPARE(edit->palette().color(QPalette::Disabled, QPalette::Text),
                 f.window->palette().color(QPalette::WindowText));
        auto* run = f.find<QCheckBox>("cbRun1");
        QVERIFY(run->isChecked());
        QVERIFY(!run->isEnabled());
        QCOMPARE(run->palette().color(QPalette::Disabled, QPalette::Text),
                 run->palette().color(QPalette::Active, QPalette::Text));  // the mark stays legible

        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        QTest::mouseClick(run, Qt::LeftButton);
        QVERIFY(run->isChecked());
        QVERIFY(f.model["cbRun1"].checked);
    }

    void superUserControlsShownAndHidden() {
        WindowFixture f;
        const char* controls[] = {"cbUseWebServices", "cbGetFileNames", "buReboot"};
        for (const char* name : controls) f.model.setVisible(name, true);
        f.window->render();
        for (const char* name : controls) QVERIFY2(!f.find(name)->isHidden(), name);
        for (const char* name : controls) f.model.setVisible(name, false);
        f.window->render();
        for (const char* name : controls) QVERIFY2(f.find(name)->isHidden(), name);
    }

    void stayOnTopSetAndCleared() {
        WindowFixture f;
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        f.model.stayOnTop = true;
        f.window->render();
        QVERIFY(f.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(f.window->isVisible());
        f.model.stayOnTop = false;
        f.window->render();
        QVERIFY(!f.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(f.window->isVisible());
    }

    void captionAndSummaryLines() {
        WindowFixture f;
        f.model.caption = "kvxdiag - Online Mode";
        f.model.summary = {"Emergency Out at Axis 2", "No errors detected!"};
        f.model.warnings = {"Warning: No Maximum Position Error defined at Axis A2!\t"};
        f.window->render();
        QCOMPARE(f.window->windowTitle(), QStringLiteral("kvxdiag - Online Mode"));
        QCOMPARE(f.find<QPlainTextEdit>("meErrorSummary")->toPlainText(),
                 QStringLiteral("Emergency Out at Axis 2\nNo errors detected!"));
        QCOMPARE(f.find<QPlainTextEdit>("WarnMsg")->toPlainText(),
                 QStringLiteral("Warning: No Maximum Position Error defined at Axis A2!\t"));
    }

    void summaryKeepsTheReadersScrollPosition() {
        WindowFixture f;
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        for (int i = 0; i < 60; ++i) f.model.summary.push_back("Fault line " + std::to_string(i));
        f.window->render();
        QScrollBar* bar = f.find<QPlainTextEdit>("meErrorSummary")->verticalScrollBar();
        QVERIFY(bar->maximum() > 20);
        bar->setValue(20);

        f.model.summary.push_back("Fault line 60");
        f.window->render();
        QCOMPARE(bar->value(), 20);

        f.model.summary.resize(3);
        f.window->render();
        QCOMPARE(bar->value(), bar->maximum());
    }

    void renderDoesNotEchoIntoTheCore() {
        WindowFixture f;
        f.model["cbCardNr"].items = {"0", "1", "2"};
        f.model["cbCardNr"].selectedIndex = 2;
        f.model["cbStayOnTop"].selectedIndex = 1;
        f.model.setChecked("cbUseWebServices", true);
        f.model.setChecked("cbGetFileNames", true);
        f.window->render();
        auto* card = f.find<QComboBox>("cbCardNr");
        QCOMPARE(card->count(), 3);
        QCOMPARE(card->currentIndex(), 2);
        QCOMPARE(card->currentText(), QStringLiteral("2"));
        QCOMPARE(f.find<QComboBox>("cbStayOnTop")->currentText(), QStringLiteral("StayOnTop"));
        QVERIFY(f.find<QCheckBox>("cbUseWebServices")->isChecked());
        QVERIFY(f.actions.nothingReceived());

        // An emptied card list shows no card.
        f.model["cbCardNr"].items.clear();
        f.model["cbCardNr"].text.clear();
        f.window->render();
        QCOMPARE(card->count(), 0);
        QCOMPARE(card->currentText(), QString());
        QVERIFY(f.actions.nothingReceived());
    }
};

int runRenderTests(int argc, char** argv) {
    RenderTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "render_test.moc"
