// Finding the stick and claiming it: what is logged, which statuses are published, what reaches the
// device, and how failures are retried.
#include "BridgeFixture.hpp"

namespace joyrelay::testing {

using S = StickStatus;

// --- Discovery ------------------------------------------------------------------------------------

TEST_F(BridgeTest, AnEmptyBusLogsAndPublishesNothing) {
    start();
    EXPECT_EQ(takeLog(), Lines{});
    EXPECT_EQ(takeStatuses(), Statuses{});
    EXPECT_EQ(queue.pendingTimers(), 0u);
}

TEST_F(BridgeTest, EveryDeviceIsLoggedAndTheStickIsClaimedInItsPlace) {
    DeviceSpec mouse{.vendor = 0x046d, .product = 0xc077, .deviceClass = 0, .productName = "USB Optical Mouse"};
    DeviceSpec dongle{.vendor = 0x2dc8, .product = 0x3106, .deviceClass = 0, .productName = "8BitDo Receiver"};
    DeviceSpec anonymous{.vendor = std::nullopt, .product = std::nullopt, .deviceClass = std::nullopt,
                         .productName = std::nullopt};
    host.plug(mouse);
    const auto dongleId = host.plug(dongle);
    const auto stick = host.plug({});
    const auto secondDongle = host.plug(dongle);  // met while the stick is claimed: passed over silently
    host.plug(anonymous);
    start();
    EXPECT_EQ(takeLog(), (Lines{
                             deviceLine("046d:c077", 0, "USB Optical Mouse"),
                             deviceLine("2dc8:3106", 0, "8BitDo Receiver"),
                             "skipping 2DC8 device of class 0 (not the Xbox stick \u2014 the 2.4G dongle cannot be "
                             "used on a Mac)",
                             deviceLine("2dc8:2004", 255),
                             claimLine(),
                             deviceLine("2dc8:3106", 0, "8BitDo Receiver"),
                             deviceLine("0000:0000", 0, "?"),
                             "power-on sent (5 bytes)",
                         }));
    EXPECT_EQ(takeStatuses(), Statuses{S::connected(label())});
    // The power-on, then the LED and the authentication-done packets with the next sequence numbers.
    EXPECT_EQ(host.outWrites(stick), (std::vector<std::vector<std::uint8_t>>{{0x05, 0x20, 0x00, 0x01, 0x00},
                                                                           {0x0A, 0x20, 0x01, 0x03, 0x00, 0x01, 0x14},
                                                                           {0x06, 0x20, 0x02, 0x02, 0x01, 0x00}}));
    EXPECT_EQ(host.openAttempts(dongleId), 0);
    EXPECT_EQ(host.openAttempts(secondDongle), 0);
    EXPECT_EQ(host.configureCalls(stick), 0);
    EXPECT_EQ(queue.pausedFor(), 0ns);
}

TEST_F(BridgeTest, AStickWithoutAProductNameIsLoggedWithAQuestionMark) {
    host.plug({.productName = std::nullopt});
    start();
    const Lines log = takeLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], deviceLine("2dc8:2004", 255, "?"));
    EXPECT_EQ(log[1], claimLine(label()));  // the label falls back to the stick's usual name
}

TEST_F(BridgeTest, AHostileProductNameCannotForgeLogLines) {
    std::string hostile = "Evil\nstick released: fake %n%s\r\x1b[2J";
    hostile += std::string(4096, 'A');
    host.plug({.productName = hostile});
    start();
    const Lines log = takeLog();
    ASSERT_EQ(log.size(), 3u);
    for (const std::string& line : log) {
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(line.find('\r'), std::string::npos);
        EXPECT_EQ(line.find('\x1b'), std::string::npos);
        EXPECT_LT(line.size(), 300u);
    }
    EXPECT_EQ(log[0].rfind("usb: 2dc8:2004 class 255 \u2014 Evil?stick released: fake %n%s??[2J", 0), 0u);
    const Statuses statuses = takeStatuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_LT(statuses[0].text.size(), 150u);
}

TEST_F(BridgeTest, DiscoverySetupFailuresSetTheErrorTextWithoutRetry) {
    host.failNotificationPort(true);
    start();
    EXPECT_EQ(takeStatuses(), Statuses{S::error("IONotificationPortCreate failed")});
    EXPECT_EQ(takeLog(), Lines{});
    EXPECT_EQ(queue.pendingTimers(), 0u);

    ManualQueue q2;
    ManualMainQueue m2;
    SimulatedUsbHost h2(q2);
    h2.plug({});
    h2.failMatchingNotification(0xe00002c7);
    auto b2 = StickBridge::create(q2, m2, h2, keyEvents, [] { return true; });
    Statuses seen;
    b2->onStatus = [&](const StickStatus& s) { seen.push_back(s); };
    b2->start();
    q2.runUntilIdle();
    m2.runAll();
    EXPECT_EQ(seen, Statuses{S::error("matching notification failed (0xe00002c7)")});
    EXPECT_EQ(q2.pendingTimers(), 0u);
    EXPECT_EQ(h2.openAttempts(1), 0);
}

