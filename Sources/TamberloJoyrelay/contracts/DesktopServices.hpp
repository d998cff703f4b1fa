// The desktop services contract: what the application needs from the desktop it runs on.
//
// Backends: the Linux desktop (X11 for the frontmost window, Qt for timers, URLs and alerts, an XDG
// autostart entry for launch at login) and a fake for tests.
//
// Threads: every operation is called on the main thread, and every handler runs there.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace joyrelay {

// The frontmost application's identity; each part may be missing.
struct FrontmostApplication {
    std::optional<std::string> bundleIdentifier;  // a reverse-DNS application id, where there is one
    std::optional<std::string> localizedName;     // the display name
    std::optional<std::string> windowClass;       // X11: the class part of WM_CLASS
    std::optional<std::string> appId;             // Wayland: the window's app_id (or desktop file id)
    std::optional<std::int64_t> pid;              // the owning process, when known
};

// The launch-at-login registration, by the numbers the menu acts on.
enum class LoginItemStatus : int { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

class DesktopServices {
public:
    virtual ~DesktopServices() = default;

    // The frontmost application, or nothing when there is none (or no desktop at all).
    virtual std::optional<FrontmostApplication> frontmostApplication() = 0;

    // Calls `handler` on the main thread whenever another application becomes active. The
    // registration lasts as long as the services object.
    virtual void observeActivation(std::function<void()> handler) = 0;

    // Calls `handler` on the main thread every `interval`, for as long as the services object lives.
    virtual void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> handler) = 0;

    // Whether keys this program posts reach applications. With `prompt`, also tells the user how to
    // grant that when it is missing.
    virtual bool isProcessTrusted(bool prompt) = 0;

    // Opens an address or a local file with the user's default handler. False when that failed.
    virtual bool openURL(const std::string& url) = 0;

    // Launch at login: the current status, and changes that return an error's description on failure.
    virtual LoginItemStatus loginItemStatus() = 0;
    virtual std::optional<std::string> registerLoginItem() = 0;
    virtual std::optional<std::string> unregisterLoginItem() = 0;

    // A modal alert with a title line and a detail text; returns once the user dismissed it.
    virtual void runAlert(const std::string& message, const std::string& informative) = 0;
};

}  // namespace joyrelay
