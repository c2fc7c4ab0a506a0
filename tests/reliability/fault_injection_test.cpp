// The monitor under injected faults that need no controller: a protocol file
// on a full device or deleted while it is open, a read-only settings folder,
// settings files that cannot be read, hold binary garbage or one 10 MB line,
// a project file that is missing or garbage, and a driver library whose
// every call fails. After each fault the monitor keeps running, shows what it
// can and reports what it reports for that case, nothing more.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "app/monitor.h"
#include "platform/dynamic_library.h"
#include "platform/profile_file.h"
#include "report/fault_classes.h"
#include "settings/test_files.h"
#include "support/fixed_clock.h"
#include "support/scripted_dialogs.h"
#include "support/scripted_driver.h"
#include "support/scripted_engine.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using test::ShownMessage;
using testing::readFile;
using testing::writeFile;

const Lines kOfflineLines = {"System is offline:", "Boot System in Application",
                             "or check monitor screen in bootmon!"};

// ---------------------------------------------------------------------------
// The whole monitor, started and closed like the program, on a stand-in
// driver library, with its settings file and protocol in a folder of its own.

class MonitorFaults : public ::testing::Test {
protected:
    MonitorFaults() {
        std::string pattern = (fs::temp_directory_path() / "kvx-faults-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
        settingsFile = (dir / "KvxDiagnostics.INI").string();
        protocolFile = (dir / "DiagProtocol.txt").string();
        fs::create_directories(dir / "config");
        oldCwd = fs::current_path();
        fs::current_path(dir);  // a relative protocol name lands here
    }
    ~MonitorFaults() override {
        monitor.reset();
        fs::current_path(oldCwd);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void create(const std::string& libraryPath, const std::string& settings = "") {
        MonitorOptions options;
        options.locations = {settingsFile, dir.string() + "/", (dir / "config").string()};
        options.programPath = (dir / "KvxDiagnostics").string();
        options.environment = [libraryPath](const std::string& name) -> std::optional<std::string> {
            if (name == "KVXDLLNAME") return libraryPath;
            return std::nullopt;
        };
        monitor = std::make_unique<Monitor>(model, dialogs, clock, options);
        monitor->settingsStore().setErrorStream(errors);
        (void)settings;
    }
    void createLocal() { create(std::string(KVX_TESTLIB_DIR) + "/kvxtest_local.so"); }

    void ticks(int n) {
        for (int i = 0; i < n; ++i) monitor->timerTimer();
    }

    // The summary of the stand-in controller after `ticks` ticks: it has two
    // axes, reads neither option 62 nor a position error limit, and leaves the
    // interface status register 0; the warnings head the first 20 ticks.
    static Lines standInSummary(int ticks) {
        if (ticks >= 20) return {"Interface Status Register Error!"};
        return {"Ressource-Interface not available in TAVOS.ELF!  ",
                "Warning: No Maximum Position Error defined at Axis A1!\t",
                "Warning: No Maximum Position Error defined at Axis A2!\t", "Interface Status Register Error!"};
    }

    fs::path dir, oldCwd;
    std::string settingsFile, protocolFile;
    DisplayModel model;
    test::ScriptedDialogs dialogs;
    test::FixedClock clock;
    std::ostringstream errors;
    std::unique_ptr<Monitor> monitor;
};

constexpr const char* kStart = "\n2024/03/05 - 08:15:02: Diagnostic Program opened! --------------------\n";
constexpr const char* kEnd = "2024/03/05 - 08:15:02: Diagnostic Program closed! --------------------\n";

TEST_F(MonitorFaults, ProtocolOnAFullDeviceLosesOnlyTheProtocol) {
    writeFile(settingsFile, "[PROTOCOL]\nFileName=/dev/full\n");
    createLocal();
    ASSERT_TRUE(monitor->formCreate());
    ticks(20);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(model.caption, "KvxDiagnostics - Online Mode");
    EXPECT_EQ(model.summary, standInSummary(21));
    EXPECT_EQ(monitor->state().online, 1);
    monitor->formClose();
    EXPECT_FALSE(monitor->timerEnabled());
    EXPECT_EQ(monitor->driverLibrary().driverModule(), nullptr);
    // The settings are written as usual and name the device again.
    EXPECT_EQ(profile::readString(settingsFile, "PROTOCOL", "FileName", ""), "/dev/full");
    EXPECT_EQ(profile::readString(settingsFile, "DESKTOP", "SelectedCard", ""), "0");
    EXPECT_EQ(errors.str(), "");
}

TEST_F(MonitorFaults, ProtocolInAMissingFolderIsSilentAndTheRunGoesOn) {
    writeFile(settingsFile, "[PROTOCOL]\nFileName=" + (dir / "gone" / "DiagProtocol.txt").string() + "\n");
    createLocal();
    ASSERT_TRUE(monitor->formCreate());
    ticks(5);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(model.summary, standInSummary(6));
    monitor->formClose();
    EXPECT_FALSE(fs::exists(dir / "gone"));
    EXPECT_EQ(errors.str(), "");
}

TEST_F(MonitorFaults, ReadOnlySettingsFolderIsReadAndNeverWritten) {
    testing::TempFolder folder;
    const std::string stored = "[DESKTOP]\nSelectedCard=0\nStayOnTop=1\n[PROTOCOL]\nFileName=" + protocolFile +
                               "\n[KVX]\nTryToBoot=0\nBaseAdress=$200\n";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount";
    ASSERT_TRUE(folder.mountReadOnly("ro", "KvxDiagnostics.INI", stored)) << std::strerror(errno);
    settingsFile = folder.file("ro/KvxDiagnostics.INI");
    createLocal();
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_EQ(monitor->settings().settingsWritable, 0);
    EXPECT_EQ(monitor->settings().baseAddress, 0x200);
    EXPECT_TRUE(model.stayOnTop);
    ticks(3);
    monitor->formClose();
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(errors.str(), "");  // silently never written
    EXPECT_EQ(readFile(settingsFile), stored);
    EXPECT_EQ(folder.names("ro"), (std::vector<std::string>{"KvxDiagnostics.INI"}));
    const std::string protocol = readFile(protocolFile);
    EXPECT_EQ(protocol.substr(0, std::string(kStart).size()), kStart);
    EXPECT_EQ(protocol.substr(protocol.size() - std::string(kEnd).size()), kEnd);
}

// A settings file whose every read fails: the defaults hold, the run goes
// on, and the close says once, on the error stream, that nothing was saved.
struct Unreadable {
    const char* name;
    void (*make)(const std::string& path);
    const char* reason;
};

void PrintTo(const Unreadable& c, std::ostream* os) { *os << c.name; }

class UnreadableSettings : public MonitorFaults, public ::testing::WithParamInterface<Unreadable> {};

TEST_P(UnreadableSettings, StartWithDefaultsAndReportTheCloseOnce) {
    GetParam().make(settingsFile);
    createLocal();
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(monitor->settings().baseAddress, 768);
    EXPECT_EQ(monitor->settings().protocolFileName, "DiagProtocol.txt");
    EXPECT_EQ(monitor->settings().systemFileName, dir.string() + "/SYSTEM.DAT");
    EXPECT_EQ(monitor->settings().useWebServices, 0);
    ticks(5);
    EXPECT_EQ(model.summary, standInSummary(6));
    monitor->formClose();
    // The protocol lies in the working folder, as by default.
    const std::string protocol = readFile(protocolFile);
    EXPECT_EQ(protocol.substr(0, std::string(kStart).size()), kStart);
    EXPECT_EQ(protocol.substr(protocol.size() - std::string(kEnd).size()), kEnd);
    // Once for the three values the start writes back, once for the close.
    const std::string report = "KvxDiagnostics: settings not saved to " + settingsFile + ": " + GetParam().reason;
    EXPECT_EQ(errors.str(), report + " (3 of 3 values not written)\n" + report + " (19 of 19 values not written)\n");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UnreadableSettings,
    ::testing::Values(
        Unreadable{"ReadFails",
                   [](const std::string& p) { fs::create_symlink("/proc/self/mem", p); },
                   "reading: Input/output error"},
        Unreadable{"Folder", [](const std::string& p) { fs::create_directory(p); }, "opening: Is a directory"},
        Unreadable{"Fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
                   "opening: not a regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorFaults, BinaryGarbageSettingsReadAsDefaultsAndAreKeptOnClose) {
    std::mt19937 random(42);
    std::string garbage(4096, '\0');
    for (auto& c : garbage) c = static_cast<char>(random());
    // No line of it may look like a section header or a key of ours.
    for (auto& c : garbage)
        if (c == '[' || c == '\n' || c == '\r') c = '\x7f';
    writeFile(settingsFile, garbage);
    createLocal();
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(monitor->settings().baseAddress, 768);
    EXPECT_EQ(monitor->settings().protocolFileName, "DiagProtocol.txt");
    ticks(3);
    EXPECT_EQ(model.summary, standInSummary(4));
    monitor->formClose();
    EXPECT_EQ(errors.str(), "");
    const std::string after = readFile(settingsFile);
    ASSERT_GE(after.size(), garbage.size());
    EXPECT_EQ(after.substr(0, garbage.size()), garbage);  // kept, byte for byte
    const std::string folder = dir.string() + "/";
    EXPECT_EQ(after.substr(garbage.size()),
              "\n[KVX]\nBaseAdress=768\nSystemFileName=" + folder + "SYSTEM.DAT\nBootFileName=" + folder +
                  "TAVOS.ELF\nTryToBoot=0\nSuperUserMode=0\n"
                  "[DESKTOP]\nLeft=" +
                  std::to_string(model.placement.left) + "\nTop=" + std::to_string(model.placement.top) +
                  "\nHeight=" + std::to_string(model.placement.height) +
                  "\nWidth=" + std::to_string(model.placement.width) +
                  "\nStayOnTop=0\nSelectedCard=0\nVertikalScroll=0\nHorizontalScroll=0\n"
                  "[PROTOCOL]\nFileName=DiagProtocol.txt\n"
                  "[Project data]\nUse Webservices=0\nSYS FileNameX=\nOS FileNameX=\nDEV FileNameX=\n"
                  "CNC PathX=/tmp\nURL=\n");
}

TEST_F(MonitorFaults, TenMegabyteFileIsReadToItsFirstMegabyteAndKeptAsItIs) {
    const std::string huge(10 * 1024 * 1024, 'A');
    const std::string contents = "[PROTOCOL]\nFileName=" + protocolFile + "\n[KVX]\nBootFileName=" + huge + "\n";
    writeFile(settingsFile, contents);
    createLocal();
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(monitor->settings().bootFileName, std::string(2047, 'A'));
    EXPECT_EQ(monitor->settings().protocolFileName, protocolFile);
    ticks(3);
    EXPECT_EQ(model.summary, standInSummary(4));
    monitor->formClose();
    // Never rewritten: the failed writes are reported as any others.
    EXPECT_EQ(readFile(settingsFile), contents);
    EXPECT_NE(errors.str().find("larger than 1 MB, not rewritten"), std::string::npos) << errors.str();
    EXPECT_EQ(readFile(protocolFile).substr(0, std::string(kStart).size()), kStart);
}

TEST_F(MonitorFaults, TenMegabyteFileWithoutALineEndReadsAsDefaults) {
    writeFile(settingsFile, "[PROTOCOL] FileName=" + std::string(10 * 1024 * 1024, 'x'));
    createLocal();
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(monitor->settings().protocolFileName, "DiagProtocol.txt");
    ticks(2);
    EXPECT_EQ(model.summary, standInSummary(3));
    monitor->formClose();
    EXPECT_EQ(fs::file_size(settingsFile), 10u * 1024 * 1024 + 20);
}

// Remote mode without an address of its own takes the project file; when
// that is missing or garbage: one message, then local mode, written so at
// the close.
struct BadProject {
    const char* name;
    std::optional<std::string> contents;  // nullopt: no file
};

void PrintTo(const BadProject& c, std::ostream* os) { *os << c.name; }

class BadProjectFile : public MonitorFaults, public ::testing::WithParamInterface<BadProject> {};

TEST_P(BadProjectFile, OneMessageThenLocalMode) {
    writeFile(settingsFile, "[Project data]\nUse Webservices=1\nURL=EnvURLX\n[PROTOCOL]\nFileName=" + protocolFile + "\n");
    writeFile((dir / "config" / "Velmora" / "kcfg" / "ENVIRONMENT.ini").string(),
              "[ENVIRONMENT]\nProjectFileName=" + (dir / "project.ini").string() + "\n");
    if (GetParam().contents) writeFile((dir / "project.ini").string(), *GetParam().contents);
    createLocal();
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_EQ(dialogs.messages, (std::vector<ShownMessage>{{"No valid Access Data found!", "WebServices Error"}}));
    EXPECT_EQ(monitor->settings().useWebServices, 0);
    EXPECT_FALSE(model["cbUseWebServices"].checked);
    EXPECT_EQ(model.caption, "KvxDiagnostics - Online Mode");
    ticks(3);
    EXPECT_EQ(model.summary, standInSummary(4));
    EXPECT_EQ(dialogs.messages.size(), 1u);
    monitor->formClose();
    EXPECT_EQ(profile::readString(settingsFile, "Project data", "Use Webservices", ""), "0");
    if (GetParam().contents) EXPECT_EQ(readFile((dir / "project.ini").string()), *GetParam().contents);
    else EXPECT_FALSE(fs::exists(dir / "project.ini"));
}

INSTANTIATE_TEST_SUITE_P(Faults, BadProjectFile,
                         ::testing::Values(BadProject{"Missing", std::nullopt},
                                           BadProject{"Empty", std::string()},
                                           BadProject{"Garbage", std::string("\x01\xff[Project data\nURL\n\0=x", 22)},
                                           BadProject{"PlaceholderAddress",
                                                      std::string("[Project data]\nURL=EnvURLX\n")}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorFaults, LibraryWhoseEveryCallFailsShowsAnOfflineController) {
    writeFile(settingsFile, "[PROTOCOL]\nFileName=" + protocolFile + "\n");
    create(KVX_FAILING_LIBRARY);
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(monitor->state().online, 0);
    EXPECT_EQ(model.caption, "Error -1 at Initialisation!");
    EXPECT_EQ(model.summary, kOfflineLines);
    ticks(10);
    EXPECT_EQ(model.caption, "Error -1 at Initialisation!");
    EXPECT_EQ(model.summary, kOfflineLines);
    EXPECT_EQ(model["laBoardTypeNr"].text, "not identified");
    EXPECT_EQ(model["laSnrGrundplatineNr"].text, "");
    EXPECT_EQ(model["cbCardNr"].items, std::vector<std::string>{});
    EXPECT_TRUE(dialogs.messages.empty());
    monitor->formClose();
    EXPECT_EQ(monitor->driverLibrary().driverModule(), nullptr);
    // One block for the offline start; the later offline ticks add nothing.
    EXPECT_EQ(readFile(protocolFile), std::string(kStart) + "\n2024/03/05 - 08:15:02:\n" +
                                          "System is offline:\nBoot System in Application\n"
                                          "or check monitor screen in bootmon!\n" + kEnd);
}

TEST_F(MonitorFaults, RemoteLibraryWhoseEveryCallFailsEndsTheStartAsFatal) {
    const std::string stored = "[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:1/\n[PROTOCOL]\nFileName=" +
                               protocolFile + "\n";
    writeFile(settingsFile, stored);
    create(KVX_FAILING_LIBRARY);
    EXPECT_FALSE(monitor->formCreate());
    EXPECT_EQ(dialogs.messages, (std::vector<ShownMessage>{{"WebServices Access failed!", "Fatal Error!"}}));
    EXPECT_FALSE(monitor->timerEnabled());
    EXPECT_FALSE(fs::exists(protocolFile));
    EXPECT_EQ(readFile(settingsFile), stored);
}

// Damaged settings files whose lines the reader used to see differently from
// the writer: a value written must read back, whatever the damage before it.
struct Damage {
    const char* name;
    std::string contents;
    std::string after;  // the whole file after the write
};

void PrintTo(const Damage& c, std::ostream* os) { *os << c.name; }

class DamagedProfileFile : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedProfileFile, WrittenValueReadsBackAndTheDamageStays) {
    testing::TempFolder folder;
    const std::string file = folder.file("KvxDiagnostics.INI");
    writeFile(file, GetParam().contents);
    ASSERT_TRUE(profile::writeString(file, "PROTOCOL", "FileName", "DiagProtocol.txt").ok());
    EXPECT_EQ(profile::readString(file, "PROTOCOL", "FileName", "<none>"), "DiagProtocol.txt");
    EXPECT_EQ(readFile(file), GetParam().after);
}

const std::string kNewSection = "[PROTOCOL]\nFileName=DiagProtocol.txt\n";

INSTANTIATE_TEST_SUITE_P(
    Faults, DamagedProfileFile,
    ::testing::Values(
        Damage{"BracketAloneBeforeASection", "[KVX]\nTryToBoot=1\n[\n", "[KVX]\nTryToBoot=1\n[\n" + kNewSection},
        Damage{"HeaderWithoutBracket", "[KVX\nTryToBoot=1\n", "[KVX\nTryToBoot=1\n" + kNewSection},
        Damage{"ZeroByteBeforeAHeader", std::string("\0[PROTOCOL]\nFileName=old\n", 25),
               std::string("\0[PROTOCOL]\nFileName=DiagProtocol.txt\n", 38)},
        Damage{"VerticalTabBeforeAHeader", "\v[PROTOCOL]\nFileName=old\n", "\v[PROTOCOL]\nFileName=DiagProtocol.txt\n"},
        Damage{"LoneCarriageReturns", "[KVX]\rTryToBoot=1\r[PROTOCOL]\rFileName=old\n",
               "[KVX]\rTryToBoot=1\r[PROTOCOL]\rFileName=old\n" + kNewSection}),
    [](const auto& info) { return std::string(info.param.name); });

// A writer killed between creating its temporary file and the rename leaves
// that file behind; the next write of the same file removes it, and only it.
TEST(KilledWriter, LeftoverTemporaryFileIsRemovedByTheNextWrite) {
    testing::TempFolder folder;
    const std::string file = folder.file("KvxDiagnostics.INI");
    writeFile(file, "[KVX]\nTryToBoot=0\n");
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ASSERT_GT(gone, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(gone, &status, 0), gone);
    const std::string leftover = "KvxDiagnostics.INI.tmp-" + std::to_string(gone) + "-4";
    const std::string alive = "KvxDiagnostics.INI.tmp-1-0";  // process 1 is always there
    const std::string other = "Other.INI.tmp-" + std::to_string(gone) + "-0";
    writeFile(folder.file(leftover), "[KVX]\nTryTo");
    writeFile(folder.file(alive), "[KVX]\n");
    writeFile(folder.file(other), "[KVX]\n");

    ASSERT_TRUE(profile::writeString(file, "KVX", "TryToBoot", "1").ok());
    EXPECT_EQ(readFile(file), "[KVX]\nTryToBoot=1\n");
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"KvxDiagnostics.INI", alive, other}));
}

// ---------------------------------------------------------------------------
// The poll cycle and its protocol file, with a scripted controller whose
// faults come and go.

class ProtocolFaults : public ::testing::Test, protected test::ScriptedEngine {
protected:
    ProtocolFaults() : ScriptedEngine("KvxDiagnostics") {
        std::string pattern = (fs::temp_directory_path() / "kvx-protocol-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
        path = (dir / "DiagProtocol.txt").string();
        ctl.options[62] = {true, 5};
    }
    ~ProtocolFaults() override {
        protocol.close();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    // Emergency out at axis 2 (bit 1 of its state word).
    void emergencyOut(bool on) { ctl.axisState[1] = on ? 0x2u : 0u; }

    fs::path dir;
    std::string path;
    test::ControllerState& ctl = scripted.controller;
};

const std::string kHealthyBlock = "\n2024/03/05 - 08:15:02:\nNo errors detected!\n";

// A file that cannot grow, as on a full disk: the process's file-size limit
// makes every write after the program-start record fail.
TEST_F(ProtocolFaults, FullDeviceKeepsEveryTickWhole) {
    ASSERT_TRUE(protocol.open(path));
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    auto* previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    const auto opened = fs::file_size(path);  // the program-start record
    rlimit full = before;
    full.rlim_cur = opened;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    for (int i = 0; i < 40; ++i) {
        emergencyOut(i % 4 == 1);
        cycle.tick();
        if (i % 4 == 1) {
            EXPECT_EQ(model.summary, Lines{"Emergency Out is active! at Axis 2"}) << "tick " << i;
            EXPECT_EQ(summary.faultMask(), fault::EmergencyOut);
        } else {
            EXPECT_EQ(model.summary, Lines{"No errors detected!"}) << "tick " << i;
        }
    }
    EXPECT_TRUE(protocol.isOpen());
    protocol.close();
    EXPECT_FALSE(protocol.isOpen());
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(fs::file_size(path), opened);
}

TEST_F(ProtocolFaults, DeletedWhileOpenKeepsWritingToTheOpenFileAndNeverReopens) {
    ASSERT_TRUE(protocol.open(path));
    cycle.tick();
    // A reader that holds the file, as a viewer of the protocol would.
    const int held = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    emergencyOut(true);
    cycle.tick();
    EXPECT_EQ(model.summary, Lines{"Emergency Out is active! at Axis 2"});
    emergencyOut(false);
    cycle.tick();
    EXPECT_EQ(model.summary, Lines{"No errors detected!"});
    emergencyOut(true);
    cycle.tick();
    protocol.close();
    EXPECT_FALSE(fs::exists(path));  // never created again

    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(held, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    ::close(held);
    const std::string fault = "\n2024/03/05 - 08:15:02:\nEmergency Out is active! at Axis 2\n";
    EXPECT_EQ(text, std::string(kStart) + kHealthyBlock + fault + fault + kEnd);
}

TEST_F(ProtocolFaults, ReplacedByAFolderWhileOpenChangesNothingButTheFile) {
    ASSERT_TRUE(protocol.open(path));
    cycle.tick();
    ASSERT_EQ(::unlink(path.c_str()), 0);
    fs::create_directory(path);
    for (int i = 0; i < 6; ++i) {
        emergencyOut(i % 2 == 0);
        cycle.tick();
        EXPECT_EQ(model.summary, i % 2 == 0 ? Lines{"Emergency Out is active! at Axis 2"} : Lines{"No errors detected!"});
    }
    protocol.close();
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_TRUE(fs::is_empty(path));
}

}  // namespace
}  // namespace kvx
