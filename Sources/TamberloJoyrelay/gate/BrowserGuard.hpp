// Whether the frontmost application is a web browser: the stick types into browsers only, unless
// the user lifts that rule by starting the program with JOYRELAY_ANY_APP=1.
//
// An application counts as a browser when its bundle identifier, its display name, (on X11) the
// class part of its window's WM_CLASS or (on Wayland) its window's app_id is one of the listed
// texts, compared exactly: same case, no trimming, no prefix or suffix matching.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "contracts/DesktopServices.hpp"

namespace joyrelay {

class BrowserGuard {
public:
    BrowserGuard() = delete;

    // The listed texts, in declaration order.
    static const std::array<std::string_view, 18> bundleIDs;
    static const std::array<std::string_view, 8> names;
    static const std::array<std::string_view, 30> windowClasses;
    static const std::array<std::string_view, 26> appIds;

    // Membership, exact. The sets behind these are built once, on first use, safely from any thread.
    static bool isListedBundleID(std::string_view id);
    static bool isListedName(std::string_view name);
    static bool isListedWindowClass(std::string_view windowClass);
    static bool isListedAppId(std::string_view appId);

    // True exactly when JOYRELAY_ANY_APP is set to the one-character text "1". Read from the
    // environment once, at the first call; later changes to the environment have no effect.
    static bool anyApp();

    // The rule behind anyApp() for one value of the variable (nullptr: not set).
    static bool anyAppFromValue(const char* value);

    // Whether `app` is a listed browser, tried by bundle identifier, then display name, then window
    // class, then app id. No application (nothing in front, or no desktop at all) is not a browser.
    static bool isBrowser(const std::optional<FrontmostApplication>& app);

    // anyApp(), or else whether the desktop's frontmost application is a browser. Asks `desktop`,
    // so it runs on the main thread (its callers are in FocusMonitor).
    static bool frontmostIsBrowser(DesktopServices& desktop);
};

}  // namespace joyrelay
