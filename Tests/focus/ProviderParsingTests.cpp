// What each focus provider makes of what its compositor says: sway's trees and events (recorded on
// headless sway 1.7 with foot, xterm and Chromium both native and under XWayland), Hyprland's event
// lines and active-window answers, and wlr foreign-toplevel state sequences with the moment of
// "nothing activated" between two windows.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "gate/BrowserGuard.hpp"
#include "platform/linux/focus/ForeignToplevelFocusProvider.hpp"
#include "platform/linux/focus/HyprlandFocusProvider.hpp"
#include "platform/linux/focus/SwayFocusProvider.hpp"
#include "Samples.hpp"

namespace joyrelay {
namespace {

// --- sway ------------------------------------------------------------------------------------------

TEST(SwayTree, TheFocusedWindowIsFoundAmongNestedTiledAndFloatingContainers) {
    // foot and xterm share a vertical split; Chromium (XWayland) tiles beside them; Chromium
    // (Wayland) floats.
    const auto xwayland = sway_ipc::focusedApplication(sample("sway-tree-xwayland-chromium.json"));
    ASSERT_TRUE(xwayland.valid);
    ASSERT_TRUE(xwayland.app);
    EXPECT_EQ(xwayland.app->windowClass, "Chromium");
    EXPECT_EQ(xwayland.app->appId, std::nullopt);  // "app_id": null for XWayland windows
    EXPECT_TRUE(xwayland.app->pid.has_value());
    EXPECT_TRUE(BrowserGuard::isBrowser(xwayland.app));

    const auto floating = sway_ipc::focusedApplication(sample("sway-tree-floating-chromium.json"));
    ASSERT_TRUE(floating.app);
    EXPECT_EQ(floating.app->appId, "chromium");
    EXPECT_EQ(floating.app->windowClass, std::nullopt);
    EXPECT_TRUE(BrowserGuard::isBrowser(floating.app));

    const auto nested = sway_ipc::focusedApplication(sample("sway-tree-nested-foot.json"));
    ASSERT_TRUE(nested.app);
    EXPECT_EQ(nested.app->appId, "foot");
    EXPECT_FALSE(BrowserGuard::isBrowser(nested.app));
}

TEST(SwayTree, AWorkspaceOrASplitContainerInFocusIsNoApplication) {
    const auto empty = sway_ipc::focusedApplication(sample("sway-tree-empty-workspace.json"));
    EXPECT_TRUE(empty.valid);
    EXPECT_FALSE(empty.app);
    const auto parent = sway_ipc::focusedApplication(sample("sway-tree-parent-container.json"));
    EXPECT_TRUE(parent.valid);
    EXPECT_FALSE(parent.app);
}

TEST(SwayTree, AnswersThatAreNoTreeAreInvalid) {
    for (const char* text : {"", "{", "[]", "{}", R"({"success": false})", "null"}) {
        EXPECT_FALSE(sway_ipc::focusedApplication(text).valid) << text;
    }
    // A tree with nothing focused at all (sway before its first output): valid, nothing in front.
    const auto none = sway_ipc::focusedApplication(R"({"type":"root","focused":false,"nodes":[]})");
    EXPECT_TRUE(none.valid);
    EXPECT_FALSE(none.app);
}

TEST(SwayMessages, FramesSurviveSplitReadsAndBackToBackMessages) {
    const std::string first = sway_ipc::encode(sway_ipc::windowEvent, R"({"change":"focus"})");
    const std::string second = sway_ipc::encode(sway_ipc::workspaceEvent, R"({"change":"init"})");
    ASSERT_EQ(first.substr(0, 6), "i3-ipc");
    std::string buffer = first.substr(0, 10);
    EXPECT_FALSE(sway_ipc::takeMessage(buffer));  // half a header
    buffer += first.substr(10, 8);
    EXPECT_FALSE(sway_ipc::takeMessage(buffer));  // header, half a payload
    buffer += first.substr(18) + second;
    const auto a = sway_ipc::takeMessage(buffer);
    const auto b = sway_ipc::takeMessage(buffer);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->type, sway_ipc::windowEvent);
    EXPECT_EQ(a->payload, R"({"change":"focus"})");
    EXPECT_EQ(b->type, sway_ipc::workspaceEvent);
    EXPECT_TRUE(buffer.empty());
    EXPECT_FALSE(sway_ipc::takeMessage(buffer));
}

TEST(SwayMessages, OnlyEventsThatCanMoveTheFocusCount) {
    const auto window = [](const char* change) {
        return sway_ipc::eventMayChangeFocus(sway_ipc::windowEvent, std::string(R"({"change":")") + change + "\"}");
    };
    const auto workspace = [](const char* change) {
        return sway_ipc::eventMayChangeFocus(sway_ipc::workspaceEvent,
                                             std::string(R"({"change":")") + change + "\"}");
    };
    for (const char* change : {"focus", "new", "close", "move", "floating", "fullscreen_mode"}) {
        EXPECT_TRUE(window(change)) << change;
    }
    // A browser's title changes with every key a page reacts to: those must not cost a query each.
    for (const char* change : {"title", "mark", "urgent"}) EXPECT_FALSE(window(change)) << change;
    for (const char* change : {"focus", "init", "empty", "move", "reload"}) EXPECT_TRUE(workspace(change)) << change;
    for (const char* change : {"rename", "urgent"}) EXPECT_FALSE(workspace(change)) << change;
    EXPECT_TRUE(sway_ipc::eventMayChangeFocus(sway_ipc::windowEvent, "not json"));  // ask rather than miss one
    EXPECT_FALSE(sway_ipc::eventMayChangeFocus(sway_ipc::subscribe, R"({"success":true})"));
}

// --- Hyprland --------------------------------------------------------------------------------------

TEST(HyprlandEvents, TheClassEndsAtTheFirstCommaAndTheNameAtTheFirstArrows) {
    const auto event = hyprland_ipc::parseEvent("activewindow>>firefox,Re: a, b >> c, d - Mozilla Firefox");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->name, "activewindow");
    EXPECT_EQ(event->data, "firefox,Re: a, b >> c, d - Mozilla Firefox");
    EXPECT_EQ(hyprland_ipc::activeWindowClass(event->data), "firefox");

