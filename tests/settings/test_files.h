// Real files in a fresh temporary folder per test, and mounts (root only)
// that make a folder read-only or a file impossible to rename over.
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

inline void writeFile(const std::string& path, const std::string& contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

inline std::string readFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvx-settings-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // A read-only tmpfs on folder `name`, holding `fileName` with `contents`.
    bool mountReadOnly(const std::string& name, const std::string& fileName, const std::string& contents) {
        std::string target = file(name);
        std::filesystem::create_directories(target);
        if (::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=64k") != 0) return false;
        mounts_.push_back(target);
        writeFile(target + "/" + fileName, contents);
        return ::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    // Binds the file onto itself: it stays writable in place, but a rename
    // over it fails with EBUSY.
    bool pinFile(const std::string& path) {
        if (::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
        mounts_.push_back(path);
        return true;
    }
    // Names in `folder` (a subfolder name, "" for this one), sorted.
    std::vector<std::string> names(const std::string& folder = "") const {
        std::vector<std::string> all;
        for (const auto& e : std::filesystem::directory_iterator(folder.empty() ? path_ : file(folder)))
            all.push_back(e.path().filename().string());
        std::sort(all.begin(), all.end());
        return all;
    }

private:
    std::string path_;
    std::vector<std::string> mounts_;
};

}  // namespace kvx::testing

// Mount tests need root; elsewhere they are skipped, never passed silently.
#define KVX_REQUIRE_MOUNT(ok)                                                           \
    do {                                                                                \
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount";                    \
        ASSERT_TRUE(ok) << "mount failed: " << std::strerror(errno);                    \
    } while (0)
