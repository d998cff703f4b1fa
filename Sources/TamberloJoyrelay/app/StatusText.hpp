// The texts that describe the stick's status to the user: the menu's stick line and the tray symbol.
#pragma once

#include <string>

#include "contracts/StickStatus.hpp"

namespace joyrelay {

inline std::string stickLine(const StickStatus& status) {
    switch (status.which) {
        case StickStatus::Case::connected:
            return "Stick: connected \u2014 " + status.text;
        case StickStatus::Case::busy:
            return "Stick: in use by another program \u2014 " + status.text;
        case StickStatus::Case::error:
            return "Stick: " + status.text;
        case StickStatus::Case::searching:
            if (!status.text.empty()) return "Stick: stalling, trying it again \u2014 " + status.text;
            break;
    }
    return "Stick: not found \u2014 plug in the 8BitDo Arcade Stick for Xbox";
}

// The tray symbol: filled while connected, the outline otherwise.
inline const char* stickSymbol(const StickStatus& status) {
    return status.which == StickStatus::Case::connected ? "gamecontroller.fill" : "gamecontroller";
}

}  // namespace joyrelay