    const auto v2 = hyprland_ipc::parseEvent("activewindowv2>>55a1c3e0b2f0");
    ASSERT_TRUE(v2);
    EXPECT_EQ(v2->name, "activewindowv2");
    EXPECT_EQ(v2->data, "55a1c3e0b2f0");

    // No window: both parts empty.
    const auto nothing = hyprland_ipc::parseEvent("activewindow>>,");
    ASSERT_TRUE(nothing);
    EXPECT_EQ(hyprland_ipc::activeWindowClass(nothing->data), std::nullopt);
    // A title that is nothing but the separators.
    const auto odd = hyprland_ipc::parseEvent("activewindow>>org.chromium.Chromium,>>,>>");
    ASSERT_TRUE(odd);
    EXPECT_EQ(hyprland_ipc::activeWindowClass(odd->data), "org.chromium.Chromium");

    EXPECT_FALSE(hyprland_ipc::parseEvent("no separator"));
    EXPECT_FALSE(hyprland_ipc::parseEvent(">>data without a name"));
    const auto empty = hyprland_ipc::parseEvent("workspace>>");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->data, "");
}

TEST(HyprlandActiveWindow, WaylandAndXWaylandWindowsAndNoWindow) {
    const auto wayland = hyprland_ipc::parseActiveWindow(
        R"({"address": "0x55a1c3e0b2f0", "mapped": true, "hidden": false, "at": [10, 10], "size": [1260, 780],
            "workspace": {"id": 1, "name": "1"}, "floating": false, "monitor": 0, "class": "chromium",
            "title": "a, b >> c - Chromium", "initialClass": "chromium", "initialTitle": "Chromium",
            "pid": 4242, "xwayland": false, "pinned": false, "fullscreen": false})");
    ASSERT_TRUE(wayland.valid && wayland.app);
    EXPECT_EQ(wayland.app->appId, "chromium");
    EXPECT_EQ(wayland.app->windowClass, std::nullopt);
    EXPECT_EQ(wayland.app->pid, 4242);
    EXPECT_TRUE(BrowserGuard::isBrowser(wayland.app));

    const auto x11 = hyprland_ipc::parseActiveWindow(R"({"class": "Chromium", "title": "x", "pid": 7, "xwayland": true})");
    ASSERT_TRUE(x11.app);
    EXPECT_EQ(x11.app->windowClass, "Chromium");
    EXPECT_EQ(x11.app->appId, std::nullopt);
    EXPECT_TRUE(BrowserGuard::isBrowser(x11.app));

    const auto none = hyprland_ipc::parseActiveWindow("{}");
    EXPECT_TRUE(none.valid);
    EXPECT_FALSE(none.app);
    EXPECT_FALSE(hyprland_ipc::parseActiveWindow("unknown request").valid);
    EXPECT_FALSE(hyprland_ipc::parseActiveWindow("").valid);
}

