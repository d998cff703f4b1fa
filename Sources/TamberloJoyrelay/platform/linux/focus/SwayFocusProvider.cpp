#include "platform/linux/focus/SwayFocusProvider.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/linux/focus/UnixSocket.hpp"

namespace joyrelay {

namespace sway_ipc {

namespace {

constexpr std::string_view magic = "i3-ipc";
constexpr std::size_t headerSize = magic.size() + 8;
constexpr std::chrono::milliseconds subscribeTimeout{500};

using Json = nlohmann::json;

std::optional<std::string> text(const Json& node, const char* key) {
    const auto it = node.find(key);
    if (it == node.end() || !it->is_string()) return std::nullopt;
    std::string value = it->get<std::string>();
    if (value.empty()) return std::nullopt;
    return value;
}

// The focused node: depth first through tiled and floating children alike.
const Json* findFocused(const Json& node, int depth = 0) {
    if (!node.is_object() || depth > 64) return nullptr;
    if (const auto it = node.find("focused"); it != node.end() && it->is_boolean() && it->get<bool>()) {
        return &node;
    }
    for (const char* children : {"nodes", "floating_nodes"}) {
        const auto list = node.find(children);
        if (list == node.end() || !list->is_array()) continue;
        for (const Json& child : *list) {
            if (const Json* found = findFocused(child, depth + 1)) return found;
        }
    }
    return nullptr;
}

}  // namespace

std::string encode(std::uint32_t type, std::string_view payload) {
    std::string message(magic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    message.append(reinterpret_cast<const char*>(&length), sizeof length);
    message.append(reinterpret_cast<const char*>(&type), sizeof type);
    message.append(payload);
    return message;
}

std::optional<std::string> framingFault(std::string_view buffer) {
    const std::size_t prefix = std::min(buffer.size(), magic.size());
    if (buffer.substr(0, prefix) != magic.substr(0, prefix)) return "sent bytes that are not i3-ipc messages";
    if (buffer.size() < headerSize) return std::nullopt;
    std::uint32_t length = 0;
    std::memcpy(&length, buffer.data() + magic.size(), sizeof length);
    if (length > maxPayload) {
        return "announced a message of " + std::to_string(length) + " bytes (at most " +
               std::to_string(maxPayload >> 20) + " MiB are taken)";
    }
    return std::nullopt;
}

std::optional<std::string> request(int fd, std::uint32_t type, std::chrono::steady_clock::time_point deadline,
                                   std::string* why, bool* malformed) {
    const auto fail = [&](std::string reason, bool bad = false) -> std::optional<std::string> {
        if (why) *why = std::move(reason);
        if (malformed) *malformed = bad;
        return std::nullopt;
    };
    std::string reply;
    if (!unix_socket::writeAll(fd, encode(type, {}), deadline) ||
        !unix_socket::readExact(fd, headerSize, reply, deadline)) {
        return fail("does not answer");
    }
    if (auto fault = framingFault(reply)) return fail(*fault, true);
    std::uint32_t length = 0;
    std::memcpy(&length, reply.data() + magic.size(), sizeof length);
    if (!unix_socket::readExact(fd, length, reply, deadline)) return fail("does not answer");
    std::optional<Message> message = takeMessage(reply);
    if (!message || message->type != type) return fail("answered another message");
    return std::move(message->payload);
}

std::optional<Message> takeMessage(std::string& buffer) {
    if (buffer.size() < headerSize || framingFault(buffer)) return std::nullopt;
    std::uint32_t length = 0;
    Message message;
    std::memcpy(&length, buffer.data() + magic.size(), sizeof length);
    std::memcpy(&message.type, buffer.data() + magic.size() + 4, sizeof message.type);
    if (buffer.size() < headerSize + length) return std::nullopt;
    message.payload = buffer.substr(headerSize, length);
    buffer.erase(0, headerSize + length);
    return message;
}

TreeFocus focusedApplication(std::string_view treeJson) {
    const Json tree = Json::parse(treeJson, nullptr, false);
    TreeFocus result;
    if (tree.is_discarded() || !tree.is_object() || !tree.contains("nodes")) return result;
    result.valid = true;
    const Json* node = findFocused(tree);
    if (!node) return result;
    // Only windows: a workspace, an output or a split container has no application (and gets no
    // key events).
    const std::optional<std::string> type = text(*node, "type");
    if (type != "con" && type != "floating_con") return result;
    FrontmostApplication app;
    app.appId = text(*node, "app_id");
    if (const auto props = node->find("window_properties"); props != node->end() && props->is_object()) {
        app.windowClass = text(*props, "class");
    }
    if (const auto pid = node->find("pid"); pid != node->end() && pid->is_number_integer()) {
        app.pid = pid->get<std::int64_t>();
    }
    if (!app.appId && !app.windowClass && !app.pid) return result;
    result.app = std::move(app);
    return result;
}

bool eventMayChangeFocus(std::uint32_t type, std::string_view payload) {
    if (type != windowEvent && type != workspaceEvent) return false;
    const Json event = Json::parse(payload, nullptr, false);
    if (event.is_discarded() || !event.is_object()) return true;  // cannot tell: ask again
    const std::optional<std::string> change = text(event, "change");
    if (!change) return true;
    if (type == windowEvent) return *change != "title" && *change != "mark" && *change != "urgent";
    return *change != "rename" && *change != "urgent";
}

}  // namespace sway_ipc

std::unique_ptr<SwayFocusProvider> SwayFocusProvider::open(const std::string& socketPath, std::string* error) {
    std::string why;
    UniqueFd events = unix_socket::connect(socketPath, &why);
    if (events && !unix_socket::writeAll(events.get(),
                                         sway_ipc::encode(sway_ipc::subscribe, R"(["window","workspace"])"),
                                         sway_ipc::subscribeTimeout)) {
        why = "cannot subscribe to sway's events on " + socketPath;
        events.reset();
    }
    if (!events) {
        if (error) *error = why;
        return nullptr;
    }
    return watched<SwayFocusProvider>(error, "cannot watch sway's IPC socket", Owned{}, socketPath,
                                      std::move(events));
}

SwayFocusProvider::SwayFocusProvider(Owned, std::string socketPath, UniqueFd events)
    : SocketFocusProvider(std::move(events), "the connection to sway closed (" + socketPath + ")"),
      socketPath_(std::move(socketPath)) {}

std::optional<FrontmostApplication> SwayFocusProvider::frontmost() {
    if (!watching()) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + sway_ipc::queryTimeout;
    std::string why;
    // One retry on a fresh connection: sway may have closed an idle one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!requests_) {
            requests_ = unix_socket::connect(socketPath_, &why);
            if (!requests_) {
                problem_ = why;
                return std::nullopt;
            }
        }
        bool malformed = false;
        const std::optional<std::string> tree =
            sway_ipc::request(requests_.get(), sway_ipc::getTree, deadline, &why, &malformed);
        if (malformed) {
            lose("sway's IPC socket " + socketPath_ + " " + why);
            return std::nullopt;
        }
        if (!tree) {
            requests_.reset();
            continue;
        }
        const sway_ipc::TreeFocus focus = sway_ipc::focusedApplication(*tree);
        if (!focus.valid) {
            problem_ = "sway answered GET_TREE with something that is not a tree";
            return std::nullopt;
        }
        problem_.reset();
        return focus.app;
    }
    problem_ = "sway " + why + " on " + socketPath_;
    return std::nullopt;
}

