#include "gate/PressFocusCheck.hpp"

#include "gate/BrowserGuard.hpp"

namespace joyrelay {

bool PressFocusCheck::beginPresses() {
    if (!output_.beginPresses()) return false;
    if (!now_) return true;
    const FocusNow::Answer answer = now_->ask(FocusNow::Clock::now() + wait_);
    return answer.answered && BrowserGuard::isBrowser(answer.app);
}

}  // namespace joyrelay
