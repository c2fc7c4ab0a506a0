// Real files in a fresh temporary folder for each test, and mounts that make
// a folder read-only or a file impossible to replace (root only).
#pragma once

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kvx::testing {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvx-settings-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = buf.data();
    }
    ~TempFolder() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Mounts an empty read-only tmpfs on the folder `name`. False when this
    // process may not mount.
    bool mountReadOnlyFolder(const std::string& name) {
        std::string target = file(name);
        std::filesystem::create_directories(target);
        if (::mount("tmpfs", target.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) return false;
        mounts_.push_back(target);
        return true;
    }
    // Mounts a read-only tmpfs on `name` that already holds `fileName` with `contents`.
    bool mountReadOnlyFolderWith(const std::string& name, const std::string& fileName, const std::string& contents);

    // Binds the file `source` over the file `target`: `target` can then be
    // read and written in place but never renamed over.
    bool bindFile(const std::string& source, const std::string& target) {
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
        mounts_.push_back(target);
        return true;
    }

private:
    std::string path_;
    std::vector<std::string> mounts_;
};

inline void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

inline bool runningAsRoot() { return ::geteuid() == 0; }

inline bool TempFolder::mountReadOnlyFolderWith(const std::string& name, const std::string& fileName,
                                                const std::string& contents) {
    std::string target = file(name);
    std::filesystem::create_directories(target);
    if (::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=64k") != 0) return false;
    mounts_.push_back(target);
    writeFile(target + "/" + fileName, contents);
    return ::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

// Files of the folder other than the ones named: left-over temporary files.
inline std::vector<std::string> otherFiles(const std::string& folder, const std::vector<std::string>& known) {
    std::vector<std::string> rest;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        bool isKnown = false;
        for (const auto& k : known) isKnown = isKnown || k == name;
        if (!isKnown) rest.push_back(name);
    }
    return rest;
}

}  // namespace kvx::testing

// Mount-based tests need root; elsewhere they are skipped, never passed silently.
#define KVX_REQUIRE_MOUNT(ok)                                                     \
    do {                                                                          \
        if (!kvx::testing::runningAsRoot()) GTEST_SKIP() << "needs root to mount"; \
        ASSERT_TRUE(ok) << "mount failed: " << std::strerror(errno);              \
    } while (0)
