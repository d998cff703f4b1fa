// The permission to post keys. On Linux it is not a switch in the system settings but access to a
// way of posting them: /dev/uinput open for writing, a Wayland compositor's virtual keyboard, or an
// X display with the XTEST extension. The
// program has the permission once it holds such a key output; until then it keeps trying, so that
// access granted while it runs (the udev rule installed, uinput loaded) is picked up without a
// restart.
#pragma once

#include <string>

#include "contracts/DesktopServices.hpp"

namespace joyrelay {

namespace Accessibility {

// The address of the local page that explains how to give the program access to /dev/uinput and the
// stick (help.html with the maker's pages).
std::string settingsURL();

// Opens that page with the user's default browser.
void openSettings(DesktopServices& desktop);

}  // namespace Accessibility

}  // namespace joyrelay
