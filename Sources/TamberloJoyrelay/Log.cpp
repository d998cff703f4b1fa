#include "Log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace joyrelay {

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, n);
}

}  // namespace

LogFile::LogFile(std::filesystem::path path, bool mirrorToConsole)
    : path_(std::move(path)), mirror_(mirrorToConsole) {
    std::error_code ignored;
    std::filesystem::create_directories(path_.parent_path(), ignored);
}

void LogFile::info(std::string_view message) {
    if (mirror_) {
        // One write per line, so concurrent mirrors never interleave within a line.
        std::string console;
        console.reserve(message.size() + 12);
        console.append("[joyrelay] ").append(message).push_back('\n');
        writeAll(STDERR_FILENO, console.data(), console.size());
    }
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

void LogFile::append(const std::string& line) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
        writeAll(fd, line.data(), line.size());
        ::close(fd);
        return;
    }
    // Only a missing file is created; one that exists but cannot be opened is left alone.
    if (errno != ENOENT) return;
    std::string temp = path_.string() + ".XXXXXX";
    const int tfd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (tfd < 0) return;
    const bool written = writeAll(tfd, line.data(), line.size());
    ::fchmod(tfd, 0644);
    ::close(tfd);
    // link() rather than rename(): if another writer created the file meanwhile, keep its lines and
    // append ours to it instead of replacing it.
    if (written && ::link(temp.c_str(), path_.c_str()) != 0 && errno == EEXIST) {
        const int again = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (again >= 0) {
            writeAll(again, line.data(), line.size());
            ::close(again);
        }
    }
    ::unlink(temp.c_str());
}

std::filesystem::path Log::defaultPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::filesystem::path folder;
    if (state != nullptr && state[0] == '/') {
        folder = state;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::filesystem::path(home != nullptr ? home : "/tmp") / ".local" / "state";
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
