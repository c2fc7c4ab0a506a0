#include "platform/dynamic_library.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/paths.h"
#include "test_support.h"

namespace kvx {
namespace {

using test::EnvironmentChange;
using test::ScratchFolder;
using test::testLibrary;
using test::WorkingFolderChange;

std::string uniqueName(const std::string& stem) { return stem + "-" + std::to_string(getpid()) + ".so"; }

TEST(LibrarySearch, NameWithSlashIsUsedAsItStands) {
    const std::string path = testLibrary("kvxtest_local");
    EXPECT_EQ(findLibraryFile(path), path);
    LibraryHandle h = loadLibrary(path);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(librarySymbol(h, "KvxClose"), nullptr);
    EXPECT_EQ(librarySymbol(h, "KvxG3Close"), nullptr);
    freeLibrary(h);
}

TEST(LibrarySearch, ExecutableFolderComesFirstThenLdLibraryPathThenTheLoaderDefaults) {
    ScratchFolder a, b;
    EnvironmentChange env("LD_LIBRARY_PATH", a.path() + ":" + b.path() + "/");
    std::vector<std::string> folders = librarySearchFolders();
    ASSERT_GE(folders.size(), 4u);
    EXPECT_EQ(folders[0], executableFolder());
    EXPECT_EQ(folders[1], a.path() + "/");
    EXPECT_EQ(folders[2], b.path() + "/");
    EXPECT_NE(std::find(folders.begin(), folders.end(), "/usr/lib/"), folders.end());
    EXPECT_NE(std::find(folders.begin(), folders.end(), "/lib/"), folders.end());
}

TEST(LibrarySearch, EmptyAndRelativeFolderEntriesAreSkipped) {
    ScratchFolder a;
    EnvironmentChange env("LD_LIBRARY_PATH", ":.:./lib;lib::" + a.path());
    std::vector<std::string> folders = librarySearchFolders();
    for (const auto& f : folders) EXPECT_EQ(f.front(), '/') << f;
    EXPECT_EQ(folders[1], a.path() + "/");
}

TEST(LibrarySearch, TheWorkingFolderIsNeverSearched) {
    ScratchFolder cwd;
    const std::string name = uniqueName("kvxtest-cwd");
    cwd.copy(testLibrary("kvxtest_local"), name);
    EnvironmentChange env("LD_LIBRARY_PATH", ":.");
    WorkingFolderChange inside(cwd.path());

    EXPECT_EQ(findLibraryFile(name), "");
    EXPECT_EQ(loadLibrary(name), nullptr);
    // Asked for with a folder, the same file is taken as it stands.
    LibraryHandle h = loadLibrary("./" + name);
    EXPECT_NE(h, nullptr);
    freeLibrary(h);
}

TEST(LibrarySearch, FolderOrderDecidesBeforeExactness) {
    ScratchFolder first, second;
    first.copy(testLibrary("kvxtest_local"), "KVXG3.DLL");
    second.copy(testLibrary("kvxtest_local"), "kvxg3.dll");
    EXPECT_EQ(findLibraryFile("kvxg3.dll", {first.path(), second.path()}), first.file("KVXG3.DLL"));
    EXPECT_EQ(findLibraryFile("kvxg3.dll", {second.path(), first.path()}), second.file("kvxg3.dll"));
}

TEST(LibrarySearch, ExactNameWinsWithinAFolderElseACaseInsensitiveMatch) {
    ScratchFolder f;
    f.copy(testLibrary("kvxtest_remote"), "kvxg3x.dll");
    EXPECT_EQ(findLibraryFile("kvxg3X.DLL", {f.path()}), f.file("kvxg3x.dll"));
    f.copy(testLibrary("kvxtest_remote"), "kvxg3X.DLL");
    EXPECT_EQ(findLibraryFile("kvxg3X.DLL", {f.path()}), f.file("kvxg3X.DLL"));
    EXPECT_EQ(findLibraryFile("kvxg3x.dll", {f.path()}), f.file("kvxg3x.dll"));
    EXPECT_EQ(findLibraryFile("kvxg3y.dll", {f.path()}), "");
}

TEST(LibrarySearch, RelativeFoldersGivenToTheSearchAreIgnored) {
    ScratchFolder cwd;
    cwd.copy(testLibrary("kvxtest_local"), "kvxg3.dll");
    WorkingFolderChange inside(cwd.path());
    EXPECT_EQ(findLibraryFile("kvxg3.dll", {"", ".", "./"}), "");
}

class ExecutableFolderSearch : public ::testing::Test {
protected:
    void TearDown() override {
        std::error_code ec;
        for (const auto& p : planted_) std::filesystem::remove(p, ec);
    }
    std::string plant(const std::string& from, const std::string& name) {
        std::string to = executableFolder() + name;
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
        planted_.push_back(to);
        return to;
    }
    std::vector<std::string> planted_;
};

TEST_F(ExecutableFolderSearch, ALibraryBesideTheProgramIsFoundAndLoadedIgnoringCase) {
    const std::string name = uniqueName("kvxtest-exe");
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    const std::string planted = plant(testLibrary("kvxtest_local"), upper);

    ScratchFolder other;
    other.copy(testLibrary("kvxtest_remote"), name);
    EnvironmentChange env("LD_LIBRARY_PATH", other.path());

    EXPECT_EQ(findLibraryFile(name), planted);
    LibraryHandle h = loadLibrary(name);
    ASSERT_NE(h, nullptr);
    // The local library's entry point: the copy beside the program was loaded.
    EXPECT_NE(librarySymbol(h, "InitKvxSystem3"), nullptr);
    EXPECT_EQ(librarySymbol(h, "InitKvxSystem"), nullptr);
    freeLibrary(h);
}

TEST(LibrarySearch, LdLibraryPathFoldersAreSearched) {
    ScratchFolder f;
    const std::string name = uniqueName("kvxtest-ldpath");
    f.copy(testLibrary("kvxtest_remote"), name);
    EnvironmentChange env("LD_LIBRARY_PATH", f.path());
    EXPECT_EQ(findLibraryFile(name), f.file(name));
    LibraryHandle h = loadLibrary(name);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(librarySymbol(h, "InitKvxSystem"), nullptr);
    freeLibrary(h);
}

TEST(LibraryLoad, NamesThatCannotBeLoadedFailCleanly) {
    ScratchFolder f;
    const std::string text = f.write("notes.so", "not a shared object\n");
    std::filesystem::create_directory(f.file("folder.so"));
    const std::string empty = f.write("empty.so", "");

    EXPECT_EQ(loadLibrary(""), nullptr);
    EXPECT_EQ(loadLibrary(f.file("missing.so")), nullptr);
    EXPECT_EQ(loadLibrary(text), nullptr);
    EXPECT_EQ(loadLibrary(empty), nullptr);
    EXPECT_EQ(loadLibrary(f.file("folder.so")), nullptr);
    EXPECT_EQ(findLibraryFile(f.file("folder.so")), "");
    // A folder under the searched name is passed over, not loaded.
    EXPECT_EQ(findLibraryFile("folder.so", {f.path()}), "");
}

TEST(LibraryLoad, NamesLongerThan259CharactersAreRefused) {
    ScratchFolder f;
    // Pad the file name so that the full path is exactly 259, then 260 long.
    const std::size_t base = f.path().size() + 1 + 3;  // folder, '/', ".so"
    ASSERT_LT(base, 250u);
    const std::string fits = f.copy(testLibrary("kvxtest_local"), std::string(259 - base, 'a') + ".so");
    const std::string tooLong = f.copy(testLibrary("kvxtest_local"), std::string(260 - base, 'b') + ".so");
    ASSERT_EQ(fits.size(), 259u);
    ASSERT_EQ(tooLong.size(), 260u);

    LibraryHandle h = loadLibrary(fits);
    EXPECT_NE(h, nullptr);
    freeLibrary(h);
    EXPECT_EQ(findLibraryFile(tooLong), "");
    EXPECT_EQ(loadLibrary(tooLong), nullptr);
    EXPECT_EQ(loadLibrary(std::string(5000, 'k')), nullptr);
}

TEST(LibraryLoad, NullHandlesAreHarmless) {
    EXPECT_EQ(librarySymbol(nullptr, "KvxClose"), nullptr);
    freeLibrary(nullptr);
    LibraryHandle h = loadLibrary(testLibrary("kvxtest_local"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(librarySymbol(h, nullptr), nullptr);
    EXPECT_EQ(librarySymbol(h, "noSuchEntryPoint"), nullptr);
    freeLibrary(h);
}

}  // namespace
}  // namespace kvx