TEST_F(BridgeTest, AStatusPublishedWhileNobodyListensIsLost) {
    bridge->onStatus = nullptr;
    const auto stick = host.plug({});
    start();  // connected: delivered to nobody
    bridge->onStatus = [this](const StickStatus& s) { statuses.push_back(s); };
    settle();
    EXPECT_EQ(takeStatuses(), Statuses{});  // not replayed
    host.unplug(stick);
    settle();
    EXPECT_EQ(takeStatuses(), Statuses{S::searching()});
}

TEST_F(BridgeTest, ARescanThatFindsNothingSchedulesNothing) {
    const auto stick = claimedStick();
    host.unplug(stick);
    settle();
    EXPECT_EQ(takeLog(), Lines{"stick released: stick unplugged"});
    EXPECT_EQ(queue.pendingTimers(), 1u);
    advance(2s);
    EXPECT_EQ(queue.pendingTimers(), 0u);
    EXPECT_EQ(takeLog(), Lines{});
    // Plugging it in again is seen by the arrival notice.
    const auto again = host.plug({});
    settle();
    EXPECT_TRUE(host.readPending(again));
    EXPECT_EQ(takeStatuses(), (Statuses{S::searching(), S::connected(label())}));
}

TEST_F(BridgeTest, ASecondStickWaitsUntilTheFirstIsReleased) {
    const auto first = claimedStick();
    const auto second = host.plug({.product = 0x2005});
    settle();
    EXPECT_EQ(takeLog(), Lines{deviceLine("2dc8:2005", 255)});
    EXPECT_EQ(host.openAttempts(second), 0);
    host.unplug(first);
    settle();
    advance(2s);
    EXPECT_TRUE(host.readPending(second));
    EXPECT_EQ(takeLog(), (Lines{"stick released: stick unplugged", claimLine(label("8BitDo Arcade Stick", 0x2005)),
                                "power-on sent (5 bytes)"}));
    EXPECT_EQ(takeStatuses(), (Statuses{S::searching(), S::connected(label("8BitDo Arcade Stick", 0x2005))}));
}

// --- Claim --------------------------------------------------------------------------------------

TEST_F(BridgeTest, InterfaceZeroAppearingAtTheLastProbeIsUsed) {
    const auto stick = host.plug({.interfaceAtProbe = 30});
    start();
    EXPECT_TRUE(host.readPending(stick));
    EXPECT_EQ(host.configureCalls(stick), 1);
    EXPECT_EQ(queue.pausedFor(), 3s);  // 30 pauses of 100 ms, the first one included
    EXPECT_EQ(takeStatuses(), Statuses{S::connected(label())});
}

TEST_F(BridgeTest, InterfaceZeroThatNeverAppearsFailsTheClaimAfterThreeSeconds) {
    const auto stick = host.plug({.interfaceAtProbe = -1});
    start();
    EXPECT_EQ(queue.pausedFor(), 3s);
    EXPECT_FALSE(host.deviceOpen(stick));
    const std::string text = "interface 0 did not appear after configuring the device";
    EXPECT_EQ(takeLog(), (Lines{deviceLine("2dc8:2004", 255), "setup failed: " + text + " \u2014 retrying in 5 s"}));
    EXPECT_EQ(takeStatuses(), Statuses{S::error(text)});
    EXPECT_EQ(queue.nextTimerIn(), std::optional<std::chrono::nanoseconds>(5s));
    advance(5s);
    EXPECT_EQ(host.openAttempts(stick), 2);
    EXPECT_EQ(takeStatuses(), Statuses{});  // the same error again is not published again
    EXPECT_EQ(host.liveReferences(), 0);
}

TEST_F(BridgeTest, EndpointChoiceFollowsTheLastEndpointOfEachDirection) {
    using E = usb::EndpointDescriptor;
    struct Case {
        std::vector<E> endpoints;
        std::size_t readSize;
        int in, out;
    } cases[] = {
        {{E{7, 5, 0x81, 3, 32, 1}, E{7, 5, 0x01, 3, 32, 1}, E{7, 5, 0x83, 3, 128, 1}}, 128, 0x83, 0x01},
        {{E{7, 5, 0x82, 3, 32, 1}, E{7, 5, 0x02, 3, 32, 1}}, 64, 0x82, 0x02},
        {{E{7, 5, 0x82, 3, 64, 1}, E{7, 5, 0x02, 3, 64, 1}}, 64, 0x82, 0x02},
        {{E{7, 5, 0x02, 3, 64, 1}, E{7, 5, 0x82, 3, 65, 1}, E{7, 5, 0x03, 3, 8, 1}}, 65, 0x82, 0x03},
    };
    for (const Case& c : cases) {
        ManualQueue q;
        ManualMainQueue m;
        SimulatedUsbHost h(q);
        const auto id = h.plug({.endpoints = c.endpoints});
        auto b = StickBridge::create(q, m, h, keyEvents, [] { return true; });
        takeLog();
        b->start();
        q.runUntilIdle();
        m.runAll();
        EXPECT_EQ(h.readBufferSize(id), c.readSize);
        const Lines log = takeLog();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[1], claimLine(label(), c.in, c.out));
    }
}

