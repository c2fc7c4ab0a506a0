// Opening the files the program reads and writes so that nothing planted in
// their place can stall it or redirect a write: a FIFO, device or folder is
// never read or written as a file, a read is bounded, and a symbolic link or
// hard link that another user may have planted in a folder others can write
// to is refused instead of written through.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace kvx::platform {

// `path` opened for reading when it is a regular file: the open never waits
// (a FIFO in its place is refused, not waited on). -1 with `error` set
// otherwise; `missing` tells a file that does not exist.
int openRegularForReading(const std::string& path, std::string& error, bool* missing = nullptr);

// At most `most` bytes of the regular file `path` into `content`; `cut`
// when it holds more. False with `error` set (and `missing`) as above.
bool readRegularFile(const std::string& path, std::size_t most, std::string& content, std::string& error,
                     bool* missing = nullptr, bool* cut = nullptr);

// Where a write to `path` lands: `path` with every symbolic link on the way
// followed (its folders' as well as its own), down to a file that may not
// exist yet. A link is followed when it cannot have been planted by another
// user: it is the running user's, or its folder is writable by no one else
// (a folder below one others can write to counts as theirs when it is
// another user's). Empty with `error` set for a link that may have been planted.
std::string writeTarget(const std::string& path, std::string& error);

enum class WriteMode { Replace, Append };
// `path` opened for writing, created with `mode` when missing: emptied
// (Replace) or for appending (Append), where writeTarget says. Only a regular
// file is opened; an existing one in a folder others can write to must be
// the running user's and have no other name. -1 with `error` set otherwise.
int openForWriting(const std::string& path, WriteMode how, mode_t mode, std::string& error);

// Writes all of `n` bytes, or false with errno set.
bool writeAll(int fd, const void* data, std::size_t n);

}  // namespace kvx::platform
