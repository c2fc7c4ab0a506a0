// Every file the program reads or writes with something else in its place (a
// FIFO, a folder, /dev/zero; as root, a link or file another user planted in
// a shared folder): nothing may wait, read without end, or write through a link.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/recorded_run.h"
#include "display/display_model.h"
#include "history/run_history.h"
#include "metrics/web_config.h"
#include "platform/profile_file.h"
#include "recording/flight_recorder.h"
#include "recording/recording_reader.h"
#include "report/protocol_file.h"
#include "service_report/service_report.h"
#include "support/fixed_clock.h"
#include "support/scripted_dialogs.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;

std::string contentOf(const std::string& path) { return (std::ostringstream() << std::ifstream(path).rdbuf()).str(); }

// OwnLinkToMissing: the user's link in the user's folder to a rotated log not there yet.
enum class Kind {
    Regular, Fifo, Folder, DevZero, PlantedLink, ForeignFile, FolderLinkOfOtherUser, LinkInOtherUsersFolder,
    OwnLinkToMissing
};

class FileKinds : public ::testing::Test {
protected:
    FileKinds() {
        std::string pattern = (fs::temp_directory_path() / "kvx-kinds-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
        fs::create_directory(dir / "shared");
        ::chmod((dir / "shared").c_str(), 01777);
        std::ofstream(victim = (dir / "victim").string()) << "victim\n";
    }
    ~FileKinds() override { fs::remove_all(dir); }

    // A path of this kind, holding `content` where it is a regular file; "" when
    // the kind cannot be made here (another user's file needs root).
    std::string make(Kind kind, const std::string& content) {
        const std::string path = (dir / "shared" / ("f" + std::to_string(made++))).string();
        const bool foreign = kind != Kind::Regular && kind != Kind::Fifo && kind != Kind::Folder &&
                             kind != Kind::DevZero && kind != Kind::OwnLinkToMissing;
        if (foreign && ::geteuid() != 0) return "";
        switch (kind) {
        case Kind::Regular: std::ofstream(path) << content; return path;
        case Kind::Fifo: ::mkfifo(path.c_str(), 0666); return path;
        case Kind::Folder: fs::create_directory(path); return path;
        case Kind::DevZero: return "/dev/zero";
        case Kind::PlantedLink: fs::create_symlink(victim, path); return ::lchown(path.c_str(), 4321, 4321) ? "" : path;
        case Kind::ForeignFile: std::ofstream(path) << content; return ::chown(path.c_str(), 4321, 4321) ? "" : path;
        case Kind::FolderLinkOfOtherUser:
            fs::create_symlink(dir, path);
            return ::lchown(path.c_str(), 4321, 4321) ? "" : path + "/victim";
        case Kind::LinkInOtherUsersFolder:  // a folder of theirs, 0755, in the shared one
            fs::create_directory(path);
            fs::create_symlink(victim, path + "/f");
            return ::lchown((path + "/f").c_str(), 4321, 4321) || ::chown(path.c_str(), 4321, 4321) ? "" : path + "/f";
        case Kind::OwnLinkToMissing: {
            const fs::path link = dir / "own" / fs::path(path).filename();
            fs::create_directories(dir / "own" / "logs");
            fs::create_symlink("logs/" + link.filename().string() + ".log", link);
            return link.string();
        }
        }
        return "";
    }

    fs::path dir;
    std::string victim;
    int made = 0;
};

// Reads: each gives what it read, or "refused"; `content` is the regular file's, `regular` what reading it gives.
struct ReadCase {
    const char* name;
    std::function<std::string(const std::string& path)> read;
    std::string content, regular;
};

const recording::RunInfo kNoRun{};
std::string error;  // of the call a case makes

TEST_F(FileKinds, ReadsTakeRegularFilesOnlyAndNeverWait) {
    const ReadCase cases[] = {
        {"RecordingReplayed",
         [](const std::string& p) { return recording::RecordingReader().open(p, error) ? "read" : "refused"; },
         contentOf(KVX_TEST_RECORDING), "read"},
        {"WebConfig", [](const std::string& p) { return readWebConfig(p, error) ? "read" : "refused"; },
         "basic_auth_users:\n", "read"},
        {"ProtocolForTheReport",
         [](const std::string& p) {
             const auto records = lastProtocolRecords(p, 3);
             return records.empty() ? "refused" : records.back().back();
         },
         "\nstarted\n", "started"},
        {"SettingsSnapshotOfARecording",
         [this](const std::string& p) {
             test::FixedClock clock;
             test::ScriptedDialogs dialogs;
             MonitorOptions options;
             options.arguments = {"--settings", p};
             options.locations.userConfigRoot = (dir / "config").string();
             const std::string file = (dir / "run.kvxrec").string();
             recording::RecordingReader reader;
             if (!LiveRecording::start({file, 0, 1}, options, clock, dialogs, error) || !reader.open(file, error))
                 return error;
             const auto& settings = reader.info().settings;
             return settings.present && settings.content.empty() ? std::string("refused") : settings.content;
         },
         "[KVX]\nA=1\n", "[KVX]\nA=1\n"},
    };
    for (const auto& c : cases)
        for (const Kind kind : {Kind::Regular, Kind::Fifo, Kind::Folder, Kind::DevZero}) {
            const std::string path = make(kind, c.content);
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(c.read(path), kind == Kind::Regular ? c.regular : "refused") << c.name << " " << path;
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name << " " << path;
        }
}

// Writes: each says whether it wrote; the planted link's target must stay as
// it was. `foreignFile`: another user's file in the shared folder is replaced.
struct WriteCase {
    const char* name;
    std::function<bool(const std::string& path)> write;
    bool foreignFile;
};

TEST_F(FileKinds, WritesNeverGoThroughAPlantedLinkNorIntoAFifo) {
    test::FixedClock clock;
    DisplayModel model;
    SettingsValues settings;
    RunHistory history(clock);
    const WriteCase cases[] = {
        {"Recording", [](const std::string& p) { return !!recording::FlightRecorder::create({p, 0, 1}, kNoRun, error); },
         false},
        {"Protocol", [&](const std::string& p) { return ProtocolFile(clock).open(p); }, false},
        {"ServiceReport", [&](const std::string& p) {
             return writeServiceReport(ReportSources{model, settings, history, {2024, 3, 5, 10, 0, 0}, "K"}, p + ".html");
         }, false},
        {"Settings", [](const std::string& p) { return profile::writeString(p, "KVX", "A", "2").ok(); }, true},
    };
    for (const auto& c : cases)
        for (const Kind kind : {Kind::Regular, Kind::Fifo, Kind::Folder, Kind::PlantedLink, Kind::ForeignFile,
                                Kind::FolderLinkOfOtherUser, Kind::LinkInOtherUsersFolder, Kind::OwnLinkToMissing}) {
            std::string path = make(kind, "[KVX]\nA=1\n");
            if (path.empty()) continue;  // needs root
            const bool report = std::string(c.name) == "ServiceReport";
            if (report && kind != Kind::FolderLinkOfOtherUser) fs::rename(path, path + ".html");  // what it writes
            const bool expected = kind == Kind::Regular || kind == Kind::OwnLinkToMissing ||
                                  (kind == Kind::ForeignFile && c.foreignFile);
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(c.write(path), expected) << c.name << " " << static_cast<int>(kind);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
            EXPECT_EQ(contentOf(victim), "victim\n") << c.name;
            if (kind == Kind::OwnLinkToMissing) {  // the target is written, the link kept
                const std::string link = report ? path + ".html" : path;
                EXPECT_TRUE(fs::is_symlink(link) && fs::exists(link) && fs::file_size(link) > 0) << c.name;
            }
            EXPECT_FALSE(fs::exists(dir / "victim.html")) << c.name;
        }
}

}  // namespace
}  // namespace kvx
