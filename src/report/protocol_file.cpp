#include "report/protocol_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace kvx {

namespace {

// Only a regular file is a protocol. A FIFO would block the open until a
// reader comes (and the start with it), a device or socket would swallow the
// records, a folder cannot be written: each counts as a file that cannot be
// opened. The open itself never waits, whatever the name turns into between
// the check and the open.
std::FILE* openRegularForAppending(const std::string& fileName) {
    struct stat st {};
    if (::stat(fileName.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return nullptr;
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "a");
    if (!file) ::close(fd);
    return file;
}

}  // namespace

std::string formatTimestamp(const LocalTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4i/%.2i/%.2i - %.2i:%.2i:%.2i", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

ProtocolFile::~ProtocolFile() {
    if (file_) std::fclose(file_);
}

bool ProtocolFile::open(const std::string& fileName) {
    if (file_) return true;  // opened once per run
    file_ = openRegularForAppending(fileName);
    if (!file_) return false;
    write("\n" + formatTimestamp(clock_.now()) + ": Diagnostic Program opened! --------------------\n");
    return true;
}

void ProtocolFile::writeBlock(const std::vector<std::string>& lines) {
    if (!file_) return;
    std::string block = "\n" + formatTimestamp(clock_.now()) + ":\n";
    for (const auto& line : lines) block += line + "\n";
    write(block);
}

void ProtocolFile::writeReboot() {
    if (!file_) return;
    write("\n" + formatTimestamp(clock_.now()) + ": System has been rebooted\n");
}

void ProtocolFile::close() {
    if (!file_) return;
    write(formatTimestamp(clock_.now()) + ": Diagnostic Program closed! --------------------\n");
    std::fclose(file_);
    file_ = nullptr;
}

// Every record reaches the file as it is written, so a kill loses none.
// Write and flush errors are ignored: the monitor goes on.
void ProtocolFile::write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), file_);
    std::fflush(file_);
}

}  // namespace kvx
