// The persistent settings: the program's own settings file (read at start,
// written back at close), the per-user value that names the controller's
// project file, and that project file, which supplies the remote access data
// when the settings file has none.
#pragma once

#include "settings/settings_values.h"

#include <functional>
#include <iosfwd>
#include <string>

namespace kvx {

class DisplayModel;
class Dialogs;

// Where the settings live. Tests point these at temporary folders.
struct SettingsLocations {
    std::string settingsFile;      // the executable's path with ".INI"
    std::string executableFolder;  // with its trailing '/'
    std::string userConfigRoot;    // $XDG_CONFIG_HOME, else ~/.config

    static SettingsLocations forThisProgram();
};

// What became of the writes of one operation.
struct WriteReport {
    int attempted = 0;
    int failed = 0;
    std::string firstError;  // reason of the first failed write
    bool ok() const { return failed == 0; }
};

class SettingsStore {
public:
    SettingsStore(SettingsValues& values, DisplayModel& model, Dialogs& dialogs,
                  SettingsLocations locations = SettingsLocations::forThisProgram());

    // At start, first of all: settingsFileName, settingsWritable, the mode
    // (useWebServices), the remote access data and cbUseWebServices' mark.
    void readWebServiceSettings();

    // Takes the remote access data from the project file when no address is
    // known or `force` is set. Without a usable address: the message "No valid
    // Access Data found!" ("WebServices Error") and local mode.
    void loadProjectAccessData(bool force);

    // At start, once the driver library is bound: base address, local system
    // and boot files (written back at once), window placement and scroll
    // positions, the stay-on-top choice (then `applyStayOnTop` runs), the
    // selected card, protocol file, boot switch and super-user switch. The
    // three written back replace the file once.
    WriteReport readWindowSettings(const std::function<void()>& applyStayOnTop);

    // At close: every setting written back, in a fixed order, in one
    // replacement of the file. A refused value never stops the others; failures are reported on the error stream
    // in one line naming the file and the reason.
    WriteReport saveSettings();

    // Where failed writes are reported; standard error unless set.
    void setErrorStream(std::ostream& out) { errors_ = &out; }

private:
    void takeSettingsFile();
    void reportFailures(const WriteReport& report) const;

    SettingsValues& values_;
    DisplayModel& model_;
    Dialogs& dialogs_;
    SettingsLocations locations_;
    std::ostream* errors_;
};

}  // namespace kvx
