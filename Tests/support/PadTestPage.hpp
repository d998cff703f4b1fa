// The controller check page (web/padtest.html?detail) as the desktop tests read it: its title
// records every key event the page saw, "D:key/code[/S]" or "U:...", and the browser's DevTools list
// reports the title.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/ChildProcess.hpp"

namespace joyrelay::testing {

// What the page writes for one transition of a transcript line ("1800.000 Shift up"), given whether
// Shift is down at that moment.
inline std::string padTestEntry(const std::string& name, bool down, bool& shiftHeld) {
    static const std::map<std::string, std::pair<std::string, std::string>> table = {
        {"Space", {"Space", "Space"}},       {"Enter", {"Enter", "Enter"}},
        {"Escape", {"Escape", "Escape"}},    {"Shift", {"Shift", "ShiftLeft"}},
        {"ArrowLeft", {"ArrowLeft", "ArrowLeft"}}, {"ArrowRight", {"ArrowRight", "ArrowRight"}},
        {"ArrowUp", {"ArrowUp", "ArrowUp"}}, {"ArrowDown", {"ArrowDown", "ArrowDown"}},
        {"z", {"z", "KeyZ"}},                {"x", {"x", "KeyX"}},
        {"c", {"c", "KeyC"}},                {"1", {"1", "Digit1"}},
        {"2", {"2", "Digit2"}},
    };
    auto [key, code] = table.at(name);
    if (name == "Shift") shiftHeld = down;
    if (shiftHeld && key.size() == 1) {
        if (key == "1") key = "!";
        else if (key == "2") key = "@";
        else key = std::string(1, static_cast<char>(key[0] - 'a' + 'A'));
    }
    return std::string(down ? "D:" : "U:") + key + "/" + code + (shiftHeld ? "/S" : "");
}

// The page's record for a whole transcript (samples/demo.keys), each entry after a space.
inline std::string padTestRecord(const std::filesystem::path& transcript) {
    std::ifstream in(transcript);
    std::string time, name, direction, out;
    bool shift = false;
    while (in >> time >> name >> direction) out += " " + padTestEntry(name, direction == "down", shift);
    return out;
}

// The title the page shows once it has seen `record` after showing `title`: the page keeps its last
// 200 entries (web/padtest.html?detail), so a long session's title loses its oldest ones.
inline std::string padTestTitleAfter(const std::string& title, const std::string& record) {
    constexpr std::size_t kept = 200;
    const std::string prefix = "padtest:";
    const std::string all =
        (title.rfind(prefix, 0) == 0 ? title.substr(prefix.size()) : title) + " " + record;
    std::vector<std::string> entries;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = std::min(all.find(' ', at), all.size());
        if (end > at) entries.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    std::string out = prefix;
    for (std::size_t i = entries.size() > kept ? entries.size() - kept : 0; i < entries.size(); ++i) {
        out += (out.size() > prefix.size() ? " " : "") + entries[i];
    }
    return out;
}

// Chromium as the desktop tests start it: with a profile of its own in `profile`, and without a
// sandbox, the GPU, first-run questions, network chatter or sync; `more` (the window, the page) after.
inline std::vector<std::string> chromiumCommand(const std::filesystem::path& profile,
                                                const std::vector<std::string>& more) {
    std::vector<std::string> argv{"chromium",
                                  "--no-sandbox",
                                  "--test-type",
                                  "--disable-gpu",
                                  "--no-first-run",
                                  "--no-default-browser-check",
                                  "--disable-background-networking",
                                  "--disable-component-update",
                                  "--disable-sync",
                                  "--password-store=basic",
                                  "--user-data-dir=" + profile.string()};
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
}

// The page's title from the DevTools list on `port`, or an empty text.
inline std::string padTestTitle(int port) {
    const std::string list = output("curl -s --max-time 2 http://127.0.0.1:" + std::to_string(port) + "/json/list");
    const std::string key = "\"title\": \"";
    const auto at = list.find(key + "padtest:");
    if (at == std::string::npos) return {};
    const auto start = at + key.size();
    return list.substr(start, list.find('"', start) - start);
}

}  // namespace joyrelay::testing
