#include "bridge/StickBridge.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

#include "log/Log.hpp"

namespace joyrelay {

using namespace std::chrono_literals;

namespace {

constexpr auto interfaceProbePause = std::chrono::microseconds(100000);
constexpr int interfaceProbes = 30;
constexpr auto claimRetryDelay = 5s;
constexpr auto releaseRescanDelay = 2s;
constexpr auto longestStallBackoff = 60s;
constexpr std::size_t minimumReadSize = 64;
constexpr const char* defaultProductName = "8BitDo Arcade Stick";
// Writes on the OUT pipe: at most this many in flight, and this many more waiting their turn. A
// packet that finds both full is dropped (a stick repeats a message until it is acknowledged), so
// a stick that floods requests cannot make the bridge hold more.
constexpr std::size_t writesInFlight = 4;
constexpr std::size_t writesWaiting = 16;
constexpr int audioInterface = 1;

template <class... Args>
std::string format(const char* fmt, Args... args) {
    char text[512];
    const int n = std::snprintf(text, sizeof text, fmt, args...);
    return std::string(text, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
}

}  // namespace

std::string sanitizeDeviceText(std::string_view text, std::size_t maxBytes) {
    std::string out;
    out.reserve(std::min(text.size(), maxBytes));
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (!valid) length = 1;
        if (out.size() + length > maxBytes) {
            out += "...";
            break;
        }
        if (!valid || c < 0x20 || c == 0x7F) {
            out.push_back('?');
        } else if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            out.push_back('?');  // C1 control characters
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

// One claimed stick. It is also the handler of its reads: a pending read keeps the session alive
// until its completion has run, and holds the bridge only weakly. Its writes keep it alive the same
// way: each is handed to the pipe as a pointer that shares the session's ownership.
class StickBridge::Session final : public usb::TransferHandler, public std::enable_shared_from_this<Session> {
public:
    // One write in flight on the OUT pipe; `name` names a claim packet, empty for an acknowledgement.
    struct Write final : usb::TransferHandler {
        Session* session = nullptr;
        Gip::Packet packet;
        std::string_view name;
        bool busy = false;
        void transferCompleted(std::uint32_t status, std::size_t) override { session->writeCompleted(*this, status); }
    };
    struct Waiting {
        Gip::Packet packet;
        std::string_view name;
    };

    std::weak_ptr<StickBridge> bridge;
    usb::EntryRef service;
    std::unique_ptr<usb::Device> device;
    std::unique_ptr<usb::Interface> interface;
    std::unique_ptr<usb::Pipe> inPipe;
    std::unique_ptr<usb::Pipe> outPipe;
    std::vector<std::uint8_t> buffer;
    StickState state;
    KeyState keys;
    KeySet wanted;  // what the last report asked for, pressed when the key output becomes ready
    bool alive = true;
    bool stallCleared = false;  // the IN endpoint's halt has been cleared since the last good read
    Gip::SequenceCounter sequence;
    std::array<Write, writesInFlight> writes;
    std::array<Waiting, writesWaiting> waiting;
    std::size_t waitingFirst = 0, waitingCount = 0;
    bool writeFailureLogged = false;  // an acknowledgement's write failed: not logged again this claim

    Session() {
        for (Write& w : writes) w.session = this;
    }
    void transferCompleted(std::uint32_t status, std::size_t bytes) override {
        if (auto owner = bridge.lock()) owner->readCompleted(shared_from_this(), status, bytes);
    }

    // Queues `packet` on the OUT pipe: at once when a write slot is free, else after the writes
    // before it; dropped when the waiting ring is full too. Never blocks, never allocates.
    void send(const Gip::Packet& packet, std::string_view name) {
        if (!alive) return;
        for (Write& w : writes) {
            if (!w.busy) return submit(w, packet, name);
        }
        if (waitingCount == waiting.size()) return;
        waiting[(waitingFirst + waitingCount++) % waiting.size()] = {packet, name};
    }

private:
    void submit(Write& w, const Gip::Packet& packet, std::string_view name) {
        w.packet = packet;
        w.name = name;
        w.busy = true;
        // Shares the session's ownership: no allocation, and the session outlives the write.
        std::shared_ptr<usb::TransferHandler> handler(shared_from_this(), &w);
        if (auto error = outPipe->enqueue(std::span(w.packet.bytes.data(), w.packet.size), 0, std::move(handler))) {
            w.busy = false;
            failed(name, error->code);
        }
    }
    void writeCompleted(Write& w, std::uint32_t status) {
        w.busy = false;
        if (status != 0) failed(w.name, status);
        if (!alive || waitingCount == 0) return;
        const Waiting next = waiting[waitingFirst];
        waitingFirst = (waitingFirst + 1) % waiting.size();
        --waitingCount;
        submit(w, next.packet, next.name);
    }
    void failed(std::string_view name, std::uint32_t status) {
        if (!alive) return;  // cancelled by the release
        if (!name.empty()) {
            Log::info(std::string(name) + format(" packet write failed (0x%08x)", status));
        } else if (!std::exchange(writeFailureLogged, true)) {
            Log::info(format("acknowledgement write failed (0x%08x) \u2014 later failures go unlogged until the "
                             "stick is claimed again",
                             status));
        }
    }
};

// The power-on packet's write: keeps its bytes alive until the completion has run.
class StickBridge::PowerOnWrite final : public usb::TransferHandler {
public:
    std::array<std::uint8_t, StickID::powerOn.size()> bytes = StickID::powerOn;
    void transferCompleted(std::uint32_t status, std::size_t count) override {
        if (status != 0) {
            Log::info(format("power-on write failed (0x%08x)", status));
        } else {
            Log::info("power-on sent (" + std::to_string(count) + " bytes)");
        }
    }
};

StickBridge::StickBridge(SerialQueue& queue, MainQueue& mainQueue, usb::UsbHost& host, KeyEvents& keyEvents,
                         GateProvider gate)
    : queue_(queue), mainQueue_(mainQueue), host_(host), keyEvents_(keyEvents), poster_(keyEvents), gate_(std::move(gate)) {}

StickBridge::~StickBridge() = default;

std::shared_ptr<StickBridge> StickBridge::create(SerialQueue& queue, MainQueue& mainQueue, usb::UsbHost& host,
                                                 KeyEvents& keyEvents, GateProvider gate) {
    return std::shared_ptr<StickBridge>(new StickBridge(queue, mainQueue, host, keyEvents, std::move(gate)));
}

void StickBridge::start() {
    // Keys wanted down before the output could take them go down once it can.
    keyEvents_.whenReady([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->queue_.async([weak] {
                if (auto bridge = weak.lock(); bridge && bridge->session_ && bridge->session_->alive) {
                    bridge->deliver(*bridge->session_);
                }
            });
        }
    });
    queue_.async([self = shared_from_this()] { self->arm(); });
}

void StickBridge::gateClosed(std::function<void()> done) {
    queue_.async([weak = weak_from_this(), done = std::move(done)] {
        auto self = weak.lock();
        if (self && self->session_ && self->session_->alive) self->poster_.post(self->session_->keys.releaseAll());
        if (done) done();
    });
}

void StickBridge::gateOpened() {
    queue_.async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (self && self->session_ && self->session_->alive) self->deliver(*self->session_);
    });
}

