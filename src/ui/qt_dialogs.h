// Message boxes and the file-open dialog as real Qt dialogs.
#pragma once

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

    void message(const std::string& text, const std::string& title) override;
    std::optional<std::string> openFile(const std::string& initialFile, int filterIndex) override;

private:
    Runner run_;
    // The filter the user left the last file dialog with: a dialog asked to
    // keep the filter opens with it, as one dialog reused would.
    int lastFilter_ = 0;
};

}  // namespace kvx
