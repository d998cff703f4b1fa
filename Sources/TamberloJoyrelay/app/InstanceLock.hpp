// One copy of the program on the real stick per user, held two ways for the life of the process:
// a unix socket in the abstract namespace, which nobody can delete from under the program, and a
// lock file held with flock() that names the holder's process id. The kernel lets go of both when
// the process ends, however it ends.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace joyrelay {

class InstanceLock {
public:
    // $XDG_RUNTIME_DIR/tamberlo-joyrelay.lock when XDG_RUNTIME_DIR is an absolute path, else
    // tamberlo-joyrelay.lock in the log's folder in the home folder (~/.local/state), which only the
    // user can write. Empty when there is no home folder.
    static std::filesystem::path defaultPath();

    // The abstract socket's name for the lock file at `path` (without the leading NUL):
    // "tamberlo-joyrelay-<uid>-<hash of the path>". Per user and per lock location, so that copies
    // started with another XDG_RUNTIME_DIR (test sessions) do not count.
    static std::string socketName(const std::filesystem::path& path);

    struct Outcome;

    // Takes the lock for `path` without waiting. Refused (no lock in the outcome) when another copy
    // of this user holds the socket or the file; `holder` is its process id when known.
    //
    // The socket is bound first. When its name is taken, the process listening on it is asked who
    // it is (SO_PEERCRED): one of another user (a squatter) says nothing about this user's copies
    // and is passed over with a note. The file is used as before, also once the socket is held: it
    // tells an older copy, and names the holder. When the file cannot be opened at all, or belongs
    // to another user, or sits in a folder other users can write, the copy is let through with a
    // note (the socket still counts), since refusing to start would be worse than a second icon.
    static Outcome acquire(const std::filesystem::path& path);

    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&& other) noexcept;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

private:
    InstanceLock(int fd, int socket) : fd_(fd), socket_(socket) {}
    int fd_ = -1;
    int socket_ = -1;
};

struct InstanceLock::Outcome {
    std::optional<InstanceLock> lock;  // held: this copy may go on
    std::optional<long> holder;        // not held: the process id of the copy that holds it, when known
    std::string note;                  // the socket or the lock file could not be used (the copy goes on)
};

}  // namespace joyrelay
