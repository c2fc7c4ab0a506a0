// The user-facing dialogs the core needs: modal message boxes and the
// file-open dialog. The Qt window shows real ones, the headless front end
// prints to standard error, tests answer them from a script.
#pragma once

#include <optional>
#include <string>

namespace kvx {

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A modal message box with an OK button and no icon.
    virtual void message(const std::string& text, const std::string& title) = 0;
    // The file-open dialog with the filters "ELF-File (*.elf)", "Systemdatei
    // (*.dat)" and "All Files (*.*)"; filterIndex is 1-based, 0 keeps the
    // filter the user chose last time. nullopt on cancel.
    virtual std::optional<std::string> openFile(const std::string& initialFile, int filterIndex) = 0;
};

}  // namespace kvx
