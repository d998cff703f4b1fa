#include "platform/linux/keys/XTestKeyEvents.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "gate/BrowserGuard.hpp"
#include "platform/linux/common/Executables.hpp"
#include "platform/linux/keys/KeyCodes.hpp"

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

XTestKeyEvents::XTestKeyEvents(Owned, XDisplayPtr display)
    : display_(std::move(display)), activeWindow_(display_.get()) {
    for (const linux_keys::KeyCodeEntry& entry : linux_keys::keyCodeTable()) {
        keycodes_[keys::index(entry.key)] = XKeysymToKeycode(display_.get(), entry.keysym);
    }
    root_ = DefaultRootWindow(display_.get());
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
    const Window active = activeWindow_.activeWindow();
    if (active == 0) return false;
    if (active != classWindow_) {
        ActiveWindow described;
        activeWindow_.readClass(active, described);
        classWindow_ = active;
        classIsBrowser_ = described.windowClass && BrowserGuard::isListedWindowClass(*described.windowClass);
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
    const pid_t pid = startGuardProcess(args, fds[0], -1, error);  // standard input: the pipe's read end
    ::close(fds[0]);
    if (pid < 0) {
        ::close(fds[1]);
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
