#include "platform/version_record.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace kvx {
namespace {

using test::ElfImage;
using test::ScratchFolder;
using test::testLibrary;
using test::versionRecord;

std::span<const std::uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void put(std::vector<std::uint8_t>& image, std::size_t at, std::uint64_t value, std::size_t n, bool bigEndian = false) {
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t shift = bigEndian ? (n - 1 - i) * 8 : i * 8;
        image[at + i] = static_cast<std::uint8_t>(value >> shift);
    }
}

ElfImage stampedImage(bool elf64, bool bigEndian) {
    ElfImage elf;
    elf.elf64 = elf64;
    elf.bigEndian = bigEndian;
    elf.sections = {{".text", std::string(16, '\x90')},
                    {".kvx_version", versionRecord({"InternalName=kvxg3", "OriginalFileName=kvxg3.dll",
                                                    "FileVersion=2, 5, 3, 15"})}};
    return elf;
}

TEST(VersionRecordFile, AStampedLibraryCarriesItsThreeValues) {
    auto record = readVersionRecord(testLibrary("kvxtest_local"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->value("InternalName"), "kvxg3");
    EXPECT_EQ(record->value("OriginalFileName"), "kvxg3.dll");
    EXPECT_EQ(record->value("FileVersion"), "2, 5, 3, 15");
    EXPECT_EQ(record->values.size(), 3u);
}

TEST(VersionRecordFile, DefaultNamesComeFromTheTarget) {
    auto record = readVersionRecord("/proc/self/exe");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->value("InternalName"), "driver_tests");
    EXPECT_EQ(record->value("OriginalFileName"), "driver_tests");
    EXPECT_EQ(record->value("FileVersion"), "1, 2, 3, 4");
}

TEST(VersionRecordFile, FilesWithoutARecordHaveNone) {
    ScratchFolder f;
    EXPECT_FALSE(readVersionRecord(testLibrary("kvxtest_no_version")));
    EXPECT_FALSE(readVersionRecord(f.file("missing.so")));
    EXPECT_FALSE(readVersionRecord(f.write("empty.so", "")));
    EXPECT_FALSE(readVersionRecord(f.write("text.so", "InternalName=kvxg3\nFileVersion=2.5\n")));
    EXPECT_FALSE(readVersionRecord(f.path()));
    EXPECT_FALSE(readVersionRecord(""));
}

TEST(VersionRecordFile, TruncatedCopiesOfAStampedLibraryHaveNoRecord) {
    ScratchFolder f;
    const auto whole = test::readBytes(testLibrary("kvxtest_local"));
    ASSERT_GT(whole.size(), 1000u);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{16}, std::size_t{63},
                             std::size_t{64}, whole.size() / 2, whole.size() - 1}) {
        std::vector<std::uint8_t> part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(readVersionRecord(test::writeBytes(f.file("cut.so"), part))) << size;
        EXPECT_FALSE(versionRecordFromImage(part)) << size;
    }
    EXPECT_TRUE(versionRecordFromImage(whole));
}

TEST(VersionRecordImage, AllFourElfKindsAreRead) {
    for (bool elf64 : {false, true}) {
        for (bool bigEndian : {false, true}) {
            auto image = stampedImage(elf64, bigEndian).build();
            auto record = versionRecordFromImage(image);
            ASSERT_TRUE(record) << elf64 << bigEndian;
            EXPECT_EQ(record->value("FileVersion"), "2, 5, 3, 15");
            EXPECT_EQ(elfSectionContents(image, ".text"), std::string(16, '\x90'));
        }
    }
}

TEST(VersionRecordImage, AnImageWithoutTheSectionHasNoRecord) {
    ElfImage elf;
    elf.sections = {{".text", "code"}, {".kvx_versio", versionRecord({"FileVersion=1.0.0.0"})}};
    EXPECT_FALSE(versionRecordFromImage(elf.build()));
    elf.sections = {{".kvx_version", "not a record"}};
    EXPECT_FALSE(versionRecordFromImage(elf.build()));
    elf.sections = {{".kvx_version", versionRecord({"FileVersion=1.0.0.0"}), 8 /* SHT_NOBITS */}};
    EXPECT_FALSE(versionRecordFromImage(elf.build()));
}

