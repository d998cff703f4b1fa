// The stick bridge: finds the stick on the USB bus, claims it, powers it on, reads its reports and
// posts their keys, releases it when it goes away or fails, and looks at the bus again after a delay.
//
// Threads. Everything that touches USB runs on the bridge's serial queue, and the bridge's own state
// is confined to it (no lock). The main thread constructs the bridge, sets `onStatus`, calls `start()`
// and receives every status change through `onStatus`, posted to the main queue. The focus gate is
// read through the gate provider once per report, on the bridge queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "JoyrelayCore/GIP.hpp"
#include "bridge/KeyPoster.hpp"
#include "contracts/Queue.hpp"
#include "contracts/StickStatus.hpp"
#include "contracts/TransferTap.hpp"
#include "contracts/UsbHost.hpp"

namespace joyrelay {

// Static readers of device properties.
struct Registry {
    static std::optional<std::int64_t> integer(usb::UsbHost& host, const usb::Entry& entry, std::string_view key) {
        return host.intProperty(entry, key);
    }
    static std::optional<std::string> string(usb::UsbHost& host, const usb::Entry& entry, std::string_view key) {
        return host.stringProperty(entry, key);
    }
    static usb::EntryRef childInterface(usb::UsbHost& host, const usb::Entry& entry, int number) {
        return host.childInterface(entry, number);
    }
};

// Device-supplied text made safe for log lines and status texts: control characters (line feeds
// included) become '?', invalid UTF-8 bytes too, and the text is cut to `maxBytes`.
std::string sanitizeDeviceText(std::string_view text, std::size_t maxBytes = 128);

class StickBridge : public std::enable_shared_from_this<StickBridge> {
public:
    // A failure raised inside a claim; its localized description is its message.
    struct BridgeError {
        std::string message;
        const std::string& localizedDescription() const { return message; }
    };

    // Reads the focus gate: may keys go down now. Called on the bridge queue once per report.
    using GateProvider = std::function<bool()>;

    // The bridge for tests and replay, on the given queues, USB host and key output.
    static std::shared_ptr<StickBridge> create(SerialQueue& queue, MainQueue& mainQueue, usb::UsbHost& host,
                                               KeyEvents& keyEvents, GateProvider gate);

    // Set on the main thread before start(); called on the main thread with each status change.
    std::function<void(const StickStatus&)> onStatus;

    // Begins discovery on the bridge queue and returns at once. Call once.
    void start();

    // Hands every completed read to `tap`. Set before start().
    void setTap(std::shared_ptr<TransferTap> tap) { tap_ = std::move(tap); }

    // The focus gate has just closed: release every held key at once (on the bridge queue), so that
    // nothing auto-repeats into the application that now has focus. Callable from any thread. `done`,
    // when given, runs on the bridge queue once the releases are posted.
    void gateClosed(std::function<void()> done = {});

    // The focus gate has just opened: keys the stick holds go down now (on the bridge queue), not only
    // with its next report. Callable from any thread.
    void gateOpened();

    // Releases every held key on the bridge queue and lets no key go down afterwards, then calls `done`
    // there. Used on the way out.
    void releaseHeldKeys(std::function<void()> done);

    ~StickBridge();

private:
    class Session;
    class PowerOnWrite;
    StickBridge(SerialQueue& queue, MainQueue& mainQueue, usb::UsbHost& host, KeyEvents& keyEvents,
                GateProvider gate);

    void arm();
    // `complete`: the batch is every device on the bus (a scan), not only new arrivals.
    void drain(usb::EntryBatch batch, bool complete);
    void rescan();
    void open(const usb::Entry& service);
    void enqueueRead(const std::shared_ptr<Session>& session);
    void readCompleted(const std::shared_ptr<Session>& session, std::uint32_t status, std::size_t bytes);
    void handle(Session& session, std::size_t count);
    void deliver(Session& session);  // the last wanted keys, through the gate, to the output
    // `stalled`: the stick is still there but its reads stall (the status says so).
    void teardown(const std::string& reason, std::chrono::nanoseconds rescanDelay = std::chrono::seconds(2),
                  bool stalled = false);
    void setStatus(StickStatus status);
    void scheduleRescan(std::chrono::nanoseconds delay);
    // A failing claim is logged once per reason ("... \u2014 retrying in 5 s"); its repeats are
    // counted, and the count is logged ("... \u2014 failed N times in a row") when the reason
    // changes, the claim succeeds or the stick goes.
    void claimFailed(const std::string& reason);
    void claimSucceeded();

    SerialQueue& queue_;
    MainQueue& mainQueue_;
    usb::UsbHost& host_;
    KeyEvents& keyEvents_;
    KeyPoster poster_;
    GateProvider gate_;

    bool notifyPort_ = false;
    bool matchInstalled_ = false;
    std::shared_ptr<Session> session_;
    StickStatus status_;
    bool stopped_ = false;  // on the way out: no key goes down any more
    bool rescanPending_ = false;
    int stallFailures_ = 0;  // sessions in a row ended by a stall that clearing did not cure
    std::shared_ptr<TransferTap> tap_;

    // Discovery's log: how many present devices have been logged with each line.
    std::map<std::string, int> listed_;
    std::string claimFailure_;  // the reason the last claim failed, empty after a success
    int claimFailures_ = 0;     // claims in a row that failed for that reason
};

}  // namespace joyrelay
