// Every control of the window: name, kind, group, caption, initial state,
// style and design position.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>

#include "window_fixture.h"

using kvx::ControlKind;
using kvx::test::WindowFixture;

class ControlsTest : public QObject {
    Q_OBJECT

private slots:
    void everyControlIsAWidgetOfItsKind() {
        WindowFixture f;
        for (const kvx::Control& c : f.model.controls()) {
            const QByteArray name = QByteArray::fromStdString(c.name);
            QWidget* w = f.find(name.constData());
            QVERIFY2(w, name.constData());
            bool kindMatches = false;
            switch (c.kind) {
            case ControlKind::Label: kindMatches = qobject_cast<QLabel*>(w); break;
            case ControlKind::CheckBox: kindMatches = qobject_cast<QCheckBox*>(w); break;
            case ControlKind::ComboBox: kindMatches = qobject_cast<QComboBox*>(w); break;
            case ControlKind::Edit: kindMatches = qobject_cast<QLineEdit*>(w); break;
            case ControlKind::Memo: kindMatches = qobject_cast<QPlainTextEdit*>(w); break;
            case ControlKind::Button: kindMatches = qobject_cast<QPushButton*>(w); break;
            }
            QVERIFY2(kindMatches, name.constData());
        }
    }

    void groupBoxesCarryTheirControls() {
        WindowFixture f;
        const std::pair<const char*, const char*> groups[] = {{"gbVersionInformation", "Version Details"},
                                                              {"gbBoardInformation", "Board Details"},
                                                              {"gbTaskInformation", "Task Details"},
                                                              {"bgErrorSummary", "Error Summary"}};
        for (const auto& [name, title] : groups) {
            auto* group = f.find<QGroupBox>(name);
            QVERIFY2(group, name);
            QCOMPARE(group->title(), QString::fromLatin1(title));
        }
        QCOMPARE(f.find("laExeVersion")->parent()->objectName(), QStringLiteral("gbVersionInformation"));
        QCOMPARE(f.find("cbStayOnTop")->parent()->objectName(), QStringLiteral("gbVersionInformation"));
        QCOMPARE(f.find("buReboot")->parent()->objectName(), QStringLiteral("gbVersionInformation"));
        QCOMPARE(f.find("laBoardTypeNr")->parent()->objectName(), QStringLiteral("gbBoardInformation"));
        QCOMPARE(f.find("laRxComErr")->parent()->objectName(), QStringLiteral("gbBoardInformation"));
        QCOMPARE(f.find("cbStop3")->parent()->objectName(), QStringLiteral("gbTaskInformation"));
        QCOMPARE(f.find("WarnMsg")->parent()->objectName(), QStringLiteral("gbTaskInformation"));
        QCOMPARE(f.find("meErrorSummary")->parent()->objectName(), QStringLiteral("bgErrorSummary"));
    }

    void initialTextsAndCaption() {
        WindowFixture f;
        QCOMPARE(f.window->windowTitle(), QStringLiteral("KvxDiagnostics"));
        const std::pair<const char*, const char*> labels[] = {
            {"laExeVersion", "---"},
            {"laExeVersionNr", "---"},
            {"NormalColor", "NormalColor"},
            {"ErrorColor", "ErrorColor"},
            {"laMiniportVersion", "Miniport Version: "},
            {"laMiniportVersionNr", "n.a."},
            {"laPldRevNr", "---"},
            {"Label1", "(n.a. = not available)"},
            {"Label2", "Card Nr.:"},
            {"laBoardType", "Board type: not identified"},
            {"laSnrOptionsprint", "Serial Number:"},
            {"laErrorReg", "ErrorRegister: n.a."},
            {"laECSNr", "---"},
            {"laMinTime", "Min.  Time:"},
            {"laDmaWriteErr", "DMA Write Errors:"},
            {"laRxComErrNr", "---"},
            {"laErrNum", "Err.Num."},
            {"laErrLine", "Err.Line"},
            {"laTask2", "Task 2:"},
            {"laTask3FileName", "---"}};
        for (const auto& [name, text] : labels) QCOMPARE(f.find<QLabel>(name)->text(), QString::fromLatin1(text));
        QCOMPARE(f.find<QPushButton>("buReboot")->text(), QStringLiteral("Boot System"));
        QCOMPARE(f.find<QCheckBox>("cbUseWebServices")->text(), QStringLiteral("Use WebServices"));
        QCOMPARE(f.find<QCheckBox>("cbGetFileNames")->text(), QStringLiteral("Get File Names"));
        QCOMPARE(f.find<QLineEdit>("edErrNum0")->text(), QStringLiteral("0"));
        QCOMPARE(f.find<QLineEdit>("edErrLine3")->text(), QStringLiteral("0"));
        QCOMPARE(f.find<QPlainTextEdit>("meErrorSummary")->toPlainText(), QString());
    }

