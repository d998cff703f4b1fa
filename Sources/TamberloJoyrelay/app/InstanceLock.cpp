#include "app/InstanceLock.hpp"

#include "log/Log.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>

namespace joyrelay {

std::filesystem::path InstanceLock::defaultPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::filesystem::path(runtime) / "tamberlo-joyrelay.lock";
    const std::filesystem::path home = homeFolder();
    if (home.empty()) return {};
    const std::filesystem::path folder = home / ".local" / "state";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder / "tamberlo-joyrelay.lock";
}

std::string InstanceLock::socketName(const std::filesystem::path& path) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : path.lexically_normal().string()) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char text[64];
    std::snprintf(text, sizeof text, "tamberlo-joyrelay-%u-%016llx", static_cast<unsigned>(::geteuid()),
                  static_cast<unsigned long long>(hash));
    return text;
}

namespace {

// What binding the abstract socket gave.
struct SocketClaim {
    int fd = -1;                 // held: the listening socket
    bool heldByUs = false;       // another copy of this user listens on it
    std::optional<long> holder;  // its process id
    std::string note;            // it cannot be used (taken by another user, no sockets)
};

SocketClaim claimSocket(const std::string& name) {
    SocketClaim out;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    name.copy(address.sun_path + 1, length);  // sun_path[0] stays NUL: the abstract namespace
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        out.note = std::string("no unix socket: ") + std::strerror(errno);
        return out;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0 && ::listen(fd, 64) == 0) {
        out.fd = fd;
        return out;
    }
    const int error = errno;
    ::close(fd);
    if (error != EADDRINUSE) {
        out.note = std::string("cannot bind the single-copy socket: ") + std::strerror(error);
        return out;
    }
    // Taken: by another copy of ours, or by a squatter of another user?
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    const bool asked = probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&address), size) == 0 &&
                       ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0;
    if (probe >= 0) ::close(probe);
    if (!asked) {
        // Its owner does not take more callers now; the lock file decides.
        out.note = "the single-copy socket is taken and does not answer";
    } else if (peer.uid == ::geteuid()) {
        out.heldByUs = true;
        if (peer.pid > 0) out.holder = peer.pid;
    } else {
        out.note = "the single-copy socket is taken by another user (uid " + std::to_string(peer.uid) + ")";
    }
    return out;
}

}  // namespace

InstanceLock::Outcome InstanceLock::acquire(const std::filesystem::path& path) {
    Outcome out;
    SocketClaim socket = claimSocket(socketName(path));
    if (socket.heldByUs) {
        out.holder = socket.holder;
        return out;
    }
    const std::string shown = printablePath(path.string());
    const int held = socket.fd;
    auto unheld = [&](const std::string& note) {
        Outcome unused;
        unused.note = socket.note.empty() ? note : socket.note + "; " + note;
        unused.lock = InstanceLock(-1, held);
        return unused;
    };
    auto closeSocket = [&] {
        if (held >= 0) ::close(held);
    };
    if (path.empty()) return unheld("no folder to keep the lock file in");
    struct stat folder {};
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : ".";
    // Another user who can rename files in the folder could swap the lock file under us. (In a
    // sticky folder such as /tmp they cannot; a file they made themselves is caught below.)
    if (::stat(parent.c_str(), &folder) == 0 &&
        ((folder.st_uid != ::geteuid() && folder.st_uid != 0) ||
         ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (folder.st_mode & S_ISVTX) == 0))) {
        return unheld(printablePath(parent.string()) + " can be written by other users");
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) return unheld("cannot open " + shown + ": " + std::strerror(errno));
    struct stat file {};
    if (::fstat(fd, &file) != 0 || file.st_uid != ::geteuid() || !S_ISREG(file.st_mode)) {
        ::close(fd);
        return unheld(shown + " belongs to another user or is not a regular file");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            char text[32] = {};
            const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
            if (n > 0) {
                char* end = nullptr;
                const long pid = std::strtol(text, &end, 10);
                if (end != text && pid > 0) out.holder = pid;
            }
            ::close(fd);
            closeSocket();
            return out;
        }
        ::close(fd);
        return unheld("cannot lock " + shown + ": " + std::strerror(error));
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    out.lock = InstanceLock(fd, held);
    out.note = socket.note;
    return out;
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_), socket_(other.socket_) {
    other.fd_ = -1;
    other.socket_ = -1;
}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        if (socket_ >= 0) ::close(socket_);
        fd_ = std::exchange(other.fd_, -1);
        socket_ = std::exchange(other.socket_, -1);
    }
    return *this;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
    if (socket_ >= 0) ::close(socket_);
}

}  // namespace joyrelay
