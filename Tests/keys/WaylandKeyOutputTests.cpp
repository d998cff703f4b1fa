// The key output on Wayland: which output is chosen in a Wayland session, and the virtual keyboard's keymap.

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <memory>

#include "platform/linux/common/DesktopSession.hpp"
#include "platform/linux/keys/KeyCodes.hpp"
#include "platform/linux/keys/KeyOutput.hpp"
#include "platform/linux/keys/VirtualKeyboardKeyEvents.hpp"

namespace joyrelay {
namespace {

// --- Key output ------------------------------------------------------------------------------------

class NullEvents final : public KeyEvents {
public:
    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t key, bool down) override {
        return KeyEvent{key, down, std::nullopt};
    }
    void post(const KeyEvent&) override {}
};

DesktopSession sessionOf(bool wayland) {
    DesktopSession s;
    if (wayland) s.waylandDisplay = "wayland-1";
    return s;
}

KeyOutputOpeners openers(std::vector<std::string>& tried, bool uinput, bool keyboard) {
    KeyOutputOpeners o;
    o.uinput = [&tried, uinput](std::string* error) -> std::unique_ptr<KeyEvents> {
        tried.push_back("uinput");
        if (uinput) return std::make_unique<NullEvents>();
        *error = "cannot create a uinput keyboard: No such file or directory (/dev/uinput)";
        return nullptr;
    };
    o.xtest = [&tried](std::string*) -> std::unique_ptr<KeyEvents> {
        tried.push_back("xtest");
        return std::make_unique<NullEvents>();
    };
    o.virtualKeyboard = [&tried, keyboard](std::string* error) -> std::unique_ptr<KeyEvents> {
        tried.push_back("virtual-keyboard");
        if (keyboard) return std::make_unique<NullEvents>();
        *error = "the Wayland compositor offers no virtual keyboard (zwp_virtual_keyboard_manager_v1)";
        return nullptr;
    };
    return o;
}

TEST(KeyOutputOnWayland, UinputFirstThenTheVirtualKeyboardAndNeverXTestByItself) {
    std::vector<std::string> tried;
    KeyOutput out = chooseKeyOutput(sessionOf(true), std::nullopt, openers(tried, true, true));
    EXPECT_EQ(out.kind, KeyOutputKind::uinput);
    EXPECT_EQ(tried, (std::vector<std::string>{"uinput"}));

    tried.clear();
    out = chooseKeyOutput(sessionOf(true), std::nullopt, openers(tried, false, true));
    EXPECT_EQ(out.kind, KeyOutputKind::virtualKeyboard);
    EXPECT_EQ(tried, (std::vector<std::string>{"uinput", "virtual-keyboard"}));
    EXPECT_EQ(out.logLine,
              "Key output: Wayland virtual keyboard on $WAYLAND_DISPLAY (cannot create a uinput keyboard: No such "
              "file or directory (/dev/uinput))");

    tried.clear();
    out = chooseKeyOutput(sessionOf(true), std::nullopt, openers(tried, false, false));
    EXPECT_FALSE(out.events);
    EXPECT_EQ(tried, (std::vector<std::string>{"uinput", "virtual-keyboard"}));  // no XTest
    EXPECT_EQ(out.reason,
              "cannot create a uinput keyboard: No such file or directory (/dev/uinput); the Wayland compositor "
              "offers no virtual keyboard (zwp_virtual_keyboard_manager_v1)");

    // Asked for by name, XTest is still there (for XWayland windows).
    tried.clear();
    out = chooseKeyOutput(sessionOf(true), KeyOutputKind::xtest, openers(tried, false, false));
    EXPECT_EQ(out.kind, KeyOutputKind::xtest);

    // In an X11 session the virtual keyboard is never tried.
    tried.clear();
    out = chooseKeyOutput(sessionOf(false), std::nullopt, openers(tried, false, true));
    EXPECT_EQ(out.kind, KeyOutputKind::xtest);
    EXPECT_EQ(tried, (std::vector<std::string>{"uinput", "xtest"}));

    EXPECT_EQ(parseKeyOutput("virtual-keyboard"), KeyOutputKind::virtualKeyboard);
    EXPECT_EQ(parseKeyOutput("wayland"), std::nullopt);
}

// --- The virtual keyboard's keymap -----------------------------------------------------------------


TEST(VirtualKeyboardKeymap, HoldsExactlyTheThirteenKeysWithUsSymbols) {
    const std::string text = virtualKeyboardKeymap();
    ASSERT_FALSE(text.empty());
    std::unique_ptr<xkb_context, void (*)(xkb_context*)> context(xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES),
                                                                 xkb_context_unref);
    std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap(
        xkb_keymap_new_from_string(context.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS),
        xkb_keymap_unref);
    ASSERT_TRUE(keymap) << text;
    std::unique_ptr<xkb_state, void (*)(xkb_state*)> state(xkb_state_new(keymap.get()), xkb_state_unref);

    int withSymbols = 0;
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap.get()); code <= xkb_keymap_max_keycode(keymap.get());
         ++code) {
        if (xkb_state_key_get_one_sym(state.get(), code) != XKB_KEY_NoSymbol) ++withSymbols;
    }
    EXPECT_EQ(withSymbols, 13);
    for (const auto& entry : linux_keys::keyCodeTable()) {
        EXPECT_EQ(xkb_state_key_get_one_sym(state.get(), entry.evdev + 8), entry.keysym) << entry.evdev;
    }
    // Shift, as the compositor would apply it: the shifted symbols of a US keyboard.
    const xkb_keycode_t shift = KEY_LEFTSHIFT + 8;
    xkb_state_update_key(state.get(), shift, XKB_KEY_DOWN);
    EXPECT_EQ(xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED),
              1u << xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT));
    EXPECT_EQ(xkb_state_key_get_one_sym(state.get(), KEY_1 + 8), static_cast<xkb_keysym_t>(XKB_KEY_exclam));
    EXPECT_EQ(xkb_state_key_get_one_sym(state.get(), KEY_2 + 8), static_cast<xkb_keysym_t>(XKB_KEY_at));
    EXPECT_EQ(xkb_state_key_get_one_sym(state.get(), KEY_Z + 8), static_cast<xkb_keysym_t>(XKB_KEY_Z));
    EXPECT_EQ(xkb_state_key_get_one_sym(state.get(), KEY_SPACE + 8), static_cast<xkb_keysym_t>(XKB_KEY_space));
    xkb_state_update_key(state.get(), shift, XKB_KEY_UP);
    EXPECT_EQ(xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED), 0u);
}

}  // namespace
}  // namespace joyrelay
