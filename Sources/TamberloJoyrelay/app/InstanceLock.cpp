#include "app/InstanceLock.hpp"

#include "log/Log.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

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

InstanceLock::Outcome InstanceLock::acquire(const std::filesystem::path& path) {
    Outcome out;
    const std::string shown = printablePath(path.string());
    auto unheld = [](const std::string& note) {
        Outcome unused;
        unused.note = note;
        unused.lock = InstanceLock(-1);
        return unused;
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
            return out;
        }
        out.note = "cannot lock " + shown + ": " + std::strerror(error);
        ::close(fd);
        out.lock = InstanceLock(-1);
        return out;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    out.lock = InstanceLock(fd);
    return out;
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace joyrelay
