#include "Capture.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

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
    if (i < token.size()) {
        if (token[i] != '.') return std::nullopt;
        std::size_t j = i + 1;
        while (j < token.size() && isDigit(token[j])) ++j;
        if (j == i + 1 || j != token.size()) return std::nullopt;
    }
    return std::strtod(std::string(token).c_str(), nullptr);
}

std::vector<std::string_view> splitWords(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::string quoted(std::string_view word) {
    std::string out = "\"";
    for (char c : word.substr(0, 20)) out.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
    if (word.size() > 20) out += "...";
    return out + "\"";
}

}  // namespace

CaptureParse parseCapture(std::string_view text, std::string_view name) {
    CaptureParse result;
    double last = 0;
    int number = 0;
    auto fail = [&](const std::string& reason) {
        result.events.clear();
        result.error = std::string(name) + ":" + std::to_string(number) + ": " + reason;
        return result;
    };
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        const std::vector<std::string_view> words = splitWords(line);
        if (words.empty()) {
            if (end == text.size()) break;
            continue;
        }
        CaptureEvent event;
        event.line = number;
        const std::optional<double> time = parseTime(words[0]);
        if (!time) return fail("bad timestamp " + quoted(words[0]) + " (milliseconds expected)");
        if (*time < last) {
            char detail[96];
            std::snprintf(detail, sizeof detail, "timestamp %s goes back in time (previous %g)",
                          std::string(words[0]).c_str(), last);
            return fail(detail);
        }
        last = *time;
        event.timeMs = *time;
        if (words.size() == 2 && (words[1] == "unplug" || words[1] == "plug")) {
            event.kind = words[1] == "unplug" ? CaptureEvent::Kind::unplug : CaptureEvent::Kind::plug;
        } else {
            for (std::size_t w = 1; w < words.size(); ++w) {
                const std::string_view word = words[w];
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
        result.events.push_back(std::move(event));
        if (end == text.size()) break;
    }
    return result;
}

CaptureParse loadCapture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        CaptureParse result;
        result.error = path + ": cannot read the capture: " + std::strerror(errno);
        return result;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parseCapture(text.str(), path);
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
