#include "app/recorded_run.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/safe_file.h"
#include "platform/user_config.h"
#include "report/protocol_file.h"

namespace kvx {

namespace {

namespace fs = std::filesystem;
using namespace recording;

// The file as the start will read it, within the settings reader's bound. A
// FIFO, device or folder in its place reads as empty, as the settings reader
// takes it; the read never waits on one.
RecordedFile snapshot(const std::string& path) {
    RecordedFile f;
    f.path = path;
    std::string error;
    bool missing = false;
    f.present = platform::readRegularFile(path, profile::kMaxFileSize, f.content, error, &missing) || !missing;
    return f;
}

bool writeText(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out.flush());
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Replay folders of replays that were killed before they could remove
// them: each folder names its process in "owner"; one whose process is gone
// is removed by the next replay. Folders of running replays, of other users
// and without an owner stay.
void removeAbandonedReplayFolders() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
        const std::string name = entry.path().filename().string();
        struct stat st {};
        if (name.rfind("kvx-replay-", 0) != 0 || ::lstat(entry.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::getuid())
            continue;
        long owner = 0;
        std::ifstream(entry.path() / "owner") >> owner;
        if (owner <= 0 || ::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH) continue;
        fs::remove_all(entry.path(), ec);
    }
}

}  // namespace

std::string replayTimeText(const LocalTime& t) { return formatTimestamp(t); }

// ---- Recording -------------------------------------------------------------

LiveRecording::LiveRecording(std::unique_ptr<FlightRecorder> recorder, Clock& clock, Dialogs& dialogs)
    : recorder_(std::move(recorder)), clock_(clock, *recorder_), dialogs_(dialogs, *recorder_) {}

std::unique_ptr<LiveRecording> LiveRecording::start(const RecordOptions& options, const MonitorOptions& monitorOptions,
                                                    Clock& clock, Dialogs& dialogs, std::string& error) {
    RunInfo info;
    info.programPath = monitorOptions.programPath.empty() ? executablePath() : monitorOptions.programPath;
    info.arguments = monitorOptions.arguments;
    info.executableFolder = monitorOptions.locations.executableFolder;
    const auto now = std::chrono::system_clock::now();
    info.startEpochMs = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    info.utcOffsetSeconds = static_cast<std::int32_t>(local.tm_gmtoff);
    // The settings as the start will read them; reading them here changes nothing.
    info.settings = snapshot(settingsFileSwitch(monitorOptions.arguments).value_or(monitorOptions.locations.settingsFile));
    UserConfig user(monitorOptions.locations.userConfigRoot);
    info.environment = snapshot(user.environmentFile());
    const std::string projectName =
        profile::readString(user.environmentFile(), "ENVIRONMENT", "ProjectFileName", UserConfig::kDefaultProjectFileName);
    info.project = snapshot(user.projectFilePath(projectName));

    RecorderOptions recorderOptions;
    recorderOptions.file = options.file;
    recorderOptions.maxBytes = static_cast<std::uint64_t>(options.maxMegabytes) << 20;
    recorderOptions.keepFiles = options.keepFiles;
    auto recorder = FlightRecorder::create(recorderOptions, std::move(info), error);
    if (!recorder) return nullptr;
    return std::unique_ptr<LiveRecording>(new LiveRecording(std::move(recorder), clock, dialogs));
}

void LiveRecording::wire(MonitorOptions& options) {
    options.driverTap = recorder_.get();
    options.monotonic = recordingMonotonic(std::move(options.monotonic), *recorder_);
}

// ---- Replay ----------------------------------------------------------------

ReplaySession::ReplaySession(std::ostream& messages) : messages_(messages) {}

