#include "settings/settings_store.h"

#include "display/dialogs.h"
#include "display/display_model.h"

#include "test_files.h"

#include <utility>

using namespace kvx;
using kvx::testing::fileExists;
using kvx::testing::readFile;
using kvx::testing::TempFolder;
using kvx::testing::writeFile;

namespace {

using Message = std::pair<std::string, std::string>;  // text, title
const Message kNoAccessData{"No valid Access Data found!", "WebServices Error"};

class RecordingDialogs : public Dialogs {
public:
    void message(const std::string& text, const std::string& title) override { messages.emplace_back(text, title); }
    std::optional<std::string> openFile(const std::string&, int) override { return std::nullopt; }
    std::vector<Message> messages;
};

// One program installation in a temporary folder: the executable's folder
// with its settings file, and the user's configuration folder.
class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(exeFolder);
        store.setErrorStream(errors);
    }

    void writeSettings(const std::string& contents) { writeFile(ini, contents); }
    std::string settings() const { return readFile(ini); }

    void writeProject(const std::string& name, const std::string& contents) {
        std::filesystem::create_directories(config + "/Velmora");
        writeFile(config + "/Velmora/" + name, contents);
    }
    void nameProjectFile(const std::string& name) {
        std::filesystem::create_directories(config + "/Velmora/kcfg");
        writeFile(config + "/Velmora/kcfg/ENVIRONMENT.ini", "[ENVIRONMENT]\nProjectFileName=" + name + "\n");
    }
    bool userConfigOpened() const { return std::filesystem::exists(config + "/Velmora/kcfg"); }

    // The start-up's two reads, in their order.
    void start() {
        store.readWebServiceSettings();
        store.readWindowSettings([this] { stayOnTopSeen.push_back(model["cbStayOnTop"].selectedIndex); });
    }

    TempFolder folder;
    std::string exeFolder = folder.path() + "/bin/";
    std::string ini = exeFolder + "kvxdiag.INI";
    std::string config = folder.path() + "/config";

    SettingsValues values;
    DisplayModel model;
    RecordingDialogs dialogs;
    std::ostringstream errors;
    SettingsStore store{values, model, dialogs, {ini, exeFolder, config}};
    std::vector<int> stayOnTopSeen;  // cbStayOnTop's index each time the choice was applied
};

// --- The mode and the remote access data -----------------------------------

class WebServiceSettings : public SettingsStoreTest {};

TEST_F(WebServiceSettings, NoUseWebservicesKeyMeansLocalModeWithoutConsultingAnything) {
    writeSettings("[Project data]\nURL=http://10.0.0.5:8080\n");
    writeProject("KVX2000.INI", "[Project data]\nURL=http://project\n");
    store.readWebServiceSettings();
    EXPECT_EQ(values.settingsFileName, ini);
    EXPECT_EQ(values.settingsWritable, 1);
    EXPECT_EQ(values.useWebServices, 0);
    EXPECT_EQ(values.remoteUrl, "");
    EXPECT_FALSE(model["cbUseWebServices"].checked);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_FALSE(userConfigOpened());
}