// The bridge queue's question: GET_TREE on a connection of its own, kept while sway answers in
// time. One question at a time (the bridge queue is serial); stop() may come from the main thread.
class SwayFocusProvider::Asker final : public FocusNow {
public:
    explicit Asker(std::string socketPath) : socketPath_(std::move(socketPath)) {}

    Answer ask(Clock::time_point deadline) override {
        if (stopped_.load()) return {};
        if (!connection_) connection_ = unix_socket::connect(socketPath_, nullptr);
        if (!connection_) return {};
        const std::optional<std::string> tree = sway_ipc::request(connection_.get(), sway_ipc::getTree, deadline);
        if (!tree) {
            connection_.reset();  // a late answer must not be read as the next one
            return {};
        }
        sway_ipc::TreeFocus focus = sway_ipc::focusedApplication(*tree);
        if (!focus.valid) return {};
        return {true, std::move(focus.app)};
    }

    void stop() { stopped_.store(true); }

private:
    std::string socketPath_;
    UniqueFd connection_;
    std::atomic<bool> stopped_{false};
};

std::shared_ptr<FocusNow> SwayFocusProvider::focusNow() {
    if (!asker_) {
        asker_ = std::make_shared<Asker>(socketPath_);
        if (!watching()) asker_->stop();
    }
    return asker_;
}

void SwayFocusProvider::lose(std::string why) {
    requests_.reset();
    if (asker_) asker_->stop();
    SocketFocusProvider::lose(std::move(why));
}

SocketFocusProvider::Taken SwayFocusProvider::takeEvents(std::string& buffer) {
    Taken taken;
    while (std::optional<sway_ipc::Message> message = sway_ipc::takeMessage(buffer)) {
        ++taken.events;
        if (message->type == sway_ipc::subscribe) {
            subscribed_ = message->payload.find("true") != std::string::npos;
            if (!subscribed_) {
                taken.fault = "sway refused the subscription to window and workspace events";
                return taken;
            }
            continue;
        }
        if (sway_ipc::eventMayChangeFocus(message->type, message->payload)) taken.changed = true;
    }
    if (const std::optional<std::string> fault = sway_ipc::framingFault(buffer)) {
        taken.fault = "sway's IPC socket " + socketPath_ + " " + *fault;
    }
    return taken;
}

}  // namespace joyrelay
