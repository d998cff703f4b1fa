// No focus provider: on a desktop that does not tell which window has the focus (or none of whose
// ways could be opened), nothing is ever in front, so the gate stays closed; problem() says why and
// what to do. JOYRELAY_ANY_APP=1 lifts the gate regardless.
#pragma once

#include <string>

#include "platform/linux/focus/FocusProvider.hpp"

namespace joyrelay {

class NoFocusProvider final : public FocusProvider {
public:
    // `reason`: why there is no provider, one line ("this Wayland desktop offers no way to read
    // the focus", or the errors of the providers that were tried).
    explicit NoFocusProvider(std::string reason) : reason_(std::move(reason)) {}

    std::string name() const override { return "none"; }
    std::optional<FrontmostApplication> frontmost() override { return std::nullopt; }
    std::optional<std::string> problem() const override { return reason_; }

private:
    std::string reason_;
};

}  // namespace joyrelay
