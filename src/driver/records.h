// Records exchanged with the driver library: owned by the program, filled by
// the library through their addresses. Every word is little-endian; the
// accessors name the offsets the monitor uses, the rest belongs to the driver.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "driver/kvxg3_api.h"

namespace kvx {

namespace le {
inline std::uint32_t read32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline void write32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}
inline double readDouble(const std::uint8_t* p) {
    std::uint64_t bits = std::uint64_t(read32(p)) | std::uint64_t(read32(p + 4)) << 32;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
inline void writeDouble(std::uint8_t* p, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    write32(p, std::uint32_t(bits));
    write32(p + 4, std::uint32_t(bits >> 32));
}
// A zero-terminated text inside a field; a field without a terminator ends at
// its edge, so nothing past the record is ever read.
inline std::string text(const std::uint8_t* p, std::size_t size) {
    const void* nul = std::memchr(p, 0, size);
    std::size_t n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : size;
    return std::string(reinterpret_cast<const char*>(p), n);
}
inline void setText(std::uint8_t* p, std::size_t size, const std::string& s) {
    std::memset(p, 0, size);
    std::memcpy(p, s.data(), s.size() < size ? s.size() : size - 1);
}
}  // namespace le

template <std::size_t N>
struct ByteRecord {
    static constexpr std::size_t kSize = N;
    std::array<std::uint8_t, N> bytes{};

    void* data() { return bytes.data(); }
    const void* data() const { return bytes.data(); }
    void clear() { bytes.fill(0); }
    std::uint32_t word(std::size_t offset) const { return le::read32(&bytes[offset]); }
    void setWord(std::size_t offset, std::uint32_t v) { le::write32(&bytes[offset], v); }
};

// One axis record of 240 bytes.
struct AxisRecord : ByteRecord<KVX_AXIS_RECORD_SIZE> {
    static constexpr std::size_t kMaxPositionErrorLimit = 172;  // 64-bit float, 0.0 = none
    static constexpr std::size_t kAxisStateWord = 200;          // 32-bit
    static constexpr std::size_t kStatusWord = 220;             // 32-bit: interface / ASM status
    static constexpr std::size_t kEpromCheckSum = 236;          // 32-bit, first record of an ASM

    double maxPositionErrorLimit() const { return le::readDouble(&bytes[kMaxPositionErrorLimit]); }
    void setMaxPositionErrorLimit(double v) { le::writeDouble(&bytes[kMaxPositionErrorLimit], v); }
    std::uint32_t axisStateWord() const { return word(kAxisStateWord); }
    void setAxisStateWord(std::uint32_t v) { setWord(kAxisStateWord, v); }
    std::uint32_t statusWord() const { return word(kStatusWord); }
    void setStatusWord(std::uint32_t v) { setWord(kStatusWord, v); }
    std::uint32_t epromCheckSum() const { return word(kEpromCheckSum); }
    void setEpromCheckSum(std::uint32_t v) { setWord(kEpromCheckSum, v); }
};

// 18 axis records back to back (4320 bytes); its address is the table's.
struct AxisTable {
    static constexpr int kAxes = KVX_AXIS_COUNT_MAX;
    std::array<AxisRecord, kAxes> records{};

    void* data() { return records.data(); }
    AxisRecord& operator[](int i) { return records[static_cast<std::size_t>(i)]; }
    const AxisRecord& operator[](int i) const { return records[static_cast<std::size_t>(i)]; }
    void clear() {
        for (auto& r : records) r.clear();
    }
};
static_assert(sizeof(AxisTable) == 18 * 240, "axis records must lie back to back");

// The per-axis loops never run past the table, whatever the driver reports.
inline int clampAxisCount(std::int32_t reported) {
    return reported < 0 ? 0 : reported > AxisTable::kAxes ? AxisTable::kAxes : reported;
}

// System information, 292 bytes.
struct SystemInfo : ByteRecord<KVX_SYSTEM_INFO_SIZE> {
    static constexpr std::size_t kTavosName = 0;  // text within the first 40 bytes
    static constexpr std::size_t kTavosNameSize = 40;
    static constexpr std::size_t kAxisCount = 40;  // 32-bit signed
    static constexpr std::size_t kCardWord = 48;   // cleared by the card initialisation

