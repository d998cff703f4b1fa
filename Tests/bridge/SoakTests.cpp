// Many claim / report / release cycles with every kind of ending: nothing leaks, no key stays down,
// and the statuses alternate between connected and searching.
#include <random>

#include "BridgeFixture.hpp"

namespace joyrelay::testing {

TEST_F(BridgeTest, TenThousandCyclesLeaveNoReferenceAndNoKeyDown) {
    Log::setListener(nullptr);  // keep memory flat; the lines are checked elsewhere
    std::mt19937 rng(7);
    auto stick = host.plug({});
    start();
    int down[keys::count] = {};
    auto account = [&] {
        for (const KeyEvent& e : keyEvents.posted()) {
            int& d = down[keys::index(*arcadeKey(e.virtualKey))];
            ASSERT_EQ(d, e.down ? 0 : 1) << "unbalanced event";
            d = e.down ? 1 : 0;
        }
        keyEvents.clear();
    };
    constexpr int cycles = 10000;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        ASSERT_TRUE(host.readPending(stick)) << "cycle " << cycle;
        const int reports = static_cast<int>(rng() % 6);
        for (int r = 0; r < reports; ++r) {
            auto bytes = report(static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()));
            bytes[6] = static_cast<std::uint8_t>(rng());
            bytes[7] = static_cast<std::uint8_t>(rng() % 4);
            bytes[11] = static_cast<std::uint8_t>(rng());
            gate = rng() % 5 != 0;
            ASSERT_TRUE(host.completeRead(stick, bytes));
            queue.runUntilIdle();
        }
        switch (rng() % 3) {
            case 0:  // unplugged, then plugged in again
                host.unplug(stick, static_cast<sim::PendingRead>(rng() % 3));
                queue.runUntilIdle();
                queue.advance(2s);
                stick = host.plug({});
                queue.runUntilIdle();
                break;
            case 1:  // a read error; the rescan claims it again
                ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::error));
                queue.runUntilIdle();
                queue.advance(2s);
                break;
            default:  // a refused read
                host.setFailures(stick, {.readSubmit = usb::UsbError{usb::Return::noResources, "f", "No resources"}});
                ASSERT_TRUE(host.completeRead(stick, report()));
                queue.runUntilIdle();
                host.setFailures(stick, {});
                queue.advance(2s);
                break;
        }
        account();
        for (int d : down) ASSERT_EQ(d, 0) << "a key left down in cycle " << cycle;
        mainQueue.runAll();
    }
    // Statuses strictly alternate: connected, searching, connected, ...
    const Statuses seen = takeStatuses();
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(2 * cycles + 1));
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i].which, i % 2 == 0 ? StickStatus::Case::connected : StickStatus::Case::searching) << i;
    }
    host.unplug(stick);
    queue.runAll();
    account();
    bridge.reset();
    EXPECT_EQ(host.liveReferences(), 0);
}

}  // namespace joyrelay::testing
