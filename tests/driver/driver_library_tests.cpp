#include "driver/driver_library.h"

#include <gtest/gtest.h>

#include <map>

#include "driver/driver.h"
#include "test_support.h"

namespace kvx {
namespace {

using test::EnvironmentChange;
using test::isMapped;
using test::ScratchFolder;
using test::testLibrary;

// An environment of our own, so the tests never depend on the process's.
struct FakeEnvironment {
    std::map<std::string, std::string> values;
    EnvironmentLookup lookup() {
        return [this](const std::string& name) -> std::optional<std::string> {
            auto it = values.find(name);
            if (it == values.end()) return std::nullopt;
            return it->second;
        };
    }
};

template <typename T>
T* exported(const DriverLibrary& lib, const char* name) {
    return static_cast<T*>(librarySymbol(lib.driverModule(), name));
}

class DriverLibraryTest : public ::testing::Test {
protected:
    // Loads a stand-in library through KVXDLLNAME, as a technician would.
    int loadByVariable(const std::string& library, bool remote, bool quickCheck = false) {
        env.values["KVXDLLNAME"] = testLibrary(library);
        return lib.loadDriverLibrary("kvxg3.dll", remote, quickCheck);
    }
    // Counts the closes of the loaded library, even after it is gone.
    void observeCloses() {
        auto** observer = exported<std::int32_t*>(lib, "kvxTestCloseObserver");
        ASSERT_NE(observer, nullptr);
        *observer = &closes;
    }

