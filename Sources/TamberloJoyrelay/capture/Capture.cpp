#include "capture/Capture.hpp"

#include "log/Log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace joyrelay {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number: digits, optionally a point and more digits.
std::optional<double> parseTime(std::string_view token) {
    std::size_t i = 0;
    while (i < token.size() && isDigit(token[i])) ++i;
    if (i == 0) return std::nullopt;
    if (i > 12) return maxTimeMs * 2;  // out of range, whatever its value
    if (i < token.size()) {
        if (token[i] != '.') return std::nullopt;
        std::size_t j = i + 1;
        while (j < token.size() && isDigit(token[j])) ++j;
        if (j == i + 1 || j != token.size()) return std::nullopt;
    }
    return std::strtod(std::string(token).c_str(), nullptr);
}

void splitWords(std::string_view line, std::vector<std::string_view>& words) {
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
}

std::string quoted(std::string_view word) {
    std::string out = "\"";
    for (char c : word.substr(0, 20)) {
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u >= 0x7F ? '?' : c);
    }
    if (word.size() > 20) out += "...";
    return out + "\"";
}

}  // namespace

// Parses one line after another, keeping what a line's check needs from the lines before it.
class CaptureLineParser {
public:
    explicit CaptureLineParser(std::string_view name) : name_(name) {}

    // False with `error` set for a malformed line; true otherwise, with `hasEvent` telling whether
    // the line held an event (blank and comment lines hold none).
    bool parse(std::string_view line, CaptureEvent& event, bool& hasEvent, std::string& error) {
        ++number_;
        hasEvent = false;
        auto fail = [&](const std::string& reason) {
            error = failure(reason);
            return false;
        };
        if (line.size() > maxLineLength) {
            return fail("line longer than " + std::to_string(maxLineLength) + " bytes");
        }
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        words_.clear();
        splitWords(line, words_);
        if (words_.empty()) return true;
        event.line = number_;
        event.kind = CaptureEvent::Kind::transfer;
        event.bytes.clear();
        const std::optional<double> time = parseTime(words_[0]);
        if (!time) return fail("bad timestamp " + quoted(words_[0]) + " (milliseconds expected)");
        if (*time > maxTimeMs) {
            return fail("timestamp " + quoted(words_[0]) + " is out of range (0 to 999999999999.999 ms)");
        }
        if (*time < last_) {
            char detail[96];
            std::snprintf(detail, sizeof detail, "timestamp %s goes back in time (previous %g)",
                          std::string(words_[0]).c_str(), last_);
            return fail(detail);
        }
        last_ = *time;
        event.timeMs = *time;
        if (words_.size() == 2 && (words_[1] == "unplug" || words_[1] == "plug")) {
            event.kind = words_[1] == "unplug" ? CaptureEvent::Kind::unplug : CaptureEvent::Kind::plug;
        } else {
            for (std::size_t w = 1; w < words_.size(); ++w) {
                const std::string_view word = words_[w];
                if (word == "unplug" || word == "plug") {
                    return fail("\"" + std::string(word) + "\" must stand alone after the timestamp");
                }
                if (word.size() != 2) {
                    const bool allHex = [&] {
                        for (char c : word) {
                            if (hexDigit(c) < 0) return false;
                        }
                        return true;
                    }();
                    if (allHex) {
                        return fail("byte " + quoted(word) + " is not two hex digits" +
                                    (word.size() > 2 ? " (over ff)" : ""));
                    }
                    return fail("unknown word " + quoted(word));
                }
                const int hi = hexDigit(word[0]);
                const int lo = hexDigit(word[1]);
                if (hi < 0 || lo < 0) return fail("bad hex byte " + quoted(word));
                event.bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            }
        }
        hasEvent = true;
        return true;
    }

    // "NAME:LINE: reason", for the line parsed last.
    std::string failure(const std::string& reason) const {
        return printablePath(name_) + ":" + std::to_string(number_) + ": " + reason;
    }
    int lineNumber() const { return number_; }
    void restart() {
        last_ = 0;
        number_ = 0;
    }

private:
    std::string name_;
    double last_ = 0;
    int number_ = 0;
    std::vector<std::string_view> words_;
};

CaptureParse parseCapture(std::string_view text, std::string_view name) {
    CaptureParse result;
    CaptureLineParser parser(name);
    std::size_t pos = 0;
    CaptureEvent event;
    std::string error;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        bool hasEvent = false;
        if (!parser.parse(text.substr(pos, end - pos), event, hasEvent, error)) {
            result.events.clear();
            result.error = error;
            return result;
        }
        if (hasEvent) result.events.push_back(event);
        pos = end + 1;
    }
    return result;
}

// The lines of a file descriptor, read in blocks; a line longer than the limit is not kept whole.
class CaptureReader::Lines {
public:
    explicit Lines(int fd) : fd_(fd) { block_.resize(64 * 1024); }

