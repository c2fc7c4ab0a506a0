// Helpers of the driver tests: the stand-in libraries, scratch folders,
// environment changes that are undone, and hand-made ELF images.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace kvx::test {

namespace fs = std::filesystem;

// Full path of a stand-in driver library ("kvxtest_local").
inline std::string testLibrary(const std::string& name) { return std::string(KVX_TESTLIB_DIR) + "/" + name + ".so"; }

// A fresh folder under the system's temporary folder, removed with its contents.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "kvx-driver-test-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Copies `from` into this folder under `name`; returns the new path.
    std::string copy(const std::string& from, const std::string& name) const {
        fs::copy_file(from, file(name), fs::copy_options::overwrite_existing);
        return file(name);
    }
    std::string write(const std::string& name, const std::string& contents) const {
        std::ofstream(file(name), std::ios::binary) << contents;
        return file(name);
    }

private:
    std::string path_;
};

// Sets (or, with nullopt, removes) an environment variable for one scope.
class EnvironmentChange {
public:
    EnvironmentChange(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        if (value) setenv(name_.c_str(), value->c_str(), 1);
        else unsetenv(name_.c_str());
    }
    ~EnvironmentChange() {
        if (old_) setenv(name_.c_str(), old_->c_str(), 1);
        else unsetenv(name_.c_str());
    }
    EnvironmentChange(const EnvironmentChange&) = delete;
    EnvironmentChange& operator=(const EnvironmentChange&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Changes the working folder for one scope.
class WorkingFolderChange {
public:
    explicit WorkingFolderChange(const std::string& folder) : old_(fs::current_path()) { fs::current_path(folder); }
    ~WorkingFolderChange() {
        std::error_code ec;
        fs::current_path(old_, ec);
    }
    WorkingFolderChange(const WorkingFolderChange&) = delete;
    WorkingFolderChange& operator=(const WorkingFolderChange&) = delete;

private:
    fs::path old_;
};

// Whether the library file is mapped into the process right now.
inline bool isMapped(const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h == nullptr) return false;
    dlclose(h);
    return true;
}

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
    return path;
}

// A minimal relocatable ELF image: a null section, ".shstrtab" and, when
// given, one data section per entry. The section header table comes last.
struct ElfImage {
    bool elf64 = true;
    bool bigEndian = false;
    struct Section {
        std::string name;
        std::string contents;
        std::uint32_t type = 1;  // SHT_PROGBITS
    };
    std::vector<Section> sections;

    // Offsets in the built image, for tests that corrupt it on purpose.
    std::size_t shoffAt = 0, shentsizeAt = 0, shnumAt = 0, shstrndxAt = 0;
    std::size_t sectionTable = 0, sectionHeaderSize = 0;

    std::vector<std::uint8_t> build() {
        const std::size_t headerSize = elf64 ? 64 : 52;
        sectionHeaderSize = elf64 ? 64 : 40;
        const std::size_t word = elf64 ? 8 : 4;

        std::string strtab(1, '\0');
        std::vector<std::uint32_t> nameOffsets;
        for (const auto& s : sections) {
            nameOffsets.push_back(static_cast<std::uint32_t>(strtab.size()));
            strtab += s.name + '\0';
        }
        const std::uint32_t strtabName = static_cast<std::uint32_t>(strtab.size());
        strtab += std::string(".shstrtab") + '\0';

        std::vector<std::uint8_t> out(headerSize, 0);
        auto put = [&](std::size_t at, std::uint64_t v, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i) {
                std::size_t shift = bigEndian ? (n - 1 - i) * 8 : i * 8;
                out[at + i] = static_cast<std::uint8_t>(v >> shift);
            }
        };
        auto append = [&](const std::string& bytes) {
            std::size_t at = out.size();
            out.insert(out.end(), bytes.begin(), bytes.end());
            return at;
        };

        std::vector<std::size_t> dataAt;
        for (const auto& s : sections) dataAt.push_back(append(s.contents));
        const std::size_t strtabAt = append(strtab);

        sectionTable = out.size();
        const std::size_t count = sections.size() + 2;
        out.resize(sectionTable + count * sectionHeaderSize, 0);
        auto header = [&](std::size_t index, std::uint32_t name, std::uint32_t type, std::uint64_t offset,
                          std::uint64_t size) {
            std::size_t at = sectionTable + index * sectionHeaderSize;
            put(at + 0, name, 4);
            put(at + 4, type, 4);
            put(at + (elf64 ? 24 : 16), offset, word);
            put(at + (elf64 ? 32 : 20), size, word);
        };
        for (std::size_t i = 0; i < sections.size(); ++i)
            header(i + 1, nameOffsets[i], sections[i].type, dataAt[i], sections[i].contents.size());
        header(count - 1, strtabName, 3 /* SHT_STRTAB */, strtabAt, strtab.size());

        out[0] = 0x7F;
        out[1] = 'E';
        out[2] = 'L';
        out[3] = 'F';
        out[4] = elf64 ? 2 : 1;
        out[5] = bigEndian ? 2 : 1;
        out[6] = 1;
        put(16, 1, 2);  // ET_REL
        shoffAt = elf64 ? 0x28 : 0x20;
        shentsizeAt = elf64 ? 0x3A : 0x2E;
        shnumAt = elf64 ? 0x3C : 0x30;
        shstrndxAt = elf64 ? 0x3E : 0x32;
        put(shoffAt, sectionTable, word);
        put(elf64 ? 0x34 : 0x28, headerSize, 2);  // e_ehsize
        put(shentsizeAt, sectionHeaderSize, 2);
        put(shnumAt, count, 2);
        put(shstrndxAt, count - 1, 2);
        return out;
    }
};

// A version record in section form.
inline std::string versionRecord(const std::vector<std::string>& entries) {
    std::string r = std::string("KVXVER1") + '\0';
    for (const auto& e : entries) r += e + '\0';
    return r + '\0';
}

}  // namespace kvx::test
