// Choosing the focus provider and the key output from the session, and the virtual keyboard's
// keymap.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <map>
#include <memory>

#include "platform/linux/keys/KeyCodes.hpp"
#include "platform/linux/keys/KeyOutput.hpp"
#include "platform/linux/focus/FocusProviderChoice.hpp"
#include "platform/linux/focus/NoFocusProvider.hpp"
#include "platform/linux/keys/VirtualKeyboardKeyEvents.hpp"
#include "platform/linux/wayland/DesktopSession.hpp"

namespace joyrelay {
namespace {

DesktopSession session(std::map<std::string, std::string> variables) {
    return DesktopSession::fromVariables([&](const char* name) -> const char* {
        const auto it = variables.find(name);
        return it == variables.end() ? nullptr : it->second.c_str();
    });
}

TEST(DesktopSession, WaylandIsTheDisplayOrTheSessionType) {
    EXPECT_TRUE(session({{"WAYLAND_DISPLAY", "wayland-1"}, {"DISPLAY", ":0"}}).wayland());
    EXPECT_TRUE(session({{"XDG_SESSION_TYPE", "wayland"}}).wayland());
    EXPECT_FALSE(session({{"DISPLAY", ":0"}, {"XDG_SESSION_TYPE", "x11"}}).wayland());
    EXPECT_FALSE(session({{"WAYLAND_DISPLAY", ""}, {"DISPLAY", ":0"}}).wayland());
    const DesktopSession ubuntu = session({{"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}});
    EXPECT_TRUE(ubuntu.desktopIs("GNOME"));
    EXPECT_TRUE(ubuntu.desktopIs("ubuntu"));
    EXPECT_FALSE(ubuntu.desktopIs("GNOM"));
    EXPECT_FALSE(session({{"XDG_CURRENT_DESKTOP", "KDE"}}).desktopIs("kde"));
}

// A provider that only says who it is.
class Named final : public FocusProvider {
public:
    explicit Named(std::string name) : name_(std::move(name)) {}
    std::string name() const override { return name_; }
    std::optional<FrontmostApplication> frontmost() override { return std::nullopt; }

private:
    std::string name_;
};

// Candidates that record the order they were tried in; those in `working` open.
std::vector<FocusProviderCandidate> fakes(std::vector<std::string>& tried, std::vector<std::string> working) {
    std::vector<FocusProviderCandidate> list;
    for (const char* key : {"sway", "hyprland", "foreign-toplevel", "x11"}) {
        const std::string k = key;
        list.push_back({
            k,
            [k](const DesktopSession& s) { return k == "x11" ? !s.wayland() : s.wayland(); },
            [k, &tried, working](const DesktopSession&, std::string* error) -> std::unique_ptr<FocusProvider> {
                tried.push_back(k);
                if (std::find(working.begin(), working.end(), k) != working.end()) return std::make_unique<Named>(k);
                *error = k + " failed";
                return nullptr;
            },
        });
    }
    return list;
}

TEST(FocusProviderChoice, TheFirstThatAppliesAndOpensIsTakenInListOrder) {
    std::vector<std::string> tried;
    const DesktopSession wayland = session({{"WAYLAND_DISPLAY", "wayland-1"}, {"DISPLAY", ":0"}});
    auto provider = chooseFocusProvider(wayland, fakes(tried, {"hyprland", "foreign-toplevel", "x11"}));
    EXPECT_EQ(provider->name(), "hyprland");
    EXPECT_EQ(tried, (std::vector<std::string>{"sway", "hyprland"}));

    // In a Wayland session the X11 provider is never tried, XWayland or not.
    tried.clear();
    provider = chooseFocusProvider(wayland, fakes(tried, {"x11"}));
    EXPECT_EQ(provider->name(), "none");
    EXPECT_EQ(tried, (std::vector<std::string>{"sway", "hyprland", "foreign-toplevel"}));
    ASSERT_TRUE(provider->problem());
    EXPECT_EQ(*provider->problem(),
              "this Wayland desktop does not tell which window has the focus (sway: sway failed; hyprland: hyprland "
              "failed; foreign-toplevel: foreign-toplevel failed)");
    EXPECT_FALSE(provider->frontmost());
    EXPECT_EQ(provider->fd(), -1);
}

TEST(FocusProviderChoice, AnX11SessionWithoutADisplaySaysTheX11ErrorAlone) {
    std::vector<std::string> tried;
    auto provider = chooseFocusProvider(session({}), fakes(tried, {"sway"}));
    EXPECT_EQ(tried, (std::vector<std::string>{"x11"}));
    ASSERT_TRUE(dynamic_cast<NoFocusProvider*>(provider.get()));
    EXPECT_EQ(provider->problem(), "x11 failed");
}

TEST(FocusProviderChoice, JoyrelayFocusNamesOneProviderAndNothingElseIsTried) {
    std::vector<std::string> tried;
    const auto forced = [&](const std::string& name, std::vector<std::string> working) {
        tried.clear();
        return chooseFocusProvider(session({{"WAYLAND_DISPLAY", "wayland-1"}, {"JOYRELAY_FOCUS", name}}),
                                   fakes(tried, std::move(working)));
    };
    EXPECT_EQ(forced("foreign-toplevel", {"sway", "foreign-toplevel"})->name(), "foreign-toplevel");
    EXPECT_EQ(tried, (std::vector<std::string>{"foreign-toplevel"}));
    // Named even where it would not apply by itself.
    EXPECT_EQ(forced("x11", {"x11"})->name(), "x11");

    auto failed = forced("sway", {});
    EXPECT_EQ(failed->name(), "none");
    EXPECT_EQ(failed->problem(), "JOYRELAY_FOCUS=sway: sway failed");
    EXPECT_EQ(tried, (std::vector<std::string>{"sway"}));

    EXPECT_EQ(forced("none", {"sway"})->problem(), "JOYRELAY_FOCUS=none");
    EXPECT_TRUE(tried.empty());
    EXPECT_EQ(forced("Sway", {"sway"})->problem(),
              "JOYRELAY_FOCUS=Sway names no focus provider (sway, hyprland, foreign-toplevel, x11, none)");
}

TEST(FocusProviderChoice, TheRealListIsInTheDocumentedOrder) {
    std::vector<std::string> keys;
    for (const auto& candidate : focusProviderCandidates()) keys.push_back(candidate.key);
    ASSERT_GE(keys.size(), 4u);
    EXPECT_EQ(keys.front(), "sway");
    EXPECT_EQ(keys[1], "hyprland");
    EXPECT_EQ(keys[keys.size() - 2], "foreign-toplevel");
    EXPECT_EQ(keys.back(), "x11");
    const DesktopSession sway = session({{"WAYLAND_DISPLAY", "wayland-1"}, {"SWAYSOCK", "/run/sway.sock"}});
    const DesktopSession x11 = session({{"DISPLAY", ":0"}});
    for (const auto& candidate : focusProviderCandidates()) {
        if (candidate.key == "x11") {
            EXPECT_FALSE(candidate.appliesTo(sway));
            EXPECT_TRUE(candidate.appliesTo(x11));
        } else {
            EXPECT_FALSE(candidate.appliesTo(x11)) << candidate.key;
        }
        if (candidate.key == "sway" || candidate.key == "foreign-toplevel") {
            EXPECT_TRUE(candidate.appliesTo(sway));
        }
        if (candidate.key == "hyprland") {
            EXPECT_FALSE(candidate.appliesTo(sway));
        }
    }
}

// --- Key output ------------------------------------------------------------------------------------

class NullEvents final : public KeyEvents {
public:
    std::optional<KeyEvent> createKeyboardEvent(std::uint16_t key, bool down) override {
        return KeyEvent{key, down, std::nullopt};
    }
    void post(const KeyEvent&) override {}
};

KeyOutputOpeners openers(std::vector<std::string>& tried, bool wayland, bool uinput, bool keyboard) {
    KeyOutputOpeners o;
    o.waylandSession = wayland;
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
    KeyOutput out = chooseKeyOutput(std::nullopt, openers(tried, true, true, true));
    EXPECT_EQ(out.kind, KeyOutputKind::uinput);
    EXPECT_EQ(tried, (std::vector<std::string>{"uinput"}));

    tried.clear();
    out = chooseKeyOutput(std::nullopt, openers(tried, true, false, true));
    EXPECT_EQ(out.kind, KeyOutputKind::virtualKeyboard);
    EXPECT_EQ(tried, (std::vector<std::string>{"uinput", "virtual-keyboard"}));
    EXPECT_EQ(out.logLine,
              "Key output: Wayland virtual keyboard on $WAYLAND_DISPLAY (cannot create a uinput keyboard: No such "
              "file or directory (/dev/uinput))");

    tried.clear();
    out = chooseKeyOutput(std::nullopt, openers(tried, true, false, false));
    EXPECT_FALSE(out.events);
    EXPECT_EQ(tried, (std::vector<std::string>{"uinput", "virtual-keyboard"}));  // no XTest
    EXPECT_EQ(out.reason,
              "cannot create a uinput keyboard: No such file or directory (/dev/uinput); the Wayland compositor "
              "offers no virtual keyboard (zwp_virtual_keyboard_manager_v1)");

    // Asked for by name, XTest is still there (for XWayland windows).
    tried.clear();
    out = chooseKeyOutput(KeyOutputKind::xtest, openers(tried, true, false, false));
    EXPECT_EQ(out.kind, KeyOutputKind::xtest);

    // In an X11 session the virtual keyboard is never tried.
    tried.clear();
    out = chooseKeyOutput(std::nullopt, openers(tried, false, false, true));
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
