// The diagnostic protocol: a plain text file, opened for appending once at
// start and never truncated. It records the program start and end, a block of
// the summary whenever a new fault class comes up, and controller restarts.
// A file that cannot be opened is told once by the caller; every write is
// then skipped.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace kvx {

// "2024/03/05 - 08:15:02"
std::string formatTimestamp(const LocalTime& t);

class ProtocolFile {
public:
    explicit ProtocolFile(Clock& clock) : clock_(clock) {}
    ~ProtocolFile();
    ProtocolFile(const ProtocolFile&) = delete;
    ProtocolFile& operator=(const ProtocolFile&) = delete;

    // Opens `fileName` for appending and writes the program-start record.
    // Returns false when the file cannot be opened, with openError() saying
    // why. Every record is flushed as it is written.
    bool open(const std::string& fileName);
    bool isOpen() const { return file_ != nullptr; }
    const std::string& openError() const { return openError_; }

    // A summary block: timestamp header, then every line.
    void writeBlock(const std::vector<std::string>& lines);
    // "System has been rebooted".
    void writeReboot();
    // Program-end record, then the file is closed.
    void close();

private:
    void write(const std::string& text);

    Clock& clock_;
    std::FILE* file_ = nullptr;
    std::string openError_;
};

}  // namespace kvx