void StickBridge::releaseHeldKeys(std::function<void()> done) {
    queue_.async([self = shared_from_this(), done = std::move(done)] {
        self->stopped_ = true;  // nothing goes down any more
        if (self->session_) self->poster_.post(self->session_->keys.releaseAll());
        if (done) done();
    });
}

// --- Status --------------------------------------------------------------------------------------

void StickBridge::setStatus(StickStatus status) {
    if (status == status_) return;
    status_ = status;
    mainQueue_.async([self = shared_from_this(), copy = std::move(status)] {
        if (self->onStatus) self->onStatus(copy);
    });
}

// --- Discovery -----------------------------------------------------------------------------------

void StickBridge::arm() {
    if (!host_.createNotificationPort()) {
        setStatus(StickStatus::error("IONotificationPortCreate failed"));
        return;
    }
    notifyPort_ = true;
    usb::EntryBatch present;
    const std::uint32_t code = host_.addMatchingNotification(
        [weak = weak_from_this()](usb::EntryBatch batch) {
            if (auto self = weak.lock()) self->drain(std::move(batch), false);
        },
        present);
    if (code != 0) {
        setStatus(StickStatus::error(format("matching notification failed (0x%08x)", code)));
        return;
    }
    matchInstalled_ = true;
    drain(std::move(present), true);
}