// --- wlr foreign-toplevel --------------------------------------------------------------------------

using Clock = ToplevelFocusTracker::Clock;
using namespace std::chrono_literals;

// Two windows as sway announces them on binding: each with app_id, title, state and done.
struct Tracker : ::testing::Test {
    ToplevelFocusTracker tracker{100ms};
    Clock::time_point t0 = Clock::now();
    void SetUp() override {
        tracker.appId(1, "chromium");
        tracker.state(1, true);
        tracker.done(1);
        tracker.appId(2, "foot");
        tracker.state(2, false);
        tracker.done(2);
        ASSERT_TRUE(tracker.settle(t0));
    }
    std::string front() const { return tracker.current() ? tracker.current()->appId : "<nothing>"; }
};

TEST_F(Tracker, ASwitchReadInOneBatchNeverShowsNothing) {
    EXPECT_EQ(front(), "chromium");
    tracker.state(1, false);
    tracker.done(1);
    tracker.state(2, true);
    tracker.done(2);
    EXPECT_TRUE(tracker.settle(t0 + 1ms));
    EXPECT_EQ(front(), "foot");
    EXPECT_FALSE(tracker.deadline());
}

TEST_F(Tracker, SwayInterleavesTheTwoWindowsStatesAndDones) {
    // As sway 1.7 sends a switch from chromium to foot (WAYLAND_DEBUG):
    //   handle@A.state(array[0])  handle@B.state(array[4])  handle@A.done()  handle@B.done()
    // Between the two dones nothing is activated. Read in one go, that moment is never seen.
    tracker.state(1, false);
    tracker.state(2, true);
    tracker.done(1);
    tracker.done(2);
    EXPECT_TRUE(tracker.settle(t0 + 1ms));
    EXPECT_EQ(front(), "foot");
    // Split by a read that ends between the dones, it is bridged by the grace.
    tracker.state(2, false);
    tracker.state(1, true);
    tracker.done(2);
    EXPECT_FALSE(tracker.settle(t0 + 2ms));
    EXPECT_EQ(front(), "foot");
    tracker.done(1);
    EXPECT_TRUE(tracker.settle(t0 + 3ms));
    EXPECT_EQ(front(), "chromium");
    EXPECT_FALSE(tracker.deadline());
}

TEST_F(Tracker, NothingActivatedBetweenTwoBatchesKeepsTheLastAnswerWithinTheGrace) {
    tracker.state(1, false);
    tracker.done(1);
    EXPECT_FALSE(tracker.settle(t0 + 1ms));  // no change reported: no release, no re-press
    EXPECT_EQ(front(), "chromium");
    ASSERT_TRUE(tracker.deadline());
    EXPECT_EQ(*tracker.deadline(), t0 + 1ms + 100ms);
    EXPECT_FALSE(tracker.settle(t0 + 40ms));
    // The other window of the same switch arrives.
    tracker.state(2, true);
    tracker.done(2);
    EXPECT_TRUE(tracker.settle(t0 + 41ms));
    EXPECT_EQ(front(), "foot");
    EXPECT_FALSE(tracker.deadline());
}

