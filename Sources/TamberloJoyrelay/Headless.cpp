#include "Headless.hpp"

#include <csignal>
#include <cstdio>
#include <future>

#include "Log.hpp"
#include "Platform.hpp"
#include "Queues.hpp"
#include "StatusText.hpp"
#include "StickBridge.hpp"
#include "simulated/PrintedKeyEvents.hpp"

#ifndef JOYRELAY_VERSION
#define JOYRELAY_VERSION "dev"
#endif

namespace joyrelay {

int runHeadless(const Options& /*options*/) {
    // SIGINT and SIGTERM are taken with sigwait below; block them before any thread starts.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    Log::info(std::string("Tamberlo Joyrelay ") + JOYRELAY_VERSION + " starting (headless)");
    const auto started = std::chrono::steady_clock::now();
    PrintedKeyEvents printed(stdout, [started] {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    });

    AsioSerialQueue queue;
    ThreadMainQueue mainQueue;
    std::unique_ptr<usb::UsbHost> host = makePlatformUsbHost(queue);
    auto bridge = StickBridge::create(queue, mainQueue, *host, printed, [] { return true; });
    bridge->onStatus = [](const StickStatus& status) { Log::info(stickLine(status)); };
    bridge->start();

    int signal = 0;
    sigwait(&stop, &signal);

    std::promise<void> released;
    bridge->releaseHeldKeys([&released] { released.set_value(); });
    released.get_future().wait();
    std::fflush(stdout);
    Log::info("quit");
    return 0;
}

}  // namespace joyrelay
