// Reading reports and posting their keys; releasing the stick and claiming it again.
#include "BridgeFixture.hpp"
#include "app/StatusText.hpp"

namespace joyrelay::testing {

using S = StickStatus;

// --- Reading ------------------------------------------------------------------------------------

TEST_F(BridgeTest, ReportsBecomeKeysWithOneReadInFlight) {
    const auto stick = claimedStick();
    EXPECT_EQ(host.readsSubmitted(stick), 1);
    send(stick, report(A, LB));
    EXPECT_EQ(takeKeys(), (Lines{"down Shift", "down Space"}));
    EXPECT_EQ(host.readsSubmitted(stick), 2);
    EXPECT_EQ(keyEvents.posted().size(), 0u);
    send(stick, report(B));
    EXPECT_EQ(takeKeys(), (Lines{"up Shift", "up Space", "down z"}));
    EXPECT_EQ(host.readsSubmitted(stick), 3);
}

TEST_F(BridgeTest, TransfersThatAreNotReportsChangeNothingAndReadingGoesOn) {
    const auto stick = claimedStick();
    send(stick, report(A));
    takeKeys();
    ASSERT_TRUE(host.completeRead(stick, {}));  // zero bytes
    settle();
    send(stick, {0x07, 0x20, 0x01});
    send(stick, report(0, 0, 17));
    EXPECT_EQ(takeKeys(), Lines{});
    EXPECT_EQ(host.readsSubmitted(stick), 5);
    EXPECT_TRUE(host.readPending(stick));
}

// Writes the stick does not take never hold up reading: acknowledgements queue behind a few writes in
// flight, a flood of requests is answered only as far as the bounded queue goes, and what waited goes
// out once the stick takes writes again.
TEST_F(BridgeTest, WritesInFlightAreBoundedAndNeverDelayTheReadLoop) {
    const auto stick = claimedStick();
    host.holdWrites(stick, true);
    for (int i = 0; i < 1000; ++i) {
        send(stick, {0x07, 0x30, static_cast<std::uint8_t>(i), 0x02, static_cast<std::uint8_t>(i & 1), 0x5b});
        if (i == 500) send(stick, report(A));
    }
    EXPECT_EQ(takeKeys(), Lines{"down Space"});
    EXPECT_TRUE(host.readPending(stick)) << "one read in flight all along";
    EXPECT_EQ(host.writesInFlight(stick), 4);
    EXPECT_EQ(host.mostWritesInFlight(stick), 4);
    EXPECT_EQ(host.completeHeldWrites(stick), 4u);
    settle();  // the sixteen that waited go out, four at a time
    while (host.completeHeldWrites(stick) > 0) settle();
    const auto writes = host.outWrites(stick);
    ASSERT_EQ(writes.size(), 3u + 4u + 16u);
    // Oldest first: requests 0 to 19 were answered, with their sequence numbers and commands.
    EXPECT_EQ(writes[3], (std::vector<std::uint8_t>{0x01, 0x20, 0x00, 0x09, 0x00, 0x07, 0x20, 0x02, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(writes.back()[2], 19);
    EXPECT_EQ(host.mostWritesInFlight(stick), 4);
    EXPECT_EQ(takeLog(), Lines{}) << "dropping an answer the stick will ask for again is no failure";
}

// Interface 1 (audio) is set to its alternate setting 0 before anything is sent; a refusal is noted
// once and the claim goes on.
TEST_F(BridgeTest, TheAudioInterfaceGetsAlternateSettingZeroAndARefusalIsOnlyNoted) {
    const auto stick = claimedStick({.audioSettings = 2});
    EXPECT_EQ(host.alternateSettingsSelected(stick), (std::vector<std::pair<int, int>>{{1, 0}}));
    host.setFailures(stick, {.selectAlternateSetting = usb::UsbError{usb::Return::pipeStalled, "stalled (full)", "stalled"}});
    ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::error));
    settle();
    advance(2s);
    EXPECT_EQ(takeLog(), (Lines{"stick released: read error 0xe00002bc",
                                "note: alternate setting 0 of interface 1 not selected \u2014 stalled (full)",
                                claimLine(), "power-on sent (5 bytes)"}));
    EXPECT_TRUE(host.readPending(stick));
}

TEST_F(BridgeTest, AReadLongerThanTheBufferIsClipped) {
    const auto stick = claimedStick();
    std::vector<std::uint8_t> big = report(A, 0, 200);
    ASSERT_TRUE(host.completeRead(stick, big, 0, 5000));
    settle();
    EXPECT_EQ(takeKeys(), Lines{"down Space"});
    EXPECT_TRUE(host.readPending(stick));
}

TEST_F(BridgeTest, AClosedGateHoldsBackPressesButNotReleases) {
    const auto stick = claimedStick();
    gate = false;
    send(stick, report(A));
    EXPECT_EQ(takeKeys(), Lines{});
    gate = true;
    send(stick, report(A));
    EXPECT_EQ(takeKeys(), Lines{"down Space"});
    send(stick, report(A, Left));
    EXPECT_EQ(takeKeys(), Lines{"down ArrowLeft"});
    send(stick, report(0, Left));
    EXPECT_EQ(takeKeys(), Lines{"up Space"});
}

// An output that its compositor has not confirmed yet takes no press: the keys still wanted when it
// is confirmed go down then (gate open), a key let go before never does, and no key counts as held
// that did not go out.
TEST_F(BridgeTest, KeysWantedBeforeTheOutputIsReadyGoDownWhenItIsAndOnlyThoseStillWanted) {
    keyEvents.startNotReady();
    const auto stick = claimedStick();
    send(stick, report(A, LB));
    send(stick, report(A));  // Shift let go before the output is ready
    EXPECT_EQ(takeKeys(), Lines{});
    keyEvents.becomeReady();
    settle();
    EXPECT_EQ(takeKeys(), Lines{"down Space"});
    send(stick, report(0));
    EXPECT_EQ(takeKeys(), Lines{"up Space"});

    keyEvents.startNotReady();  // the output lost its connection: nothing is held, nothing pressed
    send(stick, report(B));
    send(stick, report(0));
    keyEvents.becomeReady();  // the bridge asked only once; nothing is waiting now
    settle();
    EXPECT_EQ(takeKeys(), Lines{});
}

TEST_F(BridgeTest, AKeyWantedWhenTheOutputBecomesReadyStaysUpWhileTheGateIsClosedAndGoesDownWhenItOpens) {
    keyEvents.startNotReady();
    const auto stick = claimedStick();
    send(stick, report(A));
    gate = false;
    keyEvents.becomeReady();
    settle();
    EXPECT_EQ(takeKeys(), Lines{});
    gate = true;
    bridge->gateOpened();
    settle();
    EXPECT_EQ(takeKeys(), Lines{"down Space"});
    bridge->gateOpened();  // nothing new to press
    settle();
    EXPECT_EQ(takeKeys(), Lines{});
}

// Keys held while the browser had focus are let go the moment the gate closes, so that the desktop
// does not auto-repeat them into the newly focused window; they go down again with the next report
// after the gate has opened.
TEST_F(BridgeTest, ClosingTheGateReleasesHeldKeysAtOnce) {
    const auto stick = claimedStick();
    send(stick, report(Menu | A));
    EXPECT_EQ(takeKeys(), (Lines{"down Enter", "down Space"}));
    gate = false;
    bridge->gateClosed();
    settle();
    EXPECT_EQ(takeKeys(), (Lines{"up Enter", "up Space"}));
    send(stick, report(Menu | A));
    EXPECT_EQ(takeKeys(), Lines{});
    gate = true;
    send(stick, report(Menu));
    EXPECT_EQ(takeKeys(), Lines{"down Enter"});

    // The same when the first report after the switch sees the closed gate before the notice arrives.
    gate = false;
    send(stick, report(Menu));
    EXPECT_EQ(takeKeys(), Lines{"up Enter"});
    bridge->gateClosed();
    settle();
    EXPECT_EQ(takeKeys(), Lines{});
}

TEST_F(BridgeTest, AReadErrorReleasesHeldKeysInKeyOrderAndStopsReading) {
    const auto stick = claimedStick();
    send(stick, report(A | B, LB));
    takeKeys();
    gate = false;  // releases go out whatever is in front
    ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::error));
    settle();
    EXPECT_EQ(takeKeys(), (Lines{"up Shift", "up Space", "up z"}));
    const auto shiftUp = keyEvents.posted();
    EXPECT_EQ(takeLog(), Lines{"stick released: read error 0xe00002bc"});
    EXPECT_EQ(takeStatuses(), Statuses{S::searching()});
    EXPECT_FALSE(host.readPending(stick));
    EXPECT_FALSE(host.deviceOpen(stick));
    EXPECT_EQ(host.readsSubmitted(stick), 2);
}

