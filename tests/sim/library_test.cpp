// Both driver libraries, loaded with dlopen from the build's program folder
// and driven against a real kvxsim process.
#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "daemon_process.h"
#include "driver/driver_library.h"
#include "driver/kvxg3_api.h"
#include "driver/records.h"

namespace kvxsim::test {
namespace {

std::vector<std::string> entryNames(bool remote) {
    std::vector<std::string> names;
#define KVX_SHARED(name) names.push_back(#name);
#define KVX_PAIR(op, localName, remoteName) names.push_back(remote ? #remoteName : #localName);
#define KVX_LOCAL(name) \
    if (!remote) names.push_back(#name);
#define KVX_REMOTE(name) \
    if (remote) names.push_back(#name);
#define KVX_REMOTE_FILE(name) \
    if (remote) names.push_back(#name);
#include "driver/entry_points.def"
#undef KVX_SHARED
#undef KVX_PAIR
#undef KVX_LOCAL
#undef KVX_REMOTE
#undef KVX_REMOTE_FILE
    return names;
}

void* openLibrary(const char* fileName) {
    std::string path = binDir() + "/" + fileName;
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) ADD_FAILURE() << ::dlerror();
    return handle;
}

template <typename Fn>
Fn entry(void* library, const char* name) {
    void* address = ::dlsym(library, name);
    if (!address) ADD_FAILURE() << "missing entry point " << name;
    return reinterpret_cast<Fn>(address);
}

// ---- what the libraries export --------------------------------------------

TEST(DriverLibraryExports, EachLibraryExportsExactlyItsSet) {
    struct Case {
        const char* file;
        bool remote;
    };
    for (Case c : {Case{"kvxg3.dll", false}, Case{"kvxg3X.DLL", true}}) {
        void* lib = openLibrary(c.file);
        ASSERT_NE(lib, nullptr);
        auto own = entryNames(c.remote);
        EXPECT_EQ(own.size(), c.remote ? 147u : 134u) << c.file;
        for (const auto& name : own) EXPECT_NE(::dlsym(lib, name.c_str()), nullptr) << c.file << ": " << name;
        // The other form's own names stay out.
        std::set<std::string> ownSet(own.begin(), own.end());
        for (const auto& name : entryNames(!c.remote))
            if (!ownSet.count(name)) {
                EXPECT_EQ(::dlsym(lib, name.c_str()), nullptr) << c.file << ": " << name;
            }
        // Nothing of the inside leaks.
        EXPECT_EQ(::dlsym(lib, "_ZN6kvxsim10DriverCore4initEiPvS1_Pi"), nullptr);
    }
}

TEST(DriverLibraryExports, UnusedEntriesAnswerNotSupported) {
    void* local = openLibrary("kvxg3.dll");
    void* remote = openLibrary("kvxg3X.DLL");
    ASSERT_NE(local, nullptr);
    ASSERT_NE(remote, nullptr);
    for (const char* name : {"txbf2", "cl", "ReadLinkStatus", "rdOsTraceBuffer", "wrAxVarDbl", "rdAsmSecureParams"})
        EXPECT_EQ(entry<int32_t (*)(void)>(local, name)(), KVX_E_NOT_SUPPORTED) << name;
    for (const char* name : {"txbf", "fopenX", "TransferFileToRemoteSystem", "KvxG3StopOS", "KVXG3_ResetDllErrorRoutine"})
        EXPECT_EQ(entry<int32_t (*)(void)>(remote, name)(), KVX_E_NOT_SUPPORTED) << name;
}

// ---- the local library ----------------------------------------------------

struct LocalLibrary {
    void* lib = openLibrary("kvxg3.dll");
    KvxInitLocalFn init = entry<KvxInitLocalFn>(lib, "InitKvxSystem3");
    KvxBootLocalFn boot = entry<KvxBootLocalFn>(lib, "BootFile");
    KvxCardSelectFn cardSelect = entry<KvxCardSelectFn>(lib, "CardSelect");
    KvxCloseLocalFn close = entry<KvxCloseLocalFn>(lib, "KvxClose");
    KvxStatusLocalFn rdKvxStatus = entry<KvxStatusLocalFn>(lib, "rdKvxStatus");
    KvxRecordLocalFn rdaxst = entry<KvxRecordLocalFn>(lib, "rdaxst");
    KvxRecordLocalFn rdifs = entry<KvxRecordLocalFn>(lib, "rdifs");
    KvxRecordLocalFn rdasms = entry<KvxRecordLocalFn>(lib, "rdasms");
    KvxRecordLocalFn rdasmecs = entry<KvxRecordLocalFn>(lib, "rdasmecs");
    KvxRecordLocalFn rdmpe = entry<KvxRecordLocalFn>(lib, "rdmpe");
    KvxRecordLocalFn rdigi = entry<KvxRecordLocalFn>(lib, "rdigi");
    KvxDigibLocalFn rddigib = entry<KvxDigibLocalFn>(lib, "rddigib");
    KvxOptionLocalFn rdOptionInt = entry<KvxOptionLocalFn>(lib, "rdOptionInt");
    KvxEnvLocalFn getEnvStr = entry<KvxEnvLocalFn>(lib, "getEnvStr");
    KvxIntLocalFn rdOsVersion = entry<KvxIntLocalFn>(lib, "rdOsVersion");
    KvxIntLocalFn rdPldVersion = entry<KvxIntLocalFn>(lib, "rdPldVersion");
    KvxIntLocalFn rdSampleTime = entry<KvxIntLocalFn>(lib, "rdSampleTime");
    KvxIntLocalFn rdErrorReg = entry<KvxIntLocalFn>(lib, "rdErrorReg");
    KvxIntLocalFn wrErrorReg = entry<KvxIntLocalFn>(lib, "wrErrorReg");
    KvxDriverVersionFn rdDriverVersion = entry<KvxDriverVersionFn>(lib, "rdDriverVersion");
    KvxOpCodeLocalFn opCode = entry<KvxOpCodeLocalFn>(lib, "tvMXI_OpCodeToLinkMTX");
    KvxTaskLocalFn rdcncts = entry<KvxTaskLocalFn>(lib, "rdcncts");
    KvxTaskLocalFn getcnctfh = entry<KvxTaskLocalFn>(lib, "getcnctfh");

    kvx::AxisTable axes;
    kvx::SystemInfo info;
    int32_t boardType = -1;

    int32_t initialise() { return init(axes.data(), info.data(), 0, "SYSTEM.DAT", &boardType); }
    std::uint32_t runCounter() {
        kvx::StatusRecord status;
        EXPECT_EQ(rdKvxStatus(status.data(), 240), 0);
        return status.runCounter();
    }
};

// Each test points the local library at a socket of its own.
class LocalLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KVXSIM_SOCKET", socket.c_str(), 1);
        lib.cardSelect(0);  // whatever an earlier test selected
    }
    void TearDown() override {
        lib.close();
        ::unsetenv("KVXSIM_SOCKET");
    }

    TempDir dir;
    std::string socket = dir.file("kvxsim.sock");
    LocalLibrary lib;
};

TEST_F(LocalLibraryTest, InitialisationAnswers34WithoutDaemonAndRecoversWhenItStarts) {
    EXPECT_EQ(lib.initialise(), KVX_INIT_NO_MINIPORT);
    EXPECT_EQ(lib.boardType, -1);
    {
        DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", socket);
        EXPECT_EQ(lib.initialise(), KVX_OK);
        EXPECT_EQ(lib.boardType, 4);
        EXPECT_EQ(lib.info.tavosName(), "TAVOS");
        EXPECT_EQ(lib.info.axisCount(), 4);
        EXPECT_EQ(lib.axes[2].maxPositionErrorLimit(), 8.0);
        EXPECT_EQ(daemon.stop(SIGKILL) & 0x7f, SIGKILL);
        EXPECT_EQ(lib.initialise(), KVX_INIT_NO_MINIPORT);
    }
    DaemonProcess again(scenarioDir() + "/kvx2400.scn", socket);
    EXPECT_EQ(lib.initialise(), KVX_OK);
    EXPECT_EQ(lib.boardType, 16);
    EXPECT_EQ(lib.info.axisCount(), 8);
}

TEST_F(LocalLibraryTest, IdentityReadsFollowTheScenario) {
    DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", socket);
    ASSERT_EQ(lib.initialise(), KVX_OK);
    int32_t v = 0;
    EXPECT_EQ(lib.rdOsVersion(&v), 0);
    EXPECT_EQ(v, 253048);
    lib.rdPldVersion(&v);
    EXPECT_EQ(v, 7);
    lib.rdSampleTime(&v);
    EXPECT_EQ(v, 1280);
    lib.rdErrorReg(&v);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(lib.rdDriverVersion(), 0x51234);
    EXPECT_EQ(lib.opCode(0, 1003), 0);

    kvx::EnvBuffer env;
    env.setText("SerialNumber");
    EXPECT_EQ(lib.getEnvStr(env.chars()), 8);
    EXPECT_EQ(env.text(), "20001234");
    env.setText("NoSuchVariable");
    EXPECT_EQ(lib.getEnvStr(env.chars()), 0);

    kvx::OptionDescriptors options;
    options.fill();
    EXPECT_EQ(lib.rdOptionInt(options[kvx::OptionDescriptors::EpmBase].data(), &v), KVX_OPTION_READ);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(lib.rdOptionInt(options[kvx::OptionDescriptors::EpmOption].data(), &v), KVX_OPTION_READ);
    EXPECT_EQ(v, 3);

    kvx::TaskStateRecord state;
    kvx::TaskFileRecord file;
    EXPECT_EQ(lib.rdcncts(1, state.data()), 0);
    EXPECT_EQ(lib.getcnctfh(1, file.data()), 0);
    EXPECT_EQ(state.state(), 1u);
    EXPECT_EQ(state.errorNumber(), 0);
    EXPECT_EQ(file.fileName(), "HOMING.QSL");
}

TEST_F(LocalLibraryTest, ControlCommandChangesWhatTheLibraryReads) {
    DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", socket);
    ASSERT_EQ(lib.initialise(), KVX_OK);
    for (const auto& words : std::vector<std::vector<std::string>>{
             {"inject", "emergency-out", "axis", "2"},
             {"inject", "max-position-error", "axis", "2"},
             {"inject", "encoder-error", "axis", "1,3"},
             {"inject", "interface-status"},
             {"inject", "runtime-error", "task", "3", "-4", "17"},
             {"inject", "error-register", "0x10"},
             {"set", "option", "62", "none"},
             {"set", "axis", "4", "limit", "0"},
             {"set", "rx-com", "9"},
             {"set", "min-cycle", "894"},
             {"set", "max-cycle", "1792"}}) {
        ProcessResult r = daemon.control(words);
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    // The next tick's initialisation brings the changed card along.
    ASSERT_EQ(lib.initialise(), KVX_OK);
    EXPECT_EQ(lib.rdaxst(&lib.axes[1]), 0);
    EXPECT_EQ(lib.axes[1].axisStateWord(), 0x82u);
    EXPECT_EQ(lib.rdifs(lib.axes.data()), 0);
    EXPECT_EQ(lib.axes[0].statusWord(), 0x0Bu);
    EXPECT_EQ((std::vector<int32_t>{lib.rddigib(0, 18), lib.rddigib(1, 18), lib.rddigib(2, 18), lib.rddigib(3, 18)}),
              (std::vector<int32_t>{1, 0, 1, 0}));
    EXPECT_EQ(lib.rdmpe(&lib.axes[3]), 0);
    EXPECT_EQ(lib.axes[3].maxPositionErrorLimit(), 0.0);

    kvx::TaskStateRecord state;
    lib.rdcncts(3, state.data());
    EXPECT_EQ(state.errorNumber(), -4);
    EXPECT_EQ(state.errorLine(), 17);
    int32_t v = 0;
    lib.rdErrorReg(&v);
    EXPECT_EQ(v, 0x10);
    kvx::OptionDescriptors options;
    options.fill();
    v = 77;
    EXPECT_EQ(lib.rdOptionInt(options[kvx::OptionDescriptors::EpmBase].data(), &v), 0);
    EXPECT_EQ(v, 77);

    kvx::StatusRecord status;
    EXPECT_EQ(lib.rdKvxStatus(status.data(), 240), 0);
    EXPECT_EQ(status.rxComErrors(), 9u);
    EXPECT_EQ(status.dmaReadErrors(), 0u);
    EXPECT_EQ(status.minCycleTime(), 894u);
    EXPECT_EQ(status.maxCycleTime(), 1792u);

    // Offline with a chosen code, then back.
    EXPECT_EQ(daemon.control({"offline", "33"}).exitCode, 0);
    EXPECT_EQ(lib.initialise(), 33);
    EXPECT_EQ(daemon.control({"online"}).exitCode, 0);
    EXPECT_EQ(lib.initialise(), 0);
}

TEST_F(LocalLibraryTest, ResetsOfEncoderErrorAndErrorRegister) {
    DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", socket);
    ASSERT_EQ(lib.initialise(), KVX_OK);
    daemon.control({"inject", "encoder-error", "axis", "2,3"});
    daemon.control({"inject", "error-register", "0x81"});
    EXPECT_EQ(lib.rdigi(&lib.axes[1]), 0);
    EXPECT_EQ(lib.rddigib(1, 18), 0);
    EXPECT_EQ(lib.rddigib(2, 18), 1);  // only the axis whose record was passed
    int32_t zero = 0, v = -1;
    EXPECT_EQ(lib.wrErrorReg(&zero), 0);
    lib.rdErrorReg(&v);
    EXPECT_EQ(v, 0);
}

TEST_F(LocalLibraryTest, BootFileRestartsTheControllerAndRefusesAMissingFile) {
    DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", socket);
    ASSERT_EQ(daemon.control({"set", "run-counter", "500000"}).exitCode, 0);
    EXPECT_GE(lib.runCounter(), 500000u);
    std::string bootFile = dir.write("TAVOS.ELF", "elf");
    EXPECT_EQ(lib.boot(bootFile.c_str(), 0), 0);
    EXPECT_LT(lib.runCounter(), 1000u);
    EXPECT_EQ(lib.boot(dir.file("MISSING.ELF").c_str(), 0), KVX_E_NO_FILE);
    EXPECT_EQ(lib.boot(dir.path().c_str(), 0), KVX_E_NO_FILE);  // a folder is no boot file
    // A boot brings an offline controller back.
    daemon.control({"offline", "20"});
    EXPECT_EQ(lib.boot(bootFile.c_str(), 0), 0);
    EXPECT_EQ(lib.initialise(), 0);
}

TEST_F(LocalLibraryTest, CardSelectWithSeveralCards) {
    std::string scenario = dir.write("three.scn",
                                     "[card 0]\nboard_type = 4\n[card 1]\nboard_type = 32\n[card 2]\nboard_type = 8\n");
    DaemonProcess daemon(scenario, socket);
    std::vector<int32_t> answers;
    for (int i = 0; i < 5; ++i) answers.push_back(lib.cardSelect(i));
    EXPECT_EQ(answers, (std::vector<int32_t>{0, 1, 2, KVX_E_NO_CARD, KVX_E_NO_CARD}));
    EXPECT_EQ(lib.cardSelect(-1), KVX_E_NO_CARD);

    EXPECT_EQ(lib.cardSelect(1), 1);
    ASSERT_EQ(lib.initialise(), 0);
    EXPECT_EQ(lib.boardType, 32);
    daemon.control({"card", "1", "inject", "error-register"});
    ASSERT_EQ(lib.initialise(), 0);
    int32_t v = 0;
    lib.rdErrorReg(&v);
    EXPECT_EQ(v, 1);

    EXPECT_EQ(lib.cardSelect(2), 2);
    lib.initialise();
    EXPECT_EQ(lib.boardType, 8);
    // A refused index keeps the card selected before, as a card driver does.
    EXPECT_NE(lib.cardSelect(7), 7);
    lib.initialise();
    EXPECT_EQ(lib.boardType, 8);
    EXPECT_EQ(lib.cardSelect(0), 0);  // the library stays loaded for the tests after this one
}

TEST_F(LocalLibraryTest, RecordsAreWrittenOnlyWithinTheirBounds) {
    DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", socket);
    ASSERT_EQ(lib.initialise(), KVX_OK);
    daemon.control({"set", "dma-read", "5"});
    ASSERT_EQ(lib.initialise(), KVX_OK);
    std::array<std::uint8_t, 64> status;
    status.fill(0xEE);
    EXPECT_EQ(lib.rdKvxStatus(status.data(), 24), 0);
    EXPECT_EQ(kvx::le::read32(&status[20]) > 0, true);
    EXPECT_EQ(status[24], 0xEE);  // the caller said 24 bytes
    EXPECT_EQ(status[28], 0xEE);

    daemon.control({"set", "env", "SerialNumber", std::string(300, '7')});
    ASSERT_EQ(lib.initialise(), KVX_OK);
    kvx::EnvBuffer env;
    env.setText("SerialNumber");
    EXPECT_EQ(lib.getEnvStr(env.chars()), 255);
    EXPECT_EQ(env.text(), std::string(255, '7'));

    EXPECT_EQ(lib.rdaxst(nullptr), KVX_E_BAD_ARGUMENT);
    kvx::AxisRecord foreign;  // never filled by the library
    EXPECT_EQ(lib.rdaxst(foreign.data()), KVX_E_BAD_ARGUMENT);
    EXPECT_EQ(lib.rdOsVersion(nullptr), KVX_E_BAD_ARGUMENT);
    EXPECT_EQ(lib.boot(nullptr, 0), KVX_E_BAD_ARGUMENT);
    // A copy of a filled record is still known by the index it carries.
    kvx::AxisRecord copy = lib.axes[2];
    daemon.control({"inject", "data-handling-error", "axis", "3"});
    ASSERT_EQ(lib.initialise(), KVX_OK);
    EXPECT_EQ(lib.rdaxst(copy.data()), 0);
    EXPECT_EQ(copy.axisStateWord(), 0x100u);
}

// ---- the remote library ---------------------------------------------------

struct ErrorReports {
    static inline std::vector<std::pair<int32_t, std::string>> calls;
    static void routine(int32_t code, const char* message) { calls.emplace_back(code, message ? message : ""); }
};

struct RemoteLibrary {
    void* lib = openLibrary("kvxg3X.DLL");
    KvxOpenRemoteFn open = entry<KvxOpenRemoteFn>(lib, "KvxG3XOpen");
    KvxCloseRemoteFn close = entry<KvxCloseRemoteFn>(lib, "KvxG3Close");
    KvxSetErrorRoutineFn setErrorRoutine = entry<KvxSetErrorRoutineFn>(lib, "KVXG3_SetDllErrorRoutine");
    KvxInitRemoteFn init = entry<KvxInitRemoteFn>(lib, "InitKvxSystem");
    KvxBootRemoteFn boot = entry<KvxBootRemoteFn>(lib, "BootFile");
    KvxStatusRemoteFn rdKvxStatus = entry<KvxStatusRemoteFn>(lib, "rdKvxStatus");
    KvxRecordRemoteFn rdaxst = entry<KvxRecordRemoteFn>(lib, "rdaxst");
    KvxRecordRemoteFn rdasms = entry<KvxRecordRemoteFn>(lib, "rdasms");
    KvxRecordRemoteFn rdasmecs = entry<KvxRecordRemoteFn>(lib, "rdasmecs");
    KvxRecordRemoteFn rdigi = entry<KvxRecordRemoteFn>(lib, "rdigi");
    KvxDigibRemoteFn rddigib = entry<KvxDigibRemoteFn>(lib, "rddigib");
    KvxIntRemoteFn rdErrorReg = entry<KvxIntRemoteFn>(lib, "rdErrorReg");
    KvxIntRemoteFn wrErrorReg = entry<KvxIntRemoteFn>(lib, "wrErrorReg");
    KvxEnvRemoteFn getEnvStr = entry<KvxEnvRemoteFn>(lib, "getEnvStr");
    KvxTaskRemoteFn getcnctfh = entry<KvxTaskRemoteFn>(lib, "getcnctfh");

    kvx::AxisTable axes;
    kvx::SystemInfo info;
    int32_t boardType = -1;
};

TEST(RemoteLibrary, OpenFailsForADeadOrMalformedUrl) {
    RemoteLibrary r;
    KvxHandle h = 12345;
    TempDir dir;
    {
        // A port that just served and is now closed.
        DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", dir.file("s.sock"));
        std::string url = daemon.url();
        daemon.stop(SIGTERM);
        EXPECT_EQ(r.open(url.c_str(), 0, "KVX.DEV", 5, &h), KVX_E_NO_CONNECTION);
    }
    EXPECT_EQ(r.open("ftp://127.0.0.1:80", 0, "KVX.DEV", 5, &h), KVX_E_BAD_ARGUMENT);
    EXPECT_EQ(r.open("http://", 0, "KVX.DEV", 5, &h), KVX_E_BAD_ARGUMENT);
    EXPECT_EQ(r.open("http://127.0.0.1:99999", 0, "KVX.DEV", 5, &h), KVX_E_BAD_ARGUMENT);
    EXPECT_EQ(r.open("", 0, "KVX.DEV", 5, &h), KVX_E_BAD_ARGUMENT);
    EXPECT_EQ(r.open(nullptr, 0, "KVX.DEV", 5, &h), KVX_E_BAD_ARGUMENT);
    EXPECT_EQ(h, 12345);  // never written on failure
    EXPECT_EQ(r.init(h, r.axes.data(), r.info.data(), "SYSTEM.DAT", &r.boardType), KVX_E_BAD_HANDLE);
    EXPECT_EQ(r.close(h), KVX_E_BAD_HANDLE);
}

TEST(RemoteLibrary, ReadsOverHttpAndReportsABrokenConnection) {
    RemoteLibrary r;
    TempDir dir;
    ErrorReports::calls.clear();
    auto daemon = std::make_unique<DaemonProcess>(scenarioDir() + "/kvx4000.scn", dir.file("s.sock"));
    int port = daemon->port();
    KvxHandle h = 0;
    ASSERT_EQ(r.open((daemon->url() + "/").c_str(), 0, "KVX.DEV", 5, &h), 0);
    EXPECT_GT(h, 0);
    EXPECT_EQ(r.setErrorRoutine(h, &ErrorReports::routine), 0);
    ASSERT_EQ(r.init(h, r.axes.data(), r.info.data(), "SYSTEM.DAT", &r.boardType), 0);
    EXPECT_EQ(r.boardType, 8);
    EXPECT_EQ(r.info.axisCount(), 6);
    EXPECT_EQ(r.axes[2].epromCheckSum(), 0xFFu);

    daemon->control({"inject", "asm-timeout", "module", "2"});
    daemon->control({"inject", "asm-status", "module", "1", "0x30"});
    // Reads answer what the controller held at the tick's initialisation.
    ASSERT_EQ(r.init(h, r.axes.data(), r.info.data(), "SYSTEM.DAT", &r.boardType), 0);
    EXPECT_EQ(r.rdaxst(h, &r.axes[4]), 0);
    EXPECT_EQ(r.axes[4].axisStateWord(), 1u);
    EXPECT_EQ(r.rdasms(h, &r.axes[2]), 0);
    EXPECT_EQ(r.axes[2].statusWord(), 0x30u);
    EXPECT_EQ(r.rdasmecs(h, &r.axes[0]), 0);
    EXPECT_EQ(r.axes[0].epromCheckSum(), 0x1A2Bu);
    kvx::TaskFileRecord file;
    EXPECT_EQ(r.getcnctfh(h, 0, file.data()), 0);
    EXPECT_EQ(file.fileName(), "CELL.QSL");
    daemon->control({"inject", "encoder-error", "axis", "1"});
    daemon->control({"inject", "error-register"});
    ASSERT_EQ(r.init(h, r.axes.data(), r.info.data(), "SYSTEM.DAT", &r.boardType), 0);
    EXPECT_EQ(r.rddigib(h, 0, 18), 1);
    EXPECT_EQ(r.rdigi(h, &r.axes[0]), 0);
    EXPECT_EQ(r.rddigib(h, 0, 18), 0);
    int32_t zero = 0, v = -1;
    EXPECT_EQ(r.wrErrorReg(h, &zero), 0);
    EXPECT_EQ(r.rdErrorReg(h, &v), 0);
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(ErrorReports::calls.empty());

    // The web services die: the call fails and the error routine hears of it.
    daemon->stop(SIGKILL);
    daemon.reset();
    EXPECT_EQ(r.init(h, r.axes.data(), r.info.data(), "SYSTEM.DAT", &r.boardType), KVX_E_NO_CONNECTION);
    ASSERT_EQ(ErrorReports::calls.size(), 1u);
    EXPECT_EQ(ErrorReports::calls[0].first, KVX_E_NO_CONNECTION);
    EXPECT_EQ(ErrorReports::calls[0].second,
              "web services at http://127.0.0.1:" + std::to_string(port) + " not reachable (Connection refused)");
    EXPECT_EQ(r.rdErrorReg(h, &v), KVX_E_NO_CONNECTION);
    EXPECT_EQ(ErrorReports::calls.size(), 2u);

    // Back at the same address: the same handle works again.
    daemon = std::make_unique<DaemonProcess>(scenarioDir() + "/kvx4000.scn", dir.file("s.sock"), port);
    EXPECT_EQ(r.init(h, r.axes.data(), r.info.data(), "SYSTEM.DAT", &r.boardType), 0);
    EXPECT_EQ(ErrorReports::calls.size(), 2u);
    EXPECT_EQ(r.close(h), 0);
    EXPECT_EQ(r.close(h), KVX_E_BAD_HANDLE);
}

TEST(RemoteLibrary, BootFileOverHttp) {
    RemoteLibrary r;
    TempDir dir;
    DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", dir.file("s.sock"));
    KvxHandle h = 0;
    ASSERT_EQ(r.open(daemon.url().c_str(), 0, "KVX.DEV", 5, &h), 0);
    daemon.control({"set", "run-counter", "900000"});
    kvx::StatusRecord status;
    r.rdKvxStatus(h, status.data(), 240);
    EXPECT_GE(status.runCounter(), 900000u);
    EXPECT_EQ(r.boot(h, dir.write("TAVOS.ELF", "x").c_str()), 0);
    r.rdKvxStatus(h, status.data(), 240);
    EXPECT_LT(status.runCounter(), 1000u);
    EXPECT_EQ(r.boot(h, "/no/such/TAVOS.ELF"), KVX_E_NO_FILE);
    r.close(h);
}

// ---- the daemon and its control command -----------------------------------

TEST(SimulatorDaemon, RefusesABadScenarioNamingLineAndField) {
    TempDir dir;
    std::string bad = dir.write("bad.scn", "[card 0]\nboard_type = 4\n[axis 2]\nlimit = wide\n");
    ProcessResult r = runProcess({binDir() + "/kvxsim", "--scenario", bad, "--socket", dir.file("s.sock")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "kvxsim: " + bad + ":4: field \"limit\": value \"wide\": not a number\n");
    struct stat st;
    EXPECT_NE(::stat(dir.file("s.sock").c_str(), &st), 0);

    r = runProcess({binDir() + "/kvxsim", "--scenario", bad, "--latency-ms", "soon"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "kvxsim: --latency-ms \"soon\": not a number");
}

TEST(SimulatorDaemon, KeepsRunningAfterBadControlRequests) {
    TempDir dir;
    DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", dir.file("s.sock"));
    ProcessResult r = daemon.control({"inject", "emergency-out", "axis", "twenty"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "kvxsimctl: word 4 (\"twenty\"): axis \"twenty\": not a number\n");
    r = daemon.control({"set", "sample-time"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "kvxsimctl: word 3: missing sample time\n");
    r = daemon.control({"card", "0", "inject", "emergency-out", "axis", "2"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "card 0: injected emergency out at axis 2\n");
    r = daemon.control({"state"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("    axis 2: state 0x2, status 0x10, checksum 0x0, limit 12.5\n"), std::string::npos) << r.out;
}

TEST(SimulatorDaemon, ControlCommandWithoutDaemon) {
    TempDir dir;
    ProcessResult r = runProcess({binDir() + "/kvxsimctl", "--socket", dir.file("none.sock"), "state"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "kvxsimctl: no simulator listens on " + dir.file("none.sock") + "\n");
}

// The help a newcomer is pointed to needs no running daemon and names every
// verb the daemon takes.
TEST(SimulatorDaemon, ControlCommandHelp) {
    TempDir dir;
    for (const char* word : {"help", "--help"}) {
        ProcessResult r = runProcess({binDir() + "/kvxsimctl", "--socket", dir.file("none.sock"), word});
        EXPECT_EQ(r.exitCode, 0) << word;
        for (const char* verb : {"\n  state ", "\n  inject|clear ", "\n  increment ", "\n  set ", "\n  restart ",
                                 "\n  offline ", "\n  online "})
            EXPECT_NE(r.out.find(verb), std::string::npos) << word << ": " << verb;
    }
}

TEST(SimulatorDaemon, StopsCleanlyAndRemovesItsSocket) {
    TempDir dir;
    for (int signal : {SIGTERM, SIGINT}) {
        DaemonProcess daemon(scenarioDir() + "/kvx2100.scn", dir.file("s.sock"));
        struct stat st;
        EXPECT_EQ(::stat(dir.file("s.sock").c_str(), &st), 0);
        int status = daemon.stop(signal);
        EXPECT_TRUE(WIFEXITED(status)) << signal;
        EXPECT_EQ(WEXITSTATUS(status), 0) << signal;
        EXPECT_NE(::stat(dir.file("s.sock").c_str(), &st), 0) << signal;
    }
}

// A fleet of a thousand: the controllers take the scenarios in turn, each is
// reached over its own path, a fault stays with the one it was injected
// into, and the daemon raises a low descriptor limit to hold a connection
// for every controller's monitor.
TEST(SimulatorDaemon, FleetControllersTakeTheScenariosInTurn) {
    TempDir dir;
    rlimit inherited{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &inherited), 0);
    rlimit low = inherited;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", dir.file("s.sock"), 0,
                         {"--scenario", scenarioDir() + "/kvx4000.scn", "--scenario", scenarioDir() + "/lively.scn",
                          "--controllers", "1000", "--quiet"});
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &inherited), 0);
    auto ctl = [&](const std::string& controller, std::vector<std::string> words) {
        words.insert(words.begin(), {binDir() + "/kvxsimctl", "--url", daemon.url() + "/" + controller});
        return runProcess(words);
    };
    const struct {
        const char* controller;
        const char* shows;
    } cases[] = {
        {"c1", "card 0: board type 4,"},          {"c2", "card 0: board type 8,"},
        {"c3", "SerialNumber=\"20004711\""},     {"c776", "card 0: board type 8,"},
        {"c777", "SerialNumber=\"20004711\""},        {"c1000", "card 0: board type 4,"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = ctl(c.controller, {"state"});
        EXPECT_EQ(r.exitCode, 0) << c.controller << ": " << r.err;
        EXPECT_NE(r.out.find(c.shows), std::string::npos) << c.controller << ": " << r.out;
    }
    EXPECT_EQ(ctl("c777", {"inject", "emergency-out", "axis", "1"}).exitCode, 0);
    const std::string injected = "    axis 1: state 0x2,";
    EXPECT_NE(ctl("c777", {"state"}).out.find(injected), std::string::npos);
    EXPECT_EQ(ctl("c776", {"state"}).out.find(injected), std::string::npos);
    const ProcessResult beyond = ctl("c1001", {"state"});
    EXPECT_EQ(beyond.exitCode, 3);
    EXPECT_EQ(beyond.err, "kvxsimctl: the simulator at " + daemon.url() + " has no controller at /c1001\n");

    std::ifstream limits("/proc/" + std::to_string(daemon.pid()) + "/limits");
    std::string line;
    while (std::getline(limits, line) && line.rfind("Max open files", 0) != 0) {
    }
    const rlim_t wanted = 8 + 2 * 1000 + 64;
    const rlim_t expected = inherited.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, inherited.rlim_max);
    EXPECT_EQ(std::stoull(line.substr(26)), expected) << line;
}

TEST(SimulatorDaemon, RefusesASocketAnotherDaemonServes) {
    TempDir dir;
    DaemonProcess first(scenarioDir() + "/kvx2000.scn", dir.file("s.sock"));
    ProcessResult r = runProcess({binDir() + "/kvxsim", "--scenario", scenarioDir() + "/kvx2000.scn", "--socket",
                                  dir.file("s.sock"), "--no-http"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "kvxsim: another simulator already listens on " + dir.file("s.sock") + "\n");
    EXPECT_EQ(first.control({"online"}).exitCode, 0);
}

TEST_F(LocalLibraryTest, LatencyDelaysDriverAnswersButNotControl) {
    DaemonProcess daemon(scenarioDir() + "/kvx2000.scn", socket, 0, {"--latency-ms", "150"});
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    EXPECT_EQ(lib.initialise(), 0);
    auto driverTime = Clock::now() - start;
    EXPECT_GE(driverTime, std::chrono::milliseconds(150));
    // Many short control connections in a row; the daemon reaps each one.
    for (int i = 0; i < 20; ++i) ASSERT_EQ(daemon.control({"increment", "timeout"}).exitCode, 0);
    ASSERT_EQ(lib.initialise(), 0);
    kvx::StatusRecord status;
    EXPECT_EQ(lib.rdKvxStatus(status.data(), 240), 0);
    EXPECT_EQ(status.timeoutErrors(), 20u);
}

TEST_F(LocalLibraryTest, TimelineChangesTheCardWhileItRuns) {
    std::string scenario = dir.write("timeline.scn",
                                     "[card 0]\naxes = 2\n[timeline]\nat 0.3 = inject emergency-out axis 2\n"
                                     "at 0.6 = offline 34\n");
    DaemonProcess daemon(scenario, socket);
    ASSERT_EQ(lib.initialise(), 0);
    EXPECT_EQ(lib.axes[1].axisStateWord(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(lib.initialise(), 0);
    EXPECT_EQ(lib.axes[1].axisStateWord(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(lib.initialise(), 34);
}

}  // namespace
}  // namespace kvxsim::test

namespace kvxsim::test {
namespace {

// The monitor's own loader binds and validates both libraries.
TEST(DriverLibraryExports, TheMonitorsLoaderAcceptsBothLibraries) {
    struct Case {
        const char* file;
        bool remote;
        kvx::Op op;
    };
    for (Case c : {Case{"kvxg3.dll", false, kvx::Op::CardSelect}, Case{"kvxg3X.DLL", true, kvx::Op::KvxG3XOpen}}) {
        std::string path = binDir() + "/" + c.file;
        kvx::DriverLibrary library([&](const std::string& name) -> std::optional<std::string> {
            if (name == "KVXDLLNAME") return path;
            return std::nullopt;
        });
        EXPECT_EQ(library.loadDriverLibrary("kvxg3.dll", c.remote, false), 1) << c.file;
        EXPECT_EQ(library.loadedDriverFileName(), path);
        EXPECT_TRUE(library.bound(kvx::Op::Init, c.remote)) << c.file;
        EXPECT_TRUE(library.bound(c.op, c.remote)) << c.file;
        EXPECT_TRUE(library.bound(kvx::Op::rdaxst, c.remote)) << c.file;
        EXPECT_EQ(library.unloadDriverLibrary(), 1);
        // 2.5.3.99 opens every version gate (the highest is 253.026).
        kvx::FileVersionInfo version = kvx::readFileVersion(path);
        EXPECT_TRUE(version.valid) << c.file;
        EXPECT_EQ(kvx::fileVersionText(version), "2.5.3.99") << c.file;
        EXPECT_DOUBLE_EQ(kvx::driverVersionNumber(version), 253.099);
    }
}

}  // namespace
}  // namespace kvxsim::test
