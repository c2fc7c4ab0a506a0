#include <gtest/gtest.h>

#include "driver/driver_library.h"
#include "platform/paths.h"
#include "test_support.h"

namespace kvx {
namespace {

using test::ElfImage;
using test::EnvironmentChange;
using test::ScratchFolder;
using test::testLibrary;
using test::versionRecord;
using test::WorkingFolderChange;

void expectNumbers(const FileVersionInfo& info, std::uint32_t major, std::uint32_t minor, std::uint32_t release,
                   std::uint32_t build, bool valid) {
    EXPECT_EQ(info.major, major);
    EXPECT_EQ(info.minor, minor);
    EXPECT_EQ(info.release, release);
    EXPECT_EQ(info.build, build);
    EXPECT_EQ(info.valid, valid);
}

TEST(FileVersion, CommaSeparatedVersionOfALibrary) {
    FileVersionInfo info = readFileVersion(testLibrary("kvxtest_local"));
    expectNumbers(info, 2, 5, 3, 15, true);
    EXPECT_EQ(driverVersionText("kvxg3.dll", info), "kvxg3.dll: 2.5.3.15");
    EXPECT_DOUBLE_EQ(driverVersionNumber(info), 253.015);
}

TEST(FileVersion, TwoPartsGiveZerosForTheRestAndAreNotValid) {
    FileVersionInfo info = readFileVersion(testLibrary("kvxtest_version_short"));
    expectNumbers(info, 2, 5, 0, 0, false);
    EXPECT_EQ(driverVersionText("kvxg3.dll", info), "kvxg3.dll: 2.5.0.0");
    EXPECT_DOUBLE_EQ(driverVersionNumber(info), 250.0);
}

TEST(FileVersion, NoVersionInformationGivesFourZeros) {
    ScratchFolder f;
    for (const std::string& name : {testLibrary("kvxtest_no_version"), f.file("missing.dll"),
                                    f.write("empty.dll", ""), f.path(), std::string(300, 'x'), std::string()}) {
        FileVersionInfo info = readFileVersion(name);
        expectNumbers(info, 0, 0, 0, 0, false);
        EXPECT_EQ(driverVersionText("kvxg3x.dll", info), "kvxg3x.dll: 0.0.0.0");
        EXPECT_DOUBLE_EQ(driverVersionNumber(info), 0.0);
    }
}

TEST(FileVersion, ARecordLackingOneOfTheThreeValuesGivesZeros) {
    ScratchFolder f;
    const std::vector<std::string> all = {"InternalName=kvxg3", "OriginalFileName=kvxg3.dll", "FileVersion=2.5.3.15"};
    for (std::size_t left = 0; left < all.size(); ++left) {
        std::vector<std::string> entries = all;
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(left));
        ElfImage elf;
        elf.sections = {{".kvx_version", versionRecord(entries)}};
        std::string path = test::writeBytes(f.file("partial.so"), elf.build());
        expectNumbers(readFileVersion(path), 0, 0, 0, 0, false);
    }
    ElfImage elf;
    elf.sections = {{".kvx_version", versionRecord(all)}};
    expectNumbers(readFileVersion(test::writeBytes(f.file("whole.so"), elf.build())), 2, 5, 3, 15, true);
}

TEST(FileVersion, TheProgramsOwnVersion) {
    FileVersionInfo info = readFileVersion(executablePath());
    expectNumbers(info, 1, 2, 3, 4, true);
    EXPECT_EQ(fileVersionText(info), "1.2.3.4");
}

TEST(FileVersion, ABareNameIsFoundByTheLoadersSearchNeverInTheWorkingFolder) {
    ScratchFolder cwd, path;
    cwd.copy(testLibrary("kvxtest_local"), "kvxg3.dll");
    WorkingFolderChange inside(cwd.path());
    EnvironmentChange ld("LD_LIBRARY_PATH", ".");
    expectNumbers(readFileVersion("kvxg3.dll"), 0, 0, 0, 0, false);

    path.copy(testLibrary("kvxtest_version_short"), "KVXG3.DLL");
    EnvironmentChange ld2("LD_LIBRARY_PATH", path.path());
    expectNumbers(readFileVersion("kvxg3.dll"), 2, 5, 0, 0, false);
}

TEST(FileVersionText, SeparatorsAndBlanks) {
    struct Case {
        const char* text;
        std::uint32_t major, minor, release, build;
        bool valid;
    };
    const Case cases[] = {
        {"2, 5, 3, 15", 2, 5, 3, 15, true},
        {"2.5.3.15", 2, 5, 3, 15, true},
        {" 2 . 5 .3\t. 15 ", 2, 5, 3, 15, true},
        {"2,5,3,15", 2, 5, 3, 15, true},
        {"2.5", 2, 5, 0, 0, false},
        {"2, 5, 3", 2, 5, 3, 0, false},
        {"1.2.3.4.5", 1, 2, 3, 4, true},
        {"", 0, 0, 0, 0, false},
        {"beta", 0, 0, 0, 0, false},
        {"2.x.3.4", 2, 0, 3, 4, false},
        {"2..3.4", 2, 0, 3, 4, false},
        {"4294967295.0.0.1", 4294967295u, 0, 0, 1, true},
        {"4294967296.1.1.1", 0, 1, 1, 1, false},
        {"99999999999999999999.1.1.1", 0, 1, 1, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        expectNumbers(parseFileVersion(c.text), c.major, c.minor, c.release, c.build, c.valid);
    }
}

TEST(FileVersionText, VersionNumbers) {
    FileVersionInfo info;
    info.major = 2;
    info.minor = 5;
    info.release = 3;
    info.build = 48;
    EXPECT_DOUBLE_EQ(driverVersionNumber(info), 253.048);
    EXPECT_GE(driverVersionNumber(info), 253.015);
    info.build = 14;
    EXPECT_LT(driverVersionNumber(info), 253.015);
    EXPECT_EQ(fileVersionText(FileVersionInfo{}), "0.0.0.0");
}

}  // namespace
}  // namespace kvx