void StickBridge::drain(usb::EntryBatch batch, bool complete) {
    // Each device is logged when it is first seen, not at every rescan: a device is known by its
    // line, and a rescan (the whole bus) logs only the lines it holds more often than the last one
    // did. An arrival is always logged.
    std::map<std::string, int> seen;
    bool stickSeen = false;
    for (usb::EntryRef& entry : batch) {
        const std::int64_t vendor = Registry::integer(host_, *entry, "idVendor").value_or(0);
        const std::int64_t product = Registry::integer(host_, *entry, "idProduct").value_or(0);
        const std::int64_t deviceClass = Registry::integer(host_, *entry, "bDeviceClass").value_or(0);
        const std::string name =
            sanitizeDeviceText(Registry::string(host_, *entry, "USB Product Name").value_or("?"));
        const std::string line = format("usb: %04llx:%04llx class %lld \u2014 ", static_cast<long long>(vendor),
                                        static_cast<long long>(product), static_cast<long long>(deviceClass)) +
                                 name;
        const int count = ++seen[line];
        const bool fresh = !complete || count > listed_[line];
        if (!complete) ++listed_[line];
        if (fresh) Log::info(line);
        if (vendor == StickID::vendorID && !session_) {
            if (deviceClass == StickID::deviceClassVendorSpecific) {
                stickSeen = true;
                open(*entry);
            } else if (fresh) {
                Log::info("skipping 2DC8 device of class " + std::to_string(deviceClass) +
                          " (not the Xbox stick \u2014 the 2.4G dongle cannot be used on a Mac)");
            }
        }
        entry.reset();  // the entry's reference goes back once the claim has returned
    }
    if (!complete) return;
    listed_ = std::move(seen);
    if (!stickSeen && !session_) {
        // The stick has gone while it was not claimed (between retries, or between stalls).
        claimSucceeded();
        setStatus(StickStatus::searching());
    }
}

void StickBridge::claimFailed(const std::string& reason) {
    if (reason == claimFailure_) {
        ++claimFailures_;
        return;
    }
    claimSucceeded();
    claimFailure_ = reason;
    claimFailures_ = 1;
    Log::info(reason + " \u2014 retrying in 5 s");
}

void StickBridge::claimSucceeded() {
    if (claimFailures_ > 1) Log::info(claimFailure_ + format(" \u2014 failed %d times in a row", claimFailures_));
    claimFailure_.clear();
    claimFailures_ = 0;
}

void StickBridge::rescan() {
    if (session_) return;
    std::optional<usb::EntryBatch> devices = host_.matchingDevices();
    if (devices) drain(std::move(*devices), true);
}

void StickBridge::scheduleRescan(std::chrono::nanoseconds delay) {
    // One pending rescan at most: arrivals of a stick that cannot be claimed (re-plugged while
    // another program holds it) would otherwise each start a retry chain of their own.
    if (rescanPending_) return;
    rescanPending_ = true;
    queue_.asyncAfter(delay, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->rescanPending_ = false;
            self->rescan();
        }
    });
}

// --- Claim ---------------------------------------------------------------------------------------

