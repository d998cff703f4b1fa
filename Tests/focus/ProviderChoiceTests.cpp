// Choosing the focus provider from the session.

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "platform/linux/common/DesktopSession.hpp"
#include "support/SessionVariables.hpp"
#include "platform/linux/focus/FocusProviderChoice.hpp"
#include "platform/linux/focus/NoFocusProvider.hpp"

namespace joyrelay {
namespace {

DesktopSession session(const std::map<std::string, std::string>& variables) {
    return testing::sessionWith(variables);
}

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
}  // namespace
}  // namespace joyrelay