ReplaySession::~ReplaySession() {
    monitor_.reset();
    if (!folder_.empty()) {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
}

std::unique_ptr<ReplaySession> ReplaySession::open(const std::string& file, const std::optional<std::string>& protocolFile,
                                                   std::ostream& messages, std::string& error) {
    std::unique_ptr<ReplaySession> s(new ReplaySession(messages));
    if (!s->reader_.open(file, error)) return nullptr;
    if (protocolFile) {
        std::error_code ec;
        if (fs::exists(*protocolFile, ec) && fs::file_size(*protocolFile, ec) > 0) {
            error = "the protocol file " + *protocolFile + " exists already; name a new file for the replay's protocol";
            return nullptr;
        }
    }
    removeAbandonedReplayFolders();
    if (!s->layOutSettings(protocolFile, error)) return nullptr;
    s->driver_.setUtcOffset(s->reader_.info().utcOffsetSeconds);
    return s;
}

// The settings files as they were at the recorded start, in a folder of the
// replay's own: the replayed start reads them, and what it writes back stays there.
bool ReplaySession::layOutSettings(const std::optional<std::string>& protocolFile, std::string& error) {
    std::string pattern = (fs::temp_directory_path() / "kvx-replay-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        error = std::string("cannot create a folder for the replay's settings: ") + std::strerror(errno);
        return false;
    }
    folder_ = pattern;
    std::ofstream(folder_ + "/owner") << ::getpid() << "\n";
    const RunInfo& info = reader_.info();
    const std::string settingsName = info.settings.path.empty() ? "KvxDiagnostics.INI" : baseName(info.settings.path);
    const std::string settingsFile = folder_ + "/" + settingsName;
    const std::string configRoot = folder_ + "/config";
    UserConfig user(configRoot);
    std::error_code ec;
    fs::create_directories(configRoot + "/Velmora/kcfg", ec);

    bool ok = true;
    if (info.settings.present) ok &= writeText(settingsFile, info.settings.content);
    if (info.environment.present) ok &= writeText(user.environmentFile(), info.environment.content);
    if (info.project.present) {
        const std::string projectName = baseName(info.project.path);
        ok &= writeText(user.toolFolder() + projectName, info.project.content);
        // A project file named with a folder lies beside the others here.
        ok &= profile::writeString(user.environmentFile(), "ENVIRONMENT", "ProjectFileName", projectName).ok();
    }
    recordedSettingsFile_ = info.settings.path;
    // What the recorded run read, with the default of the settings store.
    recordedProtocolFile_ = info.settings.present
                                ? profile::readString(settingsFile, "PROTOCOL", "FileName", "DiagProtocol.txt")
                                : std::string("DiagProtocol.txt");
    // The protocol goes where the replay was asked to write it, else into the folder.
    protocolFile_ = protocolFile ? fs::absolute(*protocolFile).string() : folder_ + "/DiagProtocol.txt";
    ok &= profile::writeString(settingsFile, "PROTOCOL", "FileName", protocolFile_).ok();
    if (!ok) {
        error = "cannot lay out the recorded settings in " + folder_;
        return false;
    }

    // The recorded settings file was laid out above: the replay never touches the one named on the command line.
    for (std::size_t i = 0; i < info.arguments.size(); ++i) {
        if (info.arguments[i] == "--settings") ++i;
        else options_.arguments.push_back(info.arguments[i]);
    }
    options_.locations.settingsFile = settingsFile;
    options_.locations.executableFolder = info.executableFolder;
    options_.locations.userConfigRoot = configRoot;
    options_.programPath = info.programPath;
    options_.monotonic = replayMonotonic(driver_);
    options_.driverReplay = &driver_;
    // The recorded run's own attempts to reach its controller are replayed
    // without a fatal message each; a start that never worked still ends the replay.
    options_.retryUnreachableStart = true;
    return true;
}

bool ReplaySession::restart() {
    monitor_.reset();
    reader_.rewind();
    if (!protocolFile_.empty()) {
        std::string error;
        const int fd = platform::openForWriting(protocolFile_, platform::WriteMode::Replace, 0666, error);
        if (fd >= 0) ::close(fd);
    }
    model_ = DisplayModel();
    ticks_ = 0;
    unmatchedBefore_ = driver_.unmatched();
    firstUnmatchedTick_ = 0;
    closed_ = false;
    damaged_ = false;
    monitor_ = std::make_unique<Monitor>(model_, dialogs_, clock_, options_);
    if (reader_.next(segment_) != RecordingReader::Next::Segment || segment_.kind != SegmentKind::Start) {
        damaged_ = !reader_.problem().empty();
        return false;
    }
    driver_.enter(segment_);
    bool started = monitor_->formCreate();
    // A service that could not reach its controller recorded each attempt
    // to start as a start of its own: the run begins with the one that worked.
    while (!started && monitor_->startFailure() == StartFailure::Unreachable &&
           reader_.next(segment_) == RecordingReader::Next::Segment && segment_.kind == SegmentKind::Start) {
        driver_.enter(segment_);
        started = monitor_->formCreate();
    }
    ticks_ = started ? 1 : 0;
    newFault_ = started && monitor_->summary().faultMask() != 0;
    noteUnmatched();
    return started;
}

void ReplaySession::noteUnmatched() {
    if (firstUnmatchedTick_ == 0 && driver_.unmatched() > unmatchedBefore_) firstUnmatchedTick_ = std::max(ticks_, 1L);
}

std::string ReplaySession::divergence() const {
    const std::uint64_t calls = driver_.unmatched() - unmatchedBefore_;
    if (calls == 0) return "";
    return "the recording could not answer " + std::to_string(calls) + " of the replay's driver calls, the first at tick " +
           std::to_string(firstUnmatchedTick_) +
           ": this program asks otherwise than the one that recorded, so it may show what the recorded run did not";
}

ReplaySession::Step ReplaySession::step() {
    const Step s = advance();
    noteUnmatched();
    return s;
}

ReplaySession::Step ReplaySession::advance() {
    if (closed_ || !monitor_) return Step::End;
    for (;;) {
        const RecordingReader::Next next = reader_.next(segment_);
        if (next != RecordingReader::Next::Segment) {
            damaged_ = next == RecordingReader::Next::Damaged;
            return Step::End;
        }
        driver_.enter(segment_);
        switch (segment_.kind) {
        case SegmentKind::Tick:
        {
            if (!monitor_->timerEnabled()) return Step::End;
            const std::uint32_t before = monitor_->summary().faultMask();
            monitor_->timerTimer();
            newFault_ = (monitor_->summary().faultMask() & ~before) != 0;
            ++ticks_;
            return Step::Tick;
        }
        case SegmentKind::Action: replayAction(*monitor_, segment_.action, segment_.argument); return Step::Action;
        case SegmentKind::Close:
            monitor_->formClose();
            closed_ = true;
            return Step::Close;
        case SegmentKind::Start: continue;  // the start again at the head of a rolled-over file
        }
    }
}

}  // namespace kvx
