// Socket I/O for the driver libraries' requests, each bounded by one deadline
// for the whole exchange: a peer that is dead, silent or sends one byte at a
// time fails the request when the deadline passes, however it behaves. A
// wait also ends (ECANCELED) when SIGINT, SIGTERM or SIGHUP is pending: held
// back by a program that takes them between requests, they ask it to stop.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace kvxsim {

using Deadline = std::chrono::steady_clock::time_point;

// A connected, non-blocking stream socket; -1 with errno set on failure
// (ETIMEDOUT when the deadline passed).
int connectWithin(const sockaddr* address, socklen_t length, Deadline deadline);

// Sends all of `data`; false (errno set) on error or when the deadline
// passed. Never raises SIGPIPE.
bool sendAllWithin(int fd, std::string_view data, Deadline deadline);

// Receives what is there, waiting up to the deadline: the byte count, 0 at
// end of stream, -1 (errno set, ETIMEDOUT for the deadline) on failure.
long receiveWithin(int fd, char* buffer, std::size_t size, Deadline deadline);

// Reads up to the next '\n' (not included) into `line`, keeping what follows
// in `pending`; false at end of stream, on error, past the deadline or for a
// line above `maxBytes`.
bool readLineWithin(int fd, std::string& pending, std::string& line, std::size_t maxBytes, Deadline deadline);

}  // namespace kvxsim
