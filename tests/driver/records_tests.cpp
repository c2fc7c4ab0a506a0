#include "driver/records.h"

#include <gtest/gtest.h>

namespace kvx {
namespace {

TEST(AxisRecords, EighteenRecordsOf240BytesBackToBack) {
    AxisTable axes;
    EXPECT_EQ(sizeof(AxisRecord), 240u);
    EXPECT_EQ(sizeof(AxisTable), 18u * 240u);
    auto* base = static_cast<std::uint8_t*>(axes.data());
    EXPECT_EQ(static_cast<void*>(&axes[0]), axes.data());
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(&axes[17]) - base, 17 * 240);
}

TEST(AxisRecords, FieldOffsets) {
    AxisTable axes;
    AxisRecord& r = axes[1];
    r.setAxisStateWord(0x11223344);
    r.setStatusWord(0x55667788);
    r.setEpromCheckSum(0xA1B2C3D4);
    r.setMaxPositionErrorLimit(1.5);

    auto* table = static_cast<std::uint8_t*>(axes.data());
    const std::uint8_t* rec = table + 240;
    EXPECT_EQ(le::read32(rec + 200), 0x11223344u);
    EXPECT_EQ(rec[200], 0x44);  // little-endian
    EXPECT_EQ(le::read32(rec + 220), 0x55667788u);
    EXPECT_EQ(le::read32(rec + 236), 0xA1B2C3D4u);
    EXPECT_EQ(le::readDouble(rec + 172), 1.5);
    EXPECT_EQ(rec[172 + 7], 0x3F);  // high byte of 1.5 last
    EXPECT_EQ(axes[0].axisStateWord(), 0u);
    EXPECT_EQ(axes[2].statusWord(), 0u);

    axes[0].bytes[220] = 3;
    EXPECT_EQ(axes[0].statusWord(), 3u);
}

TEST(AxisRecords, TheAxisCountIsClampedToTheTable) {
    EXPECT_EQ(clampAxisCount(-1), 0);
    EXPECT_EQ(clampAxisCount(0), 0);
    EXPECT_EQ(clampAxisCount(6), 6);
    EXPECT_EQ(clampAxisCount(18), 18);
    EXPECT_EQ(clampAxisCount(19), 18);
}

TEST(SystemInfoRecord, NameAndAxisCount) {
    SystemInfo info;
    EXPECT_EQ(sizeof(info.bytes), 292u);
    std::memcpy(info.bytes.data(), "TAVOS 2.53", 11);
    le::write32(&info.bytes[40], 6);
    EXPECT_EQ(info.tavosName(), "TAVOS 2.53");
    EXPECT_EQ(info.axisCount(), 6);

    le::write32(&info.bytes[40], 0xFFFFFFFF);
    EXPECT_EQ(info.axisCount(), -1);
}

TEST(SystemInfoRecord, ANameWithoutTerminatorEndsAt40Bytes) {
    SystemInfo info;
    std::memset(info.bytes.data(), 'T', 40);
    le::write32(&info.bytes[40], 0x34333231);  // "1234" must not join the name
    EXPECT_EQ(info.tavosName(), std::string(40, 'T'));

    info.setTavosName(std::string(60, 'N'));
    EXPECT_EQ(info.tavosName(), std::string(39, 'N'));
    EXPECT_EQ(info.axisCount(), 0x34333231);
}

TEST(StatusRecordLayout, WordsFrom12To44) {
    StatusRecord status;
    EXPECT_EQ(sizeof(status.bytes), 240u);
    for (std::uint32_t i = 0; i < 60; ++i) le::write32(&status.bytes[i * 4], 1000 + i * 4);
    EXPECT_EQ(status.minCycleTime(), 1012u);
    EXPECT_EQ(status.maxCycleTime(), 1016u);
    EXPECT_EQ(status.runCounter(), 1020u);
    EXPECT_EQ(status.dmaReadErrors(), 1028u);
    EXPECT_EQ(status.dmaWriteErrors(), 1032u);
    EXPECT_EQ(status.timeoutErrors(), 1036u);
    EXPECT_EQ(status.rxDataErrors(), 1040u);
    EXPECT_EQ(status.rxComErrors(), 1044u);
}

TEST(OptionDescriptorRecords, StartValues) {
    OptionDescriptors d;
    d.fill();
    const std::uint32_t expected[4][7] = {
        {0, 1, 3, 1000, 62, 0, 0},
        {0, 1, 3, 1000, 63, 0, 0},
        {0, 1, 1, 1000, 122, 0, 0},
        {0, 1, 1, 1000, 123, 0, 0},
    };
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(sizeof(d.items[static_cast<std::size_t>(i)].bytes), 28u);
        for (int w = 0; w < 7; ++w)
            EXPECT_EQ(d.items[static_cast<std::size_t>(i)].at(w), expected[i][w]) << i << "/" << w;
    }
    EXPECT_EQ(d[OptionDescriptors::FpgaVersion].option(), 123);

    for (auto& item : d.items) item.set(0, 77);
    d.reset();
    for (auto& item : d.items) {
        EXPECT_EQ(item.at(0), 0u);
        EXPECT_EQ(item.at(3), 1000u);
    }
}

TEST(TaskRecords, StateAndFileName) {
    TaskStateRecord state;
    EXPECT_EQ(sizeof(state.bytes), 20u);
    le::write32(&state.bytes[0], 0xFFFFFFFE);
    le::write32(&state.bytes[4], 17);
    le::write32(&state.bytes[12], 3);
    EXPECT_EQ(state.errorNumber(), -2);
    EXPECT_EQ(state.errorLine(), 17);
    EXPECT_EQ(state.state(), 3u);

    TaskFileRecord file;
    EXPECT_EQ(sizeof(file.bytes), 588u);
    std::memcpy(&file.bytes[260], "MAIN.QSL", 9);
    EXPECT_EQ(file.fileName(), "MAIN.QSL");
}

TEST(TaskRecords, AFileNameWithoutTerminatorEndsAtTheRecordsEnd) {
    TaskFileRecord file;
    std::memset(&file.bytes[260], 'F', 588 - 260);
    EXPECT_EQ(file.fileName(), std::string(328, 'F'));
    file.setFileName("A.QSL");
    EXPECT_EQ(file.fileName(), "A.QSL");
    EXPECT_EQ(file.bytes[259], 0);
}

TEST(EnvironmentBuffer, HoldsNameThenValue) {
    EnvBuffer buffer;
    EXPECT_EQ(sizeof(buffer.bytes), 256u);
    buffer.setText("SampleTime");
    EXPECT_EQ(buffer.text(), "SampleTime");
    EXPECT_EQ(static_cast<void*>(buffer.chars()), buffer.data());
    std::memset(buffer.bytes.data(), 'v', 256);
    EXPECT_EQ(buffer.text(), std::string(256, 'v'));
}

}  // namespace
}  // namespace kvx
