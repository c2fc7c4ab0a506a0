#include "platform/user_config.h"
#include "platform/writable_location.h"

#include "test_files.h"

#include <sys/statvfs.h>

using namespace kvx;
using namespace kvx::testing;

namespace {

TEST(WritableLocation, AsksTheFileSystemOfTheFolder) {
    TempFolder folder;
    EXPECT_TRUE(isWritableLocation(folder.file("kvxdiag.INI")));  // the file need not exist
    EXPECT_FALSE(isWritableLocation(folder.file("missing/kvxdiag.INI")));
    EXPECT_FALSE(fileSystemTakesWrites(0x9660, 0));           // ISO 9660
    EXPECT_FALSE(fileSystemTakesWrites(0x15013346, 0));       // UDF
    EXPECT_FALSE(fileSystemTakesWrites(0xEF53, ST_RDONLY));   // ext4, read-only
    EXPECT_TRUE(fileSystemTakesWrites(0xEF53, ST_NOSUID));
    KVX_REQUIRE_MOUNT(folder.mountReadOnly("ro", "kvxdiag.INI", ""));
    EXPECT_FALSE(isWritableLocation(folder.file("ro/kvxdiag.INI")));
}

TEST(UserConfig, OpeningMakesTheFolderNeverTheFile) {
    TempFolder folder;
    UserConfig user(folder.file("cfg/"));
    EXPECT_EQ(user.environmentFile(), folder.file("cfg/Velmora/kcfg/ENVIRONMENT.ini"));
    EXPECT_EQ(user.projectFileName(), "KVX2000.INI");
    EXPECT_EQ(folder.names("cfg/Velmora/kcfg"), std::vector<std::string>{});
    writeFile(user.environmentFile(), "[environment]\nprojectfilename = PLANT7.INI\n");
    EXPECT_EQ(user.projectFileName(), "PLANT7.INI");
    EXPECT_EQ(user.projectFilePath("PLANT7.INI"), folder.file("cfg/Velmora/PLANT7.INI"));
    EXPECT_EQ(user.projectFilePath("/srv/P.INI"), "/srv/P.INI");
}

TEST(UserConfig, RootIsXdgConfigHomeWhenAbsoluteElseHomeConfig) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "", oldXdg = xdg ? xdg : "";
    ::setenv("HOME", "/home/ana", 1);
    ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
    EXPECT_EQ(UserConfig::forCurrentUser().root(), "/x/cfg");
    ::setenv("XDG_CONFIG_HOME", "rel/cfg", 1);
    EXPECT_EQ(UserConfig::forCurrentUser().root(), "/home/ana/.config");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(UserConfig::forCurrentUser().root(), "/home/ana/.config");
    ::setenv("HOME", oldHome.c_str(), 1);
    if (!oldXdg.empty()) ::setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
}

}  // namespace
