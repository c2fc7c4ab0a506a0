#include "platform/version_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace kvx {

namespace {

// Random access to the bytes of an ELF image; every read is checked against
// the image's size, so no header value can lead a read outside it.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Reads n bytes at offset; false when any of them lies outside the image.
    virtual bool read(std::uint64_t offset, void* out, std::size_t n) const = 0;

protected:
    bool inside(std::uint64_t offset, std::size_t n) const { return offset <= size() && n <= size() - offset; }
};

class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read(std::uint64_t offset, void* out, std::size_t n) const override {
        if (!inside(offset, n)) return false;
        if (n != 0) std::memcpy(out, bytes_.data() + offset, n);
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

class FileSource : public ByteSource {
public:
    FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, void* out, std::size_t n) const override {
        if (!inside(offset, n)) return false;
        auto* p = static_cast<std::uint8_t*>(out);
        while (n > 0) {
            ssize_t got = pread(fd_, p, n, static_cast<off_t>(offset));
            if (got <= 0) return false;
            p += got;
            n -= static_cast<std::size_t>(got);
            offset += static_cast<std::uint64_t>(got);
        }
        return true;
    }

private:
    int fd_;
    std::uint64_t size_;
};

// Integers of the image in its own byte order.
struct Decoder {
    bool bigEndian = false;

    std::uint64_t get(const std::uint8_t* p, std::size_t n) const {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t at = bigEndian ? i : n - 1 - i;
            v = (v << 8) | p[at];
        }
        return v;
    }
};

// Field positions of the two ELF classes.
struct ElfLayout {
    std::size_t headerSize;
    std::size_t shoffAt, shoffSize;
    std::size_t shentsizeAt, shnumAt, shstrndxAt;
    std::size_t sectionHeaderSize;
    std::size_t nameAt, typeAt, offsetAt, sizeAt, linkAt, wordSize;
};

constexpr ElfLayout kElf32{52, 0x20, 4, 0x2E, 0x30, 0x32, 40, 0, 4, 16, 20, 24, 4};
constexpr ElfLayout kElf64{64, 0x28, 8, 0x3A, 0x3C, 0x3E, 64, 0, 4, 24, 32, 40, 8};

constexpr std::uint32_t kSectionNoBits = 8;    // SHT_NOBITS: occupies no file space
constexpr std::uint32_t kExtendedIndex = 0xFFFF;  // SHN_XINDEX

struct Section {
    std::uint32_t name = 0;
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t link = 0;
};

class ElfReader {
public:
    explicit ElfReader(const ByteSource& src) : src_(src) {}

    std::optional<std::string> section(const std::string& wanted) {
        if (!readHeader()) return std::nullopt;
        Section strtab;
        if (!sectionAt(strtabIndex_, strtab) || strtab.type == kSectionNoBits) return std::nullopt;
        if (!inside(strtab)) return std::nullopt;
        for (std::uint64_t i = 1; i < count_; ++i) {
            Section s;
            if (!sectionAt(i, s)) return std::nullopt;
            if (!nameIs(strtab, s.name, wanted)) continue;
            if (s.type == kSectionNoBits || !inside(s) || s.size > kMaxVersionSectionSize) return std::nullopt;
            std::string contents(static_cast<std::size_t>(s.size), '\0');
            if (!src_.read(s.offset, contents.data(), contents.size())) return std::nullopt;
            return contents;
        }
        return std::nullopt;
    }

private:
    bool readHeader() {
        std::uint8_t ident[16];
        if (!src_.read(0, ident, sizeof ident)) return false;
        if (std::memcmp(ident, "\x7F" "ELF", 4) != 0) return false;
        if (ident[4] == 1) layout_ = &kElf32;
        else if (ident[4] == 2) layout_ = &kElf64;
        else return false;
        if (ident[5] == 1) dec_.bigEndian = false;
        else if (ident[5] == 2) dec_.bigEndian = true;
        else return false;
        if (ident[6] != 1) return false;

        std::uint8_t header[64];
        if (!src_.read(0, header, layout_->headerSize)) return false;
        shoff_ = dec_.get(header + layout_->shoffAt, layout_->shoffSize);
        entrySize_ = dec_.get(header + layout_->shentsizeAt, 2);
        count_ = dec_.get(header + layout_->shnumAt, 2);
        strtabIndex_ = dec_.get(header + layout_->shstrndxAt, 2);
        if (shoff_ == 0 || entrySize_ < layout_->sectionHeaderSize) return false;

        // Section 0 carries the real count and string-table index when they
        // do not fit the header's 16-bit fields.
        Section zero;
        if (!rawSectionAt(0, zero)) return false;
        if (count_ == 0) count_ = zero.size;
        if (strtabIndex_ == kExtendedIndex) strtabIndex_ = zero.link;
        if (count_ == 0 || strtabIndex_ >= count_) return false;
        // The whole table has to lie inside the file.
        if (count_ > (src_.size() - std::min(shoff_, src_.size())) / entrySize_) return false;
        return true;
    }

