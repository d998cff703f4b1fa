// The stick's input reports as tests write them: the bytes the stick sends, and the same report as a
// line of a capture file. Byte 4 and byte 5 carry the buttons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace joyrelay::testing {

// An input report of `size` bytes (a short one keeps only its header).
inline std::vector<std::uint8_t> report(std::uint8_t b4 = 0, std::uint8_t b5 = 0, std::size_t size = 18) {
    std::vector<std::uint8_t> bytes(size, 0);
    bytes[0] = 0x20;
    if (size > 5) {
        bytes[4] = b4;
        bytes[5] = b5;
    }
    return bytes;
}

// An input report as a line of a capture: its time in milliseconds, then its 18 bytes in hex.
inline std::string reportLine(int timeMs, int sequence, int b4, int b5) {
    char line[160];
    std::snprintf(line, sizeof line, "%d 20 00 %02x 0e %02x %02x 00 00 00 00 00 00 00 00 00 00 00 00\n", timeMs,
                  sequence & 0xff, b4, b5);
    return line;
}

}  // namespace joyrelay::testing
