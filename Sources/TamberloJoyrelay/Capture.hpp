// Capture files: a recorded session of the stick, for replay and bug reports.
//
//   # comment                      '#' starts a comment, to the end of the line
//   0 20 00 01 0e 00 00 ...         time in milliseconds, then the bytes of one transfer in hex pairs
//   12.5                            a time alone: a transfer of zero bytes
//   900 unplug                      the stick is unplugged; reports up to the next plug are not read
//   1500 plug                       the stick is plugged in again
//
// Times are decimal (a fraction is allowed) and never decrease. Blank lines are ignored. The stick is
// plugged at the start.
#pragma once

#include <cstdint>
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

struct CaptureParse {
    std::vector<CaptureEvent> events;
    std::optional<std::string> error;  // "FILE:LINE: reason" when the capture was refused
};

// Parses a whole capture. `name` is used in error texts. A malformed line refuses the whole capture.
CaptureParse parseCapture(std::string_view text, std::string_view name);

// Reads and parses the file at `path`; an unreadable file is an error too.
CaptureParse loadCapture(const std::string& path);

// One capture line for a transfer ("<time> <hex pairs>") or a plug event, without a line feed.
std::string captureLine(double timeMs, const std::uint8_t* bytes, std::size_t count);
std::string captureLine(double timeMs, CaptureEvent::Kind kind);

}  // namespace joyrelay
