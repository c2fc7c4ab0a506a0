// The Qt dialogs, answered by the test instead of a person.
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>

#include "ui/qt_dialogs.h"

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    void messageBoxHasTextTitleAndOnlyOk() {
        QString text, title;
        QMessageBox::Icon icon = QMessageBox::Critical;
        QMessageBox::StandardButtons buttons;
        int runs = 0;
        kvx::QtDialogs dialogs([&](QDialog& dialog) {
            auto& box = static_cast<QMessageBox&>(dialog);
            ++runs;
            text = box.text();
            title = box.windowTitle();
            icon = box.icon();
            buttons = box.standardButtons();
            return int(QMessageBox::Ok);
        });
        dialogs.message("kvxg3.dll not found!", "Fatal Error!");
        QCOMPARE(runs, 1);
        QCOMPARE(text, QStringLiteral("kvxg3.dll not found!"));
        QCOMPARE(title, QStringLiteral("Fatal Error!"));
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }

    // A title bar shows the whole title: the box is as wide as the title in
    // bold, with room for the title bar's icon and buttons.
    void messageBoxIsWideEnoughForItsTitle() {
        int width = 0, needed = 0;
        kvx::QtDialogs dialogs([&](QDialog& dialog) {
            dialog.show();
            QFont bold = dialog.font();
            bold.setBold(true);
            needed = QFontMetrics(bold).horizontalAdvance(dialog.windowTitle()) + 100;
            width = dialog.width();
            return int(QMessageBox::Ok);
        });
        for (const char* title : {"WebServices Error", "http://kvx-ctl.plant.local:8080/KvxService: connection refused"}) {
            dialogs.message("Netzwerkfehler", title);
            QVERIFY2(width >= needed, qPrintable(QString("%1: %2 < %3").arg(title).arg(width).arg(needed)));
        }
    }

    void openFileOffersTheThreeFiltersAndStartsAtTheFile() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString boot = dir.filePath(QStringLiteral("TAVOS.elf"));
        const QString system = dir.filePath(QStringLiteral("SYSTEM.dat"));
        for (const QString& path : {boot, system}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QStringList filters;
        QString selectedFilter, directory;
        kvx::QtDialogs dialogs([&](QDialog& dialog) {
            auto& files = static_cast<QFileDialog&>(dialog);
            filters = files.nameFilters();
            selectedFilter = files.selectedNameFilter();
            directory = files.directory().absolutePath();
            files.selectFile(system);
            static_cast<QDialog&>(files).accept();  // as the Open button does
            return files.result();
        });
        const auto chosen = dialogs.openFile(boot.toStdString(), 2);
        QCOMPARE(filters, (QStringList{QStringLiteral("ELF-File (*.elf)"), QStringLiteral("Systemdatei (*.dat)"),
                                       QStringLiteral("All Files (*.*)")}));
        QCOMPARE(selectedFilter, QStringLiteral("Systemdatei (*.dat)"));
        QCOMPARE(directory, QDir(dir.path()).absolutePath());
        QVERIFY(chosen.has_value());
        QCOMPARE(QString::fromStdString(*chosen), system);
    }

    void filterIndexOneSelectsElfFiles() {
        QString selectedFilter;
        kvx::QtDialogs dialogs([&](QDialog& dialog) {
            selectedFilter = static_cast<QFileDialog&>(dialog).selectedNameFilter();
            return int(QDialog::Rejected);
        });
        QCOMPARE(dialogs.openFile("", 1), std::nullopt);
        QCOMPARE(selectedFilter, QStringLiteral("ELF-File (*.elf)"));
        QCOMPARE(dialogs.openFile("", 3), std::nullopt);
        QCOMPARE(selectedFilter, QStringLiteral("All Files (*.*)"));
    }

    // Boot System sets the system-file filter for its first dialog only; the
    // later ones open with the filter the user left.
    void keptFilterIsTheOneTheUserLeft() {
        const struct {
            const char* name;
            QString userPicks;  // empty: the user leaves the filter alone
            QString secondShows;
        } cases[] = {
            {"untouched", {}, QStringLiteral("Systemdatei (*.dat)")},
            {"changed to all files", QStringLiteral("All Files (*.*)"), QStringLiteral("All Files (*.*)")},
        };
        for (const auto& c : cases) {
            QStringList shown;
            kvx::QtDialogs dialogs([&](QDialog& dialog) {
                auto& files = static_cast<QFileDialog&>(dialog);
                shown << files.selectedNameFilter();
                if (!c.userPicks.isEmpty()) files.selectNameFilter(c.userPicks);
                return int(QDialog::Rejected);
            });
            dialogs.openFile("", 2);
            dialogs.openFile("", 0);
            QVERIFY2(shown == (QStringList{QStringLiteral("Systemdatei (*.dat)"), c.secondShows}), c.name);
        }
    }

    void cancelGivesNoFile() {
        int runs = 0;
        kvx::QtDialogs dialogs([&](QDialog& dialog) {
            ++runs;
            static_cast<QFileDialog&>(dialog).reject();
            return dialog.result();
        });
        QCOMPARE(dialogs.openFile("/tmp/TAVOS.ELF", 1), std::nullopt);
        QCOMPARE(runs, 1);
    }
};

int runDialogsTests(int argc, char** argv) {
    DialogsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "dialogs_test.moc"
