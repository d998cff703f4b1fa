#include "platform/linux/keys/FakeInputKeyEvents.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/linux/common/Executables.hpp"
#include "platform/linux/keys/KeyCodes.hpp"
#include "platform/linux/keys/ProgramEnd.hpp"

#include "fake-input-client-protocol.h"

namespace joyrelay {

namespace {

constexpr std::uint32_t fakeInputVersion = 4;  // the first with keyboard_key

constexpr auto guardStartLimit = std::chrono::seconds(5);
constexpr auto seatLimit = std::chrono::seconds(5);
constexpr const char* guardReady = "ready\n";

struct Binding {
    wl_registry* registry = nullptr;
    org_kde_kwin_fake_input* fake = nullptr;
    std::uint32_t offeredVersion = 0;
    wl_seat* seat = nullptr;
    std::uint32_t capabilities = 0;
    bool capabilitiesSeen = false;
};

void onCapabilities(void* data, wl_seat*, std::uint32_t capabilities) {
    auto* binding = static_cast<Binding*>(data);
    binding->capabilities = capabilities;
    binding->capabilitiesSeen = true;
}
void onSeatName(void*, wl_seat*, const char*) {}
const wl_seat_listener seatListener = {onCapabilities, onSeatName};

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t version) {
    auto* binding = static_cast<Binding*>(data);
    if (!binding->seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
        binding->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        wl_seat_add_listener(binding->seat, &seatListener, binding);
        return;
    }
    if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) != 0) return;
    binding->offeredVersion = version;
    if (version >= fakeInputVersion && !binding->fake) {
        binding->fake = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, fakeInputVersion));
    }
}

void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

// Reads what the compositor sent, waiting up to `wait` for it. False once the connection has failed.
bool readEvents(wl_display* display, std::chrono::milliseconds wait) {
    while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) return false;
    }
    wl_display_flush(display);
    pollfd readable{wl_display_get_fd(display), POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(wait.count())) > 0) {
        if (wl_display_read_events(display) < 0) return false;
    } else {
        wl_display_cancel_read(display);
    }
    return wl_display_dispatch_pending(display) >= 0 && wl_display_get_error(display) == 0;
}

// Connects and binds org_kde_kwin_fake_input and the seat, authenticates, and waits until KWin has
// answered a round trip after that with the seat showing a keyboard: KWin adds the device to its seat
// when the protocol is bound and grants the authentication at once, so from then on its keys count.
// Returns the reason when that fails.
std::string bindFakeInput(wl_display* display, Binding& binding, const std::string& displayName) {
    binding.registry = wl_display_get_registry(display);
    wl_registry_add_listener(binding.registry, &registryListener, &binding);
    if (wl_display_roundtrip(display) < 0) return "the Wayland display " + displayName + " closed the connection";
    if (!binding.fake) {
        if (binding.offeredVersion > 0) {
            return "the compositor offers org_kde_kwin_fake_input only in version " +
                   std::to_string(binding.offeredVersion) + ", without keyboard keys";
        }
        return "the compositor does not offer org_kde_kwin_fake_input to this program (KWin offers it to "
               "programs its desktop file authorises)";
    }
    org_kde_kwin_fake_input_authenticate(binding.fake, "Tamberlo Joyrelay",
                                         "types the arcade stick's keys into the browser in front");
    if (wl_display_roundtrip(display) < 0) return "KWin closed the connection after org_kde_kwin_fake_input was bound";
    const auto until = std::chrono::steady_clock::now() + seatLimit;
    while (binding.seat && !(binding.capabilities & WL_SEAT_CAPABILITY_KEYBOARD)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return "KWin's seat shows no keyboard after org_kde_kwin_fake_input was bound";
        if (!readEvents(display, std::chrono::ceil<std::chrono::milliseconds>(until - now))) {
            return "KWin closed the connection while adding the fake keyboard";
        }
    }
    return {};
}

