// Launch at login on a freedesktop.org desktop: an autostart entry, "tamberlo-joyrelay.desktop", in
// $XDG_CONFIG_HOME/autostart (else ~/.config/autostart), whose Exec line starts this executable.
//
// The entry counts as enabled when it exists and is not switched off, that is, when its
// [Desktop Entry] group has neither Hidden=true nor X-GNOME-Autostart-enabled=false (the two ways
// desktops turn an entry off without deleting it). Everything else is "not registered".
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/DesktopServices.hpp"

namespace joyrelay {

class XdgAutostart {
public:
    static constexpr std::string_view fileName = "tamberlo-joyrelay.desktop";

    // The entry for `executable`, kept in `folder`.
    XdgAutostart(std::filesystem::path folder, std::filesystem::path executable);

    // The folder from the environment: $XDG_CONFIG_HOME/autostart when XDG_CONFIG_HOME is an absolute
    // path, else .config/autostart in the home folder (homeFolder); empty without a home folder, and
    // then no entry is ever written.
    static std::filesystem::path defaultFolder();

    const std::filesystem::path& entryPath() const { return entry_; }

    // Read afresh from the file every time.
    LoginItemStatus status() const;

    // Writes the entry (creating the folder), replacing one that was switched off. On failure, the
    // error's description: "cannot write /home/u/.config/autostart/tamberlo-joyrelay.desktop:
    // Permission denied".
    std::optional<std::string> enable() const;

    // Removes the entry; a missing entry is not an error.
    std::optional<std::string> disable() const;

    // The entry's text, with `executable` quoted for the Exec key the way the freedesktop.org
    // desktop entry format asks.
    static std::string entryText(const std::filesystem::path& executable);

    // One argument quoted for an Exec value (quoting rules, then the string escapes of the format).
    static std::string quoteExecArgument(std::string_view argument);

    // Whether an entry's text is switched on (see above).
    static bool enabledIn(std::string_view text);

private:
    std::filesystem::path folder_;
    std::filesystem::path executable_;
    std::filesystem::path entry_;
};

}  // namespace joyrelay
