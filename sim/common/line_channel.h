// Newline-framed messages over a connected stream socket. Each message is one
// line of compact JSON, which never contains a raw newline.
#pragma once

#include <string>

namespace kvxsim {

// Writes all of `line` plus '\n'; false when the peer is gone. Never raises
// SIGPIPE.
bool writeLine(int fd, const std::string& line);

// Reads up to the next '\n' (not included) into `line`, keeping bytes that
// follow in `pending`. False on end of stream, error or a line above
// `maxBytes`.
bool readLine(int fd, std::string& pending, std::string& line, std::size_t maxBytes = 1 << 20);

// Connects to a unix-domain stream socket; -1 on failure (errno set).
int connectUnix(const std::string& path);

}  // namespace kvxsim