    void initialStateOfInputs() {
        WindowFixture f;
        auto* card = f.find<QComboBox>("cbCardNr");
        QVERIFY(card->isEditable());
        QCOMPARE(card->count(), 1);
        QCOMPARE(card->itemText(0), QStringLiteral("0"));
        QCOMPARE(card->currentIndex(), 0);
        QCOMPARE(card->currentText(), QStringLiteral("0"));
        auto* mode = f.find<QComboBox>("cbStayOnTop");
        QVERIFY(mode->isEditable());
        QCOMPARE(mode->count(), 2);
        QCOMPARE(mode->itemText(0), QStringLiteral("normal"));
        QCOMPARE(mode->itemText(1), QStringLiteral("StayOnTop"));
        QCOMPARE(mode->currentIndex(), -1);
        QCOMPARE(mode->currentText(), QString());

        for (const char* name : {"cbUseWebServices", "cbGetFileNames", "buReboot", "NormalColor", "ErrorColor", "WarnMsg"})
            QVERIFY2(f.find(name)->isHidden(), name);
        QVERIFY(!f.find<QCheckBox>("cbGetFileNames")->isChecked());
        QCOMPARE(f.find("cbUseWebServices")->layoutDirection(), Qt::RightToLeft);
        QCOMPARE(f.find("cbGetFileNames")->layoutDirection(), Qt::RightToLeft);

        auto* summary = f.find<QPlainTextEdit>("meErrorSummary");
        QVERIFY(summary->isReadOnly());
        QCOMPARE(summary->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(summary->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(f.find<QPlainTextEdit>("WarnMsg")->isReadOnly());
    }

    void hintsAreToolTips() {
        WindowFixture f;
        QCOMPARE(f.find("laBdver_RenumNr")->toolTip(), QStringLiteral("1. Digit: Board Version / 2. Digit: EPM Rev."));
        QCOMPARE(f.find("laFpver_FfuncNr")->toolTip(),
                 QStringLiteral("1. Digit: FPGA Version / 2. Digit: FPGA Func. Nr."));
        QCOMPARE(f.find("laPldRevNr")->toolTip(), QStringLiteral("EPM / Board Client Version"));
        QCOMPARE(f.find("laEpmBaseRevNr")->toolTip(), QStringLiteral("Base Board Opto-I/O EPM Version"));
        QCOMPARE(f.find("laEpmOptionRevNr")->toolTip(), QStringLiteral("Option Print Opto-I/O EPM Version"));
        QCOMPARE(f.find("cbCardNr")->toolTip(), QStringLiteral("Selected Card Number"));
        QCOMPARE(f.find("cbStayOnTop")->toolTip(), QStringLiteral("Window Mode"));
        QCOMPARE(f.find("laBoardType")->toolTip(), QString());
    }

    void stylesFollowTheirKind() {
        WindowFixture f;
        QVERIFY(!f.find("laBoardType")->font().bold());
        QVERIFY(!f.find("laTask0")->font().bold());
        QVERIFY(f.find("laBoardTypeNr")->font().bold());
        QVERIFY(f.find("laTask0FileName")->font().bold());
        QVERIFY(f.find("edErrNum0")->font().bold());
        QVERIFY(f.find("NormalColor")->font().bold());
        QVERIFY(f.find("ErrorColor")->font().bold());
        QCOMPARE(f.find("laBoardType")->font().pixelSize(), 11);
        QCOMPARE(f.find("laTask0FileName")->palette().color(QPalette::WindowText),
                 f.window->palette().color(QPalette::WindowText));
    }

    void colourHoldersCarryBlueAndRed() {
        WindowFixture f;
        QCOMPARE(f.find("NormalColor")->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(f.find("ErrorColor")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        // Every value starts in the normal colour.
        QCOMPARE(f.find("laBoardTypeNr")->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(f.find("laRxComErrNr")->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    }

    void designPositionsAtDesignSize() {
        WindowFixture f;
        f.window->resize(757, 677);
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        QCOMPARE(f.window->scrollArea()->viewport()->width(), 757);
        QCOMPARE(f.find("laDllName")->pos(), QPoint(8, 36));
        QCOMPARE(f.find("laMiniportVersion")->pos(), QPoint(196, 36));
        QCOMPARE(f.find("Label1")->pos(), QPoint(620, 16));
        QCOMPARE(f.find("cbCardNr")->geometry().topLeft(), QPoint(696, 36));
        QCOMPARE(f.find("cbCardNr")->width(), 41);
        QCOMPARE(f.find("cbStayOnTop")->geometry().topLeft(), QPoint(644, 68));
        QCOMPARE(f.find("cbStayOnTop")->width(), 97);
        QCOMPARE(f.find("buReboot")->geometry(), QRect(512, 64, 91, 25));
        QCOMPARE(f.find("laSnrGrundplatine")->pos(), QPoint(8, 44));
        QCOMPARE(f.find("laMaxTime")->pos(), QPoint(584, 44));
        QCOMPARE(f.find("laDmaReadErrNr")->pos(), QPoint(704, 84));
        QCOMPARE(f.find("laMinTimeNr")->pos(), QPoint(660, 24));
        QCOMPARE(f.find("laTask2")->pos(), QPoint(8, 80));
        QCOMPARE(f.find("laTask2FileName")->pos(), QPoint(60, 80));
        // The error fields are as wide as the widest 32-bit number needs; the
        // columns left of them move left by what they grew.
        const int shift = f.find("edErrNum2")->x() - 637;
        QVERIFY(shift <= 0);
        QCOMPARE(f.find("edErrLine0")->geometry().right() + 1, 681 + 65);
        QCOMPARE(f.find("edErrLine0")->y(), 28);
        QCOMPARE(f.find("edErrNum2")->y(), 76);
        QVERIFY(f.find("edErrNum2")->width() >= 41);
        QVERIFY(f.find("edErrLine0")->width() >= 65);
        QCOMPARE(f.find("laStop")->pos(), QPoint(601 + shift, 12));
        QCOMPARE(f.find("cbRun1")->pos(), QPoint(537 + shift, 56));
        QCOMPARE(f.find("cbStep3")->pos(), QPoint(573 + shift, 104));
        QCOMPARE(f.find("WarnMsg")->geometry(), QRect(140, 68, 333, 29));
    }
};

int runControlsTests(int argc, char** argv) {
    ControlsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "controls_test.moc"
