// Owned descriptors for the focus providers: a file descriptor closed on destruction, and one
// descriptor that is readable while any of several others is (an epoll set), so that a provider
// with more than one source (a socket and a timer, or a socket that may go away) still shows the
// event loop a single descriptor that stays valid for the provider's whole life.
#pragma once

#include <sys/epoll.h>
#include <unistd.h>

#include <utility>

namespace joyrelay {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Level-triggered: readable for as long as a member has something to read.
class DescriptorSet {
public:
    DescriptorSet() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

    bool valid() const { return static_cast<bool>(epoll_); }
    int fd() const { return epoll_.get(); }

    bool add(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
    }
    // Before the member is closed (a closed descriptor leaves the set by itself only once no
    // duplicate of it is left).
    void remove(int fd) { ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr); }

private:
    UniqueFd epoll_;
};

}  // namespace joyrelay
