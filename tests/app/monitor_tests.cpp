// The start-up and shutdown sequences against stand-in driver libraries
// loaded through the real loader: fatal paths, "Try anyway", the protocol
// records, the close operation per mode, the super-user switch.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "metrics/listen_address.h"
#include "app/monitor.h"
#include "platform/dynamic_library.h"
#include "support/fixed_clock.h"
#include "support/scripted_dialogs.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;
using test::ShownMessage;

std::string readFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p).rdbuf();
    return s.str();
}

class MonitorTest : public ::testing::Test {
protected:
    MonitorTest() {
        std::string pattern = (fs::temp_directory_path() / "kvx-monitor-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        settingsFile = dir / "KvxDiagnostics.INI";
        protocolFile = dir / "DiagProtocol.txt";
        fs::create_directories(dir / "config");
    }
    ~MonitorTest() override {
        monitor.reset();
        fs::remove_all(dir);
    }

    // Writes the settings file; the protocol goes into the test's folder.
    void writeSettings(const std::string& extra = "") {
        std::ofstream(settingsFile) << "[PROTOCOL]\nFileName=" << protocolFile.string() << "\n" << extra;
    }

    void create(const std::string& library, std::vector<std::string> arguments = {}) {
        MonitorOptions options;
        options.arguments = std::move(arguments);
        options.locations = {settingsFile.string(), dir.string() + "/", (dir / "config").string()};
        options.programPath = (dir / "KvxDiagnostics").string();
        const std::string path = std::string(KVX_TESTLIB_DIR) + "/" + library + ".so";
        options.environment = [path](const std::string& name) -> std::optional<std::string> {
            if (name == "KVXDLLNAME") return path;
            return std::nullopt;
        };
        monitor = std::make_unique<Monitor>(model, dialogs, clock, options);
    }

    // Counts the library's close calls in a variable that outlives the unload.
    void observeClose() {
        void* observer = librarySymbol(monitor->driverLibrary().driverModule(), "kvxTestCloseObserver");
        ASSERT_NE(observer, nullptr);
        *static_cast<std::int32_t**>(observer) = &closeCalls;
    }

    fs::path dir, settingsFile, protocolFile;
    DisplayModel model;
    test::ScriptedDialogs dialogs;
    test::FixedClock clock;
    std::unique_ptr<Monitor> monitor;
    std::int32_t closeCalls = 0;
};

TEST_F(MonitorTest, SuperUserSwitchIsExactAndCaseSensitive) {
    EXPECT_TRUE(superUserSwitch({"/SU"}));
    EXPECT_TRUE(superUserSwitch({"-x", "/SU", "y"}));
    EXPECT_FALSE(superUserSwitch({"/su"}));
    EXPECT_FALSE(superUserSwitch({"/SU2"}));
    EXPECT_FALSE(superUserSwitch({" /SU"}));
    EXPECT_FALSE(superUserSwitch({}));
    EXPECT_FALSE(superUserSwitch({"--settings", "/SU"}));  // a settings file that happens to be called so
}

TEST(CommandLine, SettingsFileOfAnInstance) {
    EXPECT_EQ(settingsFileSwitch({"/SU"}), std::nullopt);
    EXPECT_EQ(settingsFileSwitch({"--settings", "/etc/kvxdiagnostics/c17.ini"}),
              std::optional<std::string>("/etc/kvxdiagnostics/c17.ini"));
    EXPECT_EQ(settingsFileSwitch({"--settings", "c17.ini"}),
              std::optional<std::string>((std::filesystem::current_path() / "c17.ini").string()));
}

TEST(CommandLine, MetricsAddressNamesHostAndPort) {
    using Expected = std::optional<std::pair<std::string, int>>;
    const std::vector<std::pair<const char*, Expected>> cases{
        {"127.0.0.1:9464", Expected({"127.0.0.1", 9464})}, {"[::1]:0", Expected({"::1", 0})},
        {"monitor.example:65535", Expected({"monitor.example", 65535})},
        {":9464", Expected({"::", 9464})}, {"::1:9464", std::nullopt}, {"[]:9464", std::nullopt},
        {"127.0.0.1", std::nullopt}, {"127.0.0.1:65536", std::nullopt}, {"127.0.0.1:94x", std::nullopt},
        {"[[::1]]:8080", std::nullopt}};
    for (const auto& [text, expected] : cases) {
        const std::optional<ListenAddress> address = parseListenAddress(text);
        EXPECT_EQ(address ? Expected({address->host, address->port}) : std::nullopt, expected) << text;
    }
}

TEST_F(MonitorTest, LocalStartRunsTheFirstTickAndWritesTheStartRecord) {
    writeSettings();
    create("kvxtest_local");
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_TRUE(monitor->timerEnabled());
    EXPECT_EQ(monitor->state().online, 1);
    EXPECT_EQ(model.caption, "KvxDiagnostics - Online Mode");
    EXPECT_EQ(model["laDllName"].text, "kvxg3.dll: 0.0.0.0");  // no kvxg3.dll beside this test
    EXPECT_EQ(model["laExeVersion"].text, "KvxDiagnostics: ");
    EXPECT_FALSE(model["buReboot"].visible);
    EXPECT_EQ(readFile(protocolFile).rfind("\n2024/03/05 - 08:15:02: Diagnostic Program opened! --------------------\n"
                                           "\n2024/03/05 - 08:15:02:\n",
                                           0),
              0u);

    observeClose();
    clock.set({2024, 3, 5, 17, 2, 55});
    monitor->formClose();
    EXPECT_FALSE(monitor->timerEnabled());
    EXPECT_EQ(closeCalls, 1);
    EXPECT_EQ(monitor->driverLibrary().driverModule(), nullptr);
    EXPECT_EQ(clock.sleeps().back(), 100);
    const std::string protocol = readFile(protocolFile);
    const std::string end = "2024/03/05 - 17:02:55: Diagnostic Program closed! --------------------\n";
    ASSERT_GE(protocol.size(), end.size());
    EXPECT_EQ(protocol.substr(protocol.size() - end.size()), end);
    EXPECT_NE(readFile(settingsFile).find("SelectedCard"), std::string::npos);
}

TEST_F(MonitorTest, SuperUserSwitchShowsTheControlsAndKeepsTheStoredZero) {
    writeSettings("[KVX]\nSuperUserMode=0\n");
    create("kvxtest_local", {"/SU"});
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_TRUE(model["buReboot"].visible);
    EXPECT_TRUE(model["cbGetFileNames"].visible);
    EXPECT_TRUE(model["cbUseWebServices"].visible);
    monitor->formClose();
    EXPECT_NE(readFile(settingsFile).find("SuperUserMode=0"), std::string::npos);
}

TEST_F(MonitorTest, MissingLibraryIsFatalAndWritesNothing) {
    writeSettings();
    const std::string before = readFile(settingsFile);
    create("no_such_library");
    EXPECT_FALSE(monitor->formCreate());
    EXPECT_EQ(dialogs.messages,
              (std::vector<ShownMessage>{{"kvxg3.dll not found or no valid version!", "Fatal Error!"}}));
    EXPECT_FALSE(monitor->timerEnabled());
    EXPECT_FALSE(fs::exists(protocolFile));
    EXPECT_EQ(readFile(settingsFile), before);
}

TEST_F(MonitorTest, LibraryWithoutInitialisationIsFatal) {
    writeSettings();
    create("kvxtest_local_no_init");
    EXPECT_FALSE(monitor->formCreate());
    EXPECT_EQ(dialogs.messages,
              (std::vector<ShownMessage>{{"kvxg3.dll not found or no valid version!", "Fatal Error!"}}));
    EXPECT_FALSE(fs::exists(protocolFile));
}

TEST_F(MonitorTest, IncompleteLibraryIsTriedAnyway) {
    writeSettings();
    create("kvxtest_no_rdcbcnct");
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_EQ(dialogs.messages,
              (std::vector<ShownMessage>{{"kvxg3.dll has no valid version! - Try anyway ...", "Error!"}}));
    EXPECT_TRUE(monitor->timerEnabled());
    EXPECT_TRUE(fs::exists(protocolFile));
    // The missing entry point is skipped, never called through an empty slot.
    monitor->timerTimer();
    monitor->formClose();
}

TEST_F(MonitorTest, RemoteModeWithALocalLibraryIsFatal) {
    writeSettings("[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:1/\n");
    const std::string before = readFile(settingsFile);
    create("kvxtest_local");
    EXPECT_FALSE(monitor->formCreate());
    EXPECT_EQ(dialogs.messages,
              (std::vector<ShownMessage>{{"kvxg3x.dll not found or no valid version", "Fatal Error!"}}));
    EXPECT_FALSE(fs::exists(protocolFile));
    EXPECT_EQ(readFile(settingsFile), before);
}

TEST_F(MonitorTest, RemoteModeOpensAndClosesTheConnection) {
    writeSettings("[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:1/\n");
    create("kvxtest_remote");
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(monitor->driver().remoteHandle(), 7);
    EXPECT_EQ(model["laDllName"].text, "kvxg3x.dll: 0.0.0.0");
    EXPECT_EQ(model["laMiniportVersionNr"].text, "n.a.");
    EXPECT_EQ(model["cbCardNr"].items, (std::vector<std::string>{"0"}));
    observeClose();
    monitor->formClose();
    EXPECT_EQ(closeCalls, 1);
    EXPECT_EQ(monitor->driver().remoteHandle(), 0);
    EXPECT_NE(readFile(settingsFile).find("Use Webservices=1"), std::string::npos);
}

TEST_F(MonitorTest, RemoteModeGivenUpAtRebootStillClosesTheRemoteConnection) {
    writeSettings("[Project data]\nUse Webservices=1\nURL=http://127.0.0.1:1/\n");
    create("kvxtest_remote", {"/SU"});
    ASSERT_TRUE(monitor->formCreate());
    monitor->cbGetFileNamesClick(true);
    // No project file: the forced lookup finds no access data and gives up remote mode.
    monitor->buRebootClick();
    EXPECT_EQ(dialogs.messages, (std::vector<ShownMessage>{{"No valid Access Data found!", "WebServices Error"}}));
    EXPECT_EQ(monitor->settings().useWebServices, 0);
    EXPECT_TRUE(monitor->driver().remote());  // the remote library stays in charge until the end
    monitor->timerTimer();
    observeClose();
    monitor->formClose();
    EXPECT_EQ(closeCalls, 1);
    EXPECT_EQ(monitor->driver().remoteHandle(), 0);
}

TEST_F(MonitorTest, UnopenableProtocolIsSaidAndChangesNothingElse) {
    std::ofstream(settingsFile) << "[PROTOCOL]\nFileName=" << (dir / "missing" / "P.txt").string() << "\n";
    create("kvxtest_local");
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(monitor->formCreate());
    const std::string why =
        "Protocol not written to " + (dir / "missing" / "P.txt").string() + ": No such file or directory";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "KvxDiagnostics: " + why + "\n");
    EXPECT_TRUE(dialogs.messages.empty());
    // The tick ran as usual: the stand-in library reads no option, no limit
    // and interface status 0.
    EXPECT_EQ(model.summary, (std::vector<std::string>{why, "Ressource-Interface not available in TAVOS.ELF!  ",
                                                       "Warning: No Maximum Position Error defined at Axis A1!\t",
                                                       "Warning: No Maximum Position Error defined at Axis A2!\t",
                                                       "Interface Status Register Error!"}));
    monitor->timerTimer();
    EXPECT_EQ(model.summary.front(), "Ressource-Interface not available in TAVOS.ELF!  ");  // said once
    monitor->formClose();
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(MonitorTest, StayOnTopChoiceIsAppliedAndStored) {
    writeSettings("[DESKTOP]\nStayOnTop=1\n");
    create("kvxtest_local");
    ASSERT_TRUE(monitor->formCreate());
    EXPECT_TRUE(model.stayOnTop);
    monitor->cbStayOnTopChange(0);
    EXPECT_FALSE(model.stayOnTop);
    monitor->cbStayOnTopChange(-1);
    EXPECT_FALSE(model.stayOnTop);
    EXPECT_EQ(model["cbStayOnTop"].selectedIndex, -1);
    monitor->formClose();
    EXPECT_NE(readFile(settingsFile).find("StayOnTop=-1"), std::string::npos);
}

}  // namespace
}  // namespace kvx