    enum class Got { line, end, tooLong, failed };

    Got next(std::string_view& line) {
        line_.clear();
        for (;;) {
            if (at_ == filled_) {
                if (eof_) {
                    if (line_.empty()) return Got::end;
                    line = line_;
                    return Got::line;
                }
                const ssize_t n = ::read(fd_, block_.data(), block_.size());
                if (n < 0) {
                    if (errno == EINTR) continue;
                    error_ = errno;
                    return Got::failed;
                }
                at_ = 0;
                filled_ = static_cast<std::size_t>(n);
                if (n == 0) eof_ = true;
                continue;
            }
            const char* begin = block_.data() + at_;
            const void* found = std::memchr(begin, '\n', filled_ - at_);
            const std::size_t take = found ? static_cast<std::size_t>(static_cast<const char*>(found) - begin)
                                           : filled_ - at_;
            if (line_.size() + take > maxLineLength) return Got::tooLong;
            line_.append(begin, take);
            at_ += take;
            if (found) {
                ++at_;
                line = line_;
                return Got::line;
            }
        }
    }

    void rewind() {
        at_ = filled_ = 0;
        eof_ = false;
    }
    int error() const { return error_; }

private:
    int fd_;
    std::vector<char> block_;
    std::size_t at_ = 0;
    std::size_t filled_ = 0;
    bool eof_ = false;
    int error_ = 0;
    std::string line_;
};

CaptureReader::CaptureReader(int fd, std::string name)
    : fd_(fd), name_(std::move(name)), lines_(std::make_unique<Lines>(fd)), parser_(std::make_unique<CaptureLineParser>(name_)) {}

CaptureReader::~CaptureReader() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<CaptureReader> CaptureReader::open(const std::string& path, std::string& error) {
    const std::string shown = printablePath(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = shown + ": cannot read the capture: " + std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        error = shown + ": is a folder, not a capture";
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<CaptureReader> reader(new CaptureReader(fd, path));
    CaptureEvent event;
    bool any = false;
    if (S_ISREG(info.st_mode)) {
        // Checked to the end first, then read again from the start as it is played.
        while (reader->read(event)) any = true;
        if (!reader->error_ && ::lseek(fd, 0, SEEK_SET) != 0) {
            reader->error_ = shown + ": cannot read the capture: " + std::strerror(errno);
        }
        reader->lines_->rewind();
        reader->parser_->restart();
    } else if (reader->read(event)) {
        any = true;
        reader->primed_ = std::move(event);
    }
    if (reader->error_) {
        error = *reader->error_;
        return nullptr;
    }
    if (!any) {
        error = shown + ": the capture is empty (no report, plug or unplug line)";
        return nullptr;
    }
    return reader;
}

bool CaptureReader::next(CaptureEvent& event) {
    if (primed_) {
        event = std::move(*primed_);
        primed_.reset();
        return true;
    }
    return read(event);
}

bool CaptureReader::read(CaptureEvent& event) {
    if (error_) return false;
    std::string reason;
    for (;;) {
        std::string_view line;
        switch (lines_->next(line)) {
            case Lines::Got::end:
                return false;
            case Lines::Got::failed:
                error_ = printablePath(name_) + ": cannot read the capture: " + std::strerror(lines_->error());
                return false;
            case Lines::Got::tooLong: {
                bool ignored = false;
                parser_->parse(std::string_view(), event, ignored, reason);  // counts the line
                error_ = parser_->failure("line longer than " + std::to_string(maxLineLength) + " bytes");
                return false;
            }
            case Lines::Got::line:
                break;
        }
        bool hasEvent = false;
        if (!parser_->parse(line, event, hasEvent, reason)) {
            error_ = reason;
            return false;
        }
        if (hasEvent) return true;
    }
}

CaptureParse loadCapture(const std::string& path) {
    CaptureParse result;
    std::string error;
    std::unique_ptr<CaptureReader> reader = CaptureReader::open(path, error);
    if (!reader) {
        result.error = error;
        return result;
    }
    CaptureEvent event;
    while (reader->next(event)) result.events.push_back(event);
    if (reader->error()) {
        result.events.clear();
        result.error = reader->error();
    }
    return result;
}

std::string captureLine(double timeMs, const std::uint8_t* bytes, std::size_t count) {
    char head[32];
    std::snprintf(head, sizeof head, "%.3f", timeMs);
    std::string line(head);
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < count; ++i) {
        line.push_back(' ');
        line.push_back(digits[bytes[i] >> 4]);
        line.push_back(digits[bytes[i] & 15]);
    }
    return line;
}

std::string captureLine(double timeMs, CaptureEvent::Kind kind) {
    char head[48];
    std::snprintf(head, sizeof head, "%.3f %s", timeMs,
                  kind == CaptureEvent::Kind::unplug ? "unplug" : "plug");
    return head;
}

}  // namespace joyrelay
