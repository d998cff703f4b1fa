// Blocking-with-a-deadline helpers for the compositors' IPC sockets (sway, Hyprland): the requests
// are answered within milliseconds, but a compositor that hangs must not hang the main thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/linux/focus/Descriptors.hpp"

namespace joyrelay::unix_socket {

// A non-blocking, close-on-exec stream socket connected to `path`; an empty descriptor with
// `error` set ("cannot connect to PATH: REASON") when that fails.
UniqueFd connect(const std::string& path, std::string* error);

// Writes all of `data`, waiting at most `timeout` in all. False on an error or a timeout.
bool writeAll(int fd, std::string_view data, std::chrono::milliseconds timeout);

// Reads exactly `size` bytes into `out` (appended), waiting at most `timeout` in all. False on an
// error, the end of the stream or a timeout.
bool readExact(int fd, std::size_t size, std::string& out, std::chrono::milliseconds timeout);

// Reads until the peer closes the stream, waiting at most `timeout` in all; at most `limit` bytes.
bool readToEnd(int fd, std::string& out, std::chrono::milliseconds timeout, std::size_t limit = 1 << 20);

// Reads what is there now without waiting. Returns false once the peer closed the stream or the
// socket failed (what was read before is still appended).
bool readAvailable(int fd, std::string& out);

}  // namespace joyrelay::unix_socket
