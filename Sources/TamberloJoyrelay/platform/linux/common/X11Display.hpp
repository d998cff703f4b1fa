// The program's own connections to an X server, and the one way it reads the EWMH active window:
// the root window's _NET_ACTIVE_WINDOW names the active client window, whose WM_CLASS and
// _NET_WM_PID identify it. The X11 focus provider and the XTest output each read it on a connection
// of their own (the XTest output on the connection that posts, inside its server grab).
//
// Threads: a connection is used by one thread at a time; installX11ErrorHandler is callable from any.
//
// Errors: a window vanishing mid-read is not an error (see installX11ErrorHandler): the read answers
// nothing for it. Losing the X server ends the process through Xlib's I/O error handler, as it does
// for the toolkit's own connection.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

typedef struct _XDisplay Display;  // Xlib's own declaration; no X headers here

namespace joyrelay {

// An owned connection to an X server; closed with XCloseDisplay.
struct XDisplayClose {
    void operator()(Display* display) const;
};
using XDisplayPtr = std::unique_ptr<Display, XDisplayClose>;

// Makes X errors on this program's own connections non-fatal (a window may vanish between reading
// _NET_ACTIVE_WINDOW and reading its properties: BadWindow), while errors on other connections (the
// toolkit's) still go to the handler that was installed before. Idempotent, callable from any thread.
void installX11ErrorHandler();

// Opens a connection of this program's own (see above). Returns nullptr when that fails, with
// `error` (if given) set to "cannot open X display NAME" or "cannot open X display (DISPLAY is not
// set)".
XDisplayPtr openX11Display(const char* displayName, std::string* error = nullptr);

// The active window as X11 describes it.
struct ActiveWindow {
    unsigned long window = 0;                // the client window's id, never 0
    std::optional<std::string> windowClass;  // WM_CLASS, class part ("Chromium", "XTerm")
    std::optional<std::string> instance;     // WM_CLASS, instance part ("chromium", "xterm")
    std::optional<std::int64_t> pid;         // _NET_WM_PID, when the client sets it
};

// Reads the active window on one connection; the atoms are looked up once, at construction.
class X11ActiveWindowReader {
public:
    explicit X11ActiveWindowReader(Display* display);

    // _NET_ACTIVE_WINDOW on the root window now: 0 when there is none (no EWMH window manager,
    // nothing focused, or openbox's moment between two windows). One request.
    unsigned long activeWindow() const;

    // WM_CLASS of `window`: its instance and class parts, each missing when unset. One request.
    void readClass(unsigned long window, ActiveWindow& into) const;

    // `window` described: its WM_CLASS and _NET_WM_PID. Two requests.
    ActiveWindow describe(unsigned long window) const;

    // The active window described, or nothing when there is none.
    std::optional<ActiveWindow> read() const;

    // The atom of _NET_ACTIVE_WINDOW, for telling its PropertyNotify apart.
    unsigned long activeWindowAtom() const { return activeAtom_; }

private:
    Display* display_;
    unsigned long root_ = 0;
    unsigned long activeAtom_ = 0;  // _NET_ACTIVE_WINDOW
    unsigned long pidAtom_ = 0;     // _NET_WM_PID
};

}  // namespace joyrelay
