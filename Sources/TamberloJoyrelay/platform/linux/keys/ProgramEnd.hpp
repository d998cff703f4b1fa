// How a key guard learns that the program it guards has ended: from the kernel, through a pidfd
// (pidfd_open, Linux 5.3 and later), which becomes readable when the process has ended and which no
// other process can hold open on the guard's behalf. Where the kernel has no pidfd_open, the guard
// falls back to end-of-file on its standard input, a pipe whose write end only the program holds
// (another process of the same user could keep that open through /proc, so the pidfd comes first).
//
// Header only: the XTest guard is a program of its own, the fake-input guard a mode of the main one.
#pragma once

#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace joyrelay::linux_keys {

// A pidfd for `program`, which must be this process's parent (the guard is its child): -1 with errno
// ENOSYS when the kernel has none, ESRCH when the program has ended already (the parent is no longer
// `program`, or it is gone).
inline int openProgramEnd(pid_t program) {
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, program, 0));
#else
    errno = ENOSYS;
    const int fd = -1;
#endif
    if (fd < 0) return -1;
    // The pidfd names the process with that number now; that it is still the program is settled by
    // the parent check made after opening it (a number is reused only once its process has been reaped,
    // and a reaped parent makes the kernel hand this process to another one).
    if (::getppid() != program) {
        ::close(fd);
        errno = ESRCH;
        return -1;
    }
    return fd;
}

// The descriptors the guard polls for the program's end: the pidfd when there is one, else standard
// input (end-of-file or an error). Returns true when `revents` of that entry says the program ended.
inline bool programEnded(const pollfd& watch) {
    return (watch.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace joyrelay::linux_keys
