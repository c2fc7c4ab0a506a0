#include "platform/profile_file.h"

#include "test_files.h"

#include <sys/stat.h>

#include <chrono>

using namespace kvx;
using kvx::testing::readFile;
using kvx::testing::TempFolder;
using kvx::testing::writeFile;

namespace {

TEST(ProfileInteger, DecimalWithSignAndBlanks) {
    EXPECT_EQ(profile::parseInteger("768"), 768);
    EXPECT_EQ(profile::parseInteger("-3"), -3);
    EXPECT_EQ(profile::parseInteger("+12"), 12);
    EXPECT_EQ(profile::parseInteger("0300"), 300);  // leading zeros are not octal
    EXPECT_EQ(profile::parseInteger(" \t42 "), 42);
    EXPECT_EQ(profile::parseInteger("0"), 0);
}

TEST(ProfileInteger, HexadecimalWithBothPrefixes) {
    EXPECT_EQ(profile::parseInteger("0x300"), 768);
    EXPECT_EQ(profile::parseInteger("0X1f"), 31);
    EXPECT_EQ(profile::parseInteger("$300"), 768);
    EXPECT_EQ(profile::parseInteger("$fF"), 255);
    EXPECT_EQ(profile::parseInteger("-$10"), -16);
    EXPECT_EQ(profile::parseInteger("$FFFFFFFF"), -1);
    EXPECT_EQ(profile::parseInteger("0x7FFFFFFF"), 2147483647);
}

TEST(ProfileInteger, LimitsOf32Bits) {
    EXPECT_EQ(profile::parseInteger("2147483647"), 2147483647);
    EXPECT_EQ(profile::parseInteger("-2147483648"), INT32_MIN);
    EXPECT_EQ(profile::parseInteger("2147483648"), std::nullopt);
    EXPECT_EQ(profile::parseInteger("-2147483649"), std::nullopt);
    EXPECT_EQ(profile::parseInteger("$100000000"), std::nullopt);
    EXPECT_EQ(profile::parseInteger("99999999999999999999999"), std::nullopt);
}

TEST(ProfileInteger, AnythingElseIsNoInteger) {
    for (const char* text : {"", "  ", "abc", "12abc", "1 2", "0x", "$", "- 5", "--5", "1.5", "0x1g", "$-1", "+"})
        EXPECT_EQ(profile::parseInteger(text), std::nullopt) << '"' << text << '"';
}

class ProfileRead : public ::testing::Test {
protected:
    TempFolder folder;
    std::string ini = folder.file("KVX.INI");
};

TEST_F(ProfileRead, MissingFileGivesDefaults) {
    EXPECT_EQ(profile::readString(ini, "KVX", "BootFileName", "dflt"), "dflt");
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 768), 768);
    EXPECT_FALSE(kvx::testing::fileExists(ini));  // reading never creates the file
}

TEST_F(ProfileRead, SectionAndKeyNamesIgnoreLetterCase) {
    writeFile(ini, "[kvx]\nbaseadress=0x300\n[Project Data]\nURL=http://10.0.0.5\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 0), 768);
    EXPECT_EQ(profile::readString(ini, "project data", "url", ""), "http://10.0.0.5");
    EXPECT_EQ(profile::readString(ini, "PROJECT DATA", "Url", ""), "http://10.0.0.5");
}

TEST_F(ProfileRead, BlanksAroundNamesAndValuesAreIgnored) {
    writeFile(ini, "  [ DESKTOP ]  \r\n  Top =  12  \r\nFileName =  my protocol.txt \r\n");
    EXPECT_EQ(profile::readInt(ini, "DESKTOP", "Top", 0), 12);
    EXPECT_EQ(profile::readString(ini, "DESKTOP", "FileName", ""), "my protocol.txt");
}

TEST_F(ProfileRead, MissingSectionOrKeyOrNonIntegerGivesDefault) {
    writeFile(ini, "[KVX]\nBaseAdress=three\nEmpty=\n;TryToBoot=1\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 768), 768);
    EXPECT_EQ(profile::readInt(ini, "KVX", "Empty", 5), 5);
    EXPECT_EQ(profile::readString(ini, "KVX", "Empty", "x"), "");  // present but empty is empty
    EXPECT_EQ(profile::readInt(ini, "KVX", "TryToBoot", 7), 7);   // commented out
    EXPECT_EQ(profile::readString(ini, "DESKTOP", "Top", "none"), "none");
}

TEST_F(ProfileRead, FirstOfRepeatedKeysCounts) {
    writeFile(ini, "[KVX]\nTryToBoot=1\nTRYTOBOOT=2\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "TryToBoot", 0), 1);
}

TEST_F(ProfileRead, TextIsCutAt2047Characters) {
    std::string longText(3000, 'a');
    longText[2046] = 'b';
    writeFile(ini, "[PROTOCOL]\nFileName=" + longText + "\n");
    std::string got = profile::readString(ini, "PROTOCOL", "FileName", "");
    EXPECT_EQ(got.size(), 2047u);
    EXPECT_EQ(got.back(), 'b');
}

TEST_F(ProfileRead, HugeSingleLineNeitherCrashesNorHangs) {
    auto start = std::chrono::steady_clock::now();
    writeFile(ini, std::string(10 * 1024 * 1024, 'x'));
    EXPECT_EQ(profile::readString(ini, "KVX", "BaseAdress", "dflt"), "dflt");
    writeFile(ini, "[KVX]\nBootFileName=" + std::string(10 * 1024 * 1024, 'y'));
    EXPECT_EQ(profile::readString(ini, "KVX", "BootFileName", ""), std::string(2047, 'y'));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(ProfileRead, BinaryGarbageReadsAsDefaults) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919 + 13) % 256);
    writeFile(ini, garbage);
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 768), 768);
    EXPECT_EQ(profile::readString(ini, "PROTOCOL", "FileName", "DiagProtocol.txt"), "DiagProtocol.txt");
}