TEST(VersionRecordImage, CorruptHeadersGiveNoRecord) {
    ElfImage elf = stampedImage(true, false);
    const auto good = elf.build();
    ASSERT_TRUE(versionRecordFromImage(good));
    const std::size_t versionHeader = elf.sectionTable + 2 * elf.sectionHeaderSize;

    struct Corruption {
        const char* what;
        std::size_t at;
        std::uint64_t value;
        std::size_t size;
    };
    const Corruption cases[] = {
        {"bad magic", 1, 'e', 1},
        {"unknown class", 4, 3, 1},
        {"unknown byte order", 5, 0, 1},
        {"unknown version", 6, 2, 1},
        {"no section table", elf.shoffAt, 0, 8},
        {"section table past the end", elf.shoffAt, good.size(), 8},
        {"section table offset overflows", elf.shoffAt, ~std::uint64_t{0} - 8, 8},
        {"section headers too small", elf.shentsizeAt, 10, 2},
        {"more sections than the file holds", elf.shnumAt, 0xFFFE, 2},
        {"string table index out of range", elf.shstrndxAt, 9, 2},
        {"name offset outside the string table", versionHeader + 0, 0xFFFFFF00u, 4},
        {"section data past the end", versionHeader + 24, good.size() - 4, 8},
        {"section size overflows", versionHeader + 32, ~std::uint64_t{0}, 8},
        {"section larger than any record", versionHeader + 32, kMaxVersionSectionSize + 1, 8},
        {"string table past the end", elf.sectionTable + 3 * elf.sectionHeaderSize + 24, good.size() + 1, 8},
    };
    for (const auto& c : cases) {
        auto bad = good;
        put(bad, c.at, c.value, c.size);
        EXPECT_FALSE(versionRecordFromImage(bad)) << c.what;
    }
}

TEST(VersionRecordImage, ExtendedSectionCountAndStringTableIndexAreFollowed) {
    ElfImage elf = stampedImage(true, false);
    auto image = elf.build();
    // Count and string-table index moved into section 0 (sh_size, sh_link).
    put(image, elf.shnumAt, 0, 2);
    put(image, elf.shstrndxAt, 0xFFFF, 2);
    put(image, elf.sectionTable + 32, 4, 8);
    put(image, elf.sectionTable + 40, 3, 4);
    auto record = versionRecordFromImage(image);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->value("OriginalFileName"), "kvxg3.dll");

    put(image, elf.sectionTable + 40, 4, 4);  // index == count
    EXPECT_FALSE(versionRecordFromImage(image));
}

TEST(VersionRecordParse, EntriesUpToTheEndMarker) {
    auto record = parseVersionRecord(bytesOf(versionRecord({"InternalName=kvxg3", "FileVersion=2.5"}) + "Late=1"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->value("InternalName"), "kvxg3");
    EXPECT_EQ(record->value("FileVersion"), "2.5");
    EXPECT_FALSE(record->value("Late"));
    EXPECT_FALSE(record->value("OriginalFileName"));
}

TEST(VersionRecordParse, OddEntries) {
    std::string section = std::string("KVXVER1") + '\0' + "NoEquals" + '\0' + "=orphan" + '\0' + "Key=a=b" + '\0' +
                          "Key=second" + '\0' + "Empty=" + '\0' + "Last=unterminated";
    auto record = parseVersionRecord(bytesOf(section));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->value("Key"), "a=b");
    EXPECT_EQ(record->value("Empty"), "");
    EXPECT_EQ(record->value("Last"), "unterminated");
    EXPECT_FALSE(record->value("NoEquals"));
    EXPECT_EQ(record->values.size(), 3u);
}

TEST(VersionRecordParse, TheMagicIsRequired) {
    EXPECT_FALSE(parseVersionRecord(bytesOf("")));
    EXPECT_FALSE(parseVersionRecord(bytesOf("KVXVER1")));  // without its terminator
    EXPECT_FALSE(parseVersionRecord(bytesOf(std::string("KVXVER2") + '\0' + "FileVersion=1" + '\0')));
    auto empty = parseVersionRecord(bytesOf(std::string("KVXVER1") + '\0'));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->values.empty());
}

}  // namespace
}  // namespace kvx