void StickBridge::open(const usb::Entry& service) {
    const std::int64_t product = Registry::integer(host_, service, "idProduct").value_or(0);
    const std::optional<std::string> productName = Registry::string(host_, service, "USB Product Name");
    const std::string label = (productName ? sanitizeDeviceText(*productName) : defaultProductName) +
                              format(" (%04x:%04llx)", StickID::vendorID, static_cast<long long>(product));

    if (std::find(StickID::productIDs.begin(), StickID::productIDs.end(), product) == StickID::productIDs.end() &&
        claimFailures_ == 0) {
        Log::info(format("note: unexpected product id %04llx; trying anyway", static_cast<long long>(product)));
    }

    // The device object takes over this reference; a failed open gives it back.
    auto weak = weak_from_this();
    usb::Result<std::unique_ptr<usb::Device>> opened =
        host_.openDevice(host_.retain(service), [this, weak](std::uint32_t message) {
            if (message != usb::messageServiceIsTerminated) return;
            auto self = weak.lock();
            if (!self) return;
            // Tear down only the session this device belongs to, never one claimed after it.
            std::weak_ptr<Session> owner = session_;
            queue_.async([weak, owner] {
                auto bridge = weak.lock();
                auto session = owner.lock();
                if (bridge && session && bridge->session_ == session) bridge->teardown("stick unplugged");
            });
        });

    if (!opened) {  // Failure A: nothing was taken
        const usb::UsbError& error = opened.error();
        if (error.code == usb::Return::exclusiveAccess) {
            claimFailed(label + " is held by another program (exclusive access)");
            setStatus(StickStatus::busy(label));
        } else {
            claimFailed("open failed: " + error.description);
            setStatus(StickStatus::error("cannot open the stick: " + error.localizedDescription));
        }
        scheduleRescan(claimRetryDelay);
        return;
    }

    std::unique_ptr<usb::Device> device = opened.take();
    std::unique_ptr<usb::Interface> interface;
    std::unique_ptr<usb::Pipe> inPipe, outPipe;

    // Failure B: everything taken so far is given back.
    auto fail = [&](const std::string& description) {
        claimFailed("setup failed: " + description);
        setStatus(StickStatus::error(description));
        session_.reset();
        inPipe.reset();
        outPipe.reset();
        if (interface) interface->destroy();
        interface.reset();
        device->destroy();
        scheduleRescan(claimRetryDelay);
    };

    usb::EntryRef interfaceEntry = Registry::childInterface(host_, service, 0);
    if (!interfaceEntry) {
        if (auto error = device->configure(1, true)) return fail(error->localizedDescription);
        for (int probe = 0; probe < interfaceProbes && !interfaceEntry; ++probe) {
            queue_.pause(interfaceProbePause);
            interfaceEntry = Registry::childInterface(host_, service, 0);
        }
        if (!interfaceEntry) {
            return fail(BridgeError{"interface 0 did not appear after configuring the device"}.localizedDescription());
        }
    }

    usb::Result<std::unique_ptr<usb::Interface>> openedInterface = host_.openInterface(std::move(interfaceEntry));
    if (!openedInterface) return fail(openedInterface.error().localizedDescription);
    interface = openedInterface.take();

    std::optional<std::uint8_t> inAddress, outAddress;
    std::size_t readSize = minimumReadSize;
    for (const usb::EndpointDescriptor& endpoint : interface->endpoints()) {
        if (endpoint.bEndpointAddress & 0x80) {
            inAddress = endpoint.bEndpointAddress;
            readSize = std::max<std::size_t>(endpoint.wMaxPacketSize, minimumReadSize);
        } else {
            outAddress = endpoint.bEndpointAddress;
        }
    }
    if (!inAddress || !outAddress) {
        return fail(BridgeError{"interface 0 has no IN+OUT endpoint pair"}.localizedDescription());
    }

    // The audio interface of an Xbox One pad: some pads send nothing until its alternate setting 0
    // has been selected. Selected before any transfer, and let go at once; a failure is only noted.
    if (usb::EntryRef audioEntry = Registry::childInterface(host_, service, audioInterface)) {
        usb::Result<std::unique_ptr<usb::Interface>> audio = host_.openInterface(std::move(audioEntry));
        std::optional<usb::UsbError> error = audio ? audio.value()->selectAlternateSetting(0) : audio.error();
        if (error) Log::info("note: alternate setting 0 of interface 1 not selected \u2014 " + error->description);
        if (audio) audio.value()->destroy();
    }

    usb::Result<std::unique_ptr<usb::Pipe>> in = interface->copyPipe(*inAddress);
    if (!in) return fail(in.error().localizedDescription);
    inPipe = in.take();
    usb::Result<std::unique_ptr<usb::Pipe>> out = interface->copyPipe(*outAddress);
    if (!out) return fail(out.error().localizedDescription);
    outPipe = out.take();

    auto session = std::make_shared<Session>();
    session->bridge = weak;
    session->service = host_.retain(service);
    session->buffer.assign(readSize, 0);
    session_ = session;

    claimSucceeded();
    Log::info(label + format(" claimed: ep_in 0x%02x ep_out 0x%02x \u2014 typing keys into the frontmost browser",
                             *inAddress, *outAddress));

    auto powerOn = std::make_shared<PowerOnWrite>();
    if (auto error = outPipe->enqueue(powerOn->bytes, 0, powerOn)) return fail(error->localizedDescription);

    session->device = std::move(device);
    session->interface = std::move(interface);
    session->inPipe = std::move(inPipe);
    session->outPipe = std::move(outPipe);
    // After the power-on (sequence number 0), the packets the kernel's gamepad driver sends too; some
    // pads report nothing until they have had them. A failure is logged and the stick stays claimed.
    for (const Gip::ClaimPacket& claimPacket : Gip::afterPowerOn) {
        Gip::Packet packet = claimPacket.packet;
        packet.bytes[2] = session->sequence.next();
        session->send(packet, claimPacket.name);
    }

    if (tap_) tap_->claimed();
    setStatus(StickStatus::connected(label));
    enqueueRead(session);
}

