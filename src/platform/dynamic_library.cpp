#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <glob.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/paths.h"

namespace kvx {

namespace {

namespace fs = std::filesystem;

bool isAbsoluteFolder(const std::string& folder) { return !folder.empty() && folder.front() == '/'; }

std::string withSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

void addFolder(std::vector<std::string>& folders, const std::string& folder) {
    // A relative entry would be taken relative to the working folder.
    if (!isAbsoluteFolder(folder)) return;
    std::string f = withSlash(folder);
    if (std::find(folders.begin(), folders.end(), f) == folders.end()) folders.push_back(f);
}

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    auto b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

// Folders named by a loader configuration file, following its "include"
// lines (glob patterns, relative to the including file's folder).
void readLoaderConfig(const std::string& file, std::vector<std::string>& folders, int depth) {
    if (depth > 8) return;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        auto hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = trim(line);
        if (line.empty()) continue;
        if (line.rfind("include", 0) == 0 && line.size() > 7 && (line[7] == ' ' || line[7] == '\t')) {
            std::string pattern = trim(line.substr(8));
            if (!pattern.empty() && pattern.front() != '/') {
                auto slash = file.rfind('/');
                pattern = (slash == std::string::npos ? std::string() : file.substr(0, slash + 1)) + pattern;
            }
            glob_t g{};
            if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
                for (std::size_t i = 0; i < g.gl_pathc; ++i) readLoaderConfig(g.gl_pathv[i], folders, depth + 1);
            }
            globfree(&g);
            continue;
        }
        if (line.rfind("hwcap", 0) == 0) continue;
        addFolder(folders, line);
    }
}

bool isRegularFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// `name` in `folder`: the exact name, else the first (by byte order) entry
// whose name matches ignoring case. Only regular files count.
std::string findInFolder(const std::string& folder, const std::string& name) {
    fs::path exact = fs::path(folder) / name;
    if (isRegularFile(exact)) return exact.string();
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return {};
    std::vector<std::string> matches;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        std::string entry = it->path().filename().string();
        if (equalsIgnoringCase(entry, name) && isRegularFile(it->path())) matches.push_back(it->path().string());
    }
    if (matches.empty()) return {};
    std::sort(matches.begin(), matches.end());
    return matches.front();
}

}  // namespace

std::vector<std::string> librarySearchFolders() {
    std::vector<std::string> folders;
    addFolder(folders, executableFolder());
    if (const char* env = std::getenv("LD_LIBRARY_PATH")) {
        // The loader splits this list at ':' and ';'.
        std::string list = env;
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find_first_of(":;", start);
            if (end == std::string::npos) end = list.size();
            addFolder(folders, list.substr(start, end - start));
            start = end + 1;
        }
    }
    readLoaderConfig("/etc/ld.so.conf", folders, 0);
    addFolder(folders, "/lib");
    addFolder(folders, "/usr/lib");
    return folders;
}

std::string findLibraryFile(const std::string& name, const std::vector<std::string>& folders) {
    if (name.empty() || name.size() > kMaxLibraryNameLength) return {};
    if (name.find('/') != std::string::npos) return isRegularFile(name) ? name : std::string();
    for (const std::string& folder : folders) {
        if (!isAbsoluteFolder(folder)) continue;
        std::string found = findInFolder(folder, name);
        if (!found.empty()) return found;
    }
    return {};
}

std::string findLibraryFile(const std::string& name) {
    if (name.empty() || name.size() > kMaxLibraryNameLength) return {};
    if (name.find('/') != std::string::npos) return findLibraryFile(name, {});
    return findLibraryFile(name, librarySearchFolders());
}

LibraryHandle loadLibrary(const std::string& name) {
    std::string file = findLibraryFile(name);
    if (file.empty()) return nullptr;
    // `file` always holds a '/', so dlopen takes it as a path and does no
    // search of its own.
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* librarySymbol(LibraryHandle handle, const char* symbol) {
    if (handle == nullptr || symbol == nullptr) return nullptr;
    return dlsym(handle, symbol);
}

void freeLibrary(LibraryHandle handle) {
    if (handle != nullptr) dlclose(handle);
}

}  // namespace kvx
