#include "platform/linux/desktop/X11Focus.hpp"

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

namespace {

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

std::unique_ptr<X11Focus> X11Focus::open(const char* displayName, std::string* error) {
    XDisplayPtr query = openX11Display(displayName, error);
    if (!query) return nullptr;
    XDisplayPtr events = openX11Display(DisplayString(query.get()), error);
    if (!events) return nullptr;
    return std::make_unique<X11Focus>(Owned{}, std::move(query), std::move(events));
}

X11Focus::X11Focus(Owned, XDisplayPtr query, XDisplayPtr events)
    : query_(std::move(query)), events_(std::move(events)) {
    root_ = DefaultRootWindow(query_.get());
    atoms_.activeWindow = XInternAtom(query_.get(), "_NET_ACTIVE_WINDOW", False);
    atoms_.wmPid = XInternAtom(query_.get(), "_NET_WM_PID", False);
    XSelectInput(events_.get(), DefaultRootWindow(events_.get()), PropertyChangeMask);
    XFlush(events_.get());
    lastActive_ = readActiveWindow();
}

unsigned long X11Focus::readActiveWindow() {
    return readCardinal(query_.get(), root_, atoms_.activeWindow, XA_WINDOW).value_or(0);
}

std::optional<ActiveWindow> X11Focus::activeWindow() {
    const unsigned long window = readActiveWindow();
    lastActive_ = window;  // a notice still queued for this change has nothing new to say
    if (window == 0) return std::nullopt;
    ActiveWindow active;
    active.window = window;
    XClassHint hint{nullptr, nullptr};
    if (XGetClassHint(query_.get(), window, &hint)) {
        if (hint.res_name) active.instance = hint.res_name;
        if (hint.res_class) active.windowClass = hint.res_class;
    }
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    if (const auto pid = readCardinal(query_.get(), window, atoms_.wmPid, XA_CARDINAL)) {
        active.pid = static_cast<std::int64_t>(*pid);
    }
    return active;
}

std::optional<FrontmostApplication> X11Focus::frontmostApplication() {
    std::optional<ActiveWindow> active = activeWindow();
    if (!active) return std::nullopt;
    FrontmostApplication app;
    app.windowClass = std::move(active->windowClass);
    app.pid = active->pid;
    return app;
}

int X11Focus::fd() const {
    return ConnectionNumber(events_.get());
}

void X11Focus::dispatch() {
    bool activeChanged = false;
    while (XPending(events_.get()) > 0) {
        XEvent event;
        XNextEvent(events_.get(), &event);
        if (event.type == PropertyNotify && event.xproperty.atom == atoms_.activeWindow) {
            activeChanged = true;
        }
    }
    if (!activeChanged) return;
    const unsigned long window = readActiveWindow();
    const bool notify = window != 0 && window != lastActive_;
    lastActive_ = window;
    if (notify && handler_) handler_();
}

std::string X11Focus::displayName() const {
    return DisplayString(query_.get());
}

}  // namespace joyrelay