// --- Reading -------------------------------------------------------------------------------------

void StickBridge::enqueueRead(const std::shared_ptr<Session>& session) {
    if (!session->alive) return;
    if (auto error = session->inPipe->enqueue(session->buffer, 0, session)) {
        teardown("enqueue failed: " + error->localizedDescription);
    }
}

void StickBridge::readCompleted(const std::shared_ptr<Session>& session, std::uint32_t status, std::size_t bytes) {
    if (!session || !session->alive) return;
    if (status == usb::Return::pipeStalled && !session->stallCleared) {
        // A halted endpoint stays halted until the host clears it: clear it once, then read again.
        session->stallCleared = true;
        Log::info("the stick's IN endpoint stalled \u2014 clearing the halt");
        if (auto error = session->inPipe->clearStall()) {
            Log::info("clearing the halt failed: " + error->description);
        } else {
            enqueueRead(session);
            return;
        }
    }
    if (status != 0) {
        std::chrono::nanoseconds delay = releaseRescanDelay;
        if (status == usb::Return::pipeStalled) {
            // A stall that clearing did not cure: wait longer each time before claiming it again.
            stallFailures_ = std::min(stallFailures_ + 1, 16);
            delay = std::min<std::chrono::nanoseconds>(releaseRescanDelay * (1LL << std::min(stallFailures_ - 1, 5)),
                                                       longestStallBackoff);
        }
        teardown(format("read error 0x%08x", status), delay, status == usb::Return::pipeStalled);
        return;
    }
    session->stallCleared = false;
    stallFailures_ = 0;
    const std::span<const std::uint8_t> received(session->buffer.data(), std::min(bytes, session->buffer.size()));
    if (tap_) tap_->transfer(received);
    handle(*session, bytes);
    // A message that asks for an acknowledgement gets one, whatever it is, once its keys are out: the
    // write is queued (never waited for) before the next read, so the stick has it before it could
    // ask again.
    if (std::optional<Gip::Packet> ack = Gip::acknowledgement(received)) session->send(*ack, {});
    enqueueRead(session);
}

void StickBridge::handle(Session& session, std::size_t count) {
    const std::size_t n = std::min(count, session.buffer.size());
    const std::optional<InputReport> report = InputReport::parse(std::span(session.buffer.data(), n));
    if (!report) return;
    session.wanted = session.state.wanted(*report);
    deliver(session);
}

void StickBridge::deliver(Session& session) {
    const KeySet wanted = session.wanted;
    // No key goes down through an output that cannot deliver it yet: the held keys would then name
    // a key nobody pressed. The wanted set is kept and pressed once the output is ready.
    const bool gate = !stopped_ && gate_ && gate_() && keyEvents_.ready();
    // A key going down is decided on the window as it is now, not as the last notice described it:
    // the output is asked (and may hold the desktop still until the presses are out). When it
    // refuses, held keys that are still wanted stay down and nothing new goes down.
    KeySet target = wanted;
    const bool pressing = gate && !wanted.minus(session.keys.held()).empty();
    if (pressing && !keyEvents_.beginPresses()) target = wanted & session.keys.held();
    // With the gate closed the core lets go of every held key.
    poster_.post(session.keys.apply(target, gate));
    if (pressing) keyEvents_.endPresses();
}

// --- Release -------------------------------------------------------------------------------------

void StickBridge::teardown(const std::string& reason, std::chrono::nanoseconds rescanDelay, bool stalled) {
    if (!session_) return;
    // The label of the stick being released, for the menu of a stick that is there but stalls.
    const std::string label = status_.which == StickStatus::Case::connected ? status_.text : std::string();
    std::shared_ptr<Session> session = std::move(session_);
    session_.reset();
    session->alive = false;
    poster_.post(session->keys.releaseAll());
    session->interface->destroy();
    session->device->destroy();
    if (tap_) tap_->released();
    Log::info("stick released: " + reason +
              (rescanDelay > releaseRescanDelay
                   ? format(" \u2014 it keeps stalling; trying again in %lld s",
                            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(rescanDelay).count()))
                   : std::string()));
    setStatus(stalled ? StickStatus::stalling(label) : StickStatus::searching());
    scheduleRescan(rescanDelay);
}

}  // namespace joyrelay
