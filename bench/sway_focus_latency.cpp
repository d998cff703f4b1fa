// Gate latency on sway: the time from a focus switch (a sway command sent over its IPC) until a
// focus provider answers with the new application, for the sway IPC provider and the wlr
// foreign-toplevel provider side by side. The providers are used as the program uses them: the sway
// provider is asked only after its notice, the foreign-toplevel one after each dispatch.
//
// Run by bench/sway_focus_latency.sh inside a headless sway session with two windows whose app ids
// are "firefox" (a browser) and "foot" (not one). Prints the median, minimum and maximum of N
// switches (default 20) for each provider.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gate/BrowserGuard.hpp"
#include "platform/linux/focus/ForeignToplevelFocusProvider.hpp"
#include "platform/linux/focus/SwayFocusProvider.hpp"
#include "platform/linux/focus/UnixSocket.hpp"

using namespace joyrelay;
using Clock = std::chrono::steady_clock;

namespace {

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void report(const char* name, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    std::printf("%-22s median %7.2f ms   min %7.2f ms   max %7.2f ms   (%zu switches)\n", name, median,
                samples.front(), samples.back(), n);
}

}  // namespace

int main(int argc, char** argv) {
    const int switches = argc > 1 ? std::atoi(argv[1]) : 20;
    const char* socket = std::getenv("SWAYSOCK");
    if (!socket) {
        std::fprintf(stderr, "sway_focus_latency: SWAYSOCK is not set\n");
        return 2;
    }
    std::string error;
    auto sway = SwayFocusProvider::open(socket, &error);
    auto toplevels = sway ? ForeignToplevelFocusProvider::open(nullptr, &error) : nullptr;
    UniqueFd commands = unix_socket::connect(socket, &error);
    if (!sway || !toplevels || !commands) {
        std::fprintf(stderr, "sway_focus_latency: %s\n", error.c_str());
        return 2;
    }
    bool swayNotice = false;
    sway->setChangeHandler([&] { swayNotice = true; });

    std::vector<double> swaySamples, toplevelSamples;
    std::string replies;
    for (int i = -2; i < switches; ++i) {  // two rounds to settle first
        const bool toBrowser = i % 2 == 0;
        const std::string command = toBrowser ? "[app_id=\"firefox\"] focus" : "[app_id=\"foot\"] focus";
        swayNotice = false;
        const Clock::time_point start = Clock::now();
        unix_socket::writeAll(commands.get(), sway_ipc::encode(0, command), std::chrono::milliseconds(500));
        std::optional<Clock::time_point> swayAt, toplevelAt;
        while ((!swayAt || !toplevelAt) && Clock::now() - start < std::chrono::seconds(5)) {
            pollfd fds[3] = {{sway->fd(), POLLIN, 0}, {toplevels->fd(), POLLIN, 0}, {commands.get(), POLLIN, 0}};
            if (::poll(fds, 3, 100) <= 0) continue;
            if (fds[0].revents) {
                sway->dispatch();
                if (swayNotice && !swayAt) {
                    swayNotice = false;
                    if (BrowserGuard::isBrowser(sway->frontmost()) == toBrowser) swayAt = Clock::now();
                }
            }
            if (fds[1].revents) {
                toplevels->dispatch();
                if (!toplevelAt && BrowserGuard::isBrowser(toplevels->frontmost()) == toBrowser) {
                    toplevelAt = Clock::now();
                }
            }
            if (fds[2].revents) unix_socket::readAvailable(commands.get(), replies);
        }
        if (i < 0) continue;  // settling rounds: the first may ask for the window already in front
        if (!swayAt || !toplevelAt) {
            std::fprintf(stderr, "sway_focus_latency: switch %d was not seen by %s\n", i,
                         swayAt ? "foreign-toplevel" : "sway IPC");
            return 1;
        }
        swaySamples.push_back(milliseconds(*swayAt - start));
        toplevelSamples.push_back(milliseconds(*toplevelAt - start));
    }
    std::printf("Gate latency on sway, from the focus command to the provider's new answer\n");
    report("sway IPC", swaySamples);
    report("wlr foreign toplevel", toplevelSamples);
    return 0;
}
