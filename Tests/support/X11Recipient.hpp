// A window of a test's own that stands in for a browser (its WM_CLASS names Chromium, so the focus
// gate opens for it) and counts the key events it receives; and the keys a fresh client sees down.
#pragma once

#include <poll.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace joyrelay::testing {

// A window that records key events on a connection of its own, read by a thread.
class Recipient {
public:
    Recipient() {
        display_ = XOpenDisplay(nullptr);
        if (!display_) return;
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 40, 400, 300, 0, 0, 0);
        XClassHint hint{const_cast<char*>("chromium"), const_cast<char*>("Chromium")};
        XSetClassHint(display_, window_, &hint);
        XSelectInput(display_, window_, KeyPressMask | KeyReleaseMask);
        XMapRaised(display_, window_);
        XSync(display_, False);
        thread_ = std::thread([this] { run(); });
    }
    ~Recipient() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (display_) XCloseDisplay(display_);
    }
    bool ok() const { return display_ != nullptr; }
    unsigned long window() const { return window_; }
    int presses() const { return presses_.load(); }
    int releases() const { return releases_.load(); }
    int events() const { return presses() + releases(); }
    // Keys whose last event here was a press (an auto-repeat's release and press leave a key held).
    int held() const {
        int n = 0;
        for (const auto& down : down_) n += down.load();
        return n;
    }
    void reset() {
        presses_ = 0;
        releases_ = 0;
        for (auto& down : down_) down = false;
    }

private:
    void run() {
        while (!stop_) {
            pollfd readable{ConnectionNumber(display_), POLLIN, 0};
            ::poll(&readable, 1, 20);
            while (XPending(display_) > 0) {
                XEvent event;
                XNextEvent(display_, &event);
                if (event.type == KeyPress) ++presses_;
                if (event.type == KeyRelease) ++releases_;
                if (event.type == KeyPress || event.type == KeyRelease) {
                    down_[event.xkey.keycode & 0xff] = event.type == KeyPress;
                }
            }
        }
    }
    Display* display_ = nullptr;
    Window window_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> presses_{0}, releases_{0};
    std::array<std::atomic<bool>, 256> down_{};
};

// The key codes a fresh client sees down.
inline std::vector<int> keysDown() {
    std::vector<int> down;
    Display* d = XOpenDisplay(nullptr);
    if (!d) return {-1};
    char map[32];
    XQueryKeymap(d, map);
    for (int code = 0; code < 256; ++code) {
        if (map[code / 8] & (1 << (code % 8))) down.push_back(code);
    }
    XCloseDisplay(d);
    return down;
}

// Asks the window manager, on `display`, to make `window` the active window (as a pager would:
// openbox obeys such a request at once). Does not wait for it to happen.
inline void requestActivation(Display* display, unsigned long window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // source: a pager
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
    XFlush(display);
}

}  // namespace joyrelay::testing
