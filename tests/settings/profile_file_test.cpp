#include "platform/profile_file.h"

#include "test_files.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>

using namespace kvx;
using namespace kvx::testing;

namespace {

TEST(ProfileInteger, LenientDecimalAndHexadecimal) {
    const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
        {"768", 768}, {"-3", -3}, {"+12", 12}, {" \t42 ", 42}, {"0300", 300},  // no octal
        {"0x300", 768}, {"0X1f", 31}, {"$300", 768}, {"-$10", -16}, {"$FFFFFFFF", -1},
        {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt}, {"$100000000", std::nullopt}, {"", std::nullopt}, {"abc", std::nullopt},
        {"12abc", std::nullopt}, {"1 2", std::nullopt}, {"0x", std::nullopt}, {"$", std::nullopt},
        {"- 5", std::nullopt}, {"--5", std::nullopt}, {"1.5", std::nullopt}, {"$-1", std::nullopt}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(profile::parseInteger(text), expected) << '"' << text << '"';
}

class ProfileFile : public ::testing::Test {
protected:
    TempFolder folder;
    std::string ini = folder.file("KVX.INI");
};

TEST_F(ProfileFile, ReadsIgnoreLetterCaseBlanksAndComments) {
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 768), 768);  // no file
    EXPECT_FALSE(std::filesystem::exists(ini));                       // and none made
    writeFile(ini, "  [ kvx ]\r\nbaseadress = 0x300 \r\n;TryToBoot=1\r\nBootFileName= a b \r\nEmpty=\r\n"
                   "X=1\r\nx=2\r\n[Other]\r\nTop=three\r\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 0), 768);
    EXPECT_EQ(profile::readInt(ini, "KVX", "TryToBoot", 7), 7);
    EXPECT_EQ(profile::readString(ini, "KVX", "BootFileName", ""), "a b");
    EXPECT_EQ(profile::readString(ini, "KVX", "Empty", "dflt"), "");
    EXPECT_EQ(profile::readInt(ini, "KVX", "Empty", 5), 5);
    EXPECT_EQ(profile::readInt(ini, "KVX", "X", 0), 1);  // the first of repeated keys
    EXPECT_EQ(profile::readInt(ini, "OTHER", "Top", 9), 9);
    EXPECT_EQ(profile::readString(ini, "DESKTOP", "Top", "none"), "none");
}

TEST_F(ProfileFile, LongTextsAreCutAndHugeLinesDoNotHang) {
    auto start = std::chrono::steady_clock::now();
    writeFile(ini, "[KVX]\nBootFileName=" + std::string(2046, 'a') + "bcd\n");
    EXPECT_EQ(profile::readString(ini, "KVX", "BootFileName", ""), std::string(2046, 'a') + "b");
    writeFile(ini, std::string(10 << 20, 'x'));
    EXPECT_EQ(profile::readString(ini, "KVX", "BootFileName", "dflt"), "dflt");
    // A file larger than any real one is read to its first megabyte only and
    // never rewritten: its end would be lost.
    EXPECT_EQ(profile::writeInt(ini, "KVX", "TryToBoot", 1).error, "larger than 1 MB, not rewritten");
    EXPECT_EQ(std::filesystem::file_size(ini), 10u << 20);
    writeFile(ini, "[KVX]\nTryToBoot=1\n" + std::string(2 << 20, ';') + "\nBaseAdress=512\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "TryToBoot", 0), 1);
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 768), 768);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(ProfileFile, GarbageReadsAsDefaultsAndIsKeptOnWrite) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919 + 13) % 256);
    writeFile(ini, garbage);
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 768), 768);
    EXPECT_EQ(profile::readString(ini, "PROTOCOL", "FileName", "DiagProtocol.txt"), "DiagProtocol.txt");
    ASSERT_TRUE(profile::writeInt(ini, "KVX", "BaseAdress", 512).ok());
    EXPECT_EQ(readFile(ini).substr(0, garbage.size()), garbage);
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 0), 512);  // zero bytes do not hide it
}

