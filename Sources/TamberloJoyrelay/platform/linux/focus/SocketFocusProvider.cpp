#include "platform/linux/focus/SocketFocusProvider.hpp"

#include <utility>

#include "platform/linux/focus/UnixSocket.hpp"

namespace joyrelay {

SocketFocusProvider::SocketFocusProvider(UniqueFd events, std::string closedProblem)
    : events_(std::move(events)), closedProblem_(std::move(closedProblem)) {
    if (!set_.add(events_.get())) events_.reset();
}

void SocketFocusProvider::dispatch() {
    if (!events_) return;
    const bool open = unix_socket::readAvailable(events_.get(), buffer_);
    bool changed = takeEvents(buffer_);
    if (!open && events_) {
        lose(closedProblem_);
        changed = true;
    }
    if (changed) notifyChanged();
}

void SocketFocusProvider::lose(std::string why) {
    if (events_) {
        set_.remove(events_.get());
        events_.reset();
    }
    problem_ = std::move(why);
}

}  // namespace joyrelay
