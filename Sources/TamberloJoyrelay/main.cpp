// Tamberlo Joyrelay: entry point.
#include <cstdio>
#include <string>
#include <vector>

#include "Headless.hpp"
#include "Options.hpp"
#include "Replay.hpp"

#ifndef JOYRELAY_VERSION
#define JOYRELAY_VERSION "dev"
#endif

int main(int argc, char** argv) {
    using namespace joyrelay;
    std::vector<std::string> args(argv + 1, argv + argc);
    const OptionsParse parsed = parseOptions(args);
    if (parsed.error) {
        std::fprintf(stderr, "tamberlo-joyrelay: %s\nTry --help.\n", parsed.error->c_str());
        return 2;
    }
    const Options& o = parsed.options;
    if (o.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("Tamberlo Joyrelay %s\n", JOYRELAY_VERSION);
        return 0;
    }
    if (o.replay && o.printKeys) {
        ReplaySettings settings;
        settings.fast = o.fast;
        return runReplay(*o.replay, settings);
    }
    if (o.replay) {
        std::fputs("tamberlo-joyrelay: --replay needs --print-keys in this build\n", stderr);
        return 2;
    }
    return runHeadless(o);
}
