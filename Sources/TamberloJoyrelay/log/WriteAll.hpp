// Writes every byte of a text to a file descriptor, going on after short writes and interrupted
// calls. False when the descriptor refuses (the reader is gone, the disk is full).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace joyrelay {

inline bool writeAll(int fd, std::string_view text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace joyrelay
