#include "platform/profile_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/safe_file.h"
#include "platform/log.h"

namespace kvx::profile {

namespace {

// A zero byte counts as a blank, as do vertical tabs and form feeds.
std::string_view trimmed(std::string_view s) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\0';
    };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string reason(const char* step) { return std::string(step) + ": " + std::strerror(errno); }

// Says once per file that only its start is read.
void tellOversized(const std::string& path) {
    static std::mutex mutex;
    static std::set<std::string> told;
    std::lock_guard lock(mutex);
    if (!told.insert(path).second) return;
    Log(LogLevel::Warn) << path << " is larger than " << (kMaxFileSize >> 20) << " MB; only its first "
                        << (kMaxFileSize >> 20) << " MB are read, and it is never rewritten";
}

// The whole file up to kMaxFileSize (`truncated` when there was more), or
// nullopt with `error` set. A missing file is `missing`.
std::optional<std::string> readFile(const std::string& path, std::string& error, bool& missing,
                                    bool* truncated = nullptr) {
    // A FIFO, device or folder in the file's place is refused, never waited on.
    std::string why;
    const int fd = platform::openRegularForReading(path, why, &missing);
    if (fd < 0) {
        error = "opening: " + why;
        return std::nullopt;
    }
    struct stat st {};
    ::fstat(fd, &st);
    std::string data;
    data.reserve(std::min(static_cast<std::size_t>(st.st_size), kMaxFileSize));
    char buf[65536];
    for (;;) {
        if (data.size() >= kMaxFileSize) {
            if (truncated) *truncated = true;
            tellOversized(path);
            break;
        }
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, kMaxFileSize - data.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = reason("reading");
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A process killed between creating its temporary file and the rename leaves
// that file behind for good; each write removes the ones whose process is
// gone. A name whose process number is alive (or not ours to ask) stays.
void removeStaleTemporaries(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp-";
    DIR* dir = ::opendir(folderOf(path).c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        const std::string_view rest = name.substr(prefix.size());  // "<pid>-<counter>"
        const auto dash = rest.find('-');
        if (dash == 0 || dash == std::string_view::npos || dash > 9) continue;
        long pid = 0;
        bool digits = true;
        for (char c : rest.substr(0, dash)) {
            if (c < '0' || c > '9') digits = false;
            else pid = pid * 10 + (c - '0');
        }
        if (!digits || pid <= 0 || pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// Where a replacement of `requestedPath` lands, and the file there now
// (`exists`, `old`); empty with `error` set when it may not be replaced.
std::string replaceableTarget(const std::string& requestedPath, std::string& error, struct stat& old, bool& exists) {
    // Write through a symbolic link to the file it names instead of replacing
    // the link, unless another user may have planted it.
    const std::string path = platform::writeTarget(requestedPath, error);
    if (path.empty()) return path;
    exists = ::stat(path.c_str(), &old) == 0;
    // A rename would replace a write-protected file as easily as any other;
    // the protection is the user's wish, so it is honoured (also for root).
    if (exists && (old.st_mode & 0222) == 0) {
        error = "the file is write-protected";
        return {};
    }
    if (exists && ::access(path.c_str(), W_OK) != 0) {
        error = reason("checking write access");
        return {};
    }
    return path;
}

// Writes `contents` to a new file beside `path` (from replaceableTarget) and
// renames it over `path`.
WriteResult replaceFile(const std::string& path, std::string_view contents, const struct stat& old, bool exists) {
    removeStaleTemporaries(path);
    static std::atomic<unsigned> counter{0};
    std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return {reason("creating a temporary file")};

    auto fail = [&](const char* step) {
        WriteResult result{reason(step)};
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        return result;
    };
    if (exists && ::fchmod(fd, old.st_mode & 07777) != 0) return fail("copying the file mode");
    // Keep the owner too (only root can give a file away; for others this is a no-op), so
    // that one run with raised rights does not take the settings from their user.
    if (exists && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
    }
    if (!writeAll(fd, contents)) return fail("writing");
    if (::fsync(fd) != 0) return fail("flushing to disk");
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail("closing");
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail("replacing the file");

    // Make the rename itself durable; the new contents are already safe.
    int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

// `contents` with `key` in `section` set to `value`; every other byte kept.
// Where a key stands: the first line of `key` in any section named `section`
// (names compared without regard to case), and the last header or key line of
// the first such section. The reader and the writer both find keys through
// this one scan, so a value written is the value read.
struct KeyLocation {
    std::ptrdiff_t sectionEnd = -1;
    std::ptrdiff_t keyLine = -1;
    std::string_view keyName;
};

std::vector<std::string_view> splitLines(std::string_view contents) {
    std::vector<std::string_view> lines;  // each with its line break
    for (std::size_t pos = 0; pos < contents.size();) {
        std::size_t end = contents.find('\n', pos);
        end = end == std::string_view::npos ? contents.size() : end + 1;
        lines.push_back(contents.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

KeyLocation locateKey(const std::vector<std::string_view>& lines, std::string_view section, std::string_view key) {
    KeyLocation at;
    std::ptrdiff_t& sectionEnd = at.sectionEnd;
    std::ptrdiff_t& keyLine = at.keyLine;
    std::string_view& keyName = at.keyName;
    bool inSection = false;
    bool firstSectionDone = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view t = trimmed(lines[i]);
        if (t.empty() || t.front() == ';' || t.front() == '#') continue;
        if (t.front() == '[') {
            auto close = t.find(']');
            std::string_view name = trimmed(t.substr(1, close == std::string_view::npos ? t.size() - 1 : close - 1));
            if (inSection) firstSectionDone = true;
            inSection = sameName(name, section);
            if (inSection && !firstSectionDone) sectionEnd = static_cast<std::ptrdiff_t>(i);
            continue;
        }
        auto eq = t.find('=');
        if (!inSection || eq == std::string_view::npos) continue;
        if (!firstSectionDone) sectionEnd = static_cast<std::ptrdiff_t>(i);
        std::string_view name = trimmed(t.substr(0, eq));
        if (keyLine < 0 && sameName(name, key)) {
            keyLine = static_cast<std::ptrdiff_t>(i);
            keyName = name;
        }
    }

    return at;
}

std::string withValue(std::string_view contents, std::string_view section, std::string_view key,
                      std::string_view value) {
    const std::string_view newline = contents.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";

    const std::vector<std::string_view> lines = splitLines(contents);
    const KeyLocation at = locateKey(lines, section, key);
    const std::ptrdiff_t sectionEnd = at.sectionEnd;
    const std::ptrdiff_t keyLine = at.keyLine;
    const std::string_view keyName = at.keyName;

    std::string out;
    out.reserve(contents.size() + key.size() + value.size() + section.size() + 8);
    auto keyValue = [&](std::string_view name) {
        std::string s(name);
        s += '=';
        s += value;
        s += newline;
        return s;
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto index = static_cast<std::ptrdiff_t>(i);
        if (index == keyLine) {
            // Keep the indentation and the spelling of the key as they were.
            std::string_view line = lines[i];
            out.append(line.substr(0, line.find_first_not_of(" \t")));
            out += keyValue(keyName);
            continue;
        }
        out.append(lines[i]);
        if (index == sectionEnd && keyLine < 0) {
            if (!out.empty() && out.back() != '\n') out += newline;
            out += keyValue(key);
        }
    }
    if (sectionEnd < 0) {
        if (!out.empty() && out.back() != '\n') out += newline;
        out += '[';
        out += section;
        out += ']';
        out += newline;
        out += keyValue(key);
    }
    return out;
}

bool holdsLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Why `entry` cannot be written at all; empty when it can.
std::string unusable(const Entry& entry) {
    if (entry.section.empty() || holdsLineBreak(entry.section) || entry.section.find(']') != std::string::npos)
        return "unusable section name";
    if (trimmed(entry.key).empty() || holdsLineBreak(entry.key) || entry.key.find('=') != std::string::npos)
        return "unusable key name";
    if (holdsLineBreak(entry.value)) return "value holds a line break";
    return {};
}

}  // namespace

std::optional<std::int32_t> parseInteger(std::string_view text) {
    std::string_view t = trimmed(text);
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    bool hex = false;
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        hex = true;
        t.remove_prefix(2);
    } else if (!t.empty() && t.front() == '$') {
        hex = true;
        t.remove_prefix(1);
    }
    if (t.empty()) return std::nullopt;

    if (hex) {
        std::uint64_t v = 0;
        for (char c : t) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
            int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
            v = v * 16 + static_cast<std::uint64_t>(digit);
            if (v > 0xFFFFFFFFull) return std::nullopt;
        }
        auto bits = static_cast<std::uint32_t>(v);
        if (negative) bits = ~bits + 1u;
        return static_cast<std::int32_t>(bits);
    }
    std::int64_t v = 0;
    for (char c : t) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > std::int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(v);
}

std::string readString(const std::string& file, std::string_view section, std::string_view key,
                       std::string_view defaultValue) {
    std::string error;
    bool missing = false;
    auto data = readFile(file, error, missing);
    if (!data) return std::string(defaultValue);
    const std::vector<std::string_view> lines = splitLines(*data);
    const KeyLocation at = locateKey(lines, section, key);
    if (at.keyLine < 0) return std::string(defaultValue);
    const std::string_view line = lines[static_cast<std::size_t>(at.keyLine)];
    std::string value(trimmed(trimmed(line).substr(trimmed(line).find('=') + 1)));
    // Zero bytes, vertical tabs, form feeds and lone carriage returns read as blanks.
    for (char& c : value)
        if (c == '\0' || c == '\v' || c == '\f' || c == '\r') c = ' ';
    value = std::string(trimmed(value));
    return value.substr(0, std::min(value.size(), kMaxTextLength));
}

std::int32_t readInt(const std::string& file, std::string_view section, std::string_view key,
                     std::int32_t defaultValue) {
    std::string text = readString(file, section, key, {});
    return parseInteger(text).value_or(defaultValue);
}

std::vector<WriteResult> writeStrings(const std::string& file, const std::vector<Entry>& entries) {
    std::vector<WriteResult> results(entries.size());
    std::string error;
    bool missing = false;
    bool truncated = false;
    const auto old = readFile(file, error, missing, &truncated);
    // An unreadable file is never overwritten: its content would be lost.
    const std::string tooLarge = "larger than " + std::to_string(kMaxFileSize >> 20) + " MB, not rewritten";
    const std::string fileError = !old && !missing ? error : truncated ? tooLarge : "";

    // Each value set as a write of its own would set it: the file as the
    // values before it left it.
    std::string contents = old ? *old : std::string();
    std::vector<bool> changes(entries.size());
    bool any = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        results[i].error = unusable(e);
        if (results[i].ok()) results[i].error = fileError;
        if (results[i].ok() && contents.size() >= kMaxFileSize) results[i].error = tooLarge;
        if (!results[i].ok()) continue;
        // The reader takes zero bytes, vertical tabs and form feeds for blanks;
        // the file holds them as blanks, so a value reads back as it stands there.
        std::string stored = e.value;
        for (char& c : stored)
            if (c == '\0' || c == '\v' || c == '\f') c = ' ';
        std::string next = withValue(contents, e.section, e.key, stored);
        changes[i] = !old || next != contents;
        contents = std::move(next);
        any = true;
    }
    if (!any) return results;

    // A refusal concerns every value, also when the file holds them already
    // (then it is left as it is, not flushed again); a failed replacement
    // fails only the values that change the file.
    struct stat st {};
    bool exists = false;
    const std::string path = replaceableTarget(file, error, st, exists);
    WriteResult failure{path.empty() ? error : ""};
    if (failure.ok() && !(exists && old && *old == contents)) failure = replaceFile(path, contents, st, exists);
    if (failure.ok()) return results;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (results[i].ok() && (path.empty() || changes[i])) results[i] = failure;
    return results;
}

WriteResult writeString(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view value) {
    return writeStrings(file, {{std::string(section), std::string(key), std::string(value)}}).front();
}

WriteResult writeInt(const std::string& file, std::string_view section, std::string_view key,
                     std::int32_t value) {
    return writeString(file, section, key, std::to_string(value));
}

}  // namespace kvx::profile
