// Flips sway's focus between two windows, by app id, every PERIOD milliseconds, N times, over one
// kept IPC connection (a command per switch, paced on a fixed schedule, not by the answers).
//
//   sway_focus_flap N PERIOD_MS APP_ID_A APP_ID_B
//
// Run by bench/sway_focus_flap.sh inside a headless sway session. Prints how many switches went out.
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/linux/focus/SwayFocusProvider.hpp"
#include "platform/linux/focus/UnixSocket.hpp"

using namespace joyrelay;

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: sway_focus_flap N PERIOD_MS APP_ID_A APP_ID_B\n");
        return 2;
    }
    const int switches = std::atoi(argv[1]);
    const std::chrono::milliseconds period(std::atoi(argv[2]));
    const char* socket = std::getenv("SWAYSOCK");
    std::string error;
    UniqueFd commands = socket ? unix_socket::connect(socket, &error) : UniqueFd();
    if (!commands) {
        std::fprintf(stderr, "sway_focus_flap: %s\n", socket ? error.c_str() : "SWAYSOCK is not set");
        return 2;
    }
    const std::string focus[2] = {std::string("[app_id=\"") + argv[3] + "\"] focus",
                                  std::string("[app_id=\"") + argv[4] + "\"] focus"};
    const auto start = std::chrono::steady_clock::now();
    std::string replies;
    int sent = 0;
    for (int i = 0; i < switches; ++i) {
        std::this_thread::sleep_until(start + period * i);
        if (unix_socket::writeAll(commands.get(), sway_ipc::encode(0, focus[i % 2]), std::chrono::milliseconds(500))) {
            ++sent;
        }
        unix_socket::readAvailable(commands.get(), replies);
        replies.clear();
    }
    std::printf("%d\n", sent);
    return sent == switches ? 0 : 1;
}
