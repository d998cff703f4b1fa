// Key output on Linux: the thirteen keys as a browser sees them, the uinput keyboard at its boundary
// (and on a real /dev/uinput where there is one), and the choice of output at start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <poll.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <set>
#include <vector>

#include "bridge/KeyPoster.hpp"
#include "platform/linux/keys/KeyCodes.hpp"
#include "platform/linux/keys/KeyOutput.hpp"
#include "platform/linux/keys/UinputKeyEvents.hpp"
#include "support/RecordingKeyEvents.hpp"

using namespace joyrelay;

namespace {

// ---------------------------------------------------------------------------------------------------
// The thirteen keys as the user's browser sees them

// A US keyboard as libxkbcommon describes it, as an X server or a compositor sets one up.
struct UsKeyboard {
    std::unique_ptr<xkb_context, void (*)(xkb_context*)> context{xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                                  xkb_context_unref};
    std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap{nullptr, xkb_keymap_unref};
    std::unique_ptr<xkb_state, void (*)(xkb_state*)> state{nullptr, xkb_state_unref};

    UsKeyboard() {
        const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
        if (context) keymap.reset(xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
        if (keymap) state.reset(xkb_state_new(keymap.get()));
    }

    // The keysym that the key with this evdev code types without modifiers.
    xkb_keysym_t typed(std::uint16_t evdev) const { return xkb_state_key_get_one_sym(state.get(), evdev + 8); }

    // The key that an X server presses for a keysym: the lowest key code that types it unmodified.
    std::optional<std::uint16_t> evdevFor(xkb_keysym_t keysym) const {
        for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap.get()); code <= xkb_keymap_max_keycode(keymap.get());
             ++code) {
            if (code >= 8 && xkb_state_key_get_one_sym(state.get(), code) == keysym) return code - 8;
        }
        return std::nullopt;
    }
};

// KeyboardEvent.key as a browser reports it for a keysym typed unmodified, in the program's key
// names (which call the space bar "Space"). Empty for keys the thirteen do not include.
std::string browserKey(xkb_keysym_t keysym) {
    switch (keysym) {
        case XKB_KEY_space: return "Space";
        case XKB_KEY_Return: return "Enter";
        case XKB_KEY_Escape: return "Escape";
        case XKB_KEY_Shift_L:
        case XKB_KEY_Shift_R: return "Shift";
        case XKB_KEY_Left: return "ArrowLeft";
        case XKB_KEY_Right: return "ArrowRight";
        case XKB_KEY_Down: return "ArrowDown";
        case XKB_KEY_Up: return "ArrowUp";
        default: break;
    }
    char text[8] = {};
    if (xkb_keysym_to_utf8(keysym, text, sizeof text) == 2 && text[0] > ' ' && text[0] < 0x7f) return text;
    return {};
}

TEST(TheThirteenKeys, EachTypesItsOwnKeyThroughUinputAndXTestAlike) {
    const UsKeyboard us;
    ASSERT_TRUE(us.state) << "libxkbcommon could not build the US keymap (xkb-data missing?)";
    ASSERT_EQ(linux_keys::keyCodeTable().size(), keys::count);
    std::set<std::uint16_t> evdevCodes;
    std::set<std::uint32_t> keysyms;
    for (ArcadeKey key : keys::allCases) {
        const std::optional<std::uint16_t> evdev = linux_keys::evdevCode(rawValue(key));
        ASSERT_TRUE(evdev) << name(key);
        ASSERT_GT(*evdev, 0) << name(key);
        ASSERT_LE(*evdev, KEY_MAX) << name(key);
        const linux_keys::KeyCodeEntry& entry = linux_keys::keyCodeTable()[keys::index(key)];
        EXPECT_EQ(entry.key, key);
        EXPECT_EQ(entry.evdev, *evdev) << name(key);
        EXPECT_TRUE(evdevCodes.insert(*evdev).second) << name(key) << " shares evdev code " << *evdev;
        EXPECT_TRUE(keysyms.insert(entry.keysym).second) << name(key) << " shares keysym " << entry.keysym;

        // uinput: the kernel's key, read through the keyboard layout. Keypad keys (KP_Enter, KP_1)
        // would not pass for the main ones.
        EXPECT_EQ(browserKey(us.typed(*evdev)), name(key)) << name(key) << " through uinput";
        // XTest: the keysym, which the X server turns into a key of its layout.
        EXPECT_EQ(browserKey(entry.keysym), name(key)) << name(key) << " through XTest";
        // Both press the same key of the keyboard, so a page that looks at KeyboardEvent.code
        // ("ShiftLeft", "Enter", "Digit1") sees the same key whichever output the program chose.
        EXPECT_EQ(us.evdevFor(entry.keysym), evdev) << name(key);
    }
    // The Shift key a browser reports as "ShiftLeft".
    const std::uint16_t shift = *linux_keys::evdevCode(rawValue(ArcadeKey::shift));
    const char* shiftKey = xkb_keymap_key_get_name(us.keymap.get(), shift + 8);
    ASSERT_TRUE(shiftKey);
    EXPECT_STREQ(shiftKey, "LFSH");
}