TEST_F(BridgeTest, ShiftIsReleasedWithAnExplicitlyClearedMask) {
    const auto stick = claimedStick();
    send(stick, report(A, LB));
    keyEvents.clear();
    host.unplug(stick);
    settle();
    const auto posted = keyEvents.posted();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].virtualKey, 56);
    EXPECT_EQ(posted[0].flags, std::optional<std::uint64_t>(0));
    EXPECT_EQ(posted[1].virtualKey, 49);
    EXPECT_FALSE(posted[1].down);
}

TEST_F(BridgeTest, AnUnplugRacingAReadErrorReleasesOnceAndRescansOnce) {
    for (auto order : {sim::PendingRead::abortBeforeNotice, sim::PendingRead::abortAfterNotice,
                       sim::PendingRead::vanish}) {
        const auto stick = claimedStick();
        send(stick, report(A));
        takeKeys();
        host.unplug(stick, order);
        settle();
        EXPECT_EQ(takeKeys(), Lines{"up Space"});
        const Lines log = takeLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0], order == sim::PendingRead::abortBeforeNotice ? "stick released: read error 0xe00002eb"
                                                                         : "stick released: stick unplugged");
        EXPECT_EQ(takeStatuses(), Statuses{S::searching()});
        EXPECT_EQ(queue.pendingTimers(), 1u);
        advance(2s);
        EXPECT_EQ(host.liveReferences(), 0);
    }
}

