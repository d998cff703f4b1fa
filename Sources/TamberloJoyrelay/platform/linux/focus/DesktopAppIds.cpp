#include "platform/linux/focus/DesktopAppIds.hpp"

#include <algorithm>
#include <cctype>

#include "gate/BrowserGuard.hpp"

namespace joyrelay::desktop_ids {

namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::string> nonEmpty(std::string_view text) {
    if (text.empty()) return std::nullopt;
    return std::string(text);
}

}  // namespace

std::optional<std::string> desktopFileId(std::string_view text) {
    constexpr std::string_view suffix = ".desktop";
    if (text.starts_with("window:")) return std::nullopt;
    if (text.ends_with(suffix)) text.remove_suffix(suffix.size());
    return nonEmpty(text);
}

std::optional<std::string> recognisedWindowClass(std::string_view windowClass) {
    if (windowClass.empty()) return std::nullopt;
    if (BrowserGuard::isListedWindowClass(windowClass)) return std::string(windowClass);
    for (std::string_view listed : BrowserGuard::windowClasses) {
        if (equalIgnoringCase(listed, windowClass)) return std::string(listed);
    }
    return std::string(windowClass);
}

std::optional<FrontmostApplication> fromKWin(std::string_view resourceClass, std::string_view desktopFileName,
                                             std::int64_t pid) {
    if (resourceClass.empty() && desktopFileName.empty()) return std::nullopt;
    FrontmostApplication app;
    app.appId = desktopFileId(desktopFileName);
    if (!app.appId) app.appId = nonEmpty(resourceClass);
    app.windowClass = recognisedWindowClass(resourceClass);
    if (pid > 0) app.pid = pid;
    return app;
}

std::optional<FrontmostApplication> fromGnome(std::string_view wmClass, std::string_view gtkApplicationId,
                                              std::string_view sandboxedAppId, std::string_view shellAppId,
                                              std::int64_t pid) {
    if (wmClass.empty() && gtkApplicationId.empty() && sandboxedAppId.empty() && shellAppId.empty()) {
        return std::nullopt;
    }
    FrontmostApplication app;
    app.appId = nonEmpty(sandboxedAppId);
    if (!app.appId) app.appId = desktopFileId(shellAppId);
    if (!app.appId) app.appId = nonEmpty(gtkApplicationId);
    if (!app.appId) app.appId = nonEmpty(wmClass);
    app.windowClass = recognisedWindowClass(wmClass);
    if (pid > 0) app.pid = pid;
    return app;
}

}  // namespace joyrelay::desktop_ids
