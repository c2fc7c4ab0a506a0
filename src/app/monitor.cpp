#include "app/monitor.h"

#include <filesystem>

#include "platform/paths.h"
#include "platform/log.h"

namespace kvx {

namespace {

// The remote library's error routine carries no context: it reaches the one
// monitor of the process through this pointer.
Monitor* activeMonitor = nullptr;

std::string fileNameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool superUserSwitch(const std::vector<std::string>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--settings") ++i;  // a file name, whatever it reads
        else if (arguments[i] == "/SU") return true;
    }
    return false;
}

std::optional<std::string> settingsFileSwitch(const std::vector<std::string>& arguments) {
    std::optional<std::string> file;
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i)
        if (arguments[i] == "--settings") file = std::filesystem::absolute(arguments[++i]).lexically_normal().string();
    return file;
}

namespace {

MonitorOptions withSettingsSwitch(MonitorOptions options) {
    if (auto file = settingsFileSwitch(options.arguments)) options.locations.settingsFile = *file;
    return options;
}

}  // namespace

Monitor::Monitor(DisplayModel& model, Dialogs& dialogs, Clock& clock, MonitorOptions options)
    : model_(model),
      dialogs_(dialogs),
      clock_(clock),
      options_(withSettingsSwitch(std::move(options))),
      programPath_(options_.programPath.empty() ? executablePath() : options_.programPath),
      programFileName_(fileNameOf(programPath_)),
      library_(options_.environment),
      engine_(library_, model_, clock_, programFileName_),
      store_(settings_, model_, dialogs_, options_.locations),
      card_(CardContext{driver_, records_, settings_, state_, model_, summary_, clock_, dialogs_, programFileName_,
                        [this] { store_.loadProjectAccessData(true); }}),
      history_(clock_, options_.monotonic) {
    activeMonitor = this;
    driver_.setTap(options_.driverTap);
    driver_.setReplay(options_.driverReplay);
    driver_.setCallWait(options_.driverCallWait);
}

Monitor::~Monitor() {
    if (activeMonitor == this) activeMonitor = nullptr;
}

bool Monitor::formCreate() {
    state_.online = 0;
    if (superUserSwitch(options_.arguments)) settings_.superUserMode = 1;

    store_.readWebServiceSettings();

    const bool remote = settings_.useWebServices != 0;
    const int loaded = driver_.loadDriverLibrary(options_.driverBaseName, remote, false);
    driver_.setRemote(remote);
    startFailure_ = StartFailure::NoLibrary;
    if (remote) {
        if (!loaded) {
            dialogs_.message("kvxg3x.dll not found or no valid version", "Fatal Error!");
            return false;
        }
        const int opened = driver_.KvxG3XOpen(settings_.remoteUrl, settings_.remoteDevFileName).value_or(KVX_E_NOT_SUPPORTED);
        if (opened != 0) {
            // Only web services that did not answer (refused, timed out, a
            // name not resolved) may answer later; a URL the library cannot
            // use, or any other refusal, stays as it is.
            startFailure_ = opened == KVX_E_NO_CONNECTION ? StartFailure::Unreachable : StartFailure::Unusable;
            openError_ = opened;
            if (startFailure_ == StartFailure::Unusable || !options_.retryUnreachableStart)
                dialogs_.message("WebServices Access failed!", "Fatal Error!");
            return false;
        }
        driver_.KVXG3_SetDllErrorRoutine(&Monitor::driverErrorRoutine);
    } else if (!loaded) {
        if (!driver_.libraryBinds(Op::Init, false)) {
            dialogs_.message("kvxg3.dll not found or no valid version!", "Fatal Error!");
            return false;
        }
        dialogs_.message("kvxg3.dll has no valid version! - Try anyway ...", "Error!");
    }

    startFailure_ = StartFailure::None;
    records_.optionDescriptors.fill();
    store_.readWindowSettings([this] { applyStayOnTop(); });
    showVersions();

    const bool superUser = settings_.superUserMode != 0;
    for (const char* name : {"buReboot", "cbGetFileNames", "cbUseWebServices"}) model_.setVisible(name, superUser);

    state_.online = card_.initialiseCard();
    timerEnabled_ = true;
    if (state_.online) model_.caption = poll_.onlineCaption();
    applyStayOnTop();

    state_.resetForStart();
    summary_.resetForStart();
    if (!protocol_.open(settings_.protocolFileName)) {
        // The run goes on without its fault history on disk; the user must know.
        const std::string why = "Protocol not written to " + settings_.protocolFileName + ": " + protocol_.openError();
        log(LogLevel::Warn, why);
        summary_.noteAtStart(why);
    }
    timerTimer();
    return true;
}

void Monitor::timerTimer() {
    if (busy()) return;
    const Busy running(busy_);
    poll_.tick();
    history_.afterTick(state_, records_, summary_, model_);
    // The completed tick stamps the model with the time its record carries.
    model_.tickCompletedMs = history_.lastTick()->monotonicMs;
}

void Monitor::formClose() {
    timerEnabled_ = false;
    store_.saveSettings();
    protocol_.close();
    // The connection that is actually open: the loaded library's mode decides,
    // even when remote mode was given up during the run.
    driver_.closeConnection();
    driver_.unloadDriverLibrary();
    clock_.sleepMs(100);
}

void Monitor::showVersions() {
    const std::string dllName = driver_.remote() ? "kvxg3x.dll" : "kvxg3.dll";
    const FileVersionInfo dll = driver_.readFileVersion(dllName);
    model_.setText("laDllName", driverVersionText(dllName, dll));
    state_.driverVersion = driverVersionNumber(dll);

    const FileVersionInfo program = driver_.readFileVersion(programPath_);
    model_.setText("laExeVersion", programFileName_ + ": ");
    model_.setPlaced("laExeVersionNr", fileVersionText(program), "laExeVersion");
}

void Monitor::applyStayOnTop() { model_.stayOnTop = model_["cbStayOnTop"].selectedIndex == 1; }

void Monitor::driverErrorRoutine(std::int32_t, const char* message) {
    Monitor* self = activeMonitor;
    if (!self || !self->state_.online) return;
    self->state_.online = 0;
    self->dialogs_.message("Netzwerkfehler", message ? message : "");
}

void Monitor::cbCardNrChange(int index) {
    const Busy running(busy_);
    card_.cbCardNrChange(index);
}

void Monitor::buRebootClick() {
    const Busy running(busy_);
    card_.buRebootClick();
}

void Monitor::meErrorSummaryDblClick() {
    const Busy running(busy_);
    poll_.meErrorSummaryDblClick();
}

void Monitor::cbStayOnTopChange(int index) {
    Control& combo = model_["cbStayOnTop"];
    combo.selectedIndex = index >= 0 && index < static_cast<int>(combo.items.size()) ? index : -1;
    combo.text = combo.selectedIndex >= 0 ? combo.items[static_cast<std::size_t>(combo.selectedIndex)] : "";
    applyStayOnTop();
}

void Monitor::cbUseWebServicesClick(bool checked) { model_.setChecked("cbUseWebServices", checked); }

void Monitor::cbGetFileNamesClick(bool checked) { model_.setChecked("cbGetFileNames", checked); }

}  // namespace kvx
