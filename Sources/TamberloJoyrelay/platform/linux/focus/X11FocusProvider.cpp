#include "platform/linux/focus/X11FocusProvider.hpp"

namespace joyrelay {

std::unique_ptr<X11FocusProvider> X11FocusProvider::open(const char* displayName, std::string* error) {
    std::unique_ptr<X11Focus> focus = X11Focus::open(displayName, error);
    if (!focus) return nullptr;
    return std::make_unique<X11FocusProvider>(std::move(focus));
}

X11FocusProvider::X11FocusProvider(std::unique_ptr<X11Focus> focus) : focus_(std::move(focus)) {
    focus_->setActivationHandler([this] { notifyChanged(); });
}

}  // namespace joyrelay