    std::string tavosName() const { return le::text(&bytes[kTavosName], kTavosNameSize); }
    void setTavosName(const std::string& s) { le::setText(&bytes[kTavosName], kTavosNameSize, s); }
    std::int32_t axisCount() const { return static_cast<std::int32_t>(word(kAxisCount)); }
};

// Controller status record, 240 bytes.
struct StatusRecord : ByteRecord<KVX_STATUS_RECORD_SIZE> {
    static constexpr std::size_t kMinCycleTime = 12;
    static constexpr std::size_t kMaxCycleTime = 16;
    static constexpr std::size_t kRunCounter = 20;
    static constexpr std::size_t kDmaReadErrors = 28;
    static constexpr std::size_t kDmaWriteErrors = 32;
    static constexpr std::size_t kTimeoutErrors = 36;
    static constexpr std::size_t kRxDataErrors = 40;
    static constexpr std::size_t kRxComErrors = 44;

    std::uint32_t minCycleTime() const { return word(kMinCycleTime); }
    std::uint32_t maxCycleTime() const { return word(kMaxCycleTime); }
    std::uint32_t runCounter() const { return word(kRunCounter); }
    std::uint32_t dmaReadErrors() const { return word(kDmaReadErrors); }
    std::uint32_t dmaWriteErrors() const { return word(kDmaWriteErrors); }
    std::uint32_t timeoutErrors() const { return word(kTimeoutErrors); }
    std::uint32_t rxDataErrors() const { return word(kRxDataErrors); }
    std::uint32_t rxComErrors() const { return word(kRxComErrors); }
};

// Option-read request: seven 32-bit words.
struct OptionDescriptor : ByteRecord<KVX_OPTION_DESCRIPTOR_WORDS * 4> {
    std::uint32_t at(int word) const { return this->word(static_cast<std::size_t>(word) * 4); }
    void set(int word, std::uint32_t v) { setWord(static_cast<std::size_t>(word) * 4, v); }
    std::int32_t option() const { return static_cast<std::int32_t>(at(4)); }

    // Start values: 0, 1, 3 (options 62, 63) or 1 (122, 123), 1000, option, 0, 0.
    void fill(std::int32_t optionNumber);
    void reset() { set(0, 0); }
};

// The four descriptors, in the order options 62, 63, 122, 123.
struct OptionDescriptors {
    enum Index { EpmBase = 0, EpmOption = 1, BoardVersion = 2, FpgaVersion = 3 };
    std::array<OptionDescriptor, 4> items{};

    void fill();   // start values, once at start-up
    void reset();  // word 0 of all four := 0
    OptionDescriptor& operator[](Index i) { return items[static_cast<std::size_t>(i)]; }
};

// Task state record, 20 bytes.
struct TaskStateRecord : ByteRecord<KVX_TASK_STATE_SIZE> {
    std::int32_t errorNumber() const { return static_cast<std::int32_t>(word(0)); }
    std::int32_t errorLine() const { return static_cast<std::int32_t>(word(4)); }
    std::uint32_t state() const { return word(12); }  // bit 0 running, bit 1 stepping
};

// Task file record, 588 bytes; the file name starts at byte 260.
struct TaskFileRecord : ByteRecord<KVX_TASK_FILE_SIZE> {
    static constexpr std::size_t kFileName = 260;
    std::string fileName() const { return le::text(&bytes[kFileName], kSize - kFileName); }
    void setFileName(const std::string& s) { le::setText(&bytes[kFileName], kSize - kFileName, s); }
};

// Buffer of getEnvStr: the variable name on entry, its value on success.
struct EnvBuffer : ByteRecord<KVX_ENV_BUFFER_SIZE> {
    char* chars() { return reinterpret_cast<char*>(bytes.data()); }
    std::string text() const { return le::text(bytes.data(), kSize); }
    void setText(const std::string& s) { le::setText(bytes.data(), kSize, s); }
};

}  // namespace kvx