TEST(TheThirteenKeys, OtherVirtualKeyCodesHaveNoMapping) {
    for (std::uint16_t code : {0, 1, 9, 35, 50, 57, 122, 127, 0xffff}) {
        EXPECT_FALSE(linux_keys::evdevCode(code)) << code;
    }
}

// ---------------------------------------------------------------------------------------------------
// The uinput keyboard at its boundary

TEST(UinputDescription, AKeyboardNamedAfterTheProgramWithExactlyTheThirteenKeys) {
    const LibevdevPtr dev = makeUinputKeyboardDescription();
    ASSERT_TRUE(dev);
    EXPECT_STREQ(libevdev_get_name(dev.get()), "Tamberlo Joyrelay");
    EXPECT_EQ(libevdev_get_id_bustype(dev.get()), BUS_VIRTUAL);
    for (unsigned type = 0; type <= EV_MAX; ++type) {
        const bool expected = type == EV_SYN || type == EV_KEY;  // no EV_REP: no kernel repeat
        EXPECT_EQ(libevdev_has_event_type(dev.get(), type) != 0, expected) << "event type " << type;
    }
    std::set<unsigned> enabled;
    for (unsigned code = 0; code <= KEY_MAX; ++code) {
        if (libevdev_has_event_code(dev.get(), EV_KEY, code)) enabled.insert(code);
    }
    std::set<unsigned> expected;
    for (ArcadeKey key : keys::allCases) expected.insert(*linux_keys::evdevCode(rawValue(key)));
    EXPECT_EQ(enabled, expected);
}

struct Written {
    unsigned type, code;
    int value;
    bool operator==(const Written&) const = default;
};

class RecordingSink final : public UinputSink {
public:
    std::vector<Written> written;
    int failOnType = -1;  // a type whose writes fail with -EIO
    int write(unsigned type, unsigned code, int value) override {
        if (static_cast<int>(type) == failOnType) return -EIO;
        written.push_back({type, code, value});
        return 0;
    }
};

TEST(UinputKeyEvents, EachTransitionIsOneKeyEventFollowedBySynReport) {
    RecordingSink sink;
    UinputKeyEvents events(sink);
    KeyPoster poster(events);
    TransitionList list;
    list.push({ArcadeKey::shift, true});
    list.push({ArcadeKey::z, true});
    list.push({ArcadeKey::arrowLeft, false});
    list.push({ArcadeKey::shift, false});
    poster.post(list);
    const std::vector<Written> expected = {
        {EV_KEY, KEY_LEFTSHIFT, 1}, {EV_SYN, SYN_REPORT, 0},  // Shift's flag is its own key press
        {EV_KEY, KEY_Z, 1},         {EV_SYN, SYN_REPORT, 0},    {EV_KEY, KEY_LEFT, 0},
        {EV_SYN, SYN_REPORT, 0},    {EV_KEY, KEY_LEFTSHIFT, 0}, {EV_SYN, SYN_REPORT, 0},
    };
    EXPECT_EQ(sink.written, expected);
}

TEST(UinputKeyEvents, EveryKeyGoesDownAndUpWithItsOwnCode) {
    RecordingSink sink;
    UinputKeyEvents events(sink);
    KeyPoster poster(events);
    std::vector<Written> expected;
    for (ArcadeKey key : keys::allCases) {
        poster.post(key, true);
        poster.post(key, false);
        const unsigned code = *linux_keys::evdevCode(rawValue(key));
        expected.insert(
            expected.end(),
            {{EV_KEY, code, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, code, 0}, {EV_SYN, SYN_REPORT, 0}});
    }
    EXPECT_EQ(sink.written, expected);
}

