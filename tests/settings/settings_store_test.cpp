#include "settings/settings_store.h"

#include "display/dialogs.h"
#include "display/display_model.h"

#include "test_files.h"

#include <sys/inotify.h>

using namespace kvx;
using namespace kvx::testing;

namespace {

using Message = std::pair<std::string, std::string>;  // text, title
const std::vector<Message> kNoAccessData{{"No valid Access Data found!", "WebServices Error"}};

class RecordingDialogs : public Dialogs {
public:
    void message(const std::string& text, const std::string& title) override { messages.emplace_back(text, title); }
    std::optional<std::string> openFile(const std::string&, int) override { return std::nullopt; }
    std::vector<Message> messages;
};

// One installation in a temporary folder: bin/ with the settings file, and
// cfg/ as the user's configuration folder.
class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(exe);
        store.setErrorStream(errors);
    }

    void start() {
        store.readWebServiceSettings();
        store.readWindowSettings([this] { stayOnTopApplied.push_back(model["cbStayOnTop"].selectedIndex); });
    }
    bool has(const std::string& text) const { return readFile(ini).find(text) != std::string::npos; }
    bool userConfigOpened() const { return std::filesystem::exists(folder.file("cfg/Velmora/kcfg")); }
    std::string project(const std::string& name) const { return folder.file("cfg/Velmora/" + name); }

    TempFolder folder;
    std::string exe = folder.file("bin/");
    std::string ini = exe + "kvxdiag.INI";
    SettingsValues values;
    DisplayModel model;
    RecordingDialogs dialogs;
    std::ostringstream errors;
    SettingsStore store{values, model, dialogs, {ini, exe, folder.file("cfg")}};
    std::vector<int> stayOnTopApplied;
};

