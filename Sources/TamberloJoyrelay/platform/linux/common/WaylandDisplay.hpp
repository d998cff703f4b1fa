// An owned connection to the Wayland compositor, separate from the toolkit's: each user of one
// (the foreign-toplevel focus provider on the main thread, the virtual keyboard on the bridge
// queue) has its own, so that no connection is shared between threads.
#pragma once

#include <wayland-client.h>

#include <memory>

namespace joyrelay {

struct WaylandDisplayDisconnect {
    void operator()(wl_display* display) const { wl_display_disconnect(display); }
};
using WaylandDisplayPtr = std::unique_ptr<wl_display, WaylandDisplayDisconnect>;

}  // namespace joyrelay
