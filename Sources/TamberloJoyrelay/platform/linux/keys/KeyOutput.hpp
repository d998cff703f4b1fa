// Choosing where key events go, once, at start: a uinput virtual keyboard when /dev/uinput can be
// opened for writing; else, in a Wayland session, the compositor's own injection (KWin's fake input,
// Mutter's remote desktop session, or the virtual keyboard protocol elsewhere), and in
// an X11 session XTest when an X display with the XTEST extension is reachable; else none. XTest is
// never taken by itself in a Wayland session: there it would reach XWayland windows only.
// `--key-output uinput|virtual-keyboard|fake-input|remote-desktop|xtest|print` names one output instead (and then nothing
// else is tried); `--print-keys` means `print`.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/KeyEvents.hpp"

namespace joyrelay {

enum class KeyOutputKind { uinput, xtest, print, virtualKeyboard, fakeInput, remoteDesktop };

// "uinput", "xtest", "print", "virtual-keyboard", "fake-input" or "remote-desktop", or nothing for any
// other text.
std::optional<KeyOutputKind> parseKeyOutput(std::string_view text);

// The guard program of the XTest output: next to this program's executable (a build folder), in
// ../libexec/tamberlo-joyrelay beside its bin folder, or in the libexec folder it was built for;
// nothing when none is there.
std::optional<std::filesystem::path> keyGuardProgram();

// The ways of opening each output. Each returns nullptr with `error` set to one line when its
// output is not available. The defaults open the real devices; tests put fakes here.
struct KeyOutputOpeners {
    std::function<std::unique_ptr<KeyEvents>(std::string* error)> uinput;
    std::function<std::unique_ptr<KeyEvents>(std::string* error)> xtest;
    std::function<std::unique_ptr<KeyEvents>()> print;  // printed lines; filled by the application
    std::function<std::unique_ptr<KeyEvents>(std::string* error)> virtualKeyboard;
    std::function<std::unique_ptr<KeyEvents>(std::string* error)> fakeInput;      // KWin
    std::function<std::unique_ptr<KeyEvents>(std::string* error)> remoteDesktop;  // GNOME (Mutter)
    // Whether the session is a Wayland one: the compositor's own injection then takes XTest's place,
    // and which one: KWin's fake input on KDE Plasma, Mutter's remote desktop on GNOME, the
    // virtual-keyboard protocol elsewhere.
    bool waylandSession = false;
    enum class Compositor { other, kwin, mutter } compositor = Compositor::other;

    // UinputKeyEvents::create, XTestKeyEvents::create on $DISPLAY, VirtualKeyboardKeyEvents::create on $WAYLAND_DISPLAY, and the session
    // as the environment describes it (DesktopSession).
    static KeyOutputOpeners system();
};

struct KeyOutput {
    std::unique_ptr<KeyEvents> events;  // nullptr: no output, keys cannot be posted
    std::optional<KeyOutputKind> kind;  // what `events` is; nothing when there is no output
    // The line to log once: "Key output: uinput virtual keyboard \"Tamberlo Joyrelay\"",
    // "Key output: XTest on X display :0 (WHY NOT UINPUT)", "Key output: Wayland virtual keyboard
    // on wayland-1 (WHY NOT UINPUT)", "Key output: printed", or "Key output: none (REASONS)".
    std::string logLine;
    // Why there is no output (each failed attempt's error, joined by "; "); empty otherwise.
    std::string reason;
};

// Opens the key output: `wanted` alone when given, else uinput, then the virtual keyboard (Wayland)
// or XTest (X11). Call it once at start,
// on any thread; the caller logs `logLine`.
KeyOutput chooseKeyOutput(std::optional<KeyOutputKind> wanted,
                          const KeyOutputOpeners& openers = KeyOutputOpeners::system());

}  // namespace joyrelay