TEST_F(Tracker, BrowserToBrowserAcrossBatchesChangesTheWindowButNeverPassesThroughNothing) {
    tracker.appId(3, "firefox");
    tracker.state(3, false);
    tracker.done(3);
    EXPECT_FALSE(tracker.settle(t0));
    tracker.state(1, false);
    tracker.done(1);
    EXPECT_FALSE(tracker.settle(t0 + 1ms));
    EXPECT_EQ(front(), "chromium");
    tracker.state(3, true);
    tracker.done(3);
    EXPECT_TRUE(tracker.settle(t0 + 2ms));
    EXPECT_EQ(front(), "firefox");
}

TEST_F(Tracker, NothingThatLastsBeyondTheGraceIsNothing) {
    tracker.state(1, false);
    tracker.done(1);
    EXPECT_FALSE(tracker.settle(t0));
    EXPECT_FALSE(tracker.settle(t0 + 99ms));
    EXPECT_TRUE(tracker.settle(t0 + 100ms));
    EXPECT_EQ(front(), "<nothing>");
    EXPECT_FALSE(tracker.deadline());
    EXPECT_FALSE(tracker.settle(t0 + 500ms));  // reported once
}

TEST_F(Tracker, ClosingTheActiveWindowIsNothingAfterTheGraceUnlessAnotherTakesOver) {
    tracker.closed(1);
    EXPECT_FALSE(tracker.settle(t0));
    EXPECT_EQ(front(), "chromium");
    EXPECT_TRUE(tracker.settle(t0 + 100ms));
    EXPECT_EQ(front(), "<nothing>");
    tracker.state(2, true);
    tracker.done(2);
    EXPECT_TRUE(tracker.settle(t0 + 101ms));
    EXPECT_EQ(front(), "foot");
}

TEST_F(Tracker, ChangesCountOnlyAtDone) {
    tracker.state(1, false);
    tracker.state(2, true);
    EXPECT_FALSE(tracker.settle(t0 + 1ms));
    EXPECT_EQ(front(), "chromium");
    EXPECT_FALSE(tracker.deadline());
    tracker.done(2);  // foot activated; chromium's own change is still pending
    EXPECT_TRUE(tracker.settle(t0 + 2ms));
    EXPECT_EQ(front(), "foot");  // the most recently activated of the two
    tracker.done(1);
    EXPECT_FALSE(tracker.settle(t0 + 3ms));
    EXPECT_EQ(front(), "foot");
}

TEST_F(Tracker, AnAppIdChangeOfTheActiveWindowIsAChange) {
    tracker.appId(1, "org.chromium.Chromium");
    EXPECT_FALSE(tracker.settle(t0 + 1ms));
    tracker.done(1);
    EXPECT_TRUE(tracker.settle(t0 + 2ms));
    EXPECT_EQ(front(), "org.chromium.Chromium");
}

TEST_F(Tracker, TitleOnlyUpdatesOfOtherWindowsChangeNothing) {
    tracker.done(2);  // a group of events with nothing we track (a title) still ends in done
    tracker.done(1);
    EXPECT_FALSE(tracker.settle(t0 + 1ms));
    EXPECT_FALSE(tracker.deadline());
}

// --- The browsers' app ids -------------------------------------------------------------------------

TEST(BrowserAppIds, EveryListedIdOpensTheGateExactlyAsWritten) {
    for (std::string_view id : BrowserGuard::appIds) {
        FrontmostApplication app;
        app.appId = std::string(id);
        EXPECT_TRUE(BrowserGuard::isBrowser(app)) << id;
    }
    for (const char* id : {"Chromium-browser", "chromium ", "org.mozilla.Firefox", "org.chromium.chromium", "foot",
                           "com.google.Chrome.desktop", "brave", "", "chrome-example.com__-Default"}) {
        FrontmostApplication app;
        app.appId = id;
        EXPECT_FALSE(BrowserGuard::isBrowser(app)) << id;
    }
    // A window class does not count as an app id the other way round either.
    FrontmostApplication x11;
    x11.appId = "Google-chrome";
    EXPECT_FALSE(BrowserGuard::isBrowser(x11));
}

}  // namespace
}  // namespace joyrelay