TEST_F(SettingsStoreTest, WithoutUseWebservicesNothingRemoteIsRead) {
    writeFile(ini, "[Project data]\nURL=http://10.0.0.5\n");
    writeFile(project("KVX2000.INI"), "[Project data]\nURL=http://project\n");
    store.readWebServiceSettings();
    EXPECT_EQ(values.settingsFileName, ini);
    EXPECT_EQ(values.settingsWritable, 1);
    EXPECT_EQ(values.useWebServices, 0);
    EXPECT_EQ(values.remoteUrl, "");
    EXPECT_FALSE(model["cbUseWebServices"].checked);
    EXPECT_FALSE(userConfigOpened());
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(SettingsStoreTest, AddressInSettingsFileKeepsTheProjectFileUnread) {
    writeFile(ini, "[project DATA]\nuse webservices=2\nURL=http://ctl\nSYS FileNameX=S\nOS FileNameX=O\n"
                   "DEV FileNameX=D\nCNC PathX=/data\n");
    store.readWebServiceSettings();
    EXPECT_EQ(values.useWebServices, 1);
    EXPECT_EQ(values.remoteUrl, "http://ctl");
    EXPECT_EQ(values.remoteSysFileName + values.remoteOsFileName + values.remoteDevFileName, "SOD");
    EXPECT_EQ(values.remoteCncPath, "/data");
    EXPECT_TRUE(model["cbUseWebServices"].checked);
    EXPECT_FALSE(userConfigOpened());
}

TEST_F(SettingsStoreTest, PlaceholderAddressTakesTheNamedProjectFile) {
    writeFile(ini, "[Project data]\nUse Webservices=1\nURL=EnvURLX\nCNC PathX=/data\n");
    store.readWebServiceSettings();  // no project file yet
    EXPECT_EQ(dialogs.messages, kNoAccessData);
    EXPECT_EQ(values.useWebServices, 0);
    EXPECT_FALSE(model["cbUseWebServices"].checked);
    EXPECT_EQ(folder.names("cfg/Velmora/kcfg"), std::vector<std::string>{});  // folder made, file not

    writeFile(folder.file("cfg/Velmora/kcfg/ENVIRONMENT.ini"), "[ENVIRONMENT]\nProjectFileName=P7.INI\n");
    writeFile(project("P7.INI"), "[PROJECT DATA]\nurl=http://p7\nSYS FileNameX=S\nOS FileNameX=O\nDEV FileNameX=D\n");
    store.readWebServiceSettings();
    EXPECT_EQ(values.useWebServices, 1);
    EXPECT_EQ(values.remoteUrl, "http://p7");
    EXPECT_EQ(values.remoteSysFileName + values.remoteOsFileName + values.remoteDevFileName, "SOD");
    EXPECT_EQ(values.remoteCncPath, "");  // not carried by the project file
    EXPECT_TRUE(model["cbUseWebServices"].checked);
    EXPECT_EQ(dialogs.messages.size(), 1u);
}

TEST_F(SettingsStoreTest, PlaceholderInBothFilesMeansLocalModeAndIsStoredSo) {
    writeFile(ini, "[Project data]\nUse Webservices=1\nURL=EnvURLX\n");
    writeFile(project("KVX2000.INI"), "[Project data]\nURL=EnvURLX\n");
    start();
    EXPECT_EQ(dialogs.messages, kNoAccessData);
    EXPECT_EQ(values.useWebServices, 0);
    ASSERT_TRUE(store.saveSettings().ok());
    EXPECT_TRUE(has("Use Webservices=0\n"));
}

TEST_F(SettingsStoreTest, ProjectLookupRunsOnlyWithoutAddressOrWhenForced) {
    writeFile(ini, "[Project data]\nUse Webservices=1\nURL=http://settings\n");
    writeFile(project("KVX2000.INI"), "[Project data]\nURL=http://project\n");
    model["cbGetFileNames"].checked = true;
    store.readWebServiceSettings();
    EXPECT_EQ(values.remoteUrl, "http://project");

    values.remoteUrl = "http://known";
    values.remoteCncPath = "/data";
    store.loadProjectAccessData(false);
    EXPECT_EQ(values.remoteUrl, "http://known");
    writeFile(project("KVX2000.INI"), "[Project data]\nURL=\nSYS FileNameX=S\n");
    store.loadProjectAccessData(true);  // the reboot's forced lookup
    EXPECT_EQ(dialogs.messages, kNoAccessData);
    EXPECT_EQ(values.useWebServices, 0);
    EXPECT_EQ(values.remoteSysFileName, "S");
    EXPECT_EQ(values.remoteCncPath, "/data");
}

TEST_F(SettingsStoreTest, StartAloneWritesTheKvxKeysWithFolderDefaults) {
    start();
    EXPECT_EQ(readFile(ini), "[KVX]\nBaseAdress=768\nSystemFileName=" + exe + "SYSTEM.DAT\nBootFileName=" + exe +
                                 "TAVOS.ELF\n");
    EXPECT_EQ(values.protocolFileName, "DiagProtocol.txt");
    EXPECT_EQ(values.baseAddress + values.tryToBoot + values.selectedCard + values.superUserMode, 768);
    EXPECT_EQ(model.placement.left + model.placement.top + model.placement.width + model.placement.height,
              736 + 226 + 757 + 677);
    EXPECT_EQ(stayOnTopApplied, std::vector<int>{0});
    EXPECT_EQ(errors.str(), "");
}

TEST_F(SettingsStoreTest, StoredValuesAreReadLenientlyAndClamped) {
    model.placement = {100, 50, 640, 480, 3, 4};
    writeFile(ini, "[kvx]\nBaseAdress=0x300\nbootfilename=/c/T.ELF\nTryToBoot=1\n[Desktop]\nTop=10\nWidth=$320\n"
                   "Height=tall\nVertikalScroll=7\nStayOnTop=5\nSelectedCard=-3\n[PROTOCOL]\nFileName=/var/k.txt\n");
    start();
    EXPECT_EQ(values.baseAddress, 768);
    EXPECT_TRUE(has("BaseAdress=768\n"));
    EXPECT_EQ(values.bootFileName, "/c/T.ELF");
    EXPECT_EQ(values.tryToBoot, 1);
    EXPECT_EQ(values.selectedCard, 0);
    EXPECT_EQ(values.protocolFileName, "/var/k.txt");
    const WindowPlacement& p = model.placement;
    EXPECT_EQ(std::vector<int>({p.left, p.top, p.width, p.height, p.verticalScroll, p.horizontalScroll}),
              std::vector<int>({100, 10, 800, 480, 7, 4}));
    EXPECT_EQ(stayOnTopApplied, std::vector<int>{-1});
    ASSERT_TRUE(store.saveSettings().ok());
    EXPECT_TRUE(has("StayOnTop=-1\n"));
}

TEST_F(SettingsStoreTest, SuperUserSwitchIsReadButNeverStoredAsOn) {
    writeFile(ini, "[KVX]\nSuperUserMode=0\n");
    values.superUserMode = 1;  // "/SU"
    start();
    EXPECT_EQ(store.saveSettings().attempted, 18);  // one key less
    EXPECT_TRUE(has("SuperUserMode=0\n"));

    writeFile(ini, "[KVX]\nSuperUserMode=1\n");
    values.superUserMode = 0;
    start();
    EXPECT_EQ(values.superUserMode, 1);
    ASSERT_TRUE(store.saveSettings().ok());
    EXPECT_TRUE(has("SuperUserMode=1\n"));
}

TEST_F(SettingsStoreTest, GarbageSettingsFileReadsAsDefaults) {
    std::string garbage;
    for (int i = 0; i < 2048; ++i) garbage += static_cast<char>((i * 131 + 7) % 256);
    writeFile(ini, garbage);
    start();
    EXPECT_EQ(values.baseAddress, 768);
    EXPECT_EQ(values.useWebServices, 0);
    EXPECT_EQ(values.protocolFileName, "DiagProtocol.txt");
    EXPECT_EQ(readFile(ini).substr(0, garbage.size()), garbage);
}

TEST_F(SettingsStoreTest, ReadOnlyFolderIsReadAndSilentlyNeverWritten) {
    const std::string stored = "[KVX]\nBaseAdress=$200\n";
    KVX_REQUIRE_MOUNT(folder.mountReadOnly("ro", "kvxdiag.INI", stored));
    SettingsStore ro(values, model, dialogs, {folder.file("ro/kvxdiag.INI"), exe, folder.file("cfg")});
    ro.setErrorStream(errors);
    ro.readWebServiceSettings();
    EXPECT_EQ(values.settingsWritable, 0);
    EXPECT_EQ(ro.readWindowSettings({}).attempted + ro.saveSettings().attempted, 0);
    EXPECT_EQ(values.baseAddress, 512);
    EXPECT_EQ(readFile(folder.file("ro/kvxdiag.INI")), stored);
    EXPECT_EQ(errors.str(), "");
}

TEST_F(SettingsStoreTest, LocalCloseWritesEveryKeyInOrderAndEmptiesAccessData) {
    writeFile(ini, "; site\n[Project data]\nURL=http://old\nCNC PathX=/data\n");
    start();
    model.placement = {5, 6, 700, 500, 11, 12};
    model["cbCardNr"].selectedIndex = -1;
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, exe.c_str(), IN_CREATE), 0);  // a temporary file per replacement
    EXPECT_EQ(store.saveSettings().attempted, 19);
    alignas(inotify_event) char events[4096];
    int replacements = 0;
    for (ssize_t n = ::read(watch, events, sizeof events), at = 0; at < n; ++replacements)
        at += static_cast<ssize_t>(sizeof(inotify_event) + reinterpret_cast<inotify_event*>(events + at)->len);
    ::close(watch);
    EXPECT_EQ(replacements, 1);  // one flush to disk, not one per key
    EXPECT_EQ(readFile(ini), "; site\n[Project data]\nURL=\nCNC PathX=/tmp\nUse Webservices=0\nSYS FileNameX=\n"
                             "OS FileNameX=\nDEV FileNameX=\n"
                             "[KVX]\nBaseAdress=768\nSystemFileName=" + exe + "SYSTEM.DAT\nBootFileName=" + exe +
                             "TAVOS.ELF\nTryToBoot=0\nSuperUserMode=0\n"
                             "[DESKTOP]\nLeft=5\nTop=6\nHeight=500\nWidth=700\nStayOnTop=0\nSelectedCard=-1\n"
                             "VertikalScroll=11\nHorizontalScroll=12\n[PROTOCOL]\nFileName=DiagProtocol.txt\n");
}

