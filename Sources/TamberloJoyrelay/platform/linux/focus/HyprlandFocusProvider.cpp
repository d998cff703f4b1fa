#include "platform/linux/focus/HyprlandFocusProvider.hpp"

#include <sys/stat.h>

#include <atomic>

#include <nlohmann/json.hpp>

#include "platform/linux/focus/UnixSocket.hpp"

namespace joyrelay {

namespace hyprland_ipc {

namespace {

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

std::optional<std::string> askActiveWindow(const std::string& folder, std::chrono::steady_clock::time_point deadline,
                                           std::string* why) {
    std::string reason;
    UniqueFd request = unix_socket::connect(folder + "/.socket.sock", &reason);
    std::string reply;
    if (request && unix_socket::writeAll(request.get(), "j/activewindow", deadline) &&
        unix_socket::readToEnd(request.get(), reply, deadline, maxMessage)) {
        return reply;  // the connection closes at once: Hyprland waits on an open request connection
    }
    if (request) reason = "Hyprland does not answer on " + folder + "/.socket.sock";
    if (why) *why = reason;
    return std::nullopt;
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
    if (const std::optional<std::string> reply =
            hyprland_ipc::askActiveWindow(folder_, std::chrono::steady_clock::now() + hyprland_ipc::queryTimeout, &why)) {
        const hyprland_ipc::ActiveWindow active = hyprland_ipc::parseActiveWindow(*reply);
        if (active.valid) {
            problem_.reset();
            return active.app;
        }
        why = "Hyprland answered j/activewindow with something that is not JSON";
    }
    problem_ = why;
    // The event stream still says which class is in front, only not whether it is an X11 one.
    if (!eventSeen_ || !lastClass_) return std::nullopt;
    FrontmostApplication app;
    app.appId = lastClass_;
    app.windowClass = lastClass_;
    return app;
}

// The bridge queue's question; stop() may come from the main thread.
class HyprlandFocusProvider::Asker final : public FocusNow {
public:
    explicit Asker(std::string folder) : folder_(std::move(folder)) {}

    Answer ask(Clock::time_point deadline) override {
        if (stopped_.load()) return {};
        const std::optional<std::string> reply = hyprland_ipc::askActiveWindow(folder_, deadline);
        if (!reply) return {};
        hyprland_ipc::ActiveWindow active = hyprland_ipc::parseActiveWindow(*reply);
        if (!active.valid) return {};
        return {true, std::move(active.app)};
    }

    void stop() { stopped_.store(true); }

private:
    std::string folder_;
    std::atomic<bool> stopped_{false};
};

std::shared_ptr<FocusNow> HyprlandFocusProvider::focusNow() {
    if (!asker_) {
        asker_ = std::make_shared<Asker>(folder_);
        if (!watching()) asker_->stop();
    }
    return asker_;
}

void HyprlandFocusProvider::lose(std::string why) {
    if (asker_) asker_->stop();
    SocketFocusProvider::lose(std::move(why));
}

SocketFocusProvider::Taken HyprlandFocusProvider::takeEvents(std::string& buffer) {
    Taken taken;
    std::size_t start = 0;
    for (auto end = buffer.find('\n'); end != std::string::npos; end = buffer.find('\n', start)) {
        const std::string_view line(buffer.data() + start, end - start);
        start = end + 1;
        if (line.size() > hyprland_ipc::maxMessage) {
            taken.fault = "Hyprland's event socket sent a line of more than 1 MiB";
            return taken;
        }
        const std::optional<hyprland_ipc::Event> event = hyprland_ipc::parseEvent(line);
        if (!event) {
            taken.fault = "Hyprland's event socket sent a line that is not an event";
            return taken;
        }
        ++taken.events;
        if (event->name == "activewindow") {
            eventSeen_ = true;
            lastClass_ = hyprland_ipc::activeWindowClass(event->data);
            taken.changed = true;
        } else if (event->name == "activewindowv2" || event->name == "closewindow" ||
                   event->name == "workspace" || event->name == "focusedmon") {
            taken.changed = true;
        }
    }
    buffer.erase(0, start);
    if (buffer.size() > hyprland_ipc::maxMessage) {
        taken.fault = "Hyprland's event socket sent a line of more than 1 MiB";
    }
    return taken;
}

}  // namespace joyrelay
