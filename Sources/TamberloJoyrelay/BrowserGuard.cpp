#include "BrowserGuard.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>

namespace joyrelay {

const std::array<std::string_view, 18> BrowserGuard::bundleIDs = {
    "com.apple.Safari",          "com.apple.SafariTechnologyPreview",
    "com.google.Chrome",         "com.google.Chrome.canary",
    "com.google.Chrome.beta",    "com.google.Chrome.dev",
    "org.chromium.Chromium",     "com.brave.Browser",
    "com.brave.Browser.beta",    "com.brave.Browser.nightly",
    "com.microsoft.edgemac",     "com.microsoft.edgemac.Beta",
    "com.microsoft.edgemac.Dev", "com.microsoft.edgemac.Canary",
    "org.mozilla.firefox",       "org.mozilla.firefoxdeveloperedition",
    "org.mozilla.nightly",       "company.thebrowser.Browser",
};

const std::array<std::string_view, 8> BrowserGuard::names = {
    "Safari",  "Google Chrome", "Google Chrome Canary", "Chromium",
    "Firefox", "Arc",           "Brave Browser",        "Microsoft Edge",
};

// The class part of WM_CLASS as each browser sets it on X11 (and as its desktop file's
// StartupWMClass names it). Chromium-based browsers use the name of their desktop file with a
// capital first letter, so each channel has its own class; Firefox-based ones use their remoting
// name, which older and distribution builds capitalise.
const std::array<std::string_view, 30> BrowserGuard::windowClasses = {
    // Firefox: Mozilla's builds, older and distribution builds, Debian's ESR.
    "firefox",
    "Firefox",
    "firefox-esr",
    "Firefox-esr",
    // Firefox Developer Edition: before and after its remoting name changed, and its old brand name.
    "firefox-aurora",
    "firefox-dev",
    "Firefox Developer Edition",
    // Firefox Nightly.
    "firefox-nightly",
    "Nightly",
    // Chromium, and the name Ubuntu's and Fedora's packages give it.
    "Chromium",
    "Chromium-browser",
    // Google Chrome stable, beta and dev.
    "Google-chrome",
    "Google-chrome-beta",
    "Google-chrome-unstable",
    // Brave release, beta and nightly.
    "Brave-browser",
    "Brave-browser-beta",
    "Brave-browser-nightly",
    // Microsoft Edge stable, beta and dev.
    "Microsoft-edge",
    "Microsoft-edge-beta",
    "Microsoft-edge-dev",
    // Vivaldi stable and snapshot.
    "Vivaldi-stable",
    "Vivaldi-snapshot",
    // Opera.
    "Opera",
    // GNOME Web (Epiphany): the GTK 3 class and the application id later builds use.
    "Epiphany",
    "org.gnome.Epiphany",
    // LibreWolf, Floorp, Zen.
    "librewolf",
    "LibreWolf",
    "floorp",
    "zen",
    "zen-beta",
};

namespace {

template <std::size_t N>
std::unordered_set<std::string_view> makeSet(const std::array<std::string_view, N>& items) {
    return {items.begin(), items.end()};
}

}  // namespace

bool BrowserGuard::isListedBundleID(std::string_view id) {
    static const auto set = makeSet(bundleIDs);
    return set.contains(id);
}

bool BrowserGuard::isListedName(std::string_view name) {
    static const auto set = makeSet(names);
    return set.contains(name);
}

bool BrowserGuard::isListedWindowClass(std::string_view windowClass) {
    static const auto set = makeSet(windowClasses);
    return set.contains(windowClass);
}

bool BrowserGuard::anyAppFromValue(const char* value) {
    return value != nullptr && std::strcmp(value, "1") == 0;
}

bool BrowserGuard::anyApp() {
    static const bool value = anyAppFromValue(std::getenv("JOYRELAY_ANY_APP"));
    return value;
}

bool BrowserGuard::isBrowser(const std::optional<FrontmostApplication>& app) {
    if (!app) return false;
    if (app->bundleIdentifier && isListedBundleID(*app->bundleIdentifier)) return true;
    if (app->localizedName && isListedName(*app->localizedName)) return true;
    if (app->windowClass && isListedWindowClass(*app->windowClass)) return true;
    return false;
}

bool BrowserGuard::frontmostIsBrowser(DesktopServices& desktop) {
    if (anyApp()) return true;
    return isBrowser(desktop.frontmostApplication());
}

}  // namespace joyrelay
