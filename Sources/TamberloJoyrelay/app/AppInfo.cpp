#include "app/AppInfo.hpp"

#include <QString>
#include <QUrl>

#include "platform/linux/common/Executables.hpp"

#ifndef JOYRELAY_VERSION
#define JOYRELAY_VERSION ""
#endif
#ifndef JOYRELAY_SITE_URL
#define JOYRELAY_SITE_URL ""
#endif
#ifndef JOYRELAY_INSTALLED_WEB_DIR
#define JOYRELAY_INSTALLED_WEB_DIR "/usr/share/tamberlo-joyrelay/web"
#endif

namespace joyrelay {

std::string AppInfo::version() {
    const std::string_view built = JOYRELAY_VERSION;
    return built.empty() ? "dev" : std::string(built);
}

std::string AppInfo::executablePath() {
    const std::filesystem::path exe = currentExecutable();
    return exe.empty() ? "tamberlo-joyrelay" : exe.string();
}

std::filesystem::path AppInfo::webDirectory() {
    const std::filesystem::path exe = currentExecutable();
    std::error_code ignored;
    if (!exe.empty()) {
        const std::filesystem::path folder = exe.parent_path();
        for (const std::filesystem::path& candidate :
             {folder / "web", folder.parent_path() / "share" / "tamberlo-joyrelay" / "web"}) {
            if (std::filesystem::is_regular_file(candidate / "index.html", ignored)) return candidate;
        }
    }
    return JOYRELAY_INSTALLED_WEB_DIR;
}

std::string AppInfo::siteURL() { return JOYRELAY_SITE_URL; }

std::string AppInfo::fileURL(const std::filesystem::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string())).toString(QUrl::FullyEncoded).toStdString();
}

PageURLs AppInfo::pageURLs(std::string_view site, const std::filesystem::path& webDirectory) {
    if (site.empty()) return {fileURL(webDirectory / "index.html"), fileURL(webDirectory / "padtest.html")};
    std::string root(site);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return {root + "/", root + "/padtest.html"};
}

bool AppInfo::isValidURL(std::string_view url) {
    const QUrl parsed(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())), QUrl::StrictMode);
    return parsed.isValid() && !parsed.scheme().isEmpty() && !parsed.isRelative();
}

}  // namespace joyrelay
