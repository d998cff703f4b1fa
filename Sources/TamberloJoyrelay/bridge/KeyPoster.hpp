// Key posting: each key transition becomes one keyboard event through a KeyEvents backend.
#pragma once

#include "JoyrelayCore/GIP.hpp"
#include "contracts/KeyEvents.hpp"

namespace joyrelay {

class KeyPoster {
public:
    explicit KeyPoster(KeyEvents& events) : events_(events) {}

    // Posts one transition. Shift carries the shift flag on its press and an explicit empty mask on
    // its release; every other key's flags are left as created. A transition whose event cannot be
    // created is dropped silently.
    void post(ArcadeKey key, bool down);

    // Posts every transition in list order.
    void post(const TransitionList& list) {
        for (const KeyTransition& t : list) post(t.key, t.down);
    }

private:
    KeyEvents& events_;
};

}  // namespace joyrelay
