// The stick's connection state as the bridge reports it to the application.
#pragma once

#include <string>
#include <utility>

namespace joyrelay {

// The bridge's connection state, compared by case and text.
struct StickStatus {
    enum class Case { connected, busy, error, searching };
    Case which = Case::searching;
    // The stick's label (connected, busy, and searching while a stick that is there keeps stalling
    // and is tried again) or what went wrong (error); empty while no stick is found.
    std::string text;

    static StickStatus connected(std::string label) { return {Case::connected, std::move(label)}; }
    static StickStatus busy(std::string label) { return {Case::busy, std::move(label)}; }
    static StickStatus error(std::string text) { return {Case::error, std::move(text)}; }
    static StickStatus searching() { return {}; }
    // The stick is plugged in but its reads stall: released, to be claimed again after a pause.
    static StickStatus stalling(std::string label) { return {Case::searching, std::move(label)}; }

    bool operator==(const StickStatus& o) const { return which == o.which && text == o.text; }
};

}  // namespace joyrelay