TEST_F(ProfileRead, ValuesAfterZeroBytesAreStillFound) {
    writeFile(ini, std::string("\0\0\x01\xff", 4) + "\n[KVX]\nTryToBoot=1\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "TryToBoot", 0), 1);
}

TEST_F(ProfileRead, FolderInPlaceOfTheFileGivesDefaults) {
    std::filesystem::create_directory(ini);
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 768), 768);
}

TEST_F(ProfileRead, EveryReadSeesTheFileAsItIsNow) {
    writeFile(ini, "[KVX]\nTryToBoot=1\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "TryToBoot", 0), 1);
    writeFile(ini, "[KVX]\nTryToBoot=0\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "TryToBoot", 1), 0);
}

class ProfileWrite : public ProfileRead {};

TEST_F(ProfileWrite, CreatesFileSectionAndKey) {
    EXPECT_TRUE(profile::writeInt(ini, "KVX", "BaseAdress", 768).ok());
    EXPECT_EQ(readFile(ini), "[KVX]\nBaseAdress=768\n");
    EXPECT_TRUE(profile::writeString(ini, "Project data", "URL", "").ok());
    EXPECT_EQ(readFile(ini), "[KVX]\nBaseAdress=768\n[Project data]\nURL=\n");
    EXPECT_EQ(profile::readInt(ini, "kvx", "baseadress", 0), 768);
}

TEST_F(ProfileWrite, KeepsEveryOtherLine) {
    const std::string before =
        "; written by hand\n"
        "\n"
        "[KVX]\n"
        "BaseAdress = 0x300   ; trailing words\n"
        "not a key line\n"
        "\n"
        "# notes for DESKTOP\n"
        "[DESKTOP]\n"
        "Top=5\n"
        "[Other]\n"
        "x=  spaced  \n";
    writeFile(ini, before);
    ASSERT_TRUE(profile::writeString(ini, "kvx", "TryToBoot", "1").ok());
    ASSERT_TRUE(profile::writeInt(ini, "Desktop", "TOP", -20).ok());
    EXPECT_EQ(readFile(ini),
              "; written by hand\n"
              "\n"
              "[KVX]\n"
              "BaseAdress = 0x300   ; trailing words\n"
              "TryToBoot=1\n"
              "not a key line\n"
              "\n"
              "# notes for DESKTOP\n"
              "[DESKTOP]\n"
              "Top=-20\n"
              "[Other]\n"
              "x=  spaced  \n");
}

TEST_F(ProfileWrite, ReplacesAValueKeepingTheKeysSpellingAndIndent) {
    writeFile(ini, "[kvx]\n  baseadress = 1\nTryToBoot=0\n");
    ASSERT_TRUE(profile::writeInt(ini, "KVX", "BaseAdress", 768).ok());
    EXPECT_EQ(readFile(ini), "[kvx]\n  baseadress=768\nTryToBoot=0\n");
}

TEST_F(ProfileWrite, RepeatedKeyOrSectionChangesTheOneThatIsRead) {
    writeFile(ini, "[KVX]\nA=1\nA=2\n[DESKTOP]\nTop=1\n[kvx]\nB=3\n");
    ASSERT_TRUE(profile::writeString(ini, "KVX", "A", "9").ok());
    ASSERT_TRUE(profile::writeString(ini, "KVX", "B", "8").ok());
    ASSERT_TRUE(profile::writeString(ini, "KVX", "C", "7").ok());
    EXPECT_EQ(readFile(ini), "[KVX]\nA=9\nA=2\nC=7\n[DESKTOP]\nTop=1\n[kvx]\nB=8\n");
    EXPECT_EQ(profile::readString(ini, "KVX", "A", ""), "9");
    EXPECT_EQ(profile::readString(ini, "KVX", "B", ""), "8");
    EXPECT_EQ(profile::readString(ini, "KVX", "C", ""), "7");
}

TEST_F(ProfileWrite, FileWithoutFinalLineBreakAndWindowsLineBreaks) {
    writeFile(ini, "[KVX]\r\nTryToBoot=0");
    ASSERT_TRUE(profile::writeString(ini, "KVX", "BootFileName", "/opt/TAVOS.ELF").ok());
    ASSERT_TRUE(profile::writeString(ini, "PROTOCOL", "FileName", "p.txt").ok());
    EXPECT_EQ(readFile(ini), "[KVX]\r\nTryToBoot=0\r\nBootFileName=/opt/TAVOS.ELF\r\n[PROTOCOL]\r\nFileName=p.txt\r\n");
}

TEST_F(ProfileWrite, RefusesLineBreaksAndBrokenNamesWithoutTouchingTheFile) {
    writeFile(ini, "[KVX]\nTryToBoot=0\n");
    EXPECT_EQ(profile::writeString(ini, "KVX", "BootFileName", "a\nb").error, "value holds a line break");
    EXPECT_EQ(profile::writeString(ini, "KVX", "Boot=File", "a").error, "unusable key name");
    EXPECT_EQ(profile::writeString(ini, "KV]X", "Key", "a").error, "unusable section name");
    EXPECT_EQ(profile::writeString(ini, "", "Key", "a").error, "unusable section name");
    EXPECT_EQ(readFile(ini), "[KVX]\nTryToBoot=0\n");
}

TEST_F(ProfileWrite, KeepsTheFileModeAndLeavesNoTemporaryFiles) {
    writeFile(ini, "[KVX]\n");
    ::chmod(ini.c_str(), 0640);
    ASSERT_TRUE(profile::writeInt(ini, "KVX", "TryToBoot", 1).ok());
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(kvx::testing::otherFiles(folder.path(), {"KVX.INI"}), std::vector<std::string>{});
}

TEST_F(ProfileWrite, WritesThroughASymbolicLink) {
    std::string target = folder.file("real.ini");
    writeFile(target, "[KVX]\nTryToBoot=0\n");
    std::filesystem::create_symlink(target, ini);
    ASSERT_TRUE(profile::writeInt(ini, "KVX", "TryToBoot", 1).ok());
    EXPECT_TRUE(std::filesystem::is_symlink(ini));
    EXPECT_EQ(readFile(target), "[KVX]\nTryToBoot=1\n");
}

TEST_F(ProfileWrite, MissingFolderIsReported) {
    std::string nowhere = folder.file("no/such/KVX.INI");
    auto result = profile::writeInt(nowhere, "KVX", "TryToBoot", 1);
    EXPECT_EQ(result.error, "creating a temporary file: No such file or directory");
}

TEST_F(ProfileWrite, UnreadableFileIsNeverReplaced) {
    std::filesystem::create_directory(ini);
    EXPECT_EQ(profile::writeInt(ini, "KVX", "TryToBoot", 1).error, "opening: Is a directory");
    EXPECT_TRUE(std::filesystem::is_directory(ini));
}

TEST_F(ProfileWrite, GarbageIsKeptAndTheNewKeyReadable) {
    const std::string garbage("\x7f" "ELF\0\0\x02\x01garbage", 14);
    writeFile(ini, garbage);
    ASSERT_TRUE(profile::writeInt(ini, "KVX", "BaseAdress", 768).ok());
    EXPECT_EQ(readFile(ini), garbage + "\n[KVX]\nBaseAdress=768\n");
    EXPECT_EQ(profile::readInt(ini, "KVX", "BaseAdress", 0), 768);
}

TEST_F(ProfileWrite, OldFileStaysWholeWhenItCannotBeReplaced) {
    // A file with a mount on it cannot be renamed over (EBUSY).
    writeFile(ini, "[KVX]\nTryToBoot=0\n");
    KVX_REQUIRE_MOUNT(folder.bindFile(ini, ini));
    auto result = profile::writeInt(ini, "KVX", "TryToBoot", 1);
    EXPECT_EQ(result.error, "replacing the file: Device or resource busy");
    EXPECT_EQ(readFile(ini), "[KVX]\nTryToBoot=0\n");
    EXPECT_EQ(kvx::testing::otherFiles(folder.path(), {"KVX.INI"}), std::vector<std::string>{});
}

TEST_F(ProfileWrite, ReadOnlyMountIsReportedAndTheFileKept) {
    KVX_REQUIRE_MOUNT(folder.mountReadOnlyFolderWith("ro", "KVX.INI", "[KVX]\nTryToBoot=0\n"));
    std::string file = folder.file("ro/KVX.INI");
    auto result = profile::writeInt(file, "KVX", "TryToBoot", 1);
    EXPECT_EQ(result.error, "creating a temporary file: Read-only file system");
    EXPECT_EQ(readFile(file), "[KVX]\nTryToBoot=0\n");
}

}  // namespace
