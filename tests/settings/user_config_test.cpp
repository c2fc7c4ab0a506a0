#include "platform/user_config.h"

#include "test_files.h"

#include <cstdlib>

using namespace kvx;
using kvx::testing::TempFolder;
using kvx::testing::writeFile;

namespace {

TEST(UserConfig, OpeningCreatesTheToolFolderButNeverTheFile) {
    TempFolder folder;
    UserConfig user(folder.path());
    EXPECT_EQ(user.environmentFile(), folder.path() + "/Velmora/kcfg/ENVIRONMENT.ini");
    EXPECT_EQ(user.projectFileName(), "KVX2000.INI");
    EXPECT_TRUE(std::filesystem::is_directory(folder.file("Velmora/kcfg")));
    EXPECT_FALSE(kvx::testing::fileExists(user.environmentFile()));
}

TEST(UserConfig, ReadsTheProjectFileNameCaseInsensitively) {
    TempFolder folder;
    UserConfig user(folder.path() + "/");  // a trailing separator changes nothing
    std::filesystem::create_directories(folder.file("Velmora/kcfg"));
    writeFile(user.environmentFile(), "[environment]\nprojectfilename = PLANT7.INI\n");
    EXPECT_EQ(user.projectFileName(), "PLANT7.INI");
    writeFile(user.environmentFile(), "[ENVIRONMENT]\nOther=1\n");
    EXPECT_EQ(user.projectFileName(), "KVX2000.INI");
}

TEST(UserConfig, ProjectFileWithoutFolderLiesInTheToolFolder) {
    UserConfig user("/home/ana/.config");
    EXPECT_EQ(user.projectFilePath("KVX2000.INI"), "/home/ana/.config/Velmora/KVX2000.INI");
    EXPECT_EQ(user.projectFilePath("/srv/plant/P.INI"), "/srv/plant/P.INI");
    EXPECT_EQ(user.projectFilePath("plant/P.INI"), "plant/P.INI");
}

TEST(UserConfig, RootComesFromXdgConfigHomeElseHome) {
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const char* oldHome = std::getenv("HOME");
    std::string savedXdg = oldXdg ? oldXdg : "", savedHome = oldHome ? oldHome : "";

    ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
    ::setenv("HOME", "/home/ana", 1);
    EXPECT_EQ(UserConfig::forCurrentUser().root(), "/x/cfg");
    ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // not absolute: ignored
    EXPECT_EQ(UserConfig::forCurrentUser().root(), "/home/ana/.config");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(UserConfig::forCurrentUser().root(), "/home/ana/.config");

    oldXdg ? ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
