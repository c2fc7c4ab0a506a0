#include "report/protocol_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/safe_file.h"

namespace kvx {

namespace {

// Only a regular file is a protocol. A FIFO would block the open until a
// reader comes (and the start with it), a device or socket would swallow the
// records, a folder cannot be written, and a link another user planted must
// not be written through: each counts as a file that cannot be opened.
std::FILE* openRegularForAppending(const std::string& fileName, std::string& error) {
    const int fd = platform::openForWriting(fileName, platform::WriteMode::Append, 0666, error);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "a");
    if (!file) {
        error = std::strerror(errno);
        ::close(fd);
    }
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
    openError_.clear();
    file_ = openRegularForAppending(fileName, openError_);
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
