// What the focus providers that follow a compositor's event socket (sway, Hyprland) share: the
// socket is watched through a descriptor set, whose descriptor stays valid for the event loop after
// the socket has gone; what the socket sends is gathered until an event is whole; and once the
// socket is lost the provider answers nothing, with problem() saying why.
//
// The reading is bounded: each dispatch() reads at most `readBudget` bytes and returns to the event
// loop (a socket with more waiting stays readable), an event longer than the provider's limit or
// one it cannot frame is refused without being gathered, and a peer that sends more than
// `floodBytes` or `floodEvents` within one second is a flood. Each of these loses the socket, just
// as the compositor closing it does; so memory stays flat whatever the peer sends, and the gate
// closes. Losing the socket is logged once, in one line.
//
// Threads: the main thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/linux/common/Descriptors.hpp"
#include "platform/linux/focus/FocusProvider.hpp"

namespace joyrelay {

class SocketFocusProvider : public FocusProvider {
public:
    static constexpr std::size_t readBudget = 64 * 1024;
    // A desktop sends a few events per focus change and a few kilobytes each (sway's workspace
    // events carry the workspace's tree); a script switching windows as fast as it can stays far
    // below both.
    static constexpr std::size_t floodBytes = 16u << 20;
    static constexpr std::size_t floodEvents = 2000;

    int fd() const final { return set_.fd(); }
    // Reads what the socket has (up to readBudget), takes the whole events, and notices the
    // compositor closing the socket or sending what cannot be an event stream.
    void dispatch() final;
    std::optional<std::string> problem() const final { return problem_; }

protected:
    // The provider made from `args`; nullptr with `error` (if given) set to `cannotWatch` when its
    // event socket cannot be watched.
    template <class Provider, class... Args>
    static std::unique_ptr<Provider> watched(std::string* error, const char* cannotWatch, Args&&... args) {
        auto provider = std::make_unique<Provider>(std::forward<Args>(args)...);
        if (provider->watching()) return provider;
        if (error) *error = cannotWatch;
        return nullptr;
    }

    // Watches `events`; `closedProblem` becomes the problem when the compositor closes it.
    SocketFocusProvider(UniqueFd events, std::string closedProblem);

    // Whether the event socket is being watched: false once it has been lost, or when it could not
    // be watched at all.
    bool watching() const { return set_.valid() && events_; }

    // What takeEvents found.
    struct Taken {
        bool changed = false;              // the focus may have changed
        std::size_t events = 0;            // whole events taken
        std::optional<std::string> fault;  // why the stream cannot go on, as the problem's whole line
    };
    // Takes every whole event off the front of `buffer`, leaving a partial one there.
    virtual Taken takeEvents(std::string& buffer) = 0;

    // Stops watching the event socket, with `why` as the problem, logged once.
    virtual void lose(std::string why);

    std::optional<std::string> problem_;

private:
    UniqueFd events_;
    DescriptorSet set_;
    std::string buffer_;
    std::string closedProblem_;
    std::chrono::steady_clock::time_point second_{};  // the start of the second being counted
    std::size_t secondBytes_ = 0;
    std::size_t secondEvents_ = 0;
};

}  // namespace joyrelay