TEST_F(ProfileFile, WritesCreateWhatIsMissingAndKeepEveryOtherLine) {
    ASSERT_TRUE(profile::writeInt(ini, "KVX", "BaseAdress", 768).ok());
    EXPECT_EQ(readFile(ini), "[KVX]\nBaseAdress=768\n");

    writeFile(ini, "; by hand\n\n[kvx]\n  baseadress = 0x300 ; note\nnot a key\n\n# c\n[DESKTOP]\nTop=5\n"
                   "[Other]\nx=  y  \n[KVX]\nLate=1");
    ASSERT_TRUE(profile::writeInt(ini, "KVX", "BaseAdress", 769).ok());
    ASSERT_TRUE(profile::writeString(ini, "Kvx", "TryToBoot", "1").ok());
    ASSERT_TRUE(profile::writeString(ini, "kvx", "LATE", "2").ok());
    ASSERT_TRUE(profile::writeString(ini, "Project data", "URL", "").ok());
    EXPECT_EQ(readFile(ini), "; by hand\n\n[kvx]\n  baseadress=769\nTryToBoot=1\nnot a key\n\n# c\n[DESKTOP]\nTop=5\n"
                             "[Other]\nx=  y  \n[KVX]\nLate=2\n[Project data]\nURL=\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "Late", 0), 2);

    writeFile(ini, "[KVX]\r\nTryToBoot=0");
    ASSERT_TRUE(profile::writeString(ini, "PROTOCOL", "FileName", "p.txt").ok());
    EXPECT_EQ(readFile(ini), "[KVX]\r\nTryToBoot=0\r\n[PROTOCOL]\r\nFileName=p.txt\r\n");
}

TEST_F(ProfileFile, RefusedWritesLeaveTheFileAlone) {
    writeFile(ini, "[KVX]\nTryToBoot=0\n");
    EXPECT_EQ(profile::writeString(ini, "KVX", "BootFileName", "a\nb").error, "value holds a line break");
    EXPECT_EQ(profile::writeString(ini, "KVX", "Boot=File", "a").error, "unusable key name");
    EXPECT_EQ(profile::writeString(ini, "KV]X", "Key", "a").error, "unusable section name");
    EXPECT_EQ(readFile(ini), "[KVX]\nTryToBoot=0\n");
    EXPECT_EQ(profile::writeInt(folder.file("no/KVX.INI"), "KVX", "A", 1).error,
              "creating a temporary file: No such file or directory");
    ::chmod(ini.c_str(), 0444);
    EXPECT_EQ(profile::writeInt(ini, "KVX", "TryToBoot", 1).error, "the file is write-protected");
    EXPECT_EQ(readFile(ini), "[KVX]\nTryToBoot=0\n");
    ::mkfifo(folder.file("fifo.INI").c_str(), 0644);
    EXPECT_EQ(profile::readInt(folder.file("fifo.INI"), "KVX", "A", 3), 3);  // and no hang
    EXPECT_EQ(profile::writeInt(folder.file("fifo.INI"), "KVX", "A", 1).error, "opening: not a regular file");
    std::filesystem::create_directory(folder.file("dir.INI"));  // unreadable: never replaced
    EXPECT_EQ(profile::writeInt(folder.file("dir.INI"), "KVX", "A", 1).error, "opening: Is a directory");
}

TEST_F(ProfileFile, ReplacingKeepsModeAndLinksAndLeavesNoTemporaryFiles) {
    writeFile(folder.file("real.ini"), "[KVX]\n");
    ::chmod(folder.file("real.ini").c_str(), 0640);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(folder.file("real.ini").c_str(), 4321, 4321), 0);
    }
    std::filesystem::create_symlink(folder.file("real.ini"), ini);
    ASSERT_TRUE(profile::writeInt(ini, "KVX", "TryToBoot", 1).ok());
    EXPECT_TRUE(std::filesystem::is_symlink(ini));
    EXPECT_EQ(readFile(folder.file("real.ini")), "[KVX]\nTryToBoot=1\n");
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, root ? 4321u : ::geteuid());
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"KVX.INI", "real.ini"}));
}

TEST_F(ProfileFile, AWriteOfTheValueAlreadyThereLeavesTheFileAsItIs) {
    writeFile(ini, "; settings\n[KVX]\nTryToBoot=1\n");
    struct stat before {};
    ASSERT_EQ(::stat(ini.c_str(), &before), 0);
    ASSERT_TRUE(profile::writeString(ini, "KVX", "TryToBoot", "1").ok());
    ASSERT_TRUE(profile::writeString(ini, "kvx", "TRYTOBOOT", "1").ok());
    struct stat after {};
    ASSERT_EQ(::stat(ini.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // not replaced
    EXPECT_EQ(readFile(ini), "; settings\n[KVX]\nTryToBoot=1\n");
    EXPECT_EQ(folder.names(), std::vector<std::string>{"KVX.INI"});
    // A write-protected file is reported as for any write.
    ::chmod(ini.c_str(), 0444);
    EXPECT_EQ(profile::writeString(ini, "KVX", "TryToBoot", "1").error, "the file is write-protected");
    ::chmod(ini.c_str(), 0644);
    // A changed value replaces the file.
    ASSERT_TRUE(profile::writeString(ini, "KVX", "TryToBoot", "0").ok());
    struct stat changed {};
    ASSERT_EQ(::stat(ini.c_str(), &changed), 0);
    EXPECT_NE(changed.st_ino, before.st_ino);
    EXPECT_EQ(readFile(ini), "; settings\n[KVX]\nTryToBoot=0\n");
}

TEST_F(ProfileFile, OldFileStaysWholeWhenItCannotBeRenamedOver) {
    writeFile(ini, "[KVX]\nTryToBoot=0\n");
    KVX_REQUIRE_MOUNT(folder.pinFile(ini));
    EXPECT_EQ(profile::writeInt(ini, "KVX", "TryToBoot", 1).error, "replacing the file: Device or resource busy");
    EXPECT_EQ(readFile(ini), "[KVX]\nTryToBoot=0\n");
    EXPECT_EQ(folder.names(), std::vector<std::string>{"KVX.INI"});
}

TEST_F(ProfileFile, ReadOnlyMountIsReported) {
    KVX_REQUIRE_MOUNT(folder.mountReadOnly("ro", "KVX.INI", "[KVX]\nTryToBoot=0\n"));
    EXPECT_EQ(profile::writeInt(folder.file("ro/KVX.INI"), "KVX", "TryToBoot", 1).error,
              "checking write access: Read-only file system");
    EXPECT_EQ(readFile(folder.file("ro/KVX.INI")), "[KVX]\nTryToBoot=0\n");
}

}  // namespace
