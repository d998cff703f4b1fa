#include "platform/linux/desktop/XdgAutostart.hpp"

#include "log/Log.hpp"
#include "log/WriteAll.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace joyrelay {

namespace {

std::string describe(const std::string& what, const std::filesystem::path& path, int error) {
    return what + " " + path.string() + ": " + std::strerror(error);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

XdgAutostart::XdgAutostart(std::filesystem::path folder, std::filesystem::path executable)
    : folder_(std::move(folder)), executable_(std::move(executable)), entry_(folder_ / fileName) {}

std::filesystem::path XdgAutostart::defaultFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::filesystem::path(config) / "autostart";
    const std::filesystem::path home = homeFolder();
    if (home.empty()) return {};
    return home / ".config" / "autostart";
}

std::string XdgAutostart::quoteExecArgument(std::string_view argument) {
    static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string out;
    if (argument.find_first_of(reserved) == std::string_view::npos) {
        out = argument;
    } else {
        out.push_back('"');
        for (const char c : argument) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') out.push_back('\\');
            out.push_back(c);
        }
        out.push_back('"');
    }
    // The string escapes of the file format come on top: backslashes double, line breaks are "\n";
    // a percent sign would start a field code, so it is written twice.
    std::string escaped;
    for (const char c : out) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '%') {
            escaped += "%%";
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}

std::string XdgAutostart::entryText(const std::filesystem::path& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tamberlo Joyrelay\n"
           "Comment=Play keyboard web games with an Xbox-protocol arcade stick\n"
           "Exec=" +
           quoteExecArgument(executable.string()) +
           "\n"
           "Icon=tamberlo-joyrelay\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool XdgAutostart::enabledIn(std::string_view text) {
    bool inMain = false;
    bool enabled = true;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        if (!inMain) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = trim(line.substr(0, eq));
        const std::string_view value = trim(line.substr(eq + 1));
        if (key == "Hidden" && value == "true") enabled = false;
        if (key == "X-GNOME-Autostart-enabled" && value == "false") enabled = false;
    }
    return enabled;
}

LoginItemStatus XdgAutostart::status() const {
    if (folder_.empty()) return LoginItemStatus::notRegistered;
    std::ifstream in(entry_, std::ios::binary);
    if (!in) return LoginItemStatus::notRegistered;
    std::ostringstream text;
    text << in.rdbuf();
    return enabledIn(text.str()) ? LoginItemStatus::enabled : LoginItemStatus::notRegistered;
}

std::optional<std::string> XdgAutostart::enable() const {
    if (folder_.empty()) return std::string("no home folder to keep the autostart entry in");
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) return "cannot create " + folder_.string() + ": " + error.message();

    // Written beside the entry and moved into place, so a failed write never leaves half an entry.
    std::string temp = (folder_ / ".tamberlo-joyrelay.desktop.XXXXXX").string();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return describe("cannot write", entry_, errno);
    const bool written = writeAll(fd, entryText(executable_)) && ::fchmod(fd, 0644) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int e = written ? errno : writeError;
        ::unlink(temp.c_str());
        return describe("cannot write", entry_, e);
    }
    if (::rename(temp.c_str(), entry_.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return describe("cannot write", entry_, e);
    }
    return std::nullopt;
}

std::optional<std::string> XdgAutostart::disable() const {
    if (folder_.empty()) return std::nullopt;
    if (::unlink(entry_.c_str()) != 0 && errno != ENOENT) return describe("cannot remove", entry_, errno);
    return std::nullopt;
}

}  // namespace joyrelay
