#include "InstanceLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace joyrelay {

std::filesystem::path InstanceLock::defaultPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::filesystem::path(runtime) / "tamberlo-joyrelay.lock";
    return "/tmp/tamberlo-joyrelay-" + std::to_string(::getuid()) + ".lock";
}

InstanceLock::Outcome InstanceLock::acquire(const std::filesystem::path& path) {
    Outcome out;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        out.note = "cannot open " + path.string() + ": " + std::strerror(errno);
        out.lock = InstanceLock(-1);
        return out;
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
        out.note = "cannot lock " + path.string() + ": " + std::strerror(error);
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
