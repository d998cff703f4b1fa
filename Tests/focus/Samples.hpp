// The compositor messages recorded from real sessions, in data/.
#pragma once

#include <string>

#include "support/TempDir.hpp"

namespace joyrelay {

inline std::string sample(const std::string& name) {
    return testing::readFile(std::string(JOYRELAY_WAYLAND_TEST_DATA) + "/" + name);
}

}  // namespace joyrelay
