#include "platform/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace kvx::platform {

namespace {

std::string reason() { return errno == ELOOP ? "a symbolic link, not followed" : std::strerror(errno); }

std::string kindError(const struct stat& st) {
    return S_ISDIR(st.st_mode) ? "Is a directory" : "not a regular file";
}

// A folder where someone besides the running user may create names: one
// with write permission for its group or for others, or, below such a
// folder, one that another user (root aside) owns and so may fill.
bool othersMayWrite(const struct stat& folder, bool belowShared) {
    if ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0) return true;
    return belowShared && folder.st_uid != ::geteuid() && folder.st_uid != 0;
}

// Where a write lands, and whether others may create names in its folder.
struct Resolved {
    std::string path;
    bool sharedFolder = false;
};

// `text` split at '/', pushed so that its first name is taken next.
void pushNames(std::vector<std::string>& names, std::string_view text) {
    std::vector<std::string> parts;
    for (std::size_t pos = 0; pos <= text.size();) {
        const std::size_t slash = std::min(text.find('/', pos), text.size());
        if (slash > pos) parts.emplace_back(text.substr(pos, slash - pos));
        pos = slash + 1;
    }
    names.insert(names.end(), parts.rbegin(), parts.rend());
}

std::string joined(std::string path, const std::vector<std::string>& names) {
    for (auto it = names.rbegin(); it != names.rend(); ++it) path += "/" + *it;
    return path;
}

// Walks `path` one name at a time as the kernel would, following symbolic
// links, but refuses a link that another user may have planted: one in a
// folder others can write to that is not the running user's. A link to a
// folder is judged as a link to the file, so a planted folder link cannot
// lead a write elsewhere either. A name that does not exist, or any other
// trouble, ends the walk: the open that follows reports it or creates the file.
std::optional<Resolved> resolveForWriting(const std::string& path, std::string& error) {
    struct Folder {
        std::string path;  // "" for the root
        bool shared, belowShared;
    };
    std::vector<Folder> folders;
    auto enter = [&folders](std::string folder, const struct stat& st) {
        const bool below = !folders.empty() && (folders.back().shared || folders.back().belowShared);
        folders.push_back({std::move(folder), othersMayWrite(st, below), below});
    };
    auto startAtRoot = [&] {
        struct stat st {};
        ::stat("/", &st);
        folders.clear();
        enter("", st);
    };

    if (path.empty()) return Resolved{path};
    std::vector<std::string> names;  // still to walk, the next one last
    pushNames(names, path);
    if (path.front() != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (!cwd) return Resolved{path};
        pushNames(names, cwd);
        std::free(cwd);
    }
    startAtRoot();
    const std::string trailing = path.back() == '/' ? "/" : "";  // the open refuses a folder
    for (int links = 0; !names.empty();) {
        const std::string name = std::move(names.back());
        names.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            if (folders.size() > 1) folders.pop_back();
            continue;
        }
        const Folder& folder = folders.back();
        const std::string candidate = folder.path + "/" + name;
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) != 0) return Resolved{joined(candidate, names) + trailing, folder.shared};
        if (S_ISLNK(st.st_mode)) {
            if (folder.shared && st.st_uid != ::geteuid()) {
                error = "refusing to write through the symbolic link " + candidate +
                        ": it is another user's, in a folder others can write to";
                return std::nullopt;
            }
            std::string target(PATH_MAX, '\0');
            const ssize_t n = ::readlink(candidate.c_str(), target.data(), target.size());
            if (n <= 0 || ++links > 40) {
                error = "cannot follow the symbolic link " + candidate;
                return std::nullopt;
            }
            target.resize(static_cast<std::size_t>(n));
            pushNames(names, target);
            if (target.front() == '/') startAtRoot();
            continue;
        }
        if (names.empty() || !S_ISDIR(st.st_mode)) return Resolved{joined(candidate, names) + trailing, folder.shared};
        enter(candidate, st);
    }
    return Resolved{folders.back().path + "/", folders.back().shared};
}

// Regular files only, opened without waiting, and back to blocking I/O
// (a no-op for a regular file, but what later code expects).
int checkedRegular(int fd, std::string& error, struct stat& st) {
    if (::fstat(fd, &st) != 0) {
        error = reason();
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = kindError(st);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

int openRegularForReading(const std::string& path, std::string& error, bool* missing) {
    if (missing) *missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (missing) *missing = errno == ENOENT;
        error = reason();
        return -1;
    }
    struct stat st {};
    return checkedRegular(fd, error, st);
}

bool readRegularFile(const std::string& path, std::size_t most, std::string& content, std::string& error,
                     bool* missing, bool* cut) {
    if (cut) *cut = false;
    content.clear();
    const int fd = openRegularForReading(path, error, missing);
    if (fd < 0) return false;
    char buf[65536];
    for (;;) {
        if (content.size() >= most) {
            // One byte more tells a file of exactly `most` bytes from a longer one.
            char extra;
            ssize_t n;
            do n = ::read(fd, &extra, 1);
            while (n < 0 && errno == EINTR);
            if (cut) *cut = n > 0;
            break;
        }
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, most - content.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = reason();
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        content.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string writeTarget(const std::string& path, std::string& error) {
    const auto resolved = resolveForWriting(path, error);
    return resolved ? resolved->path : std::string();
}

int openForWriting(const std::string& path, WriteMode how, mode_t mode, std::string& error) {
    const auto resolved = resolveForWriting(path, error);
    if (!resolved) return -1;
    const std::string& target = resolved->path;
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (how == WriteMode::Append ? O_APPEND : 0);
    int fd = ::open(target.c_str(), flags | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
        struct stat st {};
        return checkedRegular(fd, error, st);
    }
    if (errno != EEXIST) {
        error = reason();
        return -1;
    }
    fd = ::open(target.c_str(), flags);
    if (fd < 0) {
        error = reason();
        return -1;
    }
    struct stat st {};
    if (checkedRegular(fd, error, st) < 0) return -1;
    // In a shared folder a file another user put there, or a second name of
    // some other file, is not ours to write.
    if (resolved->sharedFolder && (st.st_uid != ::geteuid() || st.st_nlink > 1)) {
        error = target + " is another user's file (or a second name of one) in a folder others can write to";
        ::close(fd);
        return -1;
    }
    if (how == WriteMode::Replace && ::ftruncate(fd, 0) != 0) {
        error = reason();
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace kvx::platform
