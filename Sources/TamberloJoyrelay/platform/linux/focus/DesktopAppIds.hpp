// The focused window's identity as KDE Plasma and GNOME Shell report it, turned into the frontmost
// application the focus gate matches.
//
// Both desktops name an application by its desktop file ("chromium.desktop",
// "org.mozilla.firefox.desktop"), and a window by its class: the Wayland app_id for a native window,
// the class part of WM_CLASS for an XWayland one, which KWin reports lower-cased ("chromium" for
// Chromium's "Chromium"). So:
//   - appId is the desktop file's id without ".desktop" (KDE: desktopFileName; GNOME: the Flatpak
//     sandbox's app id first, then the Shell's app id, then the GTK application id), or else the
//     window's class as reported. Desktop file ids are the Wayland app ids browsers set, so this is
//     the text the recognised app ids are matched against.
//   - windowClass is the window's class, written the way the recognised X11 classes write it when it
//     is one of them whatever its case ("chromium" becomes "Chromium"), else as reported.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/DesktopServices.hpp"

namespace joyrelay::desktop_ids {

// The desktop file id without its ".desktop" suffix ("chromium.desktop" -> "chromium"); nothing for
// an empty text and for GNOME's made-up ids of windows without a desktop file ("window:12").
std::optional<std::string> desktopFileId(std::string_view text);

// `windowClass` as one of BrowserGuard's recognised window classes when it equals one of them but for
// case, else unchanged; nothing when empty.
std::optional<std::string> recognisedWindowClass(std::string_view windowClass);

// KWin's Window properties: resourceClass, desktopFileName and the process id (0: unknown). An
// empty resourceClass and desktopFileName together mean "no window", and give nothing.
std::optional<FrontmostApplication> fromKWin(std::string_view resourceClass, std::string_view desktopFileName,
                                             std::int64_t pid);

// GNOME Shell's ids of the focused window: Meta.Window's wm_class, gtk_application_id and
// sandboxed_app_id, and the Shell's app id (Shell.WindowTracker), with the process id (0: unknown).
// All empty: no window, nothing.
std::optional<FrontmostApplication> fromGnome(std::string_view wmClass, std::string_view gtkApplicationId,
                                              std::string_view sandboxedAppId, std::string_view shellAppId,
                                              std::int64_t pid);

}  // namespace joyrelay::desktop_ids