    bool rawSectionAt(std::uint64_t index, Section& s) const {
        std::uint8_t raw[64];
        if (index > src_.size() / entrySize_) return false;
        std::uint64_t at = shoff_ + index * entrySize_;
        if (at < shoff_) return false;
        if (!src_.read(at, raw, layout_->sectionHeaderSize)) return false;
        s.name = static_cast<std::uint32_t>(dec_.get(raw + layout_->nameAt, 4));
        s.type = static_cast<std::uint32_t>(dec_.get(raw + layout_->typeAt, 4));
        s.offset = dec_.get(raw + layout_->offsetAt, layout_->wordSize);
        s.size = dec_.get(raw + layout_->sizeAt, layout_->wordSize);
        s.link = static_cast<std::uint32_t>(dec_.get(raw + layout_->linkAt, 4));
        return true;
    }

    bool sectionAt(std::uint64_t index, Section& s) const { return index < count_ && rawSectionAt(index, s); }

    bool inside(const Section& s) const { return s.offset <= src_.size() && s.size <= src_.size() - s.offset; }

    // Whether the string at `nameOffset` of the string table equals `wanted`;
    // the string and its terminator must lie inside the table.
    bool nameIs(const Section& strtab, std::uint32_t nameOffset, const std::string& wanted) const {
        std::size_t n = wanted.size() + 1;
        if (nameOffset > strtab.size || n > strtab.size - nameOffset) return false;
        std::vector<char> buf(n);
        if (!src_.read(strtab.offset + nameOffset, buf.data(), n)) return false;
        return buf[n - 1] == '\0' && std::memcmp(buf.data(), wanted.data(), wanted.size()) == 0;
    }

    const ByteSource& src_;
    const ElfLayout* layout_ = nullptr;
    Decoder dec_;
    std::uint64_t shoff_ = 0;
    std::uint64_t entrySize_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t strtabIndex_ = 0;
};

std::optional<VersionRecord> recordFrom(const ByteSource& src) {
    auto contents = ElfReader(src).section(kVersionSectionName);
    if (!contents) return std::nullopt;
    return parseVersionRecord(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(contents->data()), contents->size()));
}

}  // namespace

std::optional<std::string> VersionRecord::value(const std::string& key) const {
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

std::optional<VersionRecord> parseVersionRecord(std::span<const std::uint8_t> section) {
    constexpr std::size_t magicSize = sizeof kVersionRecordMagic;  // with its '\0'
    if (section.size() < magicSize || std::memcmp(section.data(), kVersionRecordMagic, magicSize) != 0)
        return std::nullopt;
    VersionRecord record;
    std::size_t pos = magicSize;
    while (pos < section.size()) {
        const auto* start = section.data() + pos;
        const void* nul = std::memchr(start, 0, section.size() - pos);
        std::size_t len = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - start)
                              : section.size() - pos;
        if (len == 0) break;  // end of the record
        std::string entry(reinterpret_cast<const char*>(start), len);
        auto eq = entry.find('=');
        if (eq != std::string::npos && eq > 0) record.values.emplace(entry.substr(0, eq), entry.substr(eq + 1));
        pos += len + 1;
    }
    return record;
}

std::optional<std::string> elfSectionContents(std::span<const std::uint8_t> image, const std::string& name) {
    MemorySource src(image);
    return ElfReader(src).section(name);
}

std::optional<VersionRecord> versionRecordFromImage(std::span<const std::uint8_t> image) {
    MemorySource src(image);
    return recordFrom(src);
}

std::optional<VersionRecord> readVersionRecord(const std::string& path) {
    if (path.empty()) return std::nullopt;
    // O_NONBLOCK: a FIFO under the name must not stall the caller.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<VersionRecord> record;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        FileSource src(fd, static_cast<std::uint64_t>(st.st_size));
        record = recordFrom(src);
    }
    close(fd);
    return record;
}

}  // namespace kvx
