// The command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace joyrelay {

struct Options {
    bool help = false;
    bool version = false;
    bool headless = false;
    bool printKeys = false;
    bool fast = false;
    std::optional<std::string> replay;     // --replay FILE
    std::optional<std::string> record;     // --record FILE
    std::optional<std::string> keyOutput;  // --key-output uinput|virtual-keyboard|xtest|print
};

struct OptionsParse {
    Options options;
    std::optional<std::string> error;
};

OptionsParse parseOptions(const std::vector<std::string>& args);

// The text of --help.
std::string usageText();

}  // namespace joyrelay