TEST(UinputKeyEvents, UnknownCodesAndFailedWritesPostNothingMore) {
    RecordingSink sink;
    UinputKeyEvents events(sink);
    EXPECT_FALSE(events.createKeyboardEvent(50, true));
    events.post(KeyEvent{50, true, std::nullopt});
    EXPECT_TRUE(sink.written.empty());

    sink.failOnType = EV_KEY;  // the device went away: no SYN_REPORT for an event never written
    events.post(*events.createKeyboardEvent(rawValue(ArcadeKey::c), true));
    EXPECT_TRUE(sink.written.empty());
}

// ---------------------------------------------------------------------------------------------------
// A real /dev/uinput

TEST(UinputDevice, PostedKeysComeOutOfTheKernelsEventDevice) {
    if (::access("/dev/uinput", F_OK) != 0) {
        GTEST_SKIP() << "no /dev/uinput on this machine (a kernel without CONFIG_INPUT_UINPUT, or the "
                        "uinput module not loaded): the uinput keyboard is covered at its boundary only";
    }
    if (::access("/dev/uinput", W_OK) != 0) {
        GTEST_SKIP() << "/dev/uinput exists but is not writable for this user (install the udev rule or "
                        "run as root)";
    }
    std::string error;
    std::unique_ptr<UinputKeyEvents> events = UinputKeyEvents::create(&error);
    ASSERT_TRUE(events) << error;
    const std::optional<std::string> node = events->devnode();
    ASSERT_TRUE(node) << "the kernel made no event device for the keyboard";
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    } device{::open(node->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    ASSERT_GE(device.fd, 0) << *node << ": " << std::strerror(errno);
    libevdev* raw = nullptr;
    ASSERT_EQ(libevdev_new_from_fd(device.fd, &raw), 0);
    const LibevdevPtr reader(raw);
    EXPECT_STREQ(libevdev_get_name(reader.get()), uinputDeviceName);
    for (ArcadeKey key : keys::allCases) {
        EXPECT_TRUE(libevdev_has_event_code(reader.get(), EV_KEY, *linux_keys::evdevCode(rawValue(key))));
    }
    KeyPoster poster(*events);
    poster.post(ArcadeKey::z, true);
    poster.post(ArcadeKey::z, false);
    std::vector<Written> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.size() < 4 && std::chrono::steady_clock::now() < deadline) {
        input_event ev{};
        const int rc = libevdev_next_event(reader.get(), LIBEVDEV_READ_FLAG_NORMAL, &ev);
        if (rc == LIBEVDEV_READ_STATUS_SUCCESS) {
            seen.push_back({ev.type, ev.code, ev.value});
        } else {
            pollfd readable{device.fd, POLLIN, 0};
            ::poll(&readable, 1, 100);
        }
    }
    const std::vector<Written> expected = {
        {EV_KEY, KEY_Z, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, KEY_Z, 0}, {EV_SYN, SYN_REPORT, 0}};
    EXPECT_EQ(seen, expected);
}

// ---------------------------------------------------------------------------------------------------
// Choosing the output

struct Calls {
    int uinput = 0, xtest = 0, print = 0;
};

KeyOutputOpeners fakeOpeners(Calls& calls, bool uinputWorks, bool xtestWorks) {
    KeyOutputOpeners o;
    o.uinput = [&calls, uinputWorks](std::string* error) -> std::unique_ptr<KeyEvents> {
        ++calls.uinput;
        if (uinputWorks) return std::make_unique<RecordingKeyEvents>();
        *error = "cannot create a uinput keyboard: No such file or directory (/dev/uinput)";
        return nullptr;
    };
    o.xtest = [&calls, xtestWorks](std::string* error) -> std::unique_ptr<KeyEvents> {
        ++calls.xtest;
        if (xtestWorks) return std::make_unique<RecordingKeyEvents>();
        *error = "cannot open X display (DISPLAY is not set)";
        return nullptr;
    };
    o.print = [&calls]() -> std::unique_ptr<KeyEvents> {
        ++calls.print;
        return std::make_unique<RecordingKeyEvents>();
    };
    return o;
}

