// tamberlo-joyrelay-keyguard: releases the stick's keys in the X server once Tamberlo Joyrelay has
// ended, however it ended. X keeps a key that an XTest client pressed down after that client is
// gone, and a program killed by a signal gets no chance to let go of its keys itself.
//
// Started by the program with its XTest output: `tamberlo-joyrelay-keyguard DISPLAY PID KEYCODE...`,
// PID the program's own process id, standard input the read end of a pipe whose write end only the
// program holds. The guard opens its own connection to DISPLAY and waits for the kernel to say that
// the program has ended (a pidfd; end-of-file on standard input where the kernel has no pidfd_open,
// which is also how the program tells it to end when it quits). Then it releases every key code
// given, waits until the server has processed that, and ends. It never presses a key.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/linux/keys/ProgramEnd.hpp"

namespace {

int ignoreXError(Display*, XErrorEvent*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: tamberlo-joyrelay-keyguard DISPLAY PID KEYCODE... (standard input: the program's pipe)\n",
                    stderr);
        return 2;
    }
    // A closed terminal or Ctrl+C ends the program, which is when the guard is needed.
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<unsigned> codes;
    const pid_t program = static_cast<pid_t>(std::strtol(argv[2], nullptr, 10));
    for (int i = 3; i < argc; ++i) {
        char* end = nullptr;
        const unsigned long code = std::strtoul(argv[i], &end, 10);
        if (end != argv[i] && *end == '\0' && code >= 8 && code <= 255) codes.push_back(static_cast<unsigned>(code));
    }
    XSetErrorHandler(ignoreXError);
    Display* display = XOpenDisplay(argv[1]);
    if (!display) {
        std::fprintf(stderr, "tamberlo-joyrelay-keyguard: cannot open X display %s\n", argv[1]);
        return 1;
    }
    errno = 0;
    const int programEnd = program > 0 ? joyrelay::linux_keys::openProgramEnd(program) : -1;
    const int why = errno;
    if (programEnd < 0 && why == ENOSYS) {
        std::fputs("tamberlo-joyrelay-keyguard: the kernel has no pidfd_open; watching the program's pipe\n", stderr);
    }
    // Either way, the end of the pipe ends the wait: the program closes it when it quits.
    pollfd watch[2] = {{STDIN_FILENO, POLLIN, 0}, {programEnd, POLLIN, 0}};
    const bool gone = programEnd < 0 && why == ESRCH;
    for (bool ended = gone; !ended;) {
        if (::poll(watch, programEnd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (programEnd >= 0 && joyrelay::linux_keys::programEnded(watch[1])) break;
        if (watch[0].revents != 0) {
            char buffer[64];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            ended = n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
        }
    }
    for (unsigned code : codes) XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
    XCloseDisplay(display);
    return 0;
}
