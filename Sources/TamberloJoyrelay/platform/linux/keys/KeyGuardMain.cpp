// tamberlo-joyrelay-keyguard: releases the stick's keys in the X server once Tamberlo Joyrelay has
// ended, however it ended. X keeps a key that an XTest client pressed down after that client is
// gone, and a program killed by a signal gets no chance to let go of its keys itself.
//
// Started by the program with its XTest output: `tamberlo-joyrelay-keyguard DISPLAY KEYCODE...`,
// standard input the read end of a pipe whose write end only the program holds. The guard opens its
// own connection to DISPLAY and blocks reading standard input. End-of-file (the program has ended,
// and the kernel has closed its end) makes it release every key code given, wait until the server
// has processed that, and end. It never presses a key.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

int ignoreXError(Display*, XErrorEvent*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: tamberlo-joyrelay-keyguard DISPLAY KEYCODE... (standard input: the program's pipe)\n",
                    stderr);
        return 2;
    }
    // A closed terminal or Ctrl+C ends the program, which is when the guard is needed.
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<unsigned> codes;
    for (int i = 2; i < argc; ++i) {
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
    char buffer[64];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0 && errno != EINTR) break;
    }
    for (unsigned code : codes) XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
    XCloseDisplay(display);
    return 0;
}
