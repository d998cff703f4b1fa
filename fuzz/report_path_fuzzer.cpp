// Feeds arbitrary byte streams through the whole per-report path (parse, wanted, apply, releaseAll)
// and checks what must always hold: transitions describe exactly the held set, no list names a key
// twice, releases come before presses, and nothing stays down behind a closed gate or after releaseAll.
//
// Input layout: a sequence of records, each a control byte then a length (two bytes, up to 4096) and
// that many report bytes. Control bit 0 is the gate, bit 1 asks for releaseAll instead of a report.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "JoyrelayCore/GIP.hpp"

using namespace joyrelay;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void check(const TransitionList& list, bool (&down)[keys::count], const KeyState& state) {
    KeySet named;
    bool pressed = false;
    for (const KeyTransition& t : list) {
        require(!named.contains(t.key));
        named.insert(t.key);
        const std::size_t i = keys::index(t.key);
        if (t.down) {
            pressed = true;
            require(!down[i]);
        } else {
            require(!pressed);
            require(down[i]);
        }
        down[i] = t.down;
    }
    for (ArcadeKey k : keys::allCases) require(state.held().contains(k) == down[keys::index(k)]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    StickState stick;
    KeyState held;
    bool down[keys::count] = {};
    std::span<const std::uint8_t> rest(data, size);
    while (rest.size() >= 3) {
        const std::uint8_t control = rest[0];
        std::size_t length = static_cast<std::size_t>(rest[1] | (rest[2] << 8)) % 4097;
        rest = rest.subspan(3);
        if (length > rest.size()) length = rest.size();
        const std::span<const std::uint8_t> bytes = rest.first(length);
        rest = rest.subspan(length);
        if (control & 2) {
            check(held.releaseAll(), down, held);
            for (bool d : down) require(!d);
            continue;
        }
        if (const auto report = InputReport::parse(bytes)) {
            const KeySet wanted = stick.wanted(*report);
            const bool gate = (control & 1) != 0;
            check(held.apply(wanted, gate), down, held);
            require(held.held().minus(wanted).empty());
            if (!gate) {
                for (bool d : down) require(!d);  // a closed gate lets go of everything
            }
        } else {
            require(bytes.size() < 18 || bytes[0] != 0x20);
        }
    }
    check(held.releaseAll(), down, held);
    for (bool d : down) require(!d);
    return 0;
}
