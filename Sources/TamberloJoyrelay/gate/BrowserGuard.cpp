#include "gate/BrowserGuard.hpp"

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

// The app_id each browser gives its Wayland windows: the name of its desktop file (without
// ".desktop"), which for the Flatpak builds is the application's reverse-DNS id.
const std::array<std::string_view, 26> BrowserGuard::appIds = {
    // Firefox: Mozilla's builds and most distributions, Debian's ESR, Developer Edition, Nightly.
    "firefox",
    "firefox-esr",
    "firefox-developer-edition",
    "firefox-nightly",
    // LibreWolf, Floorp, Zen.
    "librewolf",
    "floorp",
    "zen",
    // Chromium, and the name Ubuntu's and Fedora's packages give it.
    "chromium",
    "chromium-browser",
    // Google Chrome stable, beta and dev.
    "google-chrome",
    "google-chrome-beta",
    "google-chrome-unstable",
    // Brave, Microsoft Edge, Vivaldi, Opera.
    "brave-browser",
    "microsoft-edge",
    "vivaldi-stable",
    "opera",
    // GNOME Web.
    "org.gnome.Epiphany",
    // Flatpak builds from Flathub.
    "org.mozilla.firefox",
    "org.chromium.Chromium",
    "com.google.Chrome",
    "com.brave.Browser",
    "com.microsoft.Edge",
    "com.vivaldi.Vivaldi",
    "io.gitlab.librewolf-community",
    "one.ablaze.floorp",
    "app.zen_browser.zen",
};

namespace {

// Whether `value` is one of `Items`, looked up in a set built on first use.
template <const auto& Items>
bool listed(std::string_view value) {
    static const std::unordered_set<std::string_view> set(Items.begin(), Items.end());
    return set.contains(value);
}

}  // namespace

bool BrowserGuard::isListedBundleID(std::string_view id) { return listed<bundleIDs>(id); }
bool BrowserGuard::isListedName(std::string_view name) { return listed<names>(name); }
bool BrowserGuard::isListedWindowClass(std::string_view windowClass) {
    return listed<windowClasses>(windowClass);
}
bool BrowserGuard::isListedAppId(std::string_view appId) { return listed<appIds>(appId); }

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
    if (app->appId && isListedAppId(*app->appId)) return true;
    return false;
}

bool BrowserGuard::frontmostIsBrowser(DesktopServices& desktop) {
    if (anyApp()) return true;
    return isBrowser(desktop.frontmostApplication());
}

}  // namespace joyrelay
