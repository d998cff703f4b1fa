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
#include <cstring>
#include <ctime>

namespace joyrelay {

namespace {

void appendEscaped(std::string& out, const char* prefix, unsigned code) {
    static constexpr char digits[] = "0123456789abcdef";
    out += prefix;
    out.push_back(digits[(code >> 4) & 15]);
    out.push_back(digits[code & 15]);
}

// The length of the UTF-8 sequence at text[i], or 0 when it is not one (bad lead or continuation
// byte, cut short, overlong, a surrogate or beyond U+10FFFF).
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned c = at(0);
    const std::size_t length = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3
                               : c >= 0xF0 && c < 0xF5             ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((at(k) & 0xC0) != 0x80) return 0;
    }
    if (length == 3 && ((c == 0xE0 && at(1) < 0xA0) || (c == 0xED && at(1) >= 0xA0))) return 0;
    if (length == 4 && ((c == 0xF0 && at(1) < 0x90) || (c == 0xF4 && at(1) >= 0x90))) return 0;
    return length;
}

}  // namespace

std::string printableText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8Length(text, i);
        if (length == 0) {
            appendEscaped(out, "\\x", c);
            ++i;
            continue;
        }
        if (length == 1 && (c < 0x20 || c == 0x7F)) {
            if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                out += "\\r";
            } else if (c == '\t') {
                out += "\\t";
            } else {
                appendEscaped(out, "\\x", c);
            }
        } else if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            appendEscaped(out, "\\u00", static_cast<unsigned char>(text[i + 1]));  // C1 controls
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
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

void LogFile::info(std::string_view raw) {
    const std::string printable = printableText(raw);
    const std::string_view message = printable;
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
// was cut short, say by a full disk). False with errno set when the write failed.
bool appendLine(int fd, const std::string& line) {
    struct stat info {};
    char last = '\n';
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        if (::pread(fd, &last, 1, info.st_size - 1) != 1) last = '\n';
    }
    if (last != '\n') return writeAll(fd, "\n" + line);
    return writeAll(fd, line);
}

// Why the log cannot be written, in a few words.
std::string unwritableReason(int error) {
    if (error == ELOOP) return "it is a symbolic link, which the log never follows";
    return std::strerror(error);
}

}  // namespace

void LogFile::append(const std::string& line) {
    if (path_.empty()) return;
    const int error = write(line);
    if (error == 0) {
        unwritableSaid_ = 0;
        return;
    }
    if (error == unwritableSaid_) return;
    unwritableSaid_ = error;
    const std::string shown = printablePath(path_.string());
    if (error == EINVAL) {
        console(shown + " is not a regular file \u2014 the log is not written to it");
    } else {
        console("the log cannot be written to " + shown + " \u2014 " + unwritableReason(error) +
                "; its lines go to the console only");
    }
}

int LogFile::write(const std::string& line) {
    const int fd = openForAppend(path_);
    if (fd >= 0) {
        const bool written = appendLine(fd, line);
        const int error = errno;
        ::close(fd);
        return written ? 0 : error;
    }
    // Only a missing file is created; one that exists but cannot be opened is left alone.
    if (errno != ENOENT) return errno;
    std::string temp = path_.string() + ".XXXXXX";
    const int tfd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (tfd < 0) return errno;
    const bool written = writeAll(tfd, line);
    int error = written ? 0 : errno;
    ::fchmod(tfd, 0644);
    ::close(tfd);
    // link() rather than rename(): if another writer created the file meanwhile, keep its lines and
    // append ours to it instead of replacing it.
    if (written && ::link(temp.c_str(), path_.c_str()) != 0) {
        error = errno;
        if (error == EEXIST) {
            const int again = openForAppend(path_);
            error = again >= 0 ? 0 : errno;
            if (again >= 0) {
                if (!appendLine(again, line)) error = errno;
                ::close(again);
            }
        }
    }
    ::unlink(temp.c_str());
    return error;
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
