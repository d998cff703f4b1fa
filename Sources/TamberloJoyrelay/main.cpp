// Tamberlo Joyrelay: entry point.
#include <cstdio>
#include <string>
#include <vector>

#include "AppInfo.hpp"
#include "AppMain.hpp"
#include "Options.hpp"
#include "Replay.hpp"

int main(int argc, char** argv) {
    using namespace joyrelay;
    std::vector<std::string> args(argv + 1, argv + argc);
    const OptionsParse parsed = parseOptions(args);
    if (parsed.error) {
        std::fprintf(stderr, "tamberlo-joyrelay: %s\nTry --help.\n", parsed.error->c_str());
        return 2;
    }
    const Options& o = parsed.options;
    // Printed transitions are read live by whatever is at the other end of the pipe.
    if (o.printKeys) std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (o.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("Tamberlo Joyrelay %s\n", AppInfo::version().c_str());
        return 0;
    }
    // Printing a capture needs neither a desktop nor an event loop.
    if (o.replay && o.printKeys) {
        ReplaySettings settings;
        settings.fast = o.fast;
        return runReplay(*o.replay, settings);
    }
    return runApp(o, argv[0]);
}
