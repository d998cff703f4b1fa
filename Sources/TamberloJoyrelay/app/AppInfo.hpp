// Values fixed when the program was built: its version, where the maker's pages are, and the two
// addresses the menu opens.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace joyrelay {

struct PageURLs {
    std::string arcade;   // the arcade's home page
    std::string padTest;  // the controller check page: "/padtest.html" beside it
};

class AppInfo {
public:
    AppInfo() = delete;

    // The version the build names (JOYRELAY_VERSION), or "dev" when it names none.
    static std::string version();

    // The running executable (/proc/self/exe, resolved), or "tamberlo-joyrelay" when unknown.
    static std::string executablePath();

    // The folder of the installed pages: "web" next to the executable (the build tree), else
    // "../share/tamberlo-joyrelay/web" beside the executable's folder (a relocated install), else the
    // data folder the build was configured with. The last one is returned even when it is missing.
    static std::filesystem::path webDirectory();

    // The site named by the build (JOYRELAY_SITE_URL), empty for the installed pages.
    static std::string siteURL();

    // With a site: its root and site + "/padtest.html". Without: file URLs of index.html and
    // padtest.html in `webDirectory`.
    static PageURLs pageURLs(std::string_view site, const std::filesystem::path& webDirectory);
    static PageURLs pageURLs() { return pageURLs(siteURL(), webDirectory()); }

    // A file URL for a local path ("file:///usr/share/.../index.html", percent-encoded).
    static std::string fileURL(const std::filesystem::path& path);

    // Whether `url` parses as an absolute address with a scheme.
    static bool isValidURL(std::string_view url);
};

}  // namespace joyrelay
