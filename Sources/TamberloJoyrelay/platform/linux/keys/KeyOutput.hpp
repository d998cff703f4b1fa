// Choosing where key events go, once, at start, from the desktop session: one ordered list
// (keyOutputCandidates), like the focus provider's; the first that applies and opens is taken.
// `--key-output uinput|virtual-keyboard|fake-input|remote-desktop|xtest|print` names one output
// instead (and then nothing else is tried); `--print-keys` means `print`.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/KeyEvents.hpp"
#include "platform/linux/common/DesktopSession.hpp"

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

    // UinputKeyEvents::create, XTestKeyEvents::create on $DISPLAY (with its guard),
    // VirtualKeyboardKeyEvents::create on $WAYLAND_DISPLAY, FakeInputKeyEvents::create (with its
    // guard) and RemoteDesktopKeyEvents::create.
    static KeyOutputOpeners system();
};

// One way keys can go out.
struct KeyOutputCandidate {
    KeyOutputKind kind;
    // The name `--key-output` gives it ("uinput", "fake-input", ...).
    std::string key;
    // Whether it is tried without being named, in this session.
    std::function<bool(const DesktopSession&)> appliesTo;
    // Opens it: the output, or nullptr with `error` set to one line ("cannot open /dev/uinput:
    // Permission denied"). That line is what the log's "Key output: none (...)" line and the menu's
    // "no key output: ..." say when nothing opens, and what the log line of a later output gives as
    // the reason this one was passed over.
    std::function<std::unique_ptr<KeyEvents>(const KeyOutputOpeners&, std::string* error)> open;
    // The log line once it is open ("Key output: KWin fake input").
    std::function<std::string(KeyEvents&)> describe;
};

// Every output, in the order they are tried:
//   1. "uinput": a kernel virtual keyboard, wherever /dev/uinput can be opened for writing;
//   2. "fake-input": KWin's fake input, on KDE Plasma (Wayland);
//   3. "remote-desktop": a Mutter remote desktop session, on GNOME (Wayland); only there and only
//      then, as GNOME shows its screen-sharing indicator for as long as the session exists;
//   4. "virtual-keyboard": the virtual keyboard protocol, on any other Wayland compositor;
//   5. "xtest": XTest, in an X11 session (never in a Wayland one, where it would reach XWayland
//      windows only).
// "print" is not tried without being named. The desktop is the session's (DesktopSession::desktop),
// the same that chooses the focus provider.
std::vector<KeyOutputCandidate> keyOutputCandidates();

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

// Opens the key output: `wanted` alone when given, else the first candidate that applies to
// `session` and opens. Call it once at start, on any thread; the caller logs `logLine`.
KeyOutput chooseKeyOutput(const DesktopSession& session, std::optional<KeyOutputKind> wanted,
                          const KeyOutputOpeners& openers = KeyOutputOpeners::system(),
                          const std::vector<KeyOutputCandidate>& candidates = keyOutputCandidates());

}  // namespace joyrelay
