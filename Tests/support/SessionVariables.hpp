// A desktop session from a table of environment variables (the rest unset), for the tests of the
// choices made from it.
#pragma once

#include <map>
#include <string>

#include "platform/linux/common/DesktopSession.hpp"

namespace joyrelay::testing {

inline DesktopSession sessionWith(const std::map<std::string, std::string>& variables,
                                  const DesktopSession::BusHas& busHas = nullptr) {
    return DesktopSession::fromVariables(
        [&](const char* name) -> const char* {
            const auto it = variables.find(name);
            return it == variables.end() ? nullptr : it->second.c_str();
        },
        busHas);
}

}  // namespace joyrelay::testing
