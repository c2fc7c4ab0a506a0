#include "platform/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kvx::platform {

namespace {

std::string reason() { return errno == ELOOP ? "a symbolic link, not followed" : std::strerror(errno); }

std::string kindError(const struct stat& st) {
    return S_ISDIR(st.st_mode) ? "Is a directory" : "not a regular file";
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A folder where someone besides its owner may create names.
bool othersMayWrite(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return true;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
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
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    if (othersMayWrite(folderOf(path)) && st.st_uid != ::geteuid()) {
        error = "refusing to write through the symbolic link " + path +
                ": it is another user's, in a folder others can write to";
        return {};
    }
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;  // a dangling link: the open below refuses it
    std::string target = real;
    std::free(real);
    return target;
}

int openForWriting(const std::string& path, WriteMode how, mode_t mode, std::string& error) {
    const std::string target = writeTarget(path, error);
    if (target.empty()) return -1;
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
    if (othersMayWrite(folderOf(target)) && (st.st_uid != ::geteuid() || st.st_nlink > 1)) {
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
