#include "platform/linux/focus/HyprlandFocusProvider.hpp"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/linux/focus/UnixSocket.hpp"

namespace joyrelay {

namespace hyprland_ipc {

namespace {

constexpr std::chrono::milliseconds requestTimeout{500};

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

std::optional<Event> parseEvent(std::string_view line) {
    const auto separator = line.find(">>");
    if (separator == std::string_view::npos || separator == 0) return std::nullopt;
    return Event{line.substr(0, separator), line.substr(separator + 2)};
}

std::optional<std::string> activeWindowClass(std::string_view data) {
    const std::string_view windowClass = data.substr(0, data.find(','));
    if (windowClass.empty()) return std::nullopt;
    return std::string(windowClass);
}

ActiveWindow parseActiveWindow(std::string_view json) {
    const nlohmann::json reply = nlohmann::json::parse(json, nullptr, false);
    ActiveWindow result;
    if (reply.is_discarded() || !reply.is_object()) return result;
    result.valid = true;
    const auto windowClass = reply.find("class");
    if (windowClass == reply.end() || !windowClass->is_string() || windowClass->get<std::string>().empty()) {
        return result;
    }
    FrontmostApplication app;
    const auto xwayland = reply.find("xwayland");
    if (xwayland != reply.end() && xwayland->is_boolean() && xwayland->get<bool>()) {
        app.windowClass = windowClass->get<std::string>();
    } else {
        app.appId = windowClass->get<std::string>();
    }
    if (const auto pid = reply.find("pid"); pid != reply.end() && pid->is_number_integer() && pid->get<std::int64_t>() > 0) {
        app.pid = pid->get<std::int64_t>();
    }
    result.app = std::move(app);
    return result;
}

std::string socketFolder(const std::string& runtimeDir, const std::string& signature) {
    const std::string modern = runtimeDir + "/hypr/" + signature;
    if (!runtimeDir.empty() && exists(modern + "/.socket2.sock")) return modern;
    const std::string old = "/tmp/hypr/" + signature;
    if (exists(old + "/.socket2.sock")) return old;
    return runtimeDir.empty() ? old : modern;
}

}  // namespace hyprland_ipc

std::unique_ptr<HyprlandFocusProvider> HyprlandFocusProvider::open(const std::string& folder, std::string* error) {
    UniqueFd events = unix_socket::connect(folder + "/.socket2.sock", error);
    if (!events) return nullptr;
    return watched<HyprlandFocusProvider>(error, "cannot watch Hyprland's event socket", Owned{}, folder,
                                          std::move(events));
}

HyprlandFocusProvider::HyprlandFocusProvider(Owned, std::string folder, UniqueFd events)
    : SocketFocusProvider(std::move(events), "the connection to Hyprland closed (" + folder + ")"),
      folder_(std::move(folder)) {}

std::optional<FrontmostApplication> HyprlandFocusProvider::frontmost() {
    if (!watching()) return std::nullopt;
    std::string why;
    UniqueFd request = unix_socket::connect(folder_ + "/.socket.sock", &why);
    std::string reply;
    if (request && unix_socket::writeAll(request.get(), "j/activewindow", hyprland_ipc::requestTimeout) &&
        unix_socket::readToEnd(request.get(), reply, hyprland_ipc::requestTimeout)) {
        request.reset();  // at once: Hyprland waits on an open request connection
        const hyprland_ipc::ActiveWindow active = hyprland_ipc::parseActiveWindow(reply);
        if (active.valid) {
            problem_.reset();
            return active.app;
        }
        why = "Hyprland answered j/activewindow with something that is not JSON";
    } else if (request) {
        why = "Hyprland does not answer on " + folder_ + "/.socket.sock";
    }
    problem_ = why;
    // The event stream still says which class is in front, only not whether it is an X11 one.
    if (!eventSeen_ || !lastClass_) return std::nullopt;
    FrontmostApplication app;
    app.appId = lastClass_;
    app.windowClass = lastClass_;
    return app;
}

bool HyprlandFocusProvider::takeEvents(std::string& buffer) {
    bool changed = false;
    std::size_t start = 0;
    for (auto end = buffer.find('\n'); end != std::string::npos; end = buffer.find('\n', start)) {
        const std::string_view line(buffer.data() + start, end - start);
        start = end + 1;
        const std::optional<hyprland_ipc::Event> event = hyprland_ipc::parseEvent(line);
        if (!event) continue;
        if (event->name == "activewindow") {
            eventSeen_ = true;
            lastClass_ = hyprland_ipc::activeWindowClass(event->data);
            changed = true;
        } else if (event->name == "activewindowv2" || event->name == "closewindow" ||
                   event->name == "workspace" || event->name == "focusedmon") {
            changed = true;
        }
    }
    buffer.erase(0, start);
    return changed;
}

}  // namespace joyrelay
