#include "platform/linux/focus/SocketFocusProvider.hpp"

#include <utility>

#include "log/Log.hpp"
#include "platform/linux/focus/UnixSocket.hpp"

namespace joyrelay {

SocketFocusProvider::SocketFocusProvider(UniqueFd events, std::string closedProblem)
    : events_(std::move(events)), closedProblem_(std::move(closedProblem)) {
    if (!set_.add(events_.get())) events_.reset();
}

void SocketFocusProvider::dispatch() {
    if (!events_) return;
    const std::size_t before = buffer_.size();
    const bool open = unix_socket::readAvailable(events_.get(), buffer_, readBudget);
    const auto now = std::chrono::steady_clock::now();
    if (now - second_ >= std::chrono::seconds(1)) {
        second_ = now;
        secondBytes_ = 0;
        secondEvents_ = 0;
    }
    secondBytes_ += buffer_.size() - before;
    Taken taken = takeEvents(buffer_);
    secondEvents_ += taken.events;
    if (!taken.fault && (secondBytes_ > floodBytes || secondEvents_ > floodEvents)) {
        taken.fault = name() + " sent a flood of events (more than " +
                      (secondBytes_ > floodBytes ? std::to_string(floodBytes >> 20) + " MiB"
                                                 : std::to_string(floodEvents) + " events") +
                      " in a second)";
    }
    if (taken.fault && events_) {
        lose(*taken.fault);
        taken.changed = true;
    } else if (!open && events_) {
        lose(closedProblem_);
        taken.changed = true;
    }
    if (taken.changed) notifyChanged();
}

void SocketFocusProvider::lose(std::string why) {
    if (events_) {
        set_.remove(events_.get());
        events_.reset();
        Log::info("Focus lost: " + why + " \u2014 the stick's keys stay off");
    }
    std::string().swap(buffer_);
    problem_ = std::move(why);
}

}  // namespace joyrelay
