// The stick's connection state as the bridge reports it to the application.
#pragma once

#include <string>
#include <utility>

namespace joyrelay {

// The bridge's connection state, compared by case and text.
struct StickStatus {
    enum class Case { connected, busy, error, searching };
    Case which = Case::searching;
    std::string text;  // the stick's label (connected, busy) or what went wrong (error)

    static StickStatus connected(std::string label) { return {Case::connected, std::move(label)}; }
    static StickStatus busy(std::string label) { return {Case::busy, std::move(label)}; }
    static StickStatus error(std::string text) { return {Case::error, std::move(text)}; }
    static StickStatus searching() { return {}; }

    bool operator==(const StickStatus& o) const {
        return which == o.which && (which == Case::searching || text == o.text);
    }
};

}  // namespace joyrelay
