#include "platform/linux/focus/ForeignToplevelFocusProvider.hpp"

#include <poll.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace joyrelay {

// --- The tracker -----------------------------------------------------------------------------------

void ToplevelFocusTracker::appId(std::uint32_t id, std::string value) {
    toplevels_[id].pendingAppId = std::move(value);
}

void ToplevelFocusTracker::state(std::uint32_t id, bool activated) {
    toplevels_[id].pendingActivated = activated;
}

void ToplevelFocusTracker::done(std::uint32_t id) {
    Toplevel& toplevel = toplevels_[id];
    if (toplevel.pendingAppId) toplevel.appId = std::move(*toplevel.pendingAppId);
    if (toplevel.pendingActivated) {
        if (*toplevel.pendingActivated && !toplevel.activated) toplevel.activatedAt = ++activations_;
        toplevel.activated = *toplevel.pendingActivated;
    }
    toplevel.pendingAppId.reset();
    toplevel.pendingActivated.reset();
}

void ToplevelFocusTracker::closed(std::uint32_t id) {
    toplevels_.erase(id);
}

bool ToplevelFocusTracker::settle(Clock::time_point now) {
    std::optional<Active> activated;
    std::uint64_t latest = 0;
    for (const auto& [id, toplevel] : toplevels_) {
        if (toplevel.activated && toplevel.activatedAt >= latest) {
            latest = toplevel.activatedAt;
            activated = Active{id, toplevel.appId};
        }
    }
    if (activated) {
        hold_.stop();
        if (activated == current_) return false;
        current_ = std::move(activated);
        return true;
    }
    if (!current_) {
        hold_.stop();
        return false;
    }
    hold_.start(now);
    if (!hold_.expired(now)) return false;
    current_.reset();
    return true;
}

// --- The protocol's listeners ----------------------------------------------------------------------

struct ForeignToplevelFocusProvider::Handle {
    ForeignToplevelFocusProvider* owner = nullptr;
    zwlr_foreign_toplevel_handle_v1* proxy = nullptr;
    std::uint32_t id = 0;

    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(ForeignToplevelFocusProvider* o, zwlr_foreign_toplevel_handle_v1* p, std::uint32_t i)
        : owner(o), proxy(p), id(i) {}
    ~Handle() {
        if (proxy) zwlr_foreign_toplevel_handle_v1_destroy(proxy);
    }
};

namespace {

using Provider = ForeignToplevelFocusProvider;

constexpr std::uint32_t activatedState = ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;

void onTitle(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}
void onOutputEnter(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
void onOutputLeave(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
void onParent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}

void onAppId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
    auto* handle = static_cast<Provider::Handle*>(data);
    handle->owner->tracker().appId(handle->id, appId ? appId : "");
}

void onState(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
    auto* handle = static_cast<Provider::Handle*>(data);
    const auto* begin = static_cast<const std::uint32_t*>(states->data);
    const auto* end = begin + states->size / sizeof(std::uint32_t);
    handle->owner->tracker().state(handle->id, std::find(begin, end, activatedState) != end);
}

void onDone(void* data, zwlr_foreign_toplevel_handle_v1*) {
    auto* handle = static_cast<Provider::Handle*>(data);
    handle->owner->tracker().done(handle->id);
}

void onClosed(void* data, zwlr_foreign_toplevel_handle_v1*) {
    auto* handle = static_cast<Provider::Handle*>(data);
    handle->owner->toplevelClosed(handle);
}

const zwlr_foreign_toplevel_handle_v1_listener handleListener = {
    onTitle, onAppId, onOutputEnter, onOutputLeave, onState, onDone, onClosed, onParent,
};

void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
    static_cast<Provider*>(data)->toplevelCreated(handle);
}

void onFinished(void* data, zwlr_foreign_toplevel_manager_v1*) {
    static_cast<Provider*>(data)->managerFinished();
}

const zwlr_foreign_toplevel_manager_v1_listener managerListener = {onToplevel, onFinished};

struct Binding {
    wl_registry* registry = nullptr;
    zwlr_foreign_toplevel_manager_v1* manager = nullptr;
};

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
    auto* binding = static_cast<Binding*>(data);
    if (binding->manager || std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) != 0) return;
    const std::uint32_t wanted = std::min<std::uint32_t>(version, 3);
    binding->manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface, wanted));
}

void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

}  // namespace

// --- The provider ----------------------------------------------------------------------------------

std::unique_ptr<ForeignToplevelFocusProvider> ForeignToplevelFocusProvider::open(const char* displayName,
                                                                                  std::string* error,
                                                                                  std::chrono::milliseconds grace) {
    WaylandDisplayPtr display(wl_display_connect(displayName));
    if (!display) {
        if (error) *error = std::string("cannot connect to the Wayland display: ") + std::strerror(errno);
        return nullptr;
    }
    auto provider = std::make_unique<ForeignToplevelFocusProvider>(Owned{}, std::move(display), grace);
    if (!provider->bind(error)) return nullptr;
    return provider;
}

