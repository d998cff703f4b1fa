// The bridge on a virtual clock: the real StickBridge over the simulated USB host, a manual serial
// queue and main queue, recorded key events and the log lines it writes.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "log/Log.hpp"
#include "queues/Queues.hpp"
#include "support/ManualQueues.hpp"
#include "support/Reports.hpp"
#include "bridge/StickBridge.hpp"
#include "support/RecordingKeyEvents.hpp"
#include "platform/simulated/SimulatedUsbHost.hpp"

namespace joyrelay {
inline void PrintTo(const StickStatus& s, std::ostream* os) {
    static const char* names[] = {"connected", "busy", "error", "searching"};
    *os << names[static_cast<int>(s.which)] << "(" << s.text << ")";
}
}  // namespace joyrelay

namespace joyrelay::testing {

using namespace std::chrono_literals;
using sim::DeviceSpec;
using sim::SimulatedUsbHost;

// Byte 4 / byte 5 masks of some keys.
inline constexpr std::uint8_t A = 0x10, B = 0x20, Menu = 0x04;
inline constexpr std::uint8_t Left = 0x04, LB = 0x10;

class BridgeTest : public ::testing::Test {
protected:
    ManualQueue queue;
    ManualMainQueue mainQueue;
    SimulatedUsbHost host{queue};
    RecordingKeyEvents keyEvents;
    bool gate = true;
    std::shared_ptr<StickBridge> bridge;
    std::vector<StickStatus> statuses;

    void SetUp() override {
        Log::setListener([this](std::string_view line) {
            std::lock_guard lock(logMutex_);
            log_.emplace_back(line);
        });
        bridge = StickBridge::create(queue, mainQueue, host, keyEvents, [this] { return gate; });
        bridge->onStatus = [this](const StickStatus& s) { statuses.push_back(s); };
    }
    void TearDown() override { Log::setListener(nullptr); }

    // Runs the bridge queue and then the main queue until both are idle.
    void settle() {
        queue.runUntilIdle();
        mainQueue.runAll();
    }
    void start() {
        bridge->start();
        settle();
    }
    void advance(std::chrono::nanoseconds d) {
        queue.advance(d);
        mainQueue.runAll();
    }
    void send(SimulatedUsbHost::DeviceId id, const std::vector<std::uint8_t>& bytes) {
        ASSERT_TRUE(host.completeRead(id, bytes)) << "no read in flight";
        settle();
    }

    std::vector<std::string> takeLog() {
        std::lock_guard lock(logMutex_);
        return std::exchange(log_, {});
    }
    // "down Space" / "up Shift" for each posted event since the last call.
    std::vector<std::string> takeKeys() {
        std::vector<std::string> out;
        for (const KeyEvent& e : keyEvents.posted()) {
            out.push_back(std::string(e.down ? "down " : "up ") + std::string(name(*arcadeKey(e.virtualKey))));
        }
        keyEvents.clear();
        return out;
    }
    std::vector<StickStatus> takeStatuses() { return std::exchange(statuses, {}); }

    static std::string label(const char* name = "8BitDo Arcade Stick", int product = 0x2004) {
        char text[128];
        std::snprintf(text, sizeof text, "%s (2dc8:%04x)", name, product);
        return text;
    }
    static std::string claimLine(const std::string& l = label(), int in = 0x82, int out = 0x02) {
        char text[256];
        std::snprintf(text, sizeof text, "%s claimed: ep_in 0x%02x ep_out 0x%02x \u2014 typing keys into the frontmost browser",
                      l.c_str(), in, out);
        return text;
    }
    static std::string deviceLine(const char* ids, int cls, const char* name = "8BitDo Arcade Stick") {
        return std::string("usb: ") + ids + " class " + std::to_string(cls) + " \u2014 " + name;
    }

    // A claimed stick with the claim's log, keys and statuses taken.
    SimulatedUsbHost::DeviceId claimedStick(DeviceSpec description = {}) {
        const auto id = host.plug(std::move(description));
        start();
        EXPECT_TRUE(host.readPending(id));
        takeLog();
        takeStatuses();
        return id;
    }

private:
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

using Lines = std::vector<std::string>;
using Statuses = std::vector<StickStatus>;

}  // namespace joyrelay::testing