TEST_F(BridgeTest, ARefusedReadEndsTheSession) {
    const auto stick = claimedStick();
    host.setFailures(stick, {.readSubmit = usb::UsbError{usb::Return::noResources, "full", "No resources"}});
    send(stick, report(A));
    EXPECT_EQ(takeKeys(), (Lines{"down Space", "up Space"}));
    EXPECT_EQ(takeLog(), Lines{"stick released: enqueue failed: No resources"});
    EXPECT_EQ(takeStatuses(), Statuses{S::searching()});
}

// A halted IN endpoint stays halted until the host clears it.
TEST_F(BridgeTest, AStallIsClearedOnceAndTheStickReadsOnWithItsKeysHeld) {
    const auto stick = claimedStick();
    send(stick, report(A));
    EXPECT_EQ(takeKeys(), Lines{"down Space"});
    ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::pipeStalled));
    settle();
    EXPECT_EQ(host.stallsCleared(stick), 1);
    EXPECT_TRUE(host.readPending(stick)) << "read again after clearing";
    EXPECT_TRUE(host.deviceOpen(stick));
    EXPECT_EQ(takeKeys(), Lines{});
    EXPECT_EQ(takeLog(), Lines{"the stick's IN endpoint stalled \u2014 clearing the halt"});
    send(stick, report());
    EXPECT_EQ(takeKeys(), Lines{"up Space"});
    // A good read in between: a later stall is cleared again rather than ending the session.
    ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::pipeStalled));
    settle();
    EXPECT_EQ(host.stallsCleared(stick), 2);
    EXPECT_TRUE(host.readPending(stick));
    EXPECT_EQ(takeStatuses(), Statuses{});
}

