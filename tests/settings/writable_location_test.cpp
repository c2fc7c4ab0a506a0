#include "platform/writable_location.h"

#include "test_files.h"

#include <sys/statvfs.h>

using namespace kvx;
using kvx::testing::TempFolder;

namespace {

TEST(WritableLocation, OrdinaryFolderIsWritableWhetherOrNotTheFileExists) {
    TempFolder folder;
    EXPECT_TRUE(isWritableLocation(folder.file("kvxdiag.INI")));
    kvx::testing::writeFile(folder.file("kvxdiag.INI"), "");
    EXPECT_TRUE(isWritableLocation(folder.file("kvxdiag.INI")));
}

TEST(WritableLocation, FolderThatCannotBeAskedIsNotWritable) {
    TempFolder folder;
    EXPECT_FALSE(isWritableLocation(folder.file("missing/kvxdiag.INI")));
}

TEST(WritableLocation, ReadOnlyMountIsNotWritable) {
    TempFolder folder;
    KVX_REQUIRE_MOUNT(folder.mountReadOnlyFolder("ro"));
    EXPECT_FALSE(isWritableLocation(folder.file("ro/kvxdiag.INI")));
}

TEST(WritableLocation, CdAndDvdFileSystemsAreNeverWritable) {
    EXPECT_FALSE(fileSystemTakesWrites(0x9660, 0));       // ISO 9660
    EXPECT_FALSE(fileSystemTakesWrites(0x15013346, 0));   // UDF, even mounted read-write
    EXPECT_FALSE(fileSystemTakesWrites(0xEF53, ST_RDONLY));  // ext4 mounted read-only
    EXPECT_TRUE(fileSystemTakesWrites(0xEF53, 0));        // ext4
    EXPECT_TRUE(fileSystemTakesWrites(0x01021994, ST_NOSUID));  // tmpfs
}

}  // namespace
