#include "log/Log.hpp"

#include "log/WriteAll.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <vector>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace joyrelay {

std::string printablePath(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            static constexpr char digits[] = "0123456789abcdef";
            out += "\\x";
            out.push_back(digits[u >> 4]);
            out.push_back(digits[u & 15]);
        }
    }
    return out;
}

namespace {

std::string timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, n);
}

// Standard error's reader is gone: no console copy from then on, in any log of the process.
std::atomic<bool> consoleGone{false};

std::optional<std::filesystem::path> absolutePath(const char* value) {
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::filesystem::path(value);
}

}  // namespace

std::filesystem::path homeFolder() {
    if (auto home = absolutePath(std::getenv("HOME"))) return *home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        if (auto home = absolutePath(found->pw_dir)) return *home;
    }
    return {};
}

LogFile::LogFile(std::filesystem::path path, bool mirrorToConsole)
    : path_(std::move(path)), mirror_(mirrorToConsole) {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::create_directories(path_.parent_path(), ignored);
}

void LogFile::console(std::string_view message) {
    if (!mirror_ || consoleGone.load(std::memory_order_relaxed)) return;
    // One write per line, so concurrent mirrors never interleave within a line.
    std::string line;
    line.reserve(message.size() + 12);
    line.append("[joyrelay] ").append(message).push_back('\n');
    if (!writeAll(STDERR_FILENO, line)) consoleGone.store(true, std::memory_order_relaxed);
}

void LogFile::info(std::string_view message) {
    console(message);
    std::lock_guard guard(lock_);
    if (finished_) return;
    std::string line = timestamp();
    line.reserve(line.size() + message.size() + 2);
    line.append(" ").append(message).push_back('\n');
    append(line);
    if (listener_) listener_(message);
}

void LogFile::finish() {
    std::lock_guard guard(lock_);
    finished_ = true;
}

void LogFile::setListener(std::function<void(std::string_view)> listener) {
    std::lock_guard guard(lock_);
    listener_ = std::move(listener);
}

namespace {

// Opens the log for appending: never through a symbolic link, never blocking (a FIFO would wait for
// a reader), and only a regular file. -1 with errno set otherwise (EINVAL: not a regular file).
int openForAppend(const std::filesystem::path& path) {
    // Read access too, to see whether the file ends with a line feed; write access is enough.
    constexpr int flags = O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = ::open(path.c_str(), O_RDWR | flags);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | flags);
    if (fd < 0) {
        if (errno == ENXIO) errno = EINVAL;  // a FIFO nobody reads (or a socket): not a regular file
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Appends `line`, on a line of its own when the file does not end with a line feed (the last line
// was cut short, say by a full disk).
void appendLine(int fd, const std::string& line) {
    struct stat info {};
    char last = '\n';
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        if (::pread(fd, &last, 1, info.st_size - 1) != 1) last = '\n';
    }
    if (last != '\n') {
        const std::string fresh = "\n" + line;
        writeAll(fd, fresh);
    } else {
        writeAll(fd, line);
    }
}

}  // namespace

void LogFile::append(const std::string& line) {
    if (path_.empty()) return;
    const int fd = openForAppend(path_);
    if (fd >= 0) {
        appendLine(fd, line);
        ::close(fd);
        return;
    }
    if (errno == EINVAL) {
        if (!notRegularSaid_) {
            notRegularSaid_ = true;
            console(printablePath(path_.string()) + " is not a regular file \u2014 the log is not written to it");
        }
        return;
    }
    // Only a missing file is created; one that exists but cannot be opened is left alone.
    if (errno != ENOENT) return;
    std::string temp = path_.string() + ".XXXXXX";
    const int tfd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (tfd < 0) return;
    const bool written = writeAll(tfd, line);
    ::fchmod(tfd, 0644);
    ::close(tfd);
    // link() rather than rename(): if another writer created the file meanwhile, keep its lines and
    // append ours to it instead of replacing it.
    if (written && ::link(temp.c_str(), path_.c_str()) != 0 && errno == EEXIST) {
        const int again = openForAppend(path_);
        if (again >= 0) {
            appendLine(again, line);
            ::close(again);
        }
    }
    ::unlink(temp.c_str());
}

std::filesystem::path Log::defaultPath() {
    std::filesystem::path folder;
    if (auto state = absolutePath(std::getenv("XDG_STATE_HOME"))) {
        folder = *state;
    } else {
        const std::filesystem::path home = homeFolder();
        if (home.empty()) return {};
        folder = home / ".local" / "state";
    }
    return folder / "Tamberlo Joyrelay.log";
}

LogFile& Log::shared() {
    static LogFile file(defaultPath());
    return file;
}

void Log::info(std::string_view message) { shared().info(message); }

void Log::finish() { shared().finish(); }

void Log::setListener(std::function<void(std::string_view)> listener) { shared().setListener(std::move(listener)); }

}  // namespace joyrelay