TEST_F(BridgeTest, AStallThatClearingDoesNotCureIsReleasedWithLongerAndLongerPauses) {
    const auto stick = claimedStick();
    const std::chrono::seconds expected[] = {2s, 4s, 8s, 16s, 32s, 60s, 60s};
    for (const auto pause : expected) {
        ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::pipeStalled));
        settle();
        ASSERT_TRUE(host.readPending(stick));
        ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::pipeStalled));
        settle();
        EXPECT_FALSE(host.deviceOpen(stick));
        EXPECT_EQ(queue.nextTimerIn(), std::optional<std::chrono::nanoseconds>(pause));
        const Lines log = takeLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[1].rfind("stick released: read error 0xe000404f", 0), 0u) << log[1];
        // The menu says the stick is there but stalling, not that there is none.
        const Statuses statuses = takeStatuses();
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_EQ(statuses[0], S::stalling(label()));
        EXPECT_EQ(stickLine(statuses[0]), "Stick: stalling, trying it again \u2014 " + label());
        advance(pause);
        ASSERT_TRUE(host.readPending(stick)) << "claimed again after " << pause.count() << " s";
        EXPECT_EQ(takeStatuses(), Statuses{S::connected(label())});
        takeLog();
    }
    // Unplugged between two claims: no stick any more.
    ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::pipeStalled));
    settle();
    ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::pipeStalled));
    settle();
    host.unplug(stick);
    advance(60s);
    EXPECT_EQ(takeStatuses(), (Statuses{S::stalling(label()), S::searching()}));
    EXPECT_EQ(stickLine(S::searching()).rfind("Stick: not found", 0), 0u);
    const auto again = host.plug({});
    settle();
    ASSERT_TRUE(host.readPending(again));
    // A good read ends the back-off.
    send(again, report());
    ASSERT_TRUE(host.completeRead(again, {}, usb::Return::pipeStalled));
    settle();
    ASSERT_TRUE(host.completeRead(again, {}, usb::Return::pipeStalled));
    settle();
    EXPECT_EQ(queue.nextTimerIn(), std::optional<std::chrono::nanoseconds>(2s));
}

// --- Release and retry --------------------------------------------------------------------------

TEST_F(BridgeTest, AStickStillPluggedAfterAReadErrorIsClaimedAgain) {
    const auto stick = claimedStick();
    send(stick, report(A));
    send(stick, report());
    EXPECT_EQ(host.readsSubmitted(stick), 3);
    ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::error));
    settle();
    EXPECT_EQ(queue.nextTimerIn(), std::optional<std::chrono::nanoseconds>(2s));
    advance(2s);
    EXPECT_TRUE(host.readPending(stick));
    const auto writes = host.outWrites(stick);
    ASSERT_EQ(writes.size(), 6u) << "powered on again";
    EXPECT_EQ(std::vector(writes.begin() + 3, writes.end()), std::vector(writes.begin(), writes.begin() + 3))
        << "the sequence numbers start again with the claim";
    EXPECT_EQ(takeStatuses(), (Statuses{S::searching(), S::connected(label())}));
    // The stick was logged when it was found; its claim again is not a new device.
    EXPECT_EQ(takeLog(), (Lines{"stick released: read error 0xe00002bc", claimLine(), "power-on sent (5 bytes)"}));
}

TEST_F(BridgeTest, EveryRealChangeIsPublishedInOrderNothingCoalesced) {
    const auto stick = claimedStick();
    ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::error));
    queue.runUntilIdle();
    host.setFailures(stick, {.interfaceOpen = usb::UsbError{usb::Return::error, "x", "Input/Output Error"}});
    queue.advance(2s);  // a failed claim...
    host.setFailures(stick, {});
    queue.advance(5s);  // ...and a successful one, before the main thread runs at all
    mainQueue.runAll();
    EXPECT_EQ(takeStatuses(), (Statuses{S::searching(), S::error("Input/Output Error"), S::connected(label())}));
}

TEST_F(BridgeTest, AStickThatKeepsFailingIsReleasedAndClaimedOverAndOver) {
    const auto stick = claimedStick();
    for (int cycle = 0; cycle < 5; ++cycle) {
        ASSERT_TRUE(host.completeRead(stick, {}, usb::Return::error));
        settle();
        advance(2s);
        EXPECT_EQ(takeLog(), (Lines{"stick released: read error 0xe00002bc", claimLine(), "power-on sent (5 bytes)"}));
    }
    EXPECT_EQ(host.outWrites(stick).size(), 18u);
}

TEST_F(BridgeTest, QuittingReleasesHeldKeysAndPressesNothingAfterwards) {
    const auto stick = claimedStick();
    send(stick, report(A, Left));
    takeKeys();
    bool done = false;
    bridge->releaseHeldKeys([&] { done = true; });
    settle();
    EXPECT_TRUE(done);
    EXPECT_EQ(takeKeys(), (Lines{"up ArrowLeft", "up Space"}));
    send(stick, report(B));
    EXPECT_EQ(takeKeys(), Lines{});
}

}  // namespace joyrelay::testing
