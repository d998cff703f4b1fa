#include "platform/linux/focus/X11Focus.hpp"

#include <X11/Xlib.h>

namespace joyrelay {

std::unique_ptr<X11Focus> X11Focus::open(const char* displayName, std::string* error) {
    XDisplayPtr query = openX11Display(displayName, error);
    if (!query) return nullptr;
    XDisplayPtr events = openX11Display(DisplayString(query.get()), error);
    if (!events) return nullptr;
    return std::make_unique<X11Focus>(Owned{}, std::move(query), std::move(events));
}

X11Focus::X11Focus(Owned, XDisplayPtr query, XDisplayPtr events)
    : query_(std::move(query)), events_(std::move(events)), reader_(query_.get()) {
    XSelectInput(events_.get(), DefaultRootWindow(events_.get()), PropertyChangeMask);
    XFlush(events_.get());
    lastActive_ = reader_.activeWindow();
}

std::optional<ActiveWindow> X11Focus::activeWindow() {
    const unsigned long window = reader_.activeWindow();
    lastActive_ = window;  // a notice still queued for this change has nothing new to say
    if (window == 0) return std::nullopt;
    return reader_.describe(window);
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
        if (event.type == PropertyNotify && event.xproperty.atom == reader_.activeWindowAtom()) {
            activeChanged = true;
        }
    }
    if (!activeChanged) return;
    const unsigned long window = reader_.activeWindow();
    const bool notify = window != 0 && window != lastActive_;
    lastActive_ = window;
    if (notify && handler_) handler_();
}

std::string X11Focus::displayName() const {
    return DisplayString(query_.get());
}

}  // namespace joyrelay