ForeignToplevelFocusProvider::ForeignToplevelFocusProvider(Owned, WaylandDisplayPtr display,
                                                           std::chrono::milliseconds grace)
    : display_(std::move(display)), tracker_(grace) {}

ForeignToplevelFocusProvider::~ForeignToplevelFocusProvider() {
    handles_.clear();
    if (manager_) zwlr_foreign_toplevel_manager_v1_destroy(manager_);
    if (display_) wl_display_flush(display_.get());
}

bool ForeignToplevelFocusProvider::bind(std::string* error) {
    Binding binding;
    binding.registry = wl_display_get_registry(display_.get());
    wl_registry_add_listener(binding.registry, &registryListener, &binding);
    const bool listed = wl_display_roundtrip(display_.get()) >= 0;
    wl_registry_destroy(binding.registry);
    if (!listed || !binding.manager) {
        if (binding.manager) zwlr_foreign_toplevel_manager_v1_destroy(binding.manager);
        if (error) {
            *error = listed ? "the compositor offers no zwlr_foreign_toplevel_manager_v1"
                            : "the Wayland display did not answer";
        }
        return false;
    }
    manager_ = binding.manager;
    zwlr_foreign_toplevel_manager_v1_add_listener(manager_, &managerListener, this);
    // The toplevels there are, each with its first app_id, state and done.
    if (wl_display_roundtrip(display_.get()) < 0) {
        if (error) *error = "the Wayland display did not answer";
        return false;
    }
    timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!set_.valid() || !timer_ || !set_.add(wl_display_get_fd(display_.get())) || !set_.add(timer_.get())) {
        if (error) *error = "cannot watch the Wayland connection";
        return false;
    }
    tracker_.settle(ToplevelFocusTracker::Clock::now());
    return true;
}

void ForeignToplevelFocusProvider::toplevelCreated(zwlr_foreign_toplevel_handle_v1* proxy) {
    const std::uint32_t id = nextId_++;
    auto handle = std::make_unique<Handle>(this, proxy, id);
    zwlr_foreign_toplevel_handle_v1_add_listener(proxy, &handleListener, handle.get());
    handles_.emplace(id, std::move(handle));
}

void ForeignToplevelFocusProvider::toplevelClosed(Handle* handle) {
    tracker_.closed(handle->id);
    handles_.erase(handle->id);  // destroys the proxy; no more events come for it
}

void ForeignToplevelFocusProvider::managerFinished() {
    manager_ = nullptr;  // the compositor destroyed it
    problem_ = "the compositor stopped reporting its windows";
}

std::optional<FrontmostApplication> ForeignToplevelFocusProvider::frontmost() {
    if (lost_ || !manager_) return std::nullopt;
    const auto& active = tracker_.current();
    if (!active || active->appId.empty()) return std::nullopt;
    FrontmostApplication app;
    app.appId = active->appId;
    app.windowClass = active->appId;
    return app;
}

void ForeignToplevelFocusProvider::lose(const std::string& why) {
    if (!display_ || lost_) return;
    lost_ = true;
    problem_ = why;
    set_.remove(wl_display_get_fd(display_.get()));
    set_.remove(timer_.get());
}

void ForeignToplevelFocusProvider::dispatch() {
    if (!display_ || lost_) return;
    wl_display* display = display_.get();
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n = ::read(timer_.get(), &expirations, sizeof expirations);
    bool failed = false;
    while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) {
            failed = true;
            break;
        }
    }
    if (!failed) {
        wl_display_flush(display);
        pollfd p{wl_display_get_fd(display), POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            failed = wl_display_read_events(display) < 0;
        } else {
            wl_display_cancel_read(display);
        }
        if (!failed) failed = wl_display_dispatch_pending(display) < 0;
    }
    if (failed || wl_display_get_error(display) != 0) {
        lose("the connection to the Wayland compositor failed");
        notifyChanged();
        return;
    }
    const bool hadProblem = problem_.has_value();
    if (settle() || (problem_ && !hadProblem)) notifyChanged();
}

bool ForeignToplevelFocusProvider::settle() {
    const bool changed = tracker_.settle(ToplevelFocusTracker::Clock::now());
    itimerspec when{};
    if (const auto deadline = tracker_.deadline()) {
        const auto left = std::max(std::chrono::nanoseconds(1), std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                                    *deadline - ToplevelFocusTracker::Clock::now()));
        when.it_value.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(left.count() % 1000000000);
    }
    ::timerfd_settime(timer_.get(), 0, &when, nullptr);
    return changed;
}

}  // namespace joyrelay
