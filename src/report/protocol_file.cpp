#include "report/protocol_file.h"

#include <cstdio>

namespace kvx {

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
    file_ = std::fopen(fileName.c_str(), "a");
    if (!file_) return false;
    write("\n" + formatTimestamp(clock_.now()) + ": Diagnostic Program opened! --------------------\n");
    return true;
}

void ProtocolFile::writeBlock(const std::vector<std::string>& lines) {
    if (!file_) return;
    std::string block = "\n" + formatTimestamp(clock_.now()) + ":\n";
    for (const auto& line : lines) block += line + "\n";
    write(block);
    std::fflush(file_);  // write and flush errors are ignored: the monitor goes on
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

void ProtocolFile::write(const std::string& text) { std::fwrite(text.data(), 1, text.size(), file_); }

}  // namespace kvx