void ignoreEndingSignals() {
    // A closed terminal or Ctrl+C ends the program, which is when the guard is needed.
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU}) std::signal(signal, SIG_IGN);
}

}  // namespace

int runFakeInputGuard(int argc, char** argv) {
    ignoreEndingSignals();
    const pid_t program = argc >= 3 ? static_cast<pid_t>(std::strtol(argv[2], nullptr, 10)) : 0;
    if (program <= 0) {
        std::fputs("usage: tamberlo-joyrelay --fake-input-guard PID (started by the program itself)\n", stderr);
        return 2;
    }
    errno = 0;
    const int programEnd = linux_keys::openProgramEnd(program);
    const int why = errno;
    if (programEnd < 0 && why == ESRCH) return 0;  // ended already, before it could press anything
    if (programEnd < 0) {
        std::fputs("tamberlo-joyrelay fake-input guard: the kernel has no pidfd_open; watching the program's pipe\n",
                   stderr);
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "tamberlo-joyrelay fake-input guard: cannot connect to the Wayland display: %s\n",
                     std::strerror(errno));
        return 1;
    }
    Binding binding;
    if (const std::string problem = bindFakeInput(display, binding, "$WAYLAND_DISPLAY"); !problem.empty()) {
        std::fprintf(stderr, "tamberlo-joyrelay fake-input guard: %s\n", problem.c_str());
        return 1;
    }
    // Tell the program its guard stands, then keep nothing else open towards it.
    if (::write(STDOUT_FILENO, guardReady, std::strlen(guardReady)) < 0) return 1;
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, STDOUT_FILENO);
        ::close(devNull);
    }
    // Wait for the program's end; read KWin's few events meanwhile so that they never pile up.
    pollfd watch[3] = {{STDIN_FILENO, POLLIN, 0}, {wl_display_get_fd(display), POLLIN, 0}, {programEnd, POLLIN, 0}};
    const nfds_t count = programEnd >= 0 ? 3 : 2;
    for (bool ended = false; !ended;) {
        while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
        wl_display_flush(display);
        if (::poll(watch, count, -1) < 0) {
            wl_display_cancel_read(display);
            if (errno == EINTR) continue;
            break;
        }
        if (watch[1].revents & POLLIN) {
            wl_display_read_events(display);
        } else {
            wl_display_cancel_read(display);
        }
        if (wl_display_dispatch_pending(display) < 0 || (watch[1].revents & (POLLHUP | POLLERR))) return 1;  // KWin gone
        if (programEnd >= 0 && linux_keys::programEnded(watch[2])) break;
        if (watch[0].revents != 0) {
            char buffer[64];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            ended = n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
        }
    }
    // KWin's seat keeps a key down until some device lets go of it, whichever device pressed it.
    for (const linux_keys::KeyCodeEntry& entry : linux_keys::keyCodeTable()) {
        org_kde_kwin_fake_input_keyboard_key(binding.fake, entry.evdev, WL_KEYBOARD_KEY_STATE_RELEASED);
    }
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return 0;
}

void FakeInputKeyEvents::DisplayDisconnect::operator()(wl_display* display) const {
    wl_display_disconnect(display);
}
void FakeInputKeyEvents::RegistryDestroy::operator()(wl_registry* registry) const {
    wl_registry_destroy(registry);
}
void FakeInputKeyEvents::FakeInputDestroy::operator()(org_kde_kwin_fake_input* fake) const {
    org_kde_kwin_fake_input_destroy(fake);
}

