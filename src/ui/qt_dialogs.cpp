#include "ui/qt_dialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSpacerItem>

#include <algorithm>

namespace kvx {

namespace {

const QStringList& fileFilters() {
    static const QStringList filters{QStringLiteral("ELF-File (*.elf)"), QStringLiteral("Systemdatei (*.dat)"),
                                     QStringLiteral("All Files (*.*)")};
    return filters;
}

// What a title bar takes beside its title: the window's icon and its
// minimise, maximise and close buttons, with the frame's margins.
constexpr int kTitleBarRoom = 140;

// Qt sizes a message box to its text only, and the window manager cuts a
// longer title ("WebSe…es Error", a URL cut in the middle): a spacer keeps
// the box as wide as its title in a title bar's bold face, up to the screen.
void fitTitle(QMessageBox& box, const QWidget* owner) {
    QFont bold = box.font();
    bold.setBold(true);
    const int wanted = QFontMetrics(bold).horizontalAdvance(box.windowTitle()) + kTitleBarRoom;
    const QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    const int widest = screen ? screen->availableGeometry().width() * 9 / 10 : wanted;
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid) return;
    grid->addItem(new QSpacerItem(std::min(wanted, widest), 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

}  // namespace

QtDialogs::QtDialogs(Runner runner) : run_(std::move(runner)) {
    if (!run_) run_ = [](QDialog& dialog) { return dialog.exec(); };
}

void QtDialogs::setOwner(QWidget* owner) { owner_ = owner; }

void QtDialogs::dismissAll() {
    dismissed_ = true;
    if (open_) open_->reject();
}

int QtDialogs::run(QDialog& dialog) {
    if (dismissed_) return QDialog::Rejected;
    open_ = &dialog;
    const int result = run_(dialog);
    open_ = nullptr;
    return result;
}

void QtDialogs::message(const std::string& text, const std::string& title) {
    if (dismissed_) return;
    // Owned, a dialog is stacked above its window by the window manager, also
    // while another application is active or the window stays on top.
    QMessageBox box(owner_.data());
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(QString::fromStdString(title));
    box.setText(QString::fromStdString(text));
    box.setTextFormat(Qt::PlainText);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    fitTitle(box, owner_.data());
    run(box);
}

std::optional<std::string> QtDialogs::openFile(const std::string& initialFile, int filterIndex) {
    if (dismissed_) return std::nullopt;
    QFileDialog dialog(owner_.data());
    dialog.setOption(QFileDialog::DontUseNativeDialog);  // the same dialog everywhere, and scriptable
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(fileFilters());
    const qsizetype index = filterIndex >= 1 && filterIndex <= fileFilters().size() ? filterIndex - 1 : lastFilter_;
    dialog.selectNameFilter(fileFilters()[index]);
    if (!initialFile.empty()) {
        const QFileInfo start(QString::fromStdString(initialFile));
        if (start.dir().exists()) dialog.setDirectory(start.absolutePath());
        dialog.selectFile(start.fileName());
    }
    const int result = run(dialog);
    lastFilter_ = std::max<int>(0, static_cast<int>(fileFilters().indexOf(dialog.selectedNameFilter())));
    if (result != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.front().toStdString();
}

}  // namespace kvx
