// Message boxes and the file-open dialog as real Qt dialogs.
#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

#include "display/dialogs.h"

class QDialog;

namespace kvx {

class QtDialogs : public Dialogs {
public:
    // Runs a fully set-up dialog and returns its result code. The default runs
    // it modally; tests put a function here that inspects the dialog and
    // answers it, so no person has to.
    using Runner = std::function<int(QDialog&)>;

    explicit QtDialogs(Runner runner = {});

    // The window that owns every dialog from now on: they are shown above it
    // whichever application is active and whether it stays on top or not.
    // Before there is one, dialogs have no owner.
    void setOwner(QWidget* owner);

    // The program is closing: the open dialog is answered as if the user had
    // closed it (a message box with OK, a file dialog with Cancel), and every
    // later one is answered the same way without being shown, so the handler
    // that opened it returns at once.
    void dismissAll();

    void message(const std::string& text, const std::string& title) override;
    std::optional<std::string> openFile(const std::string& initialFile, int filterIndex) override;

private:
    int run(QDialog& dialog);

    Runner run_;
    // The filter the user left the last file dialog with: a dialog asked to
    // keep the filter opens with it, as one dialog reused would.
    int lastFilter_ = 0;
    QPointer<QWidget> owner_;
    QPointer<QDialog> open_;
    bool dismissed_ = false;
};

}  // namespace kvx