TEST(KeyOutputChoice, UinputFirst) {
    Calls calls;
    const KeyOutput out = chooseKeyOutput({}, std::nullopt, fakeOpeners(calls, true, true));
    ASSERT_TRUE(out.events);
    EXPECT_EQ(out.kind, KeyOutputKind::uinput);
    EXPECT_EQ(out.logLine, "Key output: uinput virtual keyboard \"Tamberlo Joyrelay\"");
    EXPECT_EQ(calls.xtest, 0);
    EXPECT_EQ(out.reason, "");
}

TEST(KeyOutputChoice, XTestWhenUinputCannotBeOpened) {
    Calls calls;
    const KeyOutput out = chooseKeyOutput({}, std::nullopt, fakeOpeners(calls, false, true));
    ASSERT_TRUE(out.events);
    EXPECT_EQ(out.kind, KeyOutputKind::xtest);
    EXPECT_EQ(out.logLine.rfind("Key output: XTest on X display ", 0), 0u) << out.logLine;
    EXPECT_NE(out.logLine.find("(cannot create a uinput keyboard: No such file or directory (/dev/uinput))"),
              std::string::npos)
        << out.logLine;
    EXPECT_EQ(calls.uinput, 1);
}

TEST(KeyOutputChoice, NoneWhenNeitherIsAvailable) {
    Calls calls;
    const KeyOutput out = chooseKeyOutput({}, std::nullopt, fakeOpeners(calls, false, false));
    EXPECT_FALSE(out.events);
    EXPECT_FALSE(out.kind);
    EXPECT_EQ(out.reason,
              "cannot create a uinput keyboard: No such file or directory (/dev/uinput); cannot open X "
              "display (DISPLAY is not set)");
    EXPECT_EQ(out.logLine, "Key output: none (" + out.reason + ")");
    EXPECT_EQ(calls.print, 0);
}

TEST(KeyOutputChoice, AnOverrideIsTheOnlyOutputTried) {
    Calls calls;
    KeyOutput out = chooseKeyOutput({}, KeyOutputKind::xtest, fakeOpeners(calls, true, false));
    EXPECT_FALSE(out.events);
    EXPECT_EQ(out.logLine, "Key output: none (cannot open X display (DISPLAY is not set))");
    EXPECT_EQ(calls.uinput, 0);

    out = chooseKeyOutput({}, KeyOutputKind::uinput, fakeOpeners(calls, false, true));
    EXPECT_FALSE(out.events);
    EXPECT_EQ(calls.xtest, 1);  // from the first call only

    out = chooseKeyOutput({}, KeyOutputKind::print, fakeOpeners(calls, true, true));
    ASSERT_TRUE(out.events);
    EXPECT_EQ(out.kind, KeyOutputKind::print);
    EXPECT_EQ(out.logLine, "Key output: printed");
    EXPECT_EQ(calls.print, 1);
}

TEST(KeyOutputChoice, ParsesTheThreeNamesExactly) {
    EXPECT_EQ(parseKeyOutput("uinput"), KeyOutputKind::uinput);
    EXPECT_EQ(parseKeyOutput("xtest"), KeyOutputKind::xtest);
    EXPECT_EQ(parseKeyOutput("print"), KeyOutputKind::print);
    for (const char* text : {"", "XTest", "UINPUT", "uinput ", "x", "printed", "none"}) {
        EXPECT_FALSE(parseKeyOutput(text)) << text;
    }
}

TEST(KeyOutputChoice, OnThisMachineWithoutADisplayThereIsNone) {
    if (::access("/dev/uinput", W_OK) == 0) GTEST_SKIP() << "/dev/uinput is writable here";
    const char* display = std::getenv("DISPLAY");
    const std::string saved = display ? display : "";
    ::unsetenv("DISPLAY");
    const KeyOutput out = chooseKeyOutput({}, std::nullopt);
    if (display) ::setenv("DISPLAY", saved.c_str(), 1);
    EXPECT_FALSE(out.events);
    EXPECT_NE(out.reason.find("cannot create a uinput keyboard: "), std::string::npos) << out.reason;
    EXPECT_NE(out.reason.find("cannot open X display (DISPLAY is not set)"), std::string::npos) << out.reason;
}

}  // namespace