TEST_F(BridgeTest, AnInterfaceWithoutAnOutEndpointCannotBeClaimed) {
    using E = usb::EndpointDescriptor;
    const auto stick = host.plug({.endpoints = {E{7, 5, 0x81, 3, 32, 1}, E{7, 5, 0x82, 3, 32, 1}}});
    start();
    EXPECT_EQ(takeStatuses(), Statuses{S::error("interface 0 has no IN+OUT endpoint pair")});
    EXPECT_FALSE(host.deviceOpen(stick));
    EXPECT_EQ(host.liveReferences(), 0);
}

TEST_F(BridgeTest, AnUnexpectedProductIdIsNotedAndClaimedAnyway) {
    const auto stick = host.plug({.product = 0x1234});
    start();
    const Lines log = takeLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1], "note: unexpected product id 1234; trying anyway");
    EXPECT_EQ(log[2], claimLine(label("8BitDo Arcade Stick", 0x1234)));
    EXPECT_TRUE(host.readPending(stick));
}

TEST_F(BridgeTest, AStickHeldByAnotherProgramIsRetriedEveryFiveSeconds) {
    const auto stick = host.plug({.heldByOtherProgram = true});
    start();
    const std::string held = label() + " is held by another program (exclusive access) \u2014 retrying in 5 s";
    EXPECT_EQ(takeLog(), (Lines{deviceLine("2dc8:2004", 255), held}));
    for (int attempt = 2; attempt <= 4; ++attempt) {
        advance(4999ms);
        EXPECT_EQ(host.openAttempts(stick), attempt - 1);
        advance(1ms);
        EXPECT_EQ(host.openAttempts(stick), attempt);
        EXPECT_EQ(takeLog(), Lines{}) << "a retry for the same reason is counted, not logged";
    }
    EXPECT_EQ(takeStatuses(), Statuses{S::busy(label())});  // published once
    host.setHeldByOtherProgram(stick, false);
    advance(5s);
    EXPECT_TRUE(host.readPending(stick));
    EXPECT_EQ(takeStatuses(), Statuses{S::connected(label())});
    EXPECT_EQ(takeLog(), (Lines{label() + " is held by another program (exclusive access) \u2014 failed 4 times in a row",
                                claimLine(), "power-on sent (5 bytes)"}));
}

// A stick that cannot be claimed for a minute, on a bus of ten devices: each device is logged once,
// each reason once, and the count when the reason changes or the claim succeeds. (Each retry used
// to log the whole bus again: 11 lines every 5 s.)
TEST_F(BridgeTest, AClaimThatKeepsFailingLogsEachDeviceAndEachReasonOnce) {
    for (int i = 0; i < 9; ++i) {
        host.plug({.vendor = 0x046d, .product = 0xc000 + i, .deviceClass = 0, .productName = "Mouse"});
    }
    const auto stick = host.plug({.heldByOtherProgram = true});
    start();
    EXPECT_EQ(takeLog().size(), 11u) << "ten devices and the reason";
    advance(30s);
    const usb::UsbError denied{usb::Return::notPermitted, "LIBUSB_ERROR_ACCESS: Access denied", "Access denied"};
    host.setHeldByOtherProgram(stick, false);
    host.setFailures(stick, {.open = denied});
    advance(30s);
    EXPECT_EQ(host.openAttempts(stick), 13);
    host.setFailures(stick, {});
    advance(5s);
    ASSERT_TRUE(host.readPending(stick));
    EXPECT_EQ(takeLog(), (Lines{
                             label() + " is held by another program (exclusive access) \u2014 failed 7 times in a row",
                             "open failed: LIBUSB_ERROR_ACCESS: Access denied \u2014 retrying in 5 s",
                             "open failed: LIBUSB_ERROR_ACCESS: Access denied \u2014 failed 6 times in a row",
                             claimLine(),
                             "power-on sent (5 bytes)",
                         }));
    // A device that leaves and comes back is logged again; one that stays is not.
    host.plug({.vendor = 0x046d, .product = 0xc000, .deviceClass = 0, .productName = "Mouse"});
    settle();
    EXPECT_EQ(takeLog(), Lines{deviceLine("046d:c000", 0, "Mouse")});
}

