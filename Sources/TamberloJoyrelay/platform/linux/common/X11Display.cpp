#include "platform/linux/common/X11Display.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace joyrelay {

namespace {

// The connections this program opened itself; errors on them are ours to ignore.
std::mutex ownLock;
std::vector<Display*> ownDisplays;
XErrorHandler previousHandler = nullptr;

int onXError(Display* display, XErrorEvent* event) {
    {
        std::lock_guard lock(ownLock);
        if (std::find(ownDisplays.begin(), ownDisplays.end(), display) != ownDisplays.end()) return 0;
    }
    if (event->error_code == BadWindow) return 0;
    return previousHandler ? previousHandler(display, event) : 0;
}

void registerDisplay(Display* display) {
    std::lock_guard lock(ownLock);
    ownDisplays.push_back(display);
}

// One 32-bit item of a property, or nothing when it is missing or of another type.
std::optional<unsigned long> readCardinal(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType,
                                          &actualFormat, &count, &remaining, &data);
    std::optional<unsigned long> value;
    if (status == Success && data && actualType == type && actualFormat == 32 && count == 1) {
        value = reinterpret_cast<const unsigned long*>(data)[0];  // format 32 arrives as longs
    }
    if (data) XFree(data);
    return value;
}

}  // namespace

XDisplayPtr openX11Display(const char* displayName, std::string* error) {
    installX11ErrorHandler();
    XDisplayPtr display(XOpenDisplay(displayName));
    if (!display) {
        const char* shown = displayName ? displayName : XDisplayName(nullptr);
        if (error) {
            *error =
                std::string("cannot open X display ") + (shown && *shown ? shown : "(DISPLAY is not set)");
        }
        return nullptr;
    }
    registerDisplay(display.get());
    return display;
}

void XDisplayClose::operator()(Display* display) const {
    XCloseDisplay(display);  // errors while closing are still ours
    std::lock_guard lock(ownLock);
    // One entry only: should the address already have been reused by a connection opened on
    // another thread, that connection's entry stays.
    if (const auto it = std::find(ownDisplays.begin(), ownDisplays.end(), display); it != ownDisplays.end()) {
        ownDisplays.erase(it);
    }
}

void installX11ErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] { previousHandler = XSetErrorHandler(onXError); });
}

X11ActiveWindowReader::X11ActiveWindowReader(Display* display)
    : display_(display),
      root_(DefaultRootWindow(display)),
      activeAtom_(XInternAtom(display, "_NET_ACTIVE_WINDOW", False)),
      pidAtom_(XInternAtom(display, "_NET_WM_PID", False)) {}

unsigned long X11ActiveWindowReader::activeWindow() const {
    return readCardinal(display_, root_, activeAtom_, XA_WINDOW).value_or(0);
}

void X11ActiveWindowReader::readClass(unsigned long window, ActiveWindow& into) const {
    XClassHint hint{nullptr, nullptr};
    if (XGetClassHint(display_, window, &hint)) {
        if (hint.res_name) into.instance = hint.res_name;
        if (hint.res_class) into.windowClass = hint.res_class;
    }
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
}

ActiveWindow X11ActiveWindowReader::describe(unsigned long window) const {
    ActiveWindow active;
    active.window = window;
    readClass(window, active);
    if (const auto pid = readCardinal(display_, window, pidAtom_, XA_CARDINAL)) {
        active.pid = static_cast<std::int64_t>(*pid);
    }
    return active;
}

std::optional<ActiveWindow> X11ActiveWindowReader::read() const {
    const unsigned long window = activeWindow();
    if (window == 0) return std::nullopt;
    return describe(window);
}

}  // namespace joyrelay
