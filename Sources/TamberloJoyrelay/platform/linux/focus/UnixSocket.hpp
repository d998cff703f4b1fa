// Bounded helpers for the compositors' IPC sockets (sway, Hyprland): every wait ends at a deadline
// and every read at a size, so that a compositor that hangs, or a peer that sends without end,
// neither stops the thread that reads nor fills its memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/linux/common/Descriptors.hpp"

namespace joyrelay::unix_socket {

using Clock = std::chrono::steady_clock;

// A non-blocking, close-on-exec stream socket connected to `path`; an empty descriptor with
// `error` set ("cannot connect to PATH: REASON") when that fails.
UniqueFd connect(const std::string& path, std::string* error);

// Writes all of `data` by `deadline`. False on an error or at the deadline.
bool writeAll(int fd, std::string_view data, Clock::time_point deadline);
inline bool writeAll(int fd, std::string_view data, std::chrono::milliseconds timeout) {
    return writeAll(fd, data, Clock::now() + timeout);
}

// Reads exactly `size` bytes into `out` (appended) by `deadline`. False on an error, the end of the
// stream or at the deadline. The caller bounds `size`.
bool readExact(int fd, std::size_t size, std::string& out, Clock::time_point deadline);

// Reads until the peer closes the stream, by `deadline`. False on an error, at the deadline, or
// once more than `limit` bytes came.
bool readToEnd(int fd, std::string& out, Clock::time_point deadline, std::size_t limit);

// Reads what is there now, at most `budget` bytes, without waiting. Returns false once the peer
// closed the stream or the socket failed (what was read before is still appended). A socket with
// more than `budget` bytes waiting stays readable for the next call.
bool readAvailable(int fd, std::string& out, std::size_t budget = 64 * 1024);

}  // namespace joyrelay::unix_socket
