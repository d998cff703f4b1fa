#include "app/Accessibility.hpp"

#include "app/AppInfo.hpp"

namespace joyrelay {

std::string Accessibility::settingsURL() { return AppInfo::fileURL(AppInfo::webDirectory() / "help.html"); }

void Accessibility::openSettings(DesktopServices& desktop) {
    const std::string url = settingsURL();
    if (!AppInfo::isValidURL(url)) return;
    desktop.openURL(url);
}

}  // namespace joyrelay
