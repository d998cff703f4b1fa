#include "platform/linux/keys/XTestKeyEvents.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "gate/BrowserGuard.hpp"
#include "platform/linux/keys/KeyCodes.hpp"

extern char** environ;

namespace joyrelay {

std::unique_ptr<XTestKeyEvents> XTestKeyEvents::create(const char* displayName, std::string* error) {
    XDisplayPtr display = openX11Display(displayName, error);
    if (!display) return nullptr;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor)) {
        if (error) {
            *error = std::string("X display ") + DisplayString(display.get()) + " has no XTEST extension";
        }
        return nullptr;
    }
    return std::make_unique<XTestKeyEvents>(Owned{}, std::move(display));
}

XTestKeyEvents::XTestKeyEvents(Owned, XDisplayPtr display) : display_(std::move(display)) {
    for (const linux_keys::KeyCodeEntry& entry : linux_keys::keyCodeTable()) {
        keycodes_[keys::index(entry.key)] = XKeysymToKeycode(display_.get(), entry.keysym);
    }
    root_ = DefaultRootWindow(display_.get());
    activeAtom_ = XInternAtom(display_.get(), "_NET_ACTIVE_WINDOW", False);
}

std::optional<KeyEvent> XTestKeyEvents::createKeyboardEvent(std::uint16_t virtualKey, bool down) {
    const std::optional<ArcadeKey> key = arcadeKey(virtualKey);
    if (!key || keycodes_[keys::index(*key)] == 0) return std::nullopt;
    return KeyEvent{virtualKey, down, std::nullopt};
}

void XTestKeyEvents::post(const KeyEvent& event) {
    const std::optional<ArcadeKey> key = arcadeKey(event.virtualKey);
    if (!key) return;
    const std::uint8_t code = keycodes_[keys::index(*key)];
    if (code == 0) return;
    XTestFakeKeyEvent(display_.get(), code, event.down ? True : False, CurrentTime);
    XFlush(display_.get());
    if (event.down) {
        down_.insert(*key);
    } else {
        down_.erase(*key);
    }
}

bool XTestKeyEvents::pressTargetIsBrowser() {
    Display* d = display_.get();
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    Window active = 0;
    if (XGetWindowProperty(d, root_, activeAtom_, 0, 1, False, XA_WINDOW, &type, &format, &count, &remaining,
                           &data) == Success &&
        data && type == XA_WINDOW && format == 32 && count == 1) {
        active = reinterpret_cast<const unsigned long*>(data)[0];
    }
    if (data) XFree(data);
    if (active == 0) return false;
    if (active != classWindow_) {
        XClassHint hint{nullptr, nullptr};
        bool browser = false;
        if (XGetClassHint(d, active, &hint)) {
            browser = hint.res_class && BrowserGuard::isListedWindowClass(hint.res_class);
        }
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        classWindow_ = active;
        classIsBrowser_ = browser;
    }
    if (!classIsBrowser_) return false;
    // The keyboard focus must be on the active window or inside it: keys go where the focus is.
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    if (focus == active || (focus == insideWindow_ && active == insideOf_)) return true;
    const Window focusWindow = focus;
    for (int depth = 0; focus != 0 && focus != PointerRoot && depth < 16; ++depth) {
        if (focus == active) {
            insideWindow_ = focusWindow;
            insideOf_ = active;
            return true;
        }
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned int n = 0;
        if (!XQueryTree(d, focus, &rootReturn, &parent, &children, &n)) return false;
        if (children) XFree(children);
        if (parent == rootReturn) return false;
        focus = parent;
    }
    return false;
}

bool XTestKeyEvents::keyboardGrabbedElsewhere() {
    Display* d = display_.get();
    const int status = XGrabKeyboard(d, root_, False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status != GrabSuccess) return true;  // AlreadyGrabbed, GrabFrozen (or an invalid time)
    XUngrabKeyboard(d, CurrentTime);
    return false;
}

bool XTestKeyEvents::beginPresses() {
    if (!checkPresses_) return true;
    grabStart_ = NextRequest(display_.get());
    XGrabServer(display_.get());
    grabbed_ = true;
    return pressTargetIsBrowser() && !keyboardGrabbedElsewhere();
}

void XTestKeyEvents::endPresses() {
    if (!grabbed_) return;
    grabbed_ = false;
    XUngrabServer(display_.get());
    XFlush(display_.get());
    lastGrabRequests_ = NextRequest(display_.get()) - grabStart_;
}

void XTestKeyEvents::sync() {
    XSync(display_.get(), False);
}

bool XTestKeyEvents::startGuard(const std::filesystem::path& program, std::string* error) {
    if (guardPid_ > 0) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        if (error) *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> args{program.string(), DisplayString(display_.get()), std::to_string(::getpid())};
    for (std::uint8_t code : keycodes_) {
        if (code != 0) args.push_back(std::to_string(code));
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);  // standard input: the pipe's read end
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own: a signal meant for the program's group (a closed terminal, Ctrl+C) must
    // leave the guard to do its work.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    if (rc != 0) {
        ::close(fds[1]);
        if (error) *error = "cannot start " + program.string() + ": " + std::strerror(rc);
        return false;
    }
    guardPipe_ = fds[1];
    guardPid_ = pid;
    return true;
}

XTestKeyEvents::~XTestKeyEvents() {
    endPresses();
    const KeySet stillDown = down_;
    for (ArcadeKey key : stillDown) post(KeyEvent{rawValue(key), false, std::nullopt});
    XSync(display_.get(), False);
    if (guardPipe_ >= 0) ::close(guardPipe_);
    if (guardPid_ > 0) {
        while (::waitpid(guardPid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

std::string XTestKeyEvents::displayName() const {
    return DisplayString(display_.get());
}

}  // namespace joyrelay