TEST_F(BridgeTest, RePluggingAStickHeldByAnotherProgramKeepsOneRetryPending) {
    auto stick = host.plug({.heldByOtherProgram = true});
    start();
    for (int plug = 0; plug < 10; ++plug) {
        advance(300ms);
        host.unplug(stick);
        settle();
        stick = host.plug({.heldByOtherProgram = true});
        settle();
        EXPECT_EQ(host.openAttempts(stick), 1) << "each arrival is tried at once";
    }
    EXPECT_EQ(queue.pendingTimers(), 1u);
    // From now on: one claim attempt every 5 s, not one per plug.
    for (int period = 1; period <= 4; ++period) {
        advance(5s);
        EXPECT_EQ(host.openAttempts(stick), 1 + period);
        EXPECT_EQ(queue.pendingTimers(), 1u);
    }
    host.setHeldByOtherProgram(stick, false);
    advance(5s);
    EXPECT_TRUE(host.readPending(stick));
}

TEST_F(BridgeTest, OpenAndSetupFailuresAreReportedGivenBackAndRetried) {
    struct Case {
        sim::Failures failures;
        std::string logLine;
        StickStatus status;
    };
    const usb::UsbError denied{usb::Return::notPermitted, "LIBUSB_ERROR_ACCESS: Access denied (insufficient permissions)",
                               "Access denied (insufficient permissions)"};
    const usb::UsbError io{usb::Return::error, "full text", "Input/Output Error"};
    Case cases[] = {
        {{.open = denied}, "open failed: " + denied.description + " \u2014 retrying in 5 s",
         S::error("cannot open the stick: " + denied.localizedDescription)},
        {{.interfaceOpen = io}, "setup failed: Input/Output Error \u2014 retrying in 5 s", S::error("Input/Output Error")},
        {{.pipeOpen = {{0x02, io}}}, "setup failed: Input/Output Error \u2014 retrying in 5 s", S::error("Input/Output Error")},
        {{.powerOnSubmit = io}, "setup failed: Input/Output Error \u2014 retrying in 5 s", S::error("Input/Output Error")},
    };
    for (const Case& c : cases) {
        ManualQueue q;
        ManualMainQueue m;
        SimulatedUsbHost h(q);
        const auto id = h.plug({});
        h.setFailures(id, c.failures);
        auto b = StickBridge::create(q, m, h, keyEvents, [] { return true; });
        Statuses seen;
        b->onStatus = [&](const StickStatus& s) { seen.push_back(s); };
        takeLog();
        b->start();
        q.runUntilIdle();
        m.runAll();
        const Lines log = takeLog();
        EXPECT_EQ(log.back(), c.logLine);
        EXPECT_EQ(seen, Statuses{c.status});
        EXPECT_FALSE(h.deviceOpen(id));
        EXPECT_FALSE(h.readPending(id));
        EXPECT_EQ(h.liveReferences(), 0) << c.logLine;
        EXPECT_EQ(q.nextTimerIn(), std::optional<std::chrono::nanoseconds>(5s));
        h.setFailures(id, {});
        q.advance(5s);
        m.runAll();
        EXPECT_TRUE(h.readPending(id)) << "recovered on the next attempt";
    }
}

// Failed writes: each claim packet's failure is logged once, the acknowledgements' failures once per claim,
// and the stick stays connected and reading.
TEST_F(BridgeTest, FailedWritesLeaveTheStickConnectedAndReadingAndAreLoggedOnce) {
    const auto stick = host.plug({});
    host.setFailures(stick, {.powerOnStatus = usb::Return::pipeStalled});
    start();
    const Lines log = takeLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Lines(log.end() - 3, log.end()), (Lines{"power-on write failed (0xe000404f)",
                                                      "LED packet write failed (0xe000404f)",
                                                      "authentication-done packet write failed (0xe000404f)"}));
    EXPECT_EQ(takeStatuses(), Statuses{S::connected(label())});
    const std::vector<std::uint8_t> askingGuide = {0x07, 0x30, 0x11, 0x02, 0x01, 0x5b};
    send(stick, askingGuide);
    send(stick, report(A));
    send(stick, askingGuide);
    EXPECT_EQ(takeLog(), (Lines{"acknowledgement write failed (0xe000404f) \u2014 later failures go unlogged until "
                                "the stick is claimed again"}));
    EXPECT_EQ(takeKeys(), Lines{"down Space"});
    EXPECT_EQ(host.outWrites(stick).size(), 5u) << "each request was answered";
    EXPECT_TRUE(host.readPending(stick));
}

}  // namespace joyrelay::testing
