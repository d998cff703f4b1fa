// Capture files: a recorded session of the stick, for replay and bug reports.
//
//   # comment                      '#' starts a comment, to the end of the line
//   0 20 00 01 0e 00 00 ...         time in milliseconds, then the bytes of one transfer in hex pairs
//   12.5                            a time alone: a transfer of zero bytes
//   900 unplug                      the stick is unplugged; reports up to the next plug are not read
//   1500 plug                       the stick is plugged in again
//
// Times are decimal (a fraction is allowed) and never decrease; a time is at most maxTimeMs (twelve
// digits before the point). A line is at most maxLineLength bytes, its line feed not counted. Blank
// lines are ignored. The stick is plugged at the start.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace joyrelay {

struct CaptureEvent {
    enum class Kind { transfer, unplug, plug };
    double timeMs = 0;
    Kind kind = Kind::transfer;
    std::vector<std::uint8_t> bytes;  // transfers only
    int line = 0;                     // line number in the file, from 1
};

inline constexpr std::size_t maxLineLength = 256 * 1024;
inline constexpr double maxTimeMs = 999999999999.999;

struct CaptureParse {
    std::vector<CaptureEvent> events;
    std::optional<std::string> error;  // "FILE:LINE: reason" when the capture was refused
};

class CaptureLineParser;

// Reads a capture line by line as it is played: memory stays the same whatever the capture's size,
// and the file is opened once, so a pipe or a FIFO plays too. A regular file is checked to its end
// when it is opened, so that a bad line refuses it before anything is played; any other file is
// checked as it is read, and its first event before anything is played.
class CaptureReader {
public:
    // Opens the capture at `path`. Nothing and an error text ("PATH: reason") when it cannot be read,
    // is a folder, is malformed (as far as it is checked on opening) or holds no event at all.
    static std::unique_ptr<CaptureReader> open(const std::string& path, std::string& error);

    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // The next event into `event` (whose byte vector keeps its capacity). False at the end of the
    // capture, or at a malformed line or a read error: error() says which.
    bool next(CaptureEvent& event);
    const std::optional<std::string>& error() const { return error_; }

private:
    class Lines;
    CaptureReader(int fd, std::string name);
    bool read(CaptureEvent& event);
    int fd_;
    std::string name_;
    std::unique_ptr<Lines> lines_;
    std::unique_ptr<CaptureLineParser> parser_;
    std::optional<CaptureEvent> primed_;  // the first event, read on opening
    std::optional<std::string> error_;
};

// Parses a whole capture. `name` is used in error texts. A malformed line refuses the whole capture.
CaptureParse parseCapture(std::string_view text, std::string_view name);

// Reads and parses the file at `path`; an unreadable file is an error too.
CaptureParse loadCapture(const std::string& path);

// One capture line for a transfer ("<time> <hex pairs>") or a plug event, without a line feed.
std::string captureLine(double timeMs, const std::uint8_t* bytes, std::size_t count);
std::string captureLine(double timeMs, CaptureEvent::Kind kind);

}  // namespace joyrelay