std::unique_ptr<FakeInputKeyEvents> FakeInputKeyEvents::create(std::string* error,
                                                               const std::optional<std::filesystem::path>& guard) {
    const auto fail = [error](std::string why) -> std::unique_ptr<FakeInputKeyEvents> {
        if (error) *error = std::move(why);
        return nullptr;
    };
    const char* name = std::getenv("WAYLAND_DISPLAY");
    auto self = std::make_unique<FakeInputKeyEvents>(Owned{});
    self->displayName_ = name && *name ? name : "wayland-0";
    // The guard's device first: adding a device changes the seat (every client then re-creates its
    // keyboard), and this one's own device, added after, changes nothing more.
    if (guard) self->startGuard(*guard);
    self->display_.reset(wl_display_connect(nullptr));
    if (!self->display_) {
        return fail("cannot connect to the Wayland display " + self->displayName_ + ": " +
                    std::strerror(errno));
    }
    Binding binding;
    const std::string problem = bindFakeInput(self->display_.get(), binding, self->displayName_);
    self->registry_.reset(binding.registry);
    self->seat_ = binding.seat;
    self->fake_.reset(binding.fake);
    if (!problem.empty()) return fail(problem);
    return self;
}

void FakeInputKeyEvents::startGuard(const std::filesystem::path& program) {
    int toGuard[2], fromGuard[2];
    if (::pipe2(toGuard, O_CLOEXEC) != 0) {
        guardProblem_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    if (::pipe2(fromGuard, O_CLOEXEC) != 0) {
        guardProblem_ = std::string("pipe: ") + std::strerror(errno);
        ::close(toGuard[0]);
        ::close(toGuard[1]);
        return;
    }
    std::vector<std::string> args{program.string(), "--fake-input-guard", std::to_string(::getpid())};
    std::string error;
    const pid_t pid = startGuardProcess(args, toGuard[0], fromGuard[1], &error);
    ::close(toGuard[0]);
    ::close(fromGuard[1]);
    if (pid < 0) {
        ::close(toGuard[1]);
        ::close(fromGuard[0]);
        guardProblem_ = error;
        return;
    }
    guardPipe_ = toGuard[1];
    guardPid_ = pid;
    // Wait for its word that its own device is on KWin's seat.
    std::string heard;
    const auto until = std::chrono::steady_clock::now() + guardStartLimit;
    for (auto now = std::chrono::steady_clock::now(); now < until && heard.size() < std::strlen(guardReady);
         now = std::chrono::steady_clock::now()) {
        pollfd readable{fromGuard[0], POLLIN, 0};
        const int waitMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
        if (::poll(&readable, 1, waitMs) <= 0) continue;
        char buffer[16];
        const ssize_t n = ::read(fromGuard[0], buffer, sizeof buffer);
        if (n <= 0) break;
        heard.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fromGuard[0]);
    if (heard != guardReady) {
        guardProblem_ = "the fake-input guard did not get KWin's fake input (see its message on standard error)";
        stopGuard();
    }
}

void FakeInputKeyEvents::stopGuard() {
    if (guardPipe_ >= 0) ::close(guardPipe_);
    guardPipe_ = -1;
    if (guardPid_ > 0) {
        while (::waitpid(guardPid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    guardPid_ = -1;
}

FakeInputKeyEvents::FakeInputKeyEvents(Owned) {}

FakeInputKeyEvents::~FakeInputKeyEvents() {
    releaseKeysDown();
    if (connected()) {
        wl_display_roundtrip(display_.get());  // KWin has read (and acted on) every request
    }
    fake_.reset();
    if (seat_) wl_seat_destroy(seat_);
    registry_.reset();
    display_.reset();
    stopGuard();  // it lets go of the keys once more, harmlessly, and ends
}

void FakeInputKeyEvents::sync() {
    if (connected()) wl_display_roundtrip(display_.get());
}

bool FakeInputKeyEvents::connected() const {
    return display_ && fake_ && wl_display_get_error(display_.get()) == 0;
}

void FakeInputKeyEvents::readPendingEvents() {
    readEvents(display_.get(), std::chrono::milliseconds(0));
}

void FakeInputKeyEvents::sendKey(std::uint16_t evdev, bool down) {
    readPendingEvents();
    org_kde_kwin_fake_input_keyboard_key(fake_.get(), evdev,
                                         down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    wl_display_flush(display_.get());
}

}  // namespace joyrelay