TEST_F(SettingsStoreTest, ProjectAccessDataIsStoredAndUsedWithoutItNextTime) {
    writeFile(ini, "[Project data]\nUse Webservices=1\nURL=EnvURLX\n");
    writeFile(project("KVX2000.INI"), "[Project data]\nURL=http://p\nDEV FileNameX=D\n");
    start();
    ASSERT_TRUE(store.saveSettings().ok());
    std::filesystem::remove_all(folder.file("cfg"));
    SettingsValues next;
    SettingsStore(next, model, dialogs, {ini, exe, folder.file("cfg")}).readWebServiceSettings();
    EXPECT_EQ(next.remoteUrl, "http://p");
    EXPECT_EQ(next.remoteDevFileName, "D");
    EXPECT_EQ(next.remoteCncPath, "/tmp");
    EXPECT_FALSE(userConfigOpened());
}

TEST_F(SettingsStoreTest, FailedWriteIsReportedAndLaterKeysStillWritten) {
    start();
    values.protocolFileName = "bad\nname";
    values.remoteUrl = "http://after";
    WriteReport report = store.saveSettings();
    EXPECT_EQ(report.failed, 1);
    EXPECT_EQ(errors.str(), "KvxDiagnostics: settings not saved to " + ini +
                                ": value holds a line break (1 of 19 values not written)\n");
    EXPECT_TRUE(has("URL=http://after\n"));
    EXPECT_FALSE(has("[PROTOCOL]"));
}

TEST_F(SettingsStoreTest, WriteProtectedFileIsReportedPerOperationAndKept) {
    writeFile(ini, "[KVX]\nTryToBoot=1\n");
    ::chmod(ini.c_str(), 0444);
    start();
    EXPECT_EQ(store.saveSettings().failed, 19);
    EXPECT_EQ(errors.str(), "KvxDiagnostics: settings not saved to " + ini +
                                ": the file is write-protected (3 of 3 values not written)\n"
                                "KvxDiagnostics: settings not saved to " + ini +
                                ": the file is write-protected (19 of 19 values not written)\n");
    EXPECT_EQ(readFile(ini), "[KVX]\nTryToBoot=1\n");
}

TEST_F(SettingsStoreTest, FileThatCannotBeReplacedStaysWholeAndCloseCompletes) {
    start();
    const std::string before = readFile(ini);
    KVX_REQUIRE_MOUNT(folder.pinFile(ini));
    // The boot and system file names the start wrote are in the file
    // already: those two writes need no replacement and succeed.
    EXPECT_EQ(store.saveSettings().failed, 17);
    EXPECT_EQ(errors.str(), "KvxDiagnostics: settings not saved to " + ini +
                                ": replacing the file: Device or resource busy (17 of 19 values not written)\n");
    EXPECT_EQ(readFile(ini), before);
    EXPECT_EQ(folder.names("bin"), std::vector<std::string>{"kvxdiag.INI"});
}

}  // namespace
