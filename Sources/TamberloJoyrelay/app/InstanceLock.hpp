// One copy of the program on the real stick per user: a lock file held with flock() for the life of
// the process. The kernel lets go of it when the process ends, however it ends.
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

    struct Outcome;

    // Takes the lock at `path` without waiting. When the file cannot be opened at all the copy is let
    // through with an unheld lock and a note, since refusing to start would be worse than a second icon.
    // So is a lock file that belongs to another user, or that sits in a folder other users can
    // write: it says nothing about this user's copies.
    static Outcome acquire(const std::filesystem::path& path);

    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&& other) noexcept;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

struct InstanceLock::Outcome {
    std::optional<InstanceLock> lock;  // held: this copy may go on
    std::optional<long> holder;        // not held: the process id of the copy that holds it, when known
    std::string note;                  // the lock file could not be used at all (the copy goes on)
};

}  // namespace joyrelay