    FakeEnvironment env;
    DriverLibrary lib{env.lookup()};
    std::int32_t closes = 0;
};

TEST(DriverFileName, RemoteModeCutsBeforeTheFirstDotAfterANonDotAndAppendsXDll) {
    const EnvironmentLookup none = [](const std::string&) { return std::optional<std::string>(); };
    const std::pair<const char*, const char*> cases[] = {
        {"kvxg3.dll", "kvxg3X.DLL"},   {"kvxg3", "kvxg3X.DLL"},       {"..kvxg3.dll", "..kvxg3X.DLL"},
        {".kvxg3.dll", ".kvxg3X.DLL"}, {"kvx.g3.dll", "kvxX.DLL"},    {"a..b", "aX.DLL"},
        {"...", "...X.DLL"},           {"", "X.DLL"},                 {"/opt/kvx/kvxg3.dll", "/opt/kvx/kvxg3X.DLL"},
    };
    for (const auto& [base, expected] : cases) {
        EXPECT_EQ(DriverLibrary::driverFileName(base, true, none), expected) << base;
        EXPECT_EQ(DriverLibrary::driverFileName(base, false, none), base) << base;
    }
}

TEST(DriverFileName, KvxDllNameIsUsedUnchangedInBothModes) {
    FakeEnvironment env;
    env.values["KVXDLLNAME"] = "my.driver.so";
    EXPECT_EQ(DriverLibrary::driverFileName("kvxg3.dll", false, env.lookup()), "my.driver.so");
    EXPECT_EQ(DriverLibrary::driverFileName("kvxg3.dll", true, env.lookup()), "my.driver.so");
    env.values["KVXDLLNAME"] = "";
    EXPECT_EQ(DriverLibrary::driverFileName("kvxg3.dll", true, env.lookup()), "");
}

TEST(DriverFileName, TheProcessEnvironmentIsTheDefault) {
    EnvironmentChange change("KVXDLLNAME", "from-the-environment.so");
    EXPECT_EQ(processEnvironment("KVXDLLNAME"), "from-the-environment.so");
    EXPECT_EQ(DriverLibrary::driverFileName("kvxg3.dll", true, processEnvironment), "from-the-environment.so");
    EnvironmentChange removed("KVXDLLNAME", std::nullopt);
    EXPECT_FALSE(processEnvironment("KVXDLLNAME"));
}

TEST_F(DriverLibraryTest, ACompleteLocalLibraryIsUsableAndFillsTheLocalSlots) {
    ASSERT_EQ(loadByVariable("kvxtest_local", false), 1);
    EXPECT_NE(lib.driverModule(), nullptr);
    EXPECT_EQ(lib.driverLoaded(), 1);
    EXPECT_EQ(lib.loadedDriverFileName(), testLibrary("kvxtest_local"));

    const EntryPointTable& t = lib.table();
    EXPECT_EQ(t[Op::Init].local, librarySymbol(lib.driverModule(), "InitKvxSystem3"));
    EXPECT_EQ(t[Op::Init].remote, nullptr);
    EXPECT_TRUE(lib.bound(Op::Close, false));
    EXPECT_TRUE(lib.bound(Op::CardSelect, false));
    EXPECT_EQ(t[Op::CardSelect].remote, nullptr);
    for (Op op : {Op::KvxG3XOpen, Op::KVXG3_SetDllErrorRoutine, Op::KVXG3_ResetDllErrorRoutine,
                  Op::KvxG3CheckOSRunning, Op::KvxG3CpuSoftReset, Op::KvxG3StopOS}) {
        EXPECT_EQ(t[op].local, emptyRoutineAddress()) << entryName(op, false);
        EXPECT_EQ(t[op].remote, nullptr) << entryName(op, false);
        EXPECT_FALSE(lib.bound(op, false));
    }
    EXPECT_EQ(t[Op::fopenX].local, nullptr);
    EXPECT_EQ(t[Op::fopenX].remote, nullptr);
    for (Op op : {Op::BootFile, Op::rdaxst, Op::rdtrjerk, Op::rdcbcnct, Op::wrAxVarDbl}) {
        EXPECT_NE(t[op].local, nullptr) << entryName(op, false);
        EXPECT_EQ(t[op].local, t[op].remote) << entryName(op, false);
    }
}

TEST_F(DriverLibraryTest, BaseNameInRemoteModeLoadsTheXDllFoundIgnoringCase) {
    ScratchFolder folder;
    folder.copy(testLibrary("kvxtest_remote"), "kvxg3x.dll");
    EnvironmentChange path("LD_LIBRARY_PATH", folder.path());

    ASSERT_EQ(lib.loadDriverLibrary("kvxg3.dll", true, false), 1);
    EXPECT_EQ(lib.loadedDriverFileName(), "kvxg3X.DLL");
    EXPECT_TRUE(isMapped(folder.file("kvxg3x.dll")));

    const EntryPointTable& t = lib.table();
    EXPECT_TRUE(lib.bound(Op::Init, true));
    EXPECT_EQ(t[Op::Init].local, nullptr);
    EXPECT_TRUE(lib.bound(Op::KvxG3XOpen, true));
    EXPECT_TRUE(lib.bound(Op::fopenX, true));
    EXPECT_TRUE(lib.bound(Op::TransferFileToRemoteSystem, true));
    EXPECT_EQ(t[Op::ReadLinkStatus].remote, emptyRoutineAddress());
    EXPECT_EQ(t[Op::CardSelect].remote, emptyRoutineAddress());
    EXPECT_EQ(t[Op::tvMXI_GetpOSTRACE].remote, nullptr);
    EXPECT_EQ(t[Op::KvxG3XOpen].local, nullptr);

    // The version is read from the name the window shows, the same file.
    FileVersionInfo info = readFileVersion("kvxg3x.dll");
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(driverVersionText("kvxg3x.dll", info), "kvxg3x.dll: 2.5.3.15");
}

TEST_F(DriverLibraryTest, KvxDllNameIsLoadedInRemoteModeToo) {
    ASSERT_EQ(loadByVariable("kvxtest_remote", true), 1);
    EXPECT_EQ(lib.loadedDriverFileName(), testLibrary("kvxtest_remote"));
}

TEST_F(DriverLibraryTest, TheSameNameTwiceReturnsOneWithoutUnloading) {
    ASSERT_EQ(loadByVariable("kvxtest_local", false), 1);
    observeCloses();
    LibraryHandle first = lib.driverModule();

    EXPECT_EQ(lib.loadDriverLibrary("kvxg3.dll", false, false), 1);
    EXPECT_EQ(lib.driverModule(), first);
    EXPECT_EQ(closes, 0);
    EXPECT_EQ(*exported<std::int32_t>(lib, "kvxTestCloseCalls"), 0);
}

TEST_F(DriverLibraryTest, TheNameIsComparedExactly) {
    ScratchFolder folder;
    const std::string lower = folder.copy(testLibrary("kvxtest_local"), "kvxg3.dll");
    env.values["KVXDLLNAME"] = lower;
    ASSERT_EQ(lib.loadDriverLibrary("ignored", false, false), 1);
    observeCloses();

    // Another spelling of the same file is another name: close, unload, load.
    env.values["KVXDLLNAME"] = folder.path() + "//kvxg3.dll";
    EXPECT_EQ(lib.loadDriverLibrary("ignored", false, false), 1);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(lib.loadedDriverFileName(), folder.path() + "//kvxg3.dll");
}

TEST_F(DriverLibraryTest, AnotherNameClosesTheCardAndUnloadsFirst) {
    ASSERT_EQ(loadByVariable("kvxtest_local", false), 1);
    observeCloses();

    ASSERT_EQ(loadByVariable("kvxtest_local_no_rdtrjerk", false), 1);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(isMapped(testLibrary("kvxtest_local")));
    EXPECT_TRUE(isMapped(testLibrary("kvxtest_local_no_rdtrjerk")));
    EXPECT_EQ(lib.loadedDriverFileName(), testLibrary("kvxtest_local_no_rdtrjerk"));
}

TEST_F(DriverLibraryTest, ReplacingARemoteLibraryDoesNotCallTheLocalCloseOfAnEarlierOne) {
    ASSERT_EQ(loadByVariable("kvxtest_local", false), 1);
    observeCloses();
    ASSERT_EQ(loadByVariable("kvxtest_remote", true), 1);
    EXPECT_EQ(closes, 1);
    // The local slots of the freed local library were cleared with it.
    EXPECT_EQ(lib.table()[Op::Close].local, nullptr);
    EXPECT_EQ(lib.table()[Op::Init].local, nullptr);

    observeCloses();
    ASSERT_EQ(loadByVariable("kvxtest_local", false), 1);
    EXPECT_EQ(closes, 1);  // no KvxClose in a remote library; KvxG3Close is the caller's to call
    EXPECT_FALSE(isMapped(testLibrary("kvxtest_remote")));
}

TEST_F(DriverLibraryTest, RdtrjerkIsBoundWhenPresentButNeverRequired) {
    EXPECT_EQ(loadByVariable("kvxtest_local_no_rdtrjerk", false), 1);
    EXPECT_EQ(lib.table()[Op::rdtrjerk].local, nullptr);
    EXPECT_TRUE(lib.bound(Op::wrtrjerk, false));
}

TEST_F(DriverLibraryTest, RdcbcnctIsRequiredInLocalModeOnly) {
    EXPECT_EQ(loadByVariable("kvxtest_no_rdcbcnct", false), 0);
    // Refused, but the module stays loaded for "Try anyway".
    EXPECT_NE(lib.driverModule(), nullptr);
    EXPECT_EQ(lib.driverLoaded(), 0);
    EXPECT_EQ(lib.loadedDriverFileName(), "");
    EXPECT_TRUE(lib.bound(Op::Init, false));

    DriverLibrary remoteLib{env.lookup()};
    EXPECT_EQ(remoteLib.loadDriverLibrary("kvxg3.dll", true, false), 1);
    EXPECT_EQ(remoteLib.loadedDriverFileName(), testLibrary("kvxtest_no_rdcbcnct"));
}

TEST_F(DriverLibraryTest, AMissingInitKvxSystem3MakesTheLibraryUnusable) {
    EXPECT_EQ(loadByVariable("kvxtest_local_no_init", false), 0);
    EXPECT_NE(lib.driverModule(), nullptr);
    EXPECT_EQ(lib.table()[Op::Init].local, nullptr);
    EXPECT_FALSE(lib.bound(Op::Init, false));
    EXPECT_TRUE(lib.bound(Op::Close, false));
    EXPECT_EQ(lib.loadedDriverFileName(), "");
    // Nor does the quick check accept it.
    DriverLibrary quick{env.lookup()};
    EXPECT_EQ(quick.loadDriverLibrary("kvxg3.dll", false, true), 0);
}

TEST_F(DriverLibraryTest, AnInitialisationOfTheOtherModeDoesNotCount) {
    // A local-only library asked for in remote mode lacks InitKvxSystem.
    EXPECT_EQ(loadByVariable("kvxtest_local", true), 0);
    EXPECT_EQ(lib.table()[Op::Init].remote, nullptr);
    EXPECT_EQ(lib.table()[Op::Init].local, nullptr);
}

TEST_F(DriverLibraryTest, TheQuickCheckOnlyAsksForTheInitialisation) {
    EXPECT_EQ(loadByVariable("kvxtest_no_rdcbcnct", false, true), 1);
    EXPECT_EQ(lib.driverLoaded(), 1);
    EXPECT_EQ(lib.loadedDriverFileName(), "");

    // The remembered name stayed empty, so the next load is a fresh one.
    observeCloses();
    EXPECT_EQ(loadByVariable("kvxtest_local", false, true), 1);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(lib.loadedDriverFileName(), "");
    EXPECT_EQ(loadByVariable("kvxtest_local", false), 1);
    EXPECT_EQ(lib.loadedDriverFileName(), testLibrary("kvxtest_local"));
}

TEST_F(DriverLibraryTest, AnEmptyNameAfterAQuickCheckIsNotTakenForTheLoadedOne) {
    ASSERT_EQ(loadByVariable("kvxtest_local", false, true), 1);
    env.values["KVXDLLNAME"] = "";
    EXPECT_EQ(lib.loadDriverLibrary("kvxg3.dll", false, false), 0);
    EXPECT_EQ(lib.driverModule(), nullptr);
    EXPECT_FALSE(isMapped(testLibrary("kvxtest_local")));
}

TEST_F(DriverLibraryTest, ARefusedLibraryIsClosedAndFreedBeforeTheNextLoad) {
    ASSERT_EQ(loadByVariable("kvxtest_no_rdcbcnct", false), 0);
    observeCloses();
    ASSERT_EQ(loadByVariable("kvxtest_local", false), 1);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(isMapped(testLibrary("kvxtest_no_rdcbcnct")));
}

TEST_F(DriverLibraryTest, FilesThatCannotBeLoadedGiveZeroAndEmptySlots) {
    ScratchFolder folder;
    const std::string text = folder.write("kvxg3.dll", "MZ not an ELF file");
    const std::string names[] = {folder.file("missing.dll"), folder.path(), text, std::string(300, 'k'),
                                 folder.path() + "/" + std::string(250, 'n') + ".dll", ""};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        env.values["KVXDLLNAME"] = name;
        EXPECT_EQ(lib.loadDriverLibrary("kvxg3.dll", false, false), 0);
        EXPECT_EQ(lib.driverModule(), nullptr);
        EXPECT_EQ(lib.driverLoaded(), 0);
        EXPECT_EQ(lib.loadedDriverFileName(), "");
        EXPECT_EQ(lib.table()[Op::Init].local, nullptr);
        EXPECT_EQ(lib.table()[Op::rdaxst].local, nullptr);
        EXPECT_EQ(lib.table()[Op::KvxG3XOpen].local, emptyRoutineAddress());
    }
}

TEST_F(DriverLibraryTest, ALoadFailureAfterAGoodLibraryLeavesNoStaleSlot) {
    ASSERT_EQ(loadByVariable("kvxtest_local", false), 1);
    env.values["KVXDLLNAME"] = "/nonexistent/kvxg3.dll";
    EXPECT_EQ(lib.loadDriverLibrary("kvxg3.dll", true, false), 0);
    for (const Slot& s : lib.table().entries) {
        EXPECT_TRUE(s.local == nullptr || s.local == emptyRoutineAddress());
        EXPECT_TRUE(s.remote == nullptr || s.remote == emptyRoutineAddress());
    }
}

TEST_F(DriverLibraryTest, UnloadFreesTheModuleAndForgetsItsName) {
    ASSERT_EQ(loadByVariable("kvxtest_local", false), 1);
    ASSERT_TRUE(isMapped(testLibrary("kvxtest_local")));
    EXPECT_EQ(lib.unloadDriverLibrary(), 1);
    EXPECT_EQ(lib.driverModule(), nullptr);
    EXPECT_EQ(lib.loadedDriverFileName(), "");
    EXPECT_EQ(lib.driverLoaded(), 1);
    EXPECT_FALSE(isMapped(testLibrary("kvxtest_local")));
    EXPECT_EQ(lib.table()[Op::Init].local, nullptr);
    EXPECT_EQ(lib.table()[Op::KvxG3XOpen].local, emptyRoutineAddress());
    EXPECT_EQ(lib.unloadDriverLibrary(), 1);
}

TEST_F(DriverLibraryTest, TheDestructorFreesALibraryStillLoaded) {
    {
        DriverLibrary scoped{env.lookup()};
        env.values["KVXDLLNAME"] = testLibrary("kvxtest_version_short");
        ASSERT_EQ(scoped.loadDriverLibrary("kvxg3.dll", false, false), 1);
        ASSERT_TRUE(isMapped(testLibrary("kvxtest_version_short")));
    }
    EXPECT_FALSE(isMapped(testLibrary("kvxtest_version_short")));
}

TEST_F(DriverLibraryTest, TryAnywayCallsOnlyWhatTheLibraryProvides) {
    ASSERT_EQ(loadByVariable("kvxtest_no_rdcbcnct", false), 0);
    Driver driver(lib.table());
    EXPECT_FALSE(driver.provides(Op::rdcbcnct));
    EXPECT_FALSE(driver.provides(Op::KvxG3XOpen));  // the empty routine
    EXPECT_TRUE(driver.provides(Op::Init));

    AxisTable axes;
    SystemInfo info;
    std::int32_t boardType = 0;
    EXPECT_EQ(driver.initSystem(axes, info, 0x300, "SYSTEM.DAT", boardType), 0);
    EXPECT_EQ(boardType, 4);
    EXPECT_EQ(info.tavosName(), "TAVOS test");
    EXPECT_EQ(info.axisCount(), 2);
    EXPECT_EQ(*exported<std::int32_t>(lib, "kvxTestLastBaseAddress"), 0x300);
    EXPECT_EQ(driver.CardSelect(3), 3);
    EXPECT_EQ(driver.KvxG3XOpen("http://127.0.0.1:1", "dev"), std::nullopt);
    EXPECT_EQ(driver.closeConnection(), 0);
    EXPECT_EQ(*exported<std::int32_t>(lib, "kvxTestCloseCalls"), 1);
}

TEST_F(DriverLibraryTest, TheRemoteFormsGetTheHandleThroughTheRealLibrary) {
    ASSERT_EQ(loadByVariable("kvxtest_remote", true), 1);
    Driver driver(lib.table());
    driver.setRemote(true);
    EXPECT_EQ(driver.KvxG3XOpen("http://127.0.0.1:8080", "kvx.dev"), 0);
    EXPECT_EQ(driver.remoteHandle(), 7);
    EXPECT_EQ(driver.CardSelect(0), std::nullopt);

    AxisTable axes;
    SystemInfo info;
    std::int32_t boardType = 0;
    EXPECT_EQ(driver.initSystem(axes, info, 0, "/remote/SYSTEM.DAT", boardType), 0);
    EXPECT_EQ(boardType, 8);
    EXPECT_EQ(info.axisCount(), 3);
    EXPECT_EQ(*exported<std::int32_t>(lib, "kvxTestLastHandle"), 7);

    *exported<std::int32_t>(lib, "kvxTestLastHandle") = 0;
    EXPECT_EQ(driver.closeConnection(), 0);
    EXPECT_EQ(*exported<std::int32_t>(lib, "kvxTestLastHandle"), 7);
    EXPECT_EQ(driver.remoteHandle(), 0);
}

}  // namespace
}  // namespace kvx
