#include "settings/settings_store.h"

#include "display/dialogs.h"
#include "display/display_model.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/user_config.h"
#include "platform/writable_location.h"
#include "platform/log.h"

#include <algorithm>
#include <iostream>
#include <vector>

namespace kvx {

namespace {

constexpr const char* kKvx = "KVX";
constexpr const char* kDesktop = "DESKTOP";
constexpr const char* kProtocol = "PROTOCOL";
constexpr const char* kProjectData = "Project data";

// A placeholder address that the configuration tools leave behind.
constexpr const char* kNoAddress = "EnvURLX";

std::string readAddress(const std::string& file) {
    std::string url = profile::readString(file, kProjectData, "URL", "");
    return url == kNoAddress ? std::string() : url;
}

// The values one operation writes back, set in one replacement of the file:
// each replacement waits for the disk twice, and a fleet of instances
// stopping together would wait for it once per key.
class WriteBatch {
public:
    void add(const char* section, const char* key, std::string value) {
        entries_.push_back({section, key, std::move(value)});
    }
    void add(const char* section, const char* key, int value) { add(section, key, std::to_string(value)); }

    WriteReport write(const SettingsValues& values) const {
        WriteReport report;
        if (!values.settingsWritable) return report;
        for (const profile::WriteResult& result : profile::writeStrings(values.settingsFileName, entries_)) {
            ++report.attempted;
            if (!result.ok() && report.failed++ == 0) report.firstError = result.error;
        }
        return report;
    }

private:
    std::vector<profile::Entry> entries_;
};

}  // namespace

SettingsLocations SettingsLocations::forThisProgram() {
    return {replaceExtension(executablePath(), ".INI"), kvx::executableFolder(), UserConfig::forCurrentUser().root()};
}

SettingsStore::SettingsStore(SettingsValues& values, DisplayModel& model, Dialogs& dialogs,
                             SettingsLocations locations)
    : values_(values), model_(model), dialogs_(dialogs), locations_(std::move(locations)), errors_(&std::cerr) {}

void SettingsStore::takeSettingsFile() {
    values_.settingsFileName = locations_.settingsFile;
    values_.settingsWritable = isWritableLocation(values_.settingsFileName) ? 1 : 0;
}

void SettingsStore::readWebServiceSettings() {
    takeSettingsFile();
    const std::string& file = values_.settingsFileName;

    values_.useWebServices = profile::readInt(file, kProjectData, "Use Webservices", 0) != 0 ? 1 : 0;
    if (values_.useWebServices) values_.remoteUrl = readAddress(file);

    if (values_.useWebServices) {
        bool takeFromProject = model_["cbGetFileNames"].checked;
        if (values_.remoteUrl.empty() || takeFromProject) {
            loadProjectAccessData(takeFromProject);
        } else {
            values_.remoteSysFileName = profile::readString(file, kProjectData, "SYS FileNameX", "");
            values_.remoteOsFileName = profile::readString(file, kProjectData, "OS FileNameX", "");
            values_.remoteDevFileName = profile::readString(file, kProjectData, "DEV FileNameX", "");
            values_.remoteCncPath = profile::readString(file, kProjectData, "CNC PathX", "/tmp");
            values_.remoteUrl = readAddress(file);
        }
    }
    model_["cbUseWebServices"].checked = values_.useWebServices != 0;
}

void SettingsStore::loadProjectAccessData(bool force) {
    if (!values_.remoteUrl.empty() && !force) return;

    UserConfig user(locations_.userConfigRoot);
    const std::string project = user.projectFilePath(user.projectFileName());
    values_.remoteSysFileName = profile::readString(project, kProjectData, "SYS FileNameX", "");
    values_.remoteOsFileName = profile::readString(project, kProjectData, "OS FileNameX", "");
    values_.remoteDevFileName = profile::readString(project, kProjectData, "DEV FileNameX", "");
    values_.remoteUrl = readAddress(project);

    if (values_.remoteUrl.empty()) {
        dialogs_.message("No valid Access Data found!", "WebServices Error");
        values_.useWebServices = 0;
    }
}

WriteReport SettingsStore::readWindowSettings(const std::function<void()>& applyStayOnTop) {
    takeSettingsFile();
    const std::string& file = values_.settingsFileName;
    WriteBatch batch;

    values_.baseAddress = profile::readInt(file, kKvx, "BaseAdress", 768);
    batch.add(kKvx, "BaseAdress", values_.baseAddress);
    values_.systemFileName = profile::readString(file, kKvx, "SystemFileName", locations_.executableFolder + "SYSTEM.DAT");
    batch.add(kKvx, "SystemFileName", values_.systemFileName);
    values_.bootFileName = profile::readString(file, kKvx, "BootFileName", locations_.executableFolder + "TAVOS.ELF");
    batch.add(kKvx, "BootFileName", values_.bootFileName);

    WindowPlacement& place = model_.placement;
    place.top = profile::readInt(file, kDesktop, "Top", place.top);
    place.left = profile::readInt(file, kDesktop, "Left", place.left);
    place.height = profile::readInt(file, kDesktop, "Height", place.height);
    place.width = profile::readInt(file, kDesktop, "Width", place.width);
    place.verticalScroll = profile::readInt(file, kDesktop, "VertikalScroll", place.verticalScroll);
    place.horizontalScroll = profile::readInt(file, kDesktop, "HorizontalScroll", place.horizontalScroll);

    int stayOnTop = profile::readInt(file, kDesktop, "StayOnTop", 0);
    model_["cbStayOnTop"].selectedIndex = stayOnTop == 0 || stayOnTop == 1 ? stayOnTop : -1;
    if (applyStayOnTop) applyStayOnTop();

    values_.selectedCard = std::max(0, profile::readInt(file, kDesktop, "SelectedCard", 0));
    values_.protocolFileName = profile::readString(file, kProtocol, "FileName", "DiagProtocol.txt");
    values_.tryToBoot = profile::readInt(file, kKvx, "TryToBoot", 0);
    // "/SU" on the command line wins over the stored switch.
    if (values_.superUserMode == 0) values_.superUserMode = profile::readInt(file, kKvx, "SuperUserMode", 0);

    const WriteReport report = batch.write(values_);
    reportFailures(report);
    return report;
}

WriteReport SettingsStore::saveSettings() {
    WriteBatch batch;
    const WindowPlacement& place = model_.placement;
    auto selection = [this](const char* control) { return std::max(-1, model_[control].selectedIndex); };

    batch.add(kDesktop, "Left", place.left);
    batch.add(kDesktop, "Top", place.top);
    batch.add(kDesktop, "Height", place.height);
    batch.add(kDesktop, "Width", place.width);
    batch.add(kDesktop, "StayOnTop", selection("cbStayOnTop"));
    batch.add(kKvx, "TryToBoot", values_.tryToBoot);
    // A super-user setting is never stored by the program; "/SU" is not remembered.
    if (values_.superUserMode == 0) batch.add(kKvx, "SuperUserMode", 0);
    batch.add(kDesktop, "SelectedCard", selection("cbCardNr"));
    batch.add(kDesktop, "VertikalScroll", place.verticalScroll);
    batch.add(kDesktop, "HorizontalScroll", place.horizontalScroll);
    batch.add(kKvx, "BootFileName", values_.bootFileName);
    batch.add(kKvx, "SystemFileName", values_.systemFileName);
    batch.add(kProtocol, "FileName", values_.protocolFileName);
    batch.add(kProjectData, "Use Webservices", model_["cbUseWebServices"].checked ? 1 : 0);
    batch.add(kProjectData, "SYS FileNameX", values_.remoteSysFileName);
    batch.add(kProjectData, "OS FileNameX", values_.remoteOsFileName);
    batch.add(kProjectData, "DEV FileNameX", values_.remoteDevFileName);
    batch.add(kProjectData, "CNC PathX", std::string("/tmp"));
    batch.add(kProjectData, "URL", values_.remoteUrl);

    const WriteReport report = batch.write(values_);
    reportFailures(report);
    return report;
}

void SettingsStore::reportFailures(const WriteReport& report) const {
    if (report.ok()) return;
    Log(LogLevel::Warn, *errors_) << "settings not saved to " << values_.settingsFileName << ": " << report.firstError
                                  << " (" << report.failed << " of " << report.attempted << " values not written)";
}

}  // namespace kvx
