// Tamberlo Joyrelay: entry point.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/AppInfo.hpp"
#include "app/AppMain.hpp"
#include "app/Options.hpp"
#include "app/Replay.hpp"
#include "platform/linux/keys/FakeInputKeyEvents.hpp"

namespace {

// Descriptors 0 to 2 that were closed when the program started are opened on /dev/null, before
// anything else opens a file: otherwise the first file opened (the X connection, the lock file)
// would become standard error and receive the log's console lines.
void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) std::_Exit(127);  // not even /dev/null: nothing sensible can be done
        if (opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace joyrelay;
    openStandardDescriptors();
    // The guard of KWin's fake input is this executable, which KWin authorises by its path.
    if (argc >= 2 && std::strcmp(argv[1], "--fake-input-guard") == 0) return runFakeInputGuard(argc, argv);
    std::vector<std::string> args(argv + 1, argv + argc);
    const OptionsParse parsed = parseOptions(args);
    if (parsed.error) {
        std::fprintf(stderr, "tamberlo-joyrelay: %s\nTry --help.\n", parsed.error->c_str());
        return 2;
    }
    const Options& o = parsed.options;
    // A reader that goes away shows as a failed write (EPIPE), which each writer handles: the log
    // stops its console copy, printed keys end the replay.
    std::signal(SIGPIPE, SIG_IGN);
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
