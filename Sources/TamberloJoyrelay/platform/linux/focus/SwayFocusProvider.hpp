// The focus on sway, through its IPC socket ($SWAYSOCK): GET_TREE names the focused node, whose
// app_id identifies a Wayland window and whose window_properties.class an XWayland one. A second
// connection is SUBSCRIBEd to "window" and "workspace" events, the activation notice (switching to
// an empty workspace sends no window event, only a workspace one).
//
// Every message is bounded (maxPayload), and a query on the main thread ends at `queryTimeout`
// whatever sway does. A third connection, kept by the asker focusNow() hands out, serves the
// bridge queue's question right before a key goes down.
//
// Threads: the main thread; the asker on the bridge queue. Errors: a connection that fails or
// closes (sway went away), a message over the limit and bytes that are not i3-ipc messages leave
// the provider answering nothing, with problem() saying so (see SocketFocusProvider).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/focus/FocusProvider.hpp"
#include "platform/linux/focus/SocketFocusProvider.hpp"

namespace joyrelay {

namespace sway_ipc {

// The message types this provider uses, and the event types it subscribes to.
inline constexpr std::uint32_t subscribe = 2;
inline constexpr std::uint32_t getTree = 4;
inline constexpr std::uint32_t workspaceEvent = 0x80000000u;
inline constexpr std::uint32_t windowEvent = 0x80000003u;

// The longest payload taken. A GET_TREE reply is one to two kilobytes per window, so this holds
// thousands of windows; anything longer is not sway.
inline constexpr std::size_t maxPayload = 16u << 20;

// How long a GET_TREE from the main thread may take in all, a retry on a fresh connection included.
inline constexpr std::chrono::milliseconds queryTimeout{250};

// One message: "i3-ipc", the payload's length and the type (both 32 bits, native byte order),
// the payload.
std::string encode(std::uint32_t type, std::string_view payload);

// Takes one whole message off the front of `buffer`; nothing while it holds less than one (or
// when framingFault() has something to say).
struct Message {
    std::uint32_t type = 0;
    std::string payload;
};
std::optional<Message> takeMessage(std::string& buffer);

// Why `buffer` cannot start with a message: it does not begin with "i3-ipc", or its header
// announces more than maxPayload bytes. Nothing while it may still become a message.
std::optional<std::string> framingFault(std::string_view buffer);

// Sends a message of `type` on `fd` and reads the reply of that type, by `deadline`. Nothing, with
// `why` set, when sway does not answer in time or answers something else (`malformed`: something
// that is no i3-ipc message, see framingFault); the connection is then of no further use.
std::optional<std::string> request(int fd, std::uint32_t type, std::chrono::steady_clock::time_point deadline,
                                   std::string* why = nullptr, bool* malformed = nullptr);

// What a GET_TREE reply says about the focus. `valid` is false for a reply that is not a tree;
// otherwise `app` is the focused window's application, or nothing when the focus is on a
// workspace, an output or a container that is not a window.
struct TreeFocus {
    bool valid = false;
    std::optional<FrontmostApplication> app;
};
TreeFocus focusedApplication(std::string_view treeJson);

// Whether an event can change which window has the focus: window events other than a title,
// mark or urgency change, and workspace events other than a rename or urgency change.
bool eventMayChangeFocus(std::uint32_t type, std::string_view payload);

}  // namespace sway_ipc

class SwayFocusProvider final : public SocketFocusProvider {
public:
    // Connects to `socketPath` twice and subscribes. Returns nullptr with `error` set when that fails.
    static std::unique_ptr<SwayFocusProvider> open(const std::string& socketPath, std::string* error);

    std::string name() const override { return "sway IPC"; }
    std::optional<FrontmostApplication> frontmost() override;
    // GET_TREE on a connection of the asker's own, kept between questions.
    std::shared_ptr<FocusNow> focusNow() override;

private:
    struct Owned {};
    class Asker;

public:
    SwayFocusProvider(Owned, std::string socketPath, UniqueFd events);

private:
    Taken takeEvents(std::string& buffer) override;  // whole messages: the subscription's answer, events
    void lose(std::string why) override;              // the request connection goes too, the asker stops

    std::string socketPath_;
    UniqueFd requests_;  // opened on the first query, kept, reopened once after a failure
    bool subscribed_ = false;
    std::shared_ptr<Asker> asker_;
};

}  // namespace joyrelay
