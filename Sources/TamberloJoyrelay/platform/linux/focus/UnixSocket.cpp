#include "platform/linux/focus/UnixSocket.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace joyrelay::unix_socket {

namespace {

// Waits until `fd` is ready for `events` or the deadline passes.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

}  // namespace

UniqueFd connect(const std::string& path, std::string* error) {
    const auto fail = [&](const char* why) {
        if (error) *error = "cannot connect to " + path + ": " + why;
        return UniqueFd();
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty()) return fail("no socket path");
    if (path.size() >= sizeof address.sun_path) return fail("the path is too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return fail(std::strerror(errno));
    // A local stream socket connects at once or not at all (EAGAIN: the listener's backlog is full).
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail(std::strerror(errno));
    }
    return fd;
}

bool writeAll(int fd, std::string_view data, Clock::time_point deadline) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

bool readExact(int fd, std::size_t size, std::string& out, Clock::time_point deadline) {
    // Grows with what arrives, so that a length a peer only announces costs nothing.
    char buffer[4096];
    while (size > 0) {
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size), 0);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLIN, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

bool readToEnd(int fd, std::string& out, Clock::time_point deadline, std::size_t limit) {
    char buffer[4096];
    while (out.size() <= limit) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLIN, deadline)) return false;
        } else {
            return false;
        }
    }
    return false;
}

bool readAvailable(int fd, std::string& out, std::size_t budget) {
    char buffer[4096];
    while (budget > 0) {
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, budget), 0);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            budget -= static_cast<std::size_t>(n);
        } else if (n == 0) {
            return false;
        } else if (errno == EINTR) {
            continue;
        } else {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
    return true;
}

}  // namespace joyrelay::unix_socket
