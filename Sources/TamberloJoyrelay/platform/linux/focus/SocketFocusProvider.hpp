// What the focus providers that follow a compositor's event socket (sway, Hyprland) share: the
// socket is watched through a descriptor set, whose descriptor stays valid for the event loop after
// the socket has gone; what the socket sends is gathered until an event is whole; and once the
// socket closes the provider answers nothing, with problem() saying why.
//
// Threads: the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/linux/focus/Descriptors.hpp"
#include "platform/linux/focus/FocusProvider.hpp"

namespace joyrelay {

class SocketFocusProvider : public FocusProvider {
public:
    int fd() const final { return set_.fd(); }
    // Reads what the socket has, takes the whole events, and notices the compositor closing it.
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

    // Takes every whole event off the front of `buffer`. Answers whether the focus may have changed.
    virtual bool takeEvents(std::string& buffer) = 0;

    // Stops watching the event socket, with `why` as the problem.
    virtual void lose(std::string why);

    std::optional<std::string> problem_;

private:
    UniqueFd events_;
    DescriptorSet set_;
    std::string buffer_;
    std::string closedProblem_;
};

}  // namespace joyrelay