TEST_F(WebServiceSettings, AddressInSettingsFileTakesAllAccessDataFromThere) {
    writeSettings(
        "[Project data]\nUse Webservices=1\nURL=http://10.0.0.5:8080\nSYS FileNameX=/c/SYSTEM.DAT\n"
        "OS FileNameX=/c/TAVOS.ELF\nDEV FileNameX=kvx0\nCNC PathX=/data\n");
    writeProject("KVX2000.INI", "[Project data]\nURL=http://project\nSYS FileNameX=p.dat\n");
    store.readWebServiceSettings();
    EXPECT_EQ(values.useWebServices, 1);
    EXPECT_EQ(values.remoteUrl, "http://10.0.0.5:8080");
    EXPECT_EQ(values.remoteSysFileName, "/c/SYSTEM.DAT");
    EXPECT_EQ(values.remoteOsFileName, "/c/TAVOS.ELF");
    EXPECT_EQ(values.remoteDevFileName, "kvx0");
    EXPECT_EQ(values.remoteCncPath, "/data");
    EXPECT_TRUE(model["cbUseWebServices"].checked);
    EXPECT_FALSE(userConfigOpened());  // the project file was not looked for
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(WebServiceSettings, CncPathDefaultsToTmpAndOtherNamesToEmpty) {
    writeSettings("[project DATA]\nuse webservices = 2\nurl=http://ctl\n");
    store.readWebServiceSettings();
    EXPECT_EQ(values.useWebServices, 1);  // any nonzero value is on
    EXPECT_EQ(values.remoteCncPath, "/tmp");
    EXPECT_EQ(values.remoteSysFileName, "");
    EXPECT_EQ(values.remoteDevFileName, "");
}

TEST_F(WebServiceSettings, PlaceholderAddressInSettingsFileTakesTheProjectFile) {
    writeSettings("[Project data]\nUse Webservices=1\nURL=EnvURLX\nCNC PathX=/data\n");
    writeProject("KVX2000.INI",
                 "[Project data]\nURL=http://192.168.1.20\nSYS FileNameX=S.DAT\nOS FileNameX=T.ELF\nDEV FileNameX=dev1\n");
    store.readWebServiceSettings();
    EXPECT_EQ(values.useWebServices, 1);
    EXPECT_EQ(values.remoteUrl, "http://192.168.1.20");
    EXPECT_EQ(values.remoteSysFileName, "S.DAT");
    EXPECT_EQ(values.remoteOsFileName, "T.ELF");
    EXPECT_EQ(values.remoteDevFileName, "dev1");
    EXPECT_EQ(values.remoteCncPath, "");  // the project file does not carry it
    EXPECT_TRUE(model["cbUseWebServices"].checked);
    EXPECT_TRUE(userConfigOpened());
    EXPECT_FALSE(fileExists(config + "/Velmora/kcfg/ENVIRONMENT.ini"));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(WebServiceSettings, PlaceholderAddressInBothFilesMeansOneMessageAndLocalMode) {
    writeSettings("[Project data]\nUse Webservices=1\nURL=EnvURLX\n");
    writeProject("KVX2000.INI", "[Project data]\nURL=EnvURLX\nSYS FileNameX=S.DAT\n");
    store.readWebServiceSettings();
    EXPECT_EQ(dialogs.messages, std::vector<Message>{kNoAccessData});
    EXPECT_EQ(values.useWebServices, 0);
    EXPECT_EQ(values.remoteUrl, "");
    EXPECT_FALSE(model["cbUseWebServices"].checked);

    store.readWindowSettings({});
    ASSERT_TRUE(store.saveSettings().ok());
    EXPECT_NE(settings().find("Use Webservices=0\n"), std::string::npos);
    EXPECT_NE(settings().find("SYS FileNameX=S.DAT\n"), std::string::npos);
}

TEST_F(WebServiceSettings, MissingProjectFileMeansMessageAndLocalMode) {
    writeSettings("[Project data]\nUse Webservices=1\n");
    store.readWebServiceSettings();
    EXPECT_EQ(dialogs.messages, std::vector<Message>{kNoAccessData});
    EXPECT_EQ(values.useWebServices, 0);
    EXPECT_FALSE(model["cbUseWebServices"].checked);
}

TEST_F(WebServiceSettings, ProjectFileNamedByTheUserConfigurationIsUsed) {
    writeSettings("[Project data]\nUse Webservices=1\n");
    nameProjectFile("PLANT7.INI");
    writeProject("KVX2000.INI", "[Project data]\nURL=http://wrong\n");
    writeProject("PLANT7.INI", "[PROJECT DATA]\nurl=http://plant7\n");
    store.readWebServiceSettings();
    EXPECT_EQ(values.remoteUrl, "http://plant7");
    EXPECT_EQ(values.useWebServices, 1);

    std::string elsewhere = folder.file("elsewhere.ini");
    writeFile(elsewhere, "[Project data]\nURL=http://elsewhere\n");
    nameProjectFile(elsewhere);
    store.loadProjectAccessData(true);
    EXPECT_EQ(values.remoteUrl, "http://elsewhere");
}

TEST_F(WebServiceSettings, GetFileNamesMarkForcesTheProjectFile) {
    writeSettings("[Project data]\nUse Webservices=1\nURL=http://settings\n");
    writeProject("KVX2000.INI", "[Project data]\nURL=http://project\nDEV FileNameX=d\n");
    model["cbGetFileNames"].checked = true;
    store.readWebServiceSettings();
    EXPECT_EQ(values.remoteUrl, "http://project");
    EXPECT_EQ(values.remoteDevFileName, "d");
}

TEST_F(WebServiceSettings, ProjectLookupDoesNothingWhenAnAddressIsKnownAndNotForced) {
    values.useWebServices = 1;
    values.remoteUrl = "http://known";
    values.remoteSysFileName = "K.DAT";
    store.loadProjectAccessData(false);
    EXPECT_EQ(values.remoteUrl, "http://known");
    EXPECT_EQ(values.remoteSysFileName, "K.DAT");
    EXPECT_EQ(values.useWebServices, 1);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_FALSE(userConfigOpened());
}

TEST_F(WebServiceSettings, ForcedLookupWithoutUsableProjectFileFallsBackToLocalMode) {
    values.useWebServices = 1;
    values.remoteUrl = "http://known";
    values.remoteCncPath = "/data";
    writeProject("KVX2000.INI", "[Project data]\nURL=\nSYS FileNameX=S.DAT\n");
    store.loadProjectAccessData(true);
    EXPECT_EQ(dialogs.messages, std::vector<Message>{kNoAccessData});
    EXPECT_EQ(values.useWebServices, 0);
    EXPECT_EQ(values.remoteUrl, "");
    EXPECT_EQ(values.remoteSysFileName, "S.DAT");
    EXPECT_EQ(values.remoteCncPath, "/data");
}

// --- Window, card and file settings at start ------------------------------

class WindowSettings : public SettingsStoreTest {};

TEST_F(WindowSettings, StartAloneCreatesTheKvxKeysWithFolderDefaults) {
    start();
    EXPECT_EQ(settings(),
              "[KVX]\nBaseAdress=768\nSystemFileName=" + exeFolder + "SYSTEM.DAT\nBootFileName=" + exeFolder +
                  "TAVOS.ELF\n");
    EXPECT_EQ(values.baseAddress, 768);
    EXPECT_EQ(values.systemFileName, exeFolder + "SYSTEM.DAT");
    EXPECT_EQ(values.bootFileName, exeFolder + "TAVOS.ELF");
    EXPECT_EQ(values.protocolFileName, "DiagProtocol.txt");
    EXPECT_EQ(values.tryToBoot, 0);
    EXPECT_EQ(values.selectedCard, 0);
    EXPECT_EQ(values.superUserMode, 0);
    EXPECT_EQ(model.placement.left, 736);
    EXPECT_EQ(model.placement.top, 226);
    EXPECT_EQ(model.placement.width, 757);
    EXPECT_EQ(model.placement.height, 677);
    EXPECT_EQ(stayOnTopSeen, std::vector<int>{0});
    EXPECT_EQ(errors.str(), "");
}

TEST_F(WindowSettings, BaseAddressInHexReadsAsDecimalAndIsWrittenBackSo) {
    writeSettings("[KVX]\nBaseAdress=0x300\n");
    start();
    EXPECT_EQ(values.baseAddress, 768);
    EXPECT_NE(settings().find("BaseAdress=768\n"), std::string::npos);

    writeSettings("[KVX]\nBaseAdress=$310\n");
    start();
    EXPECT_EQ(values.baseAddress, 784);
}

TEST_F(WindowSettings, StoredValuesAreTaken) {
    writeSettings(
        "[kvx]\nsystemfilename=/c/S.DAT\nBOOTFILENAME=/c/T.ELF\nTryToBoot=1\n"
        "[Desktop]\nTop=10\nLeft=20\nHeight=300\nWidth=400\nVertikalScroll=7\nHorizontalScroll=8\n"
        "StayOnTop=1\nSelectedCard=2\n[protocol]\nFileName=/var/log/kvx.txt\n");
    start();
    EXPECT_EQ(values.systemFileName, "/c/S.DAT");
    EXPECT_EQ(values.bootFileName, "/c/T.ELF");
    EXPECT_EQ(values.tryToBoot, 1);
    EXPECT_EQ(model.placement.top, 10);
    EXPECT_EQ(model.placement.left, 20);
    EXPECT_EQ(model.placement.height, 300);
    EXPECT_EQ(model.placement.width, 400);
    EXPECT_EQ(model.placement.verticalScroll, 7);
    EXPECT_EQ(model.placement.horizontalScroll, 8);
    EXPECT_EQ(stayOnTopSeen, std::vector<int>{1});
    EXPECT_EQ(values.selectedCard, 2);
    EXPECT_EQ(values.protocolFileName, "/var/log/kvx.txt");
}

TEST_F(WindowSettings, MissingPlacementKeysKeepTheCurrentPlacement) {
    model.placement = {100, 50, 640, 480, 3, 4};
    writeSettings("[DESKTOP]\nTop=10\nWidth=800\nHeight=tall\n");
    start();
    EXPECT_EQ(model.placement.left, 100);
    EXPECT_EQ(model.placement.top, 10);
    EXPECT_EQ(model.placement.width, 800);
    EXPECT_EQ(model.placement.height, 480);
    EXPECT_EQ(model.placement.verticalScroll, 3);
    EXPECT_EQ(model.placement.horizontalScroll, 4);
}

TEST_F(WindowSettings, StayOnTopOutOfRangeLeavesTheSelectorEmptyAndIsWrittenBackAsMinusOne) {
    writeSettings("[DESKTOP]\nStayOnTop=5\n");
    start();
    EXPECT_EQ(model["cbStayOnTop"].selectedIndex, -1);
    EXPECT_EQ(stayOnTopSeen, std::vector<int>{-1});
    ASSERT_TRUE(store.saveSettings().ok());
    EXPECT_NE(settings().find("StayOnTop=-1\n"), std::string::npos);
}

TEST_F(WindowSettings, NegativeSelectedCardReadsAsZero) {
    writeSettings("[DESKTOP]\nSelectedCard=-3\n");
    start();
    EXPECT_EQ(values.selectedCard, 0);
}

TEST_F(WindowSettings, SuperUserSwitchFromCommandLineIsNeverStored) {
    writeSettings("[KVX]\nSuperUserMode=0\n");
    values.superUserMode = 1;  // "/SU"
    start();
    EXPECT_EQ(values.superUserMode, 1);
    ASSERT_TRUE(store.saveSettings().ok());
    EXPECT_NE(settings().find("SuperUserMode=0\n"), std::string::npos);
}

TEST_F(WindowSettings, StoredSuperUserSwitchIsTakenAndKept) {
    writeSettings("[KVX]\nSuperUserMode=1\n");
    start();
    EXPECT_EQ(values.superUserMode, 1);
    ASSERT_TRUE(store.saveSettings().ok());
    EXPECT_NE(settings().find("SuperUserMode=1\n"), std::string::npos);
    EXPECT_EQ(settings().find("SuperUserMode=0"), std::string::npos);
}

TEST_F(WindowSettings, BinaryGarbageReadsAsDefaultsAndTheStartStillWrites) {
    std::string garbage;
    for (int i = 0; i < 2048; ++i) garbage += static_cast<char>((i * 131 + 7) % 256);
    writeSettings(garbage);
    start();
    EXPECT_EQ(values.baseAddress, 768);
    EXPECT_EQ(values.protocolFileName, "DiagProtocol.txt");
    EXPECT_EQ(values.useWebServices, 0);
    EXPECT_EQ(settings().substr(0, garbage.size()), garbage);

    SettingsValues again;
    SettingsStore next(again, model, dialogs, {ini, exeFolder, config});
    next.readWindowSettings({});
    EXPECT_EQ(again.systemFileName, exeFolder + "SYSTEM.DAT");
}

TEST_F(WindowSettings, SettingsOnAReadOnlyMountAreReadButNeverWritten) {
    const std::string stored = "[KVX]\nBaseAdress=$200\n[DESKTOP]\nStayOnTop=1\n";
    KVX_REQUIRE_MOUNT(folder.mountReadOnlyFolderWith("ro", "kvxdiag.INI", stored));
    std::string roIni = folder.file("ro/kvxdiag.INI");
    SettingsStore roStore(values, model, dialogs, {roIni, exeFolder, config});
    roStore.setErrorStream(errors);

    roStore.readWebServiceSettings();
    EXPECT_EQ(values.settingsWritable, 0);
    WriteReport atStart = roStore.readWindowSettings({});
    EXPECT_EQ(values.baseAddress, 512);
    EXPECT_EQ(model["cbStayOnTop"].selectedIndex, 1);
    WriteReport atClose = roStore.saveSettings();
    EXPECT_EQ(atStart.attempted, 0);
    EXPECT_EQ(atClose.attempted, 0);
    EXPECT_EQ(readFile(roIni), stored);
    EXPECT_EQ(errors.str(), "");  // silently
}

// --- Writing back at close -------------------------------------------------

class SaveSettings : public SettingsStoreTest {};

TEST_F(SaveSettings, LocalRunWritesEveryKeyInItsOrder) {
    start();
    WriteReport report = store.saveSettings();
    EXPECT_EQ(report.attempted, 19);
    EXPECT_EQ(report.failed, 0);
    EXPECT_EQ(settings(),
              "[KVX]\n"
              "BaseAdress=768\n"
              "SystemFileName=" + exeFolder + "SYSTEM.DAT\n"
              "BootFileName=" + exeFolder + "TAVOS.ELF\n"
              "TryToBoot=0\n"
              "SuperUserMode=0\n"
              "[DESKTOP]\n"
              "Left=736\n"
              "Top=226\n"
              "Height=677\n"
              "Width=757\n"
              "StayOnTop=0\n"
              "SelectedCard=0\n"
              "VertikalScroll=0\n"
              "HorizontalScroll=0\n"
              "[PROTOCOL]\n"
              "FileName=DiagProtocol.txt\n"
              "[Project data]\n"
              "Use Webservices=0\n"
              "SYS FileNameX=\n"
              "OS FileNameX=\n"
              "DEV FileNameX=\n"
              "CNC PathX=/tmp\n"
              "URL=\n");
}

TEST_F(SaveSettings, LocalRunClearsStoredAccessDataSoTheNextRemoteStartAsksTheProject) {
    writeSettings("[Project data]\nUse Webservices=0\nURL=http://old\nSYS FileNameX=old.dat\n");
    start();
    model["cbUseWebServices"].checked = true;  // switched on by a super user
    ASSERT_TRUE(store.saveSettings().ok());
    EXPECT_NE(settings().find("[Project data]\nUse Webservices=1\nURL=\nSYS FileNameX=\n"), std::string::npos);

    writeProject("KVX2000.INI", "[Project data]\nURL=http://project\n");
    SettingsValues next;
    DisplayModel nextModel;
    SettingsStore nextStore(next, nextModel, dialogs, {ini, exeFolder, config});
    nextStore.readWebServiceSettings();
    EXPECT_EQ(next.useWebServices, 1);
    EXPECT_EQ(next.remoteUrl, "http://project");
}

TEST_F(SaveSettings, CncPathIsAlwaysWrittenAsTmp) {
    writeSettings("[Project data]\nUse Webservices=1\nURL=http://ctl\nCNC PathX=/data/cnc\n");
    start();
    EXPECT_EQ(values.remoteCncPath, "/data/cnc");
    ASSERT_TRUE(store.saveSettings().ok());
    EXPECT_NE(settings().find("CNC PathX=/tmp\n"), std::string::npos);
    EXPECT_EQ(settings().find("/data/cnc"), std::string::npos);
}

TEST_F(SaveSettings, AccessDataFromTheProjectIsKeptAndUsedWithoutItNextTime) {
    writeSettings("[Project data]\nUse Webservices=1\nURL=EnvURLX\n");
    writeProject("KVX2000.INI", "[Project data]\nURL=http://p\nSYS FileNameX=S\nOS FileNameX=O\nDEV FileNameX=D\n");
    start();
    ASSERT_TRUE(store.saveSettings().ok());
    std::filesystem::remove_all(config);

    SettingsValues next;
    DisplayModel nextModel;
    SettingsStore nextStore(next, nextModel, dialogs, {ini, exeFolder, config});
    nextStore.readWebServiceSettings();
    EXPECT_EQ(next.remoteUrl, "http://p");
    EXPECT_EQ(next.remoteSysFileName, "S");
    EXPECT_EQ(next.remoteOsFileName, "O");
    EXPECT_EQ(next.remoteDevFileName, "D");
    EXPECT_EQ(next.remoteCncPath, "/tmp");
    EXPECT_FALSE(userConfigOpened());
}

TEST_F(SaveSettings, WindowAndSelectorsAreWrittenAsTheyAreNow) {
    start();
    model.placement = {5, 6, 700, 500, 11, 12};
    model["cbStayOnTop"].selectedIndex = 1;
    model["cbCardNr"].selectedIndex = -1;
    values.bootFileName = "/boot/NEW.ELF";
    ASSERT_TRUE(store.saveSettings().ok());
    std::string s = settings();
    EXPECT_NE(s.find("Left=5\nTop=6\nHeight=500\nWidth=700\nStayOnTop=1\nSelectedCard=-1\n"
                     "VertikalScroll=11\nHorizontalScroll=12\n"),
              std::string::npos);
    EXPECT_NE(s.find("BootFileName=/boot/NEW.ELF\n"), std::string::npos);
}

TEST_F(SaveSettings, ExistingSectionsInOtherLetterCaseAreUpdatedInPlace) {
    writeSettings("; site settings\n[desktop]\nstayontop=1\n[Extra]\nKeep=me\n");
    start();
    ASSERT_TRUE(store.saveSettings().ok());
    std::string s = settings();
    EXPECT_EQ(s.rfind("; site settings\n[desktop]\nstayontop=1\nLeft=736\n", 0), 0u);
    EXPECT_EQ(s.find("[DESKTOP]"), std::string::npos);
    EXPECT_NE(s.find("[Extra]\nKeep=me\n"), std::string::npos);
}

TEST_F(SaveSettings, AFailedWriteIsReportedAndTheLaterKeysAreStillWritten) {
    start();
    values.protocolFileName = "bad\nname";
    values.remoteUrl = "http://after";
    WriteReport report = store.saveSettings();
    EXPECT_EQ(report.attempted, 19);
    EXPECT_EQ(report.failed, 1);
    EXPECT_EQ(errors.str(), "KvxDiagnostics: settings not saved to " + ini +
                                ": value holds a line break (1 of 19 values not written)\n");
    EXPECT_NE(settings().find("URL=http://after\n"), std::string::npos);
    EXPECT_EQ(settings().find("[PROTOCOL]"), std::string::npos);
}

TEST_F(SaveSettings, FileThatCannotBeReplacedStaysWholeAndTheCloseCompletes) {
    start();
    const std::string before = settings();
    KVX_REQUIRE_MOUNT(folder.bindFile(ini, ini));
    WriteReport report = store.saveSettings();
    EXPECT_EQ(report.attempted, 19);
    EXPECT_EQ(report.failed, 19);
    EXPECT_EQ(errors.str(), "KvxDiagnostics: settings not saved to " + ini +
                                ": replacing the file: Device or resource busy (19 of 19 values not written)\n");
    EXPECT_EQ(settings(), before);
    EXPECT_EQ(kvx::testing::otherFiles(exeFolder, {"kvxdiag.INI"}), std::vector<std::string>{});
}

TEST_F(SaveSettings, SuperUserRunWritesOneKeyLess) {
    values.superUserMode = 1;
    start();
    EXPECT_EQ(store.saveSettings().attempted, 18);
    EXPECT_EQ(settings().find("SuperUserMode"), std::string::npos);
}

}  // namespace
