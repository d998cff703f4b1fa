#include "platform/linux/usb/LibusbHost.hpp"

#include <fcntl.h>
#include <libusb.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "log/Log.hpp"

namespace joyrelay::usb {

// --- Error codes -----------------------------------------------------------------------------------

std::uint32_t transferStatusCode(int status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return Return::success;
        case LIBUSB_TRANSFER_ERROR:
            return Return::error;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return Return::timeout;
        case LIBUSB_TRANSFER_CANCELLED:
            return Return::aborted;
        case LIBUSB_TRANSFER_STALL:
            return Return::pipeStalled;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return Return::noDevice;
        case LIBUSB_TRANSFER_OVERFLOW:
            return Return::overrun;
        default:
            return Return::error;
    }
}

std::uint32_t libusbErrorCode(int error) {
    switch (error) {
        case LIBUSB_SUCCESS:
            return Return::success;
        case LIBUSB_ERROR_IO:
            return Return::error;
        case LIBUSB_ERROR_INVALID_PARAM:
            return Return::badArgument;
        case LIBUSB_ERROR_ACCESS:
            return Return::notPermitted;
        case LIBUSB_ERROR_NO_DEVICE:
            return Return::noDevice;
        case LIBUSB_ERROR_NOT_FOUND:
            return Return::notFound;
        case LIBUSB_ERROR_BUSY:
            return Return::busy;
        case LIBUSB_ERROR_TIMEOUT:
            return Return::timeout;
        case LIBUSB_ERROR_OVERFLOW:
            return Return::overrun;
        case LIBUSB_ERROR_PIPE:
            return Return::pipeStalled;
        case LIBUSB_ERROR_INTERRUPTED:
            return Return::aborted;
        case LIBUSB_ERROR_NO_MEM:
            return Return::noMemory;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return Return::unsupported;
        default:
            return Return::error;
    }
}

namespace {

UsbError errorOf(int error, std::string_view what, std::uint32_t code) {
    char tail[32];
    std::snprintf(tail, sizeof tail, ", 0x%08x)", code);
    UsbError e;
    e.code = code;
    e.description =
        std::string(what) + ": " + libusb_error_name(error) + " (" + libusb_strerror(error) + tail;
    e.localizedDescription = libusb_strerror(error);
    if (error == LIBUSB_ERROR_ACCESS) {
        e.description +=
            " \u2014 this user may not open the device: install the udev rule 70-tamberlo-joyrelay.rules "
            "(see the README), then plug the stick in again";
        e.localizedDescription += " \u2014 install the udev rule (see the README)";
    }
    return e;
}

}  // namespace

UsbError libusbError(int error, std::string_view what) {
    return errorOf(error, what, libusbErrorCode(error));
}

namespace {

// --- libusb handles ---------------------------------------------------------------------------------

struct ContextExit {
    void operator()(libusb_context* c) const { libusb_exit(c); }
};
struct DeviceUnref {
    void operator()(libusb_device* d) const { libusb_unref_device(d); }
};
struct HandleClose {
    void operator()(libusb_device_handle* h) const { libusb_close(h); }
};
struct TransferFree {
    void operator()(libusb_transfer* t) const { libusb_free_transfer(t); }
};
struct ConfigFree {
    void operator()(libusb_config_descriptor* c) const { libusb_free_config_descriptor(c); }
};
struct ListFree {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using ContextPtr = std::unique_ptr<libusb_context, ContextExit>;
using DevicePtr = std::unique_ptr<libusb_device, DeviceUnref>;
using HandlePtr = std::unique_ptr<libusb_device_handle, HandleClose>;
using TransferPtr = std::unique_ptr<libusb_transfer, TransferFree>;
using ConfigPtr = std::unique_ptr<libusb_config_descriptor, ConfigFree>;
using ListPtr = std::unique_ptr<libusb_device*, ListFree>;

DevicePtr reference(libusb_device* d) {
    return DevicePtr(libusb_ref_device(d));
}

ConfigPtr activeConfig(libusb_device* d) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(d, &config) != LIBUSB_SUCCESS) return nullptr;
    return ConfigPtr(config);
}

// Alternate setting 0 of interface `number`, or null.
const libusb_interface_descriptor* findInterface(const libusb_config_descriptor& config, int number) {
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        if (interface.num_altsetting > 0 && interface.altsetting[0].bInterfaceNumber == number) {
            return &interface.altsetting[0];
        }
    }
    return nullptr;
}

// The device's name in /sys/bus/usb/devices: "1-1.4" behind port 4 of the hub on port 1 of bus 1,
// "usb1" for the root hub of bus 1; empty when libusb cannot tell.
std::string sysfsName(libusb_device* d) {
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(d, ports, sizeof ports);
    const std::string bus = std::to_string(libusb_get_bus_number(d));
    if (n == 0) return "usb" + bus;
    if (n < 0) return {};
    std::string name = bus + "-";
    for (int i = 0; i < n; ++i) {
        if (i > 0) name += '.';
        name += std::to_string(ports[i]);
    }
    return name;
}

// "2dc8:2004 at 1-1", for error texts.
std::string describe(libusb_device* d) {
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(d, &desc);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", desc.idVendor, desc.idProduct);
    return std::string(ids) + " at " + sysfsName(d);
}

// Up to `max` bytes of a (sysfs) file, or nothing when it cannot be read.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t max) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text(max, '\0');
    std::size_t have = 0;
    bool ok = true;
    while (have < max) {
        const ssize_t n = ::read(fd, text.data() + have, max - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    text.resize(have);
    return text;
}

void appendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// A string descriptor's UTF-16LE text as UTF-8; unpaired surrogates become U+FFFD.
std::string fromUtf16le(const unsigned char* p, std::size_t units) {
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t c = p[2 * i] | (p[2 * i + 1] << 8);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            const std::uint32_t low = p[2 * i + 2] | (p[2 * i + 3] << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    return out;
}

// String descriptor `index` in the device's first language, or nothing.
std::optional<std::string> stringDescriptor(libusb_device_handle* h, std::uint8_t index) {
    unsigned char buffer[255];
    int n = libusb_get_string_descriptor(h, 0, 0, buffer, sizeof buffer);
    if (n < 4 || buffer[1] != LIBUSB_DT_STRING) return std::nullopt;
    const auto language = static_cast<std::uint16_t>(buffer[2] | (buffer[3] << 8));
    n = libusb_get_string_descriptor(h, index, language, buffer, sizeof buffer);
    if (n < 2 || buffer[1] != LIBUSB_DT_STRING) return std::nullopt;
    const int length = std::min<int>(n, buffer[0]);
    return fromUtf16le(buffer + 2, static_cast<std::size_t>(std::max(0, length - 2)) / 2);
}

// Fills the list of devices a delivery from inside libusb_hotplug_register_callback goes to (the
// devices present at registration arrive on the registering thread, before the call returns).
thread_local EntryBatch* enumeratingInto = nullptr;

}  // namespace

// --- State ------------------------------------------------------------------------------------------

namespace {

struct DeviceState;

// One transfer's place. Slots are never freed before the core, so a completion queued for a slot that
// has been recycled meanwhile finds a different generation and is dropped.
struct Slot {
    LibusbHost::Core* core = nullptr;
    TransferPtr transfer;                      // allocated at first use; freed at the device's destroy
    std::shared_ptr<TransferHandler> handler;  // from submission to delivery
    std::uint64_t generation = 0;              // written under the core's mutex, on the queue
    bool taken = false;                        // queue: from submission until delivered or destroyed
    bool inFlight = false;                     // core's mutex: libusb owns the transfer
    std::uint32_t status = 0;                  // written by the event thread before the hand-over
    std::size_t bytes = 0;
};

struct NameCache {
    bool looked = false;
    std::optional<std::string> value;
};

}  // namespace

struct LibusbHost::Core : std::enable_shared_from_this<LibusbHost::Core> {
    Core(SerialQueue& q, Settings s) : queue(q), settings(s) {}
    ~Core();

    SerialQueue& queue;
    const Settings settings;
    ContextPtr context;  // before every other libusb object here, so that they go before libusb_exit
    int initError = LIBUSB_SUCCESS;
    bool hotplug = false;

    mutable std::mutex mutex;
    std::condition_variable givenBack;  // a transfer in flight came back from libusb
    int cancelWaiters = 0;

    std::thread events;
    std::atomic<bool> stopEvents{false};
    std::atomic<std::thread::id> queueThread{};
    std::atomic<bool> closing{false};

    // Discovery.
    ArrivalHandler onArrival;        // queue
    bool hotplugRegistered = false;  // queue
    libusb_hotplug_callback_handle hotplugHandle = 0;
    EntryBatch pendingArrivals;    // mutex
    std::vector<DevicePtr> known;  // queue; the last listing, when rescanning

    // Open devices by serial number.
    std::map<std::uint64_t, DeviceState*> open;  // mutex
    std::uint64_t nextSerial = 1;                // queue

    std::deque<Slot> slots;        // queue
    // Handles of devices destroyed while libusb still had one of their transfers: closed only when
    // the core goes, before the transfers themselves are freed (queue).
    std::vector<HandlePtr> keptHandles;
    std::vector<Slot*> freeSlots;  // queue

    std::atomic<long> transfers{0};
    std::atomic<long> entries{0};
    std::atomic<long> devices{0};

    void noteQueueThread() { queueThread.store(std::this_thread::get_id(), std::memory_order_relaxed); }
    void ensureEvents();
    void stopEventThread();

    EntryRef makeEntry(libusb_device* d, int interfaceNumber = -1, std::shared_ptr<NameCache> name = nullptr);
    std::shared_ptr<DeviceState> openStateFor(libusb_device* d);
    std::optional<std::string> productName(libusb_device* d);

    static int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* d, libusb_hotplug_event event,
                                     void* self);
    void arrived(libusb_device* d);
    void left(libusb_device* d);
    void deliverArrivals();
    void deliverRemoval(std::uint64_t serial);
    void schedulePoll();
    void poll();

    static void LIBUSB_CALL onTransfer(libusb_transfer* transfer);
    void deliver(Slot* slot, std::uint64_t generation);
    Slot* takeSlot(DeviceState& device);
    void stopTransfers(DeviceState& device);
    void releaseInterface(DeviceState& device, int number);
    void destroyDevice(const std::shared_ptr<DeviceState>& device);
    void shutdown();
};

namespace {

class EntryImpl final : public Entry {
public:
    EntryImpl(std::shared_ptr<LibusbHost::Core> c, DevicePtr d, int number, std::shared_ptr<NameCache> n)
        : core(std::move(c)), device(std::move(d)), interfaceNumber(number), name(std::move(n)) {
        core->entries.fetch_add(1, std::memory_order_relaxed);
    }
    ~EntryImpl() override { core->entries.fetch_sub(1, std::memory_order_relaxed); }

    std::shared_ptr<LibusbHost::Core> core;  // first: outlives the device reference
    DevicePtr device;
    int interfaceNumber;  // -1 for a device
    std::shared_ptr<NameCache> name;
};

const EntryImpl* entryOf(const Entry& e) {
    return dynamic_cast<const EntryImpl*>(&e);
}

struct DeviceState : std::enable_shared_from_this<DeviceState> {
    std::shared_ptr<LibusbHost::Core> core;  // first: goes last
    EntryRef entry;                          // the reference given to openDevice
    libusb_device* device = nullptr;         // held by `entry`
    HandlePtr handle;
    std::string name;  // "2dc8:2004 at 1-1"
    InterestHandler interest;
    std::uint64_t serial = 0;
    std::vector<int> claimed;  // interface numbers
    std::vector<Slot*> slots;  // every slot this device has used since it was opened
    bool destroyed = false;
    bool transferLost = false;  // libusb kept a cancelled transfer: the handle must stay open
};

struct InterfaceState {
    std::shared_ptr<DeviceState> device;
    EntryRef entry;
    int number = 0;
    std::vector<EndpointDescriptor> endpoints;
    bool destroyed = false;
};

// Claims interface `number` of an open device; BUSY means another program (or a kernel driver that could
// not be detached) holds it.
std::optional<UsbError> claim(DeviceState& d, int number) {
    if (std::find(d.claimed.begin(), d.claimed.end(), number) != d.claimed.end()) return std::nullopt;
    const int rc = libusb_claim_interface(d.handle.get(), number);
    if (rc == LIBUSB_SUCCESS) {
        d.claimed.push_back(number);
        return std::nullopt;
    }
    const std::string what = "libusb_claim_interface " + std::to_string(number) + " of " + d.name;
    if (rc == LIBUSB_ERROR_BUSY) {
        UsbError e = errorOf(rc, what, Return::exclusiveAccess);
        e.description += " \u2014 another program holds the interface";
        return e;
    }
    return libusbError(rc, what);
}

UsbError gone(const std::string& what) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", Return::noDevice);
    return {Return::noDevice, what + ": the device object has been destroyed (" + code + ")",
            "the device has gone"};
}

class PipeObject final : public Pipe {
public:
    PipeObject(std::shared_ptr<InterfaceState> interface, std::uint8_t address, bool bulk)
        : interface_(std::move(interface)), address_(address), bulk_(bulk) {}

    std::optional<UsbError> enqueue(std::span<std::uint8_t> data, std::uint32_t timeoutMs,
                                    std::shared_ptr<TransferHandler> handler) override {
        DeviceState& d = *interface_->device;
        if (interface_->destroyed || d.destroyed) return gone("enqueue");
        LibusbHost::Core& core = *d.core;
        core.noteQueueThread();
        Slot* slot = core.takeSlot(d);
        if (!slot->transfer) {
            slot->transfer.reset(libusb_alloc_transfer(0));
            if (!slot->transfer) {
                slot->taken = false;
                return libusbError(LIBUSB_ERROR_NO_MEM, "libusb_alloc_transfer");
            }
            core.transfers.fetch_add(1, std::memory_order_relaxed);
        }
        libusb_transfer* t = slot->transfer.get();
        const int length = static_cast<int>(std::min<std::size_t>(data.size(), 1u << 30));
        if (bulk_) {
            libusb_fill_bulk_transfer(t, d.handle.get(), address_, data.data(), length,
                                      &LibusbHost::Core::onTransfer, slot, timeoutMs);
        } else {
            libusb_fill_interrupt_transfer(t, d.handle.get(), address_, data.data(), length,
                                           &LibusbHost::Core::onTransfer, slot, timeoutMs);
        }
        slot->handler = std::move(handler);
        {
            std::lock_guard lock(core.mutex);
            slot->inFlight = true;
        }
        const int rc = libusb_submit_transfer(t);
        if (rc == LIBUSB_SUCCESS) return std::nullopt;
        {
            std::lock_guard lock(core.mutex);
            slot->inFlight = false;
        }
        slot->handler.reset();
        slot->taken = false;
        char what[96];
        std::snprintf(what, sizeof what, "libusb_submit_transfer on endpoint 0x%02x of ", address_);
        return libusbError(rc, what + d.name);
    }

    std::optional<UsbError> clearStall() override {
        DeviceState& d = *interface_->device;
        if (interface_->destroyed || d.destroyed) return gone("clear halt");
        const int rc = libusb_clear_halt(d.handle.get(), address_);
        if (rc == LIBUSB_SUCCESS) return std::nullopt;
        char what[96];
        std::snprintf(what, sizeof what, "libusb_clear_halt on endpoint 0x%02x of ", address_);
        return libusbError(rc, what + d.name);
    }

private:
    std::shared_ptr<InterfaceState> interface_;
    std::uint8_t address_;
    bool bulk_;
};

class InterfaceObject final : public Interface {
public:
    explicit InterfaceObject(std::shared_ptr<InterfaceState> state) : state_(std::move(state)) {}
    ~InterfaceObject() override { destroy(); }

    std::vector<EndpointDescriptor> endpoints() const override { return state_->endpoints; }

    Result<std::unique_ptr<Pipe>> copyPipe(std::uint8_t address) override {
        if (state_->destroyed || state_->device->destroyed) return gone("copyPipe");
        for (const EndpointDescriptor& e : state_->endpoints) {
            if (e.bEndpointAddress != address) continue;
            const int type = e.bmAttributes & 0x03;
            if (type != LIBUSB_TRANSFER_TYPE_INTERRUPT && type != LIBUSB_TRANSFER_TYPE_BULK) break;
            return std::unique_ptr<Pipe>(
                std::make_unique<PipeObject>(state_, address, type == LIBUSB_TRANSFER_TYPE_BULK));
        }
        char text[96];
        std::snprintf(text, sizeof text, "no interrupt or bulk endpoint 0x%02x on interface %d", address,
                      state_->number);
        char code[24];
        std::snprintf(code, sizeof code, " (0x%08x)", Return::notFound);
        return UsbError{Return::notFound, text + (" of " + state_->device->name) + code, text};
    }

    void destroy() override {
        // Dropping the handlers of cancelled transfers may destroy the objects that own this one.
        std::shared_ptr<InterfaceState> state = state_;
        if (state->destroyed) return;
        state->destroyed = true;
        std::shared_ptr<DeviceState> device = state->device;
        device->core->stopTransfers(*device);
        device->core->releaseInterface(*device, state->number);
        state->entry.reset();
    }

private:
    std::shared_ptr<InterfaceState> state_;
};

class DeviceObject final : public Device {
public:
    explicit DeviceObject(std::shared_ptr<DeviceState> state) : state_(std::move(state)) {}
    ~DeviceObject() override { destroy(); }

    std::optional<UsbError> configure(int value,
                                      bool /*matchInterfaces: libusb lists them at once*/) override {
        DeviceState& d = *state_;
        if (d.destroyed) return gone("configure");
        int current = -1;
        if (libusb_get_configuration(d.handle.get(), &current) == LIBUSB_SUCCESS && current == value) {
            return std::nullopt;  // setting the active configuration again would reset the device
        }
        for (int number : d.claimed) libusb_release_interface(d.handle.get(), number);
        d.claimed.clear();
        const int rc = libusb_set_configuration(d.handle.get(), value);
        if (rc != LIBUSB_SUCCESS) {
            return libusbError(rc, "libusb_set_configuration " + std::to_string(value) + " of " + d.name);
        }
        return std::nullopt;
    }

    void destroy() override {
        std::shared_ptr<DeviceState> state = state_;
        state->core->destroyDevice(state);
    }

private:
    std::shared_ptr<DeviceState> state_;
};

}  // namespace

// --- Core -------------------------------------------------------------------------------------------

LibusbHost::Core::~Core() {
    stopEventThread();
    pendingArrivals.clear();
    known.clear();
    // Closing a handle makes libusb forget the transfers it still had on it; only then may they,
    // and the buffers their handlers own, be freed.
    keptHandles.clear();
    for (Slot& slot : slots) slot.transfer.reset();
}

void LibusbHost::Core::ensureEvents() {
    if (!context || events.joinable()) return;
    events = std::thread([this] {
        pthread_setname_np(pthread_self(), "joyrelay-usb");  // as shown by top -H and debuggers
        // No timeout: libusb wakes the thread for every event and its own timers, and shutdown
        // interrupts it, so an idle stick costs no wake-ups.
        while (!stopEvents.load(std::memory_order_acquire)) {
            libusb_handle_events_completed(context.get(), nullptr);
        }
    });
}

void LibusbHost::Core::stopEventThread() {
    if (!events.joinable() || events.get_id() == std::this_thread::get_id()) return;
    stopEvents.store(true, std::memory_order_release);
    libusb_interrupt_event_handler(context.get());
    events.join();
}

EntryRef LibusbHost::Core::makeEntry(libusb_device* d, int interfaceNumber, std::shared_ptr<NameCache> name) {
    if (!name) name = std::make_shared<NameCache>();
    return std::make_unique<EntryImpl>(shared_from_this(), reference(d), interfaceNumber, std::move(name));
}

std::shared_ptr<DeviceState> LibusbHost::Core::openStateFor(libusb_device* d) {
    std::lock_guard lock(mutex);
    for (auto& [serial, state] : open) {
        if (state->device == d && !state->destroyed) return state->shared_from_this();
    }
    return nullptr;
}

std::optional<std::string> LibusbHost::Core::productName(libusb_device* d) {
    // The kernel read the string when the device arrived and keeps it in sysfs, readable by everyone.
    if (const std::string name = sysfsName(d); !name.empty()) {
        const std::string dir = "/sys/bus/usb/devices/" + name;
        const std::optional<std::string> devnum = readSmallFile(dir + "/devnum", 16);
        const bool same = !devnum || std::atoi(devnum->c_str()) == libusb_get_device_address(d);
        if (same) {
            if (std::optional<std::string> text = readSmallFile(dir + "/product", 4096)) {
                if (!text->empty() && text->back() == '\n') text->pop_back();
                return text;
            }
        }
    }
    // Else ask the device, which needs it open.
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(d, &desc) != LIBUSB_SUCCESS || desc.iProduct == 0) return std::nullopt;
    std::shared_ptr<DeviceState> state = openStateFor(d);
    if (state) return stringDescriptor(state->handle.get(), desc.iProduct);
    libusb_device_handle* raw = nullptr;
    if (libusb_open(d, &raw) != LIBUSB_SUCCESS) return std::nullopt;
    HandlePtr handle(raw);
    return stringDescriptor(raw, desc.iProduct);
}

int LIBUSB_CALL LibusbHost::Core::onHotplug(libusb_context*, libusb_device* d, libusb_hotplug_event event,
                                            void* self) {
    auto* core = static_cast<Core*>(self);
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
        core->arrived(d);
    } else if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
        core->left(d);
    }
    return 0;  // stay registered
}

void LibusbHost::Core::arrived(libusb_device* d) {
    if (enumeratingInto != nullptr) {
        enumeratingInto->push_back(makeEntry(d));
        return;
    }
    if (closing.load()) return;
    EntryRef entry = makeEntry(d);
    bool first;
    {
        std::lock_guard lock(mutex);
        first = pendingArrivals.empty();
        pendingArrivals.push_back(std::move(entry));
    }
    // Arrivals handled by libusb together go to the bridge as one batch.
    if (first) queue.async([this] { deliverArrivals(); });
}

void LibusbHost::Core::left(libusb_device* d) {
    std::vector<std::uint64_t> serials;
    {
        std::lock_guard lock(mutex);
        for (auto& [serial, state] : open) {
            if (state->device == d) serials.push_back(serial);
        }
    }
    for (std::uint64_t serial : serials) queue.async([this, serial] { deliverRemoval(serial); });
}

void LibusbHost::Core::deliverArrivals() {
    EntryBatch batch;
    {
        std::lock_guard lock(mutex);
        batch.swap(pendingArrivals);
    }
    if (batch.empty() || closing.load() || !onArrival) return;
    onArrival(std::move(batch));
}

void LibusbHost::Core::deliverRemoval(std::uint64_t serial) {
    std::shared_ptr<DeviceState> state;
    {
        std::lock_guard lock(mutex);
        if (auto it = open.find(serial); it != open.end()) state = it->second->shared_from_this();
    }
    if (!state || state->destroyed || !state->interest) return;
    InterestHandler handler = state->interest;  // the handler may destroy the device
    handler(messageServiceIsTerminated);
}

void LibusbHost::Core::schedulePoll() {
    queue.asyncAfter(settings.rescanInterval, [weak = weak_from_this()] {
        if (auto core = weak.lock()) core->poll();
    });
}

void LibusbHost::Core::poll() {
    if (closing.load()) return;
    libusb_device** raw = nullptr;
    const ssize_t n = libusb_get_device_list(context.get(), &raw);
    if (n >= 0) {
        ListPtr list(raw);
        std::vector<DevicePtr> now;
        EntryBatch arrivals;
        for (ssize_t i = 0; i < n; ++i) {
            now.push_back(reference(raw[i]));
            const bool seen = std::any_of(known.begin(), known.end(),
                                          [&](const DevicePtr& k) { return k.get() == raw[i]; });
            if (!seen) arrivals.push_back(makeEntry(raw[i]));
        }
        std::vector<std::uint64_t> removed;
        {
            std::lock_guard lock(mutex);
            for (auto& [serial, state] : open) {
                const bool present = std::any_of(
                    now.begin(), now.end(), [&](const DevicePtr& p) { return p.get() == state->device; });
                if (!present) removed.push_back(serial);
            }
        }
        known = std::move(now);
        for (std::uint64_t serial : removed) deliverRemoval(serial);
        if (!arrivals.empty() && onArrival && !closing.load()) onArrival(std::move(arrivals));
    }
    schedulePoll();
}

void LIBUSB_CALL LibusbHost::Core::onTransfer(libusb_transfer* transfer) {
    // On the event thread: note the outcome and hand the completion to the bridge queue.
    auto* slot = static_cast<Slot*>(transfer->user_data);
    Core* core = slot->core;
    const std::uint32_t status = transferStatusCode(transfer->status);
    const std::size_t bytes =
        transfer->actual_length > 0 ? static_cast<std::size_t>(transfer->actual_length) : 0;
    bool waiting;
    {
        std::lock_guard lock(core->mutex);
        slot->status = status;
        slot->bytes = bytes;
        slot->inFlight = false;
        waiting = core->cancelWaiters > 0;
        // Handed over before the lock goes, so that a destroy that sees the transfer back also knows
        // its completion is queued (and drops it). Two words: the queue posts this without allocating.
        core->queue.async([slot, generation = slot->generation] { slot->core->deliver(slot, generation); });
    }
    if (waiting) core->givenBack.notify_all();
}

void LibusbHost::Core::deliver(Slot* slot, std::uint64_t generation) {
    if (slot->generation != generation || !slot->taken) return;  // its device was destroyed meanwhile
    std::shared_ptr<TransferHandler> handler = std::move(slot->handler);
    const std::uint32_t status = slot->status;
    const std::size_t bytes = slot->bytes;
    slot->taken = false;  // free for the next transfer, which the handler may submit right away
    if (handler) handler->transferCompleted(status, bytes);
}

Slot* LibusbHost::Core::takeSlot(DeviceState& device) {
    Slot* slot = nullptr;
    for (Slot* s : device.slots) {
        if (!s->taken) {
            slot = s;
            break;
        }
    }
    if (slot == nullptr) {
        if (!freeSlots.empty()) {
            slot = freeSlots.back();
            freeSlots.pop_back();
        } else {
            slot = &slots.emplace_back();
            slot->core = this;
        }
        device.slots.push_back(slot);
    }
    slot->taken = true;
    return slot;
}

void LibusbHost::Core::stopTransfers(DeviceState& device) {
    std::vector<libusb_transfer*> inFlight;
    {
        std::lock_guard lock(mutex);
        for (Slot* slot : device.slots) {
            if (slot->inFlight) inFlight.push_back(slot->transfer.get());
        }
    }
    for (libusb_transfer* t : inFlight) libusb_cancel_transfer(t);  // NOT_FOUND when it just completed
    bool lost = false;
    std::vector<std::shared_ptr<TransferHandler>> handlers;
    {
        std::unique_lock lock(mutex);
        if (!inFlight.empty()) {
            ++cancelWaiters;
            givenBack.wait_for(lock, settings.cancelWait, [&] {
                return std::none_of(device.slots.begin(), device.slots.end(),
                                    [](Slot* s) { return s->inFlight; });
            });
            --cancelWaiters;
        }
        for (Slot* slot : device.slots) {
            ++slot->generation;  // a completion still queued for it is dropped
            if (slot->inFlight) {
                // libusb did not give it back: the slot leaves circulation with its transfer and the
                // handler that owns the transfer's buffer, and the device's handle stays open; all of
                // them go only with the core, once the handle is closed.
                lost = true;
                continue;
            }
            handlers.push_back(std::move(slot->handler));
            slot->taken = false;
            if (slot->transfer) {
                slot->transfer.reset();
                transfers.fetch_sub(1, std::memory_order_relaxed);
            }
            freeSlots.push_back(slot);
        }
        device.slots.clear();
    }
    if (lost) {
        device.transferLost = true;
        Log::info("usb: libusb did not give a cancelled transfer back in time on " + device.name);
    }
    handlers.clear();  // may destroy their owners; done outside the lock
}

void LibusbHost::Core::releaseInterface(DeviceState& device, int number) {
    auto it = std::find(device.claimed.begin(), device.claimed.end(), number);
    if (it == device.claimed.end() || device.destroyed) return;
    device.claimed.erase(it);
    // With auto-detach on, libusb gives the interface back to the kernel driver it took it from.
    libusb_release_interface(device.handle.get(), number);
}

void LibusbHost::Core::destroyDevice(const std::shared_ptr<DeviceState>& device) {
    if (device->destroyed) return;
    device->destroyed = true;  // first: dropping transfer handlers below may come back here
    {
        std::lock_guard lock(mutex);
        open.erase(device->serial);  // no removal notice from now on
    }
    stopTransfers(*device);
    for (int number : device->claimed) libusb_release_interface(device->handle.get(), number);
    device->claimed.clear();
    if (device->transferLost) {
        keptHandles.push_back(std::move(device->handle));
    } else {
        device->handle.reset();
    }
    device->entry.reset();
    InterestHandler drop = std::move(device->interest);
    devices.fetch_sub(1, std::memory_order_relaxed);
}

void LibusbHost::Core::shutdown() {
    closing.store(true);
    if (hotplugRegistered) {
        libusb_hotplug_deregister_callback(context.get(), hotplugHandle);
        hotplugRegistered = false;
    }
    onArrival = nullptr;
    std::vector<std::shared_ptr<DeviceState>> states;
    {
        std::lock_guard lock(mutex);
        for (auto& [serial, state] : open) states.push_back(state->shared_from_this());
    }
    for (const auto& state : states) destroyDevice(state);
    EntryBatch drop;
    {
        std::lock_guard lock(mutex);
        drop.swap(pendingArrivals);
    }
    known.clear();
}

// --- LibusbHost -------------------------------------------------------------------------------------

LibusbHost::LibusbHost(SerialQueue& queue, Settings settings)
    : core_(std::make_shared<Core>(queue, settings)) {
    libusb_context* context = nullptr;
    const int rc = libusb_init(&context);
    if (rc != LIBUSB_SUCCESS) {
        core_->initError = rc;
        return;
    }
    core_->context.reset(context);
    core_->hotplug = settings.useHotplug && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
}

LibusbHost::~LibusbHost() {
    std::shared_ptr<Core> core = std::move(core_);
    const std::thread::id queueThread = core->queueThread.load();
    if (queueThread == std::thread::id() || queueThread == std::this_thread::get_id()) {
        core->shutdown();
    } else {
        std::promise<void> done;
        core->queue.async([&core, &done] {
            core->shutdown();
            done.set_value();
        });
        done.get_future().wait();
    }
    core->stopEventThread();
    // Completions already handed to the queue refer to the core: let the last reference go after them.
    core->queue.async([last = std::move(core)] {});
}

bool LibusbHost::usesHotplug() const {
    return core_->hotplug;
}
long LibusbHost::liveTransfers() const {
    return core_->transfers.load();
}
long LibusbHost::liveEntries() const {
    return core_->entries.load();
}
long LibusbHost::openDevices() const {
    return core_->devices.load();
}

bool LibusbHost::createNotificationPort() {
    core_->noteQueueThread();
    if (!core_->context) {
        Log::info("usb: libusb cannot be used: " + libusbError(core_->initError, "libusb_init").description);
        return false;
    }
    core_->ensureEvents();
    return true;
}

std::uint32_t LibusbHost::addMatchingNotification(ArrivalHandler onArrival, EntryBatch& present) {
    Core& core = *core_;
    core.noteQueueThread();
    if (!core.context) return libusbErrorCode(core.initError);
    core.ensureEvents();
    core.onArrival = std::move(onArrival);
    if (core.hotplug) {
        enumeratingInto = &present;
        const int rc = libusb_hotplug_register_callback(
            core.context.get(),
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, &Core::onHotplug, &core, &core.hotplugHandle);
        enumeratingInto = nullptr;
        if (rc != LIBUSB_SUCCESS) {
            core.onArrival = nullptr;
            present.clear();
            return libusbErrorCode(rc);
        }
        core.hotplugRegistered = true;
        return Return::success;
    }
    // No hotplug: list the bus now and every rescan interval.
    libusb_device** raw = nullptr;
    const ssize_t n = libusb_get_device_list(core.context.get(), &raw);
    if (n < 0) {
        core.onArrival = nullptr;
        return libusbErrorCode(static_cast<int>(n));
    }
    ListPtr list(raw);
    for (ssize_t i = 0; i < n; ++i) {
        present.push_back(core.makeEntry(raw[i]));
        core.known.push_back(reference(raw[i]));
    }
    core.schedulePoll();
    return Return::success;
}

std::optional<EntryBatch> LibusbHost::matchingDevices() {
    core_->noteQueueThread();
    if (!core_->context) return std::nullopt;
    libusb_device** raw = nullptr;
    const ssize_t n = libusb_get_device_list(core_->context.get(), &raw);
    if (n < 0) return std::nullopt;
    ListPtr list(raw);
    EntryBatch batch;
    for (ssize_t i = 0; i < n; ++i) batch.push_back(core_->makeEntry(raw[i]));
    return batch;
}

std::optional<std::int64_t> LibusbHost::intProperty(const Entry& entry, std::string_view key) {
    const EntryImpl* e = entryOf(entry);
    if (e == nullptr) return std::nullopt;
    if (e->interfaceNumber >= 0) {
        return key == "bInterfaceNumber" ? std::optional<std::int64_t>(e->interfaceNumber) : std::nullopt;
    }
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(e->device.get(), &desc) != LIBUSB_SUCCESS) return std::nullopt;
    if (key == "idVendor") return desc.idVendor;
    if (key == "idProduct") return desc.idProduct;
    if (key == "bDeviceClass") return desc.bDeviceClass;
    return std::nullopt;
}

std::optional<std::string> LibusbHost::stringProperty(const Entry& entry, std::string_view key) {
    const EntryImpl* e = entryOf(entry);
    if (e == nullptr || e->interfaceNumber >= 0 || key != "USB Product Name") return std::nullopt;
    core_->noteQueueThread();
    NameCache& cache = *e->name;
    if (!cache.looked) {
        cache.value = core_->productName(e->device.get());
        cache.looked = true;
    }
    return cache.value;
}

EntryRef LibusbHost::childInterface(const Entry& device, int number) {
    const EntryImpl* e = entryOf(device);
    if (e == nullptr || e->interfaceNumber >= 0) return nullptr;
    ConfigPtr config = activeConfig(e->device.get());
    if (!config || findInterface(*config, number) == nullptr) return nullptr;
    return core_->makeEntry(e->device.get(), number);
}

EntryRef LibusbHost::retain(const Entry& entry) {
    const EntryImpl* e = entryOf(entry);
    if (e == nullptr) return nullptr;
    return core_->makeEntry(e->device.get(), e->interfaceNumber, e->name);
}

Result<std::unique_ptr<Device>> LibusbHost::openDevice(EntryRef device, InterestHandler onInterest) {
    Core& core = *core_;
    core.noteQueueThread();
    const EntryImpl* e = device ? entryOf(*device) : nullptr;
    if (e == nullptr || e->interfaceNumber >= 0) {
        return UsbError{Return::badArgument, "openDevice: not a USB device entry", "not a USB device"};
    }
    core.ensureEvents();
    libusb_device* d = e->device.get();
    auto state = std::make_shared<DeviceState>();
    state->name = describe(d);
    libusb_device_handle* raw = nullptr;
    const int rc = libusb_open(d, &raw);
    if (rc != LIBUSB_SUCCESS) return libusbError(rc, "libusb_open " + state->name);
    state->handle.reset(raw);
    // The kernel's gamepad driver binds this stick: libusb takes the interface from it at the claim and
    // gives it back at the release.
    libusb_set_auto_detach_kernel_driver(raw, 1);
    // Claimed now, so that another program holding the stick shows here. A device whose current
    // configuration lacks interface 0 stays unclaimed until openInterface.
    if (std::optional<UsbError> refused = claim(*state, 0); refused && refused->code != Return::notFound) {
        return *std::move(refused);
    }
    state->core = core_;
    state->device = d;
    state->entry = std::move(device);
    state->interest = std::move(onInterest);
    state->serial = core.nextSerial++;
    {
        std::lock_guard lock(core.mutex);
        core.open[state->serial] = state.get();
    }
    core.devices.fetch_add(1, std::memory_order_relaxed);
    return std::unique_ptr<Device>(std::make_unique<DeviceObject>(std::move(state)));
}

Result<std::unique_ptr<Interface>> LibusbHost::openInterface(EntryRef interface) {
    Core& core = *core_;
    core.noteQueueThread();
    const EntryImpl* e = interface ? entryOf(*interface) : nullptr;
    if (e == nullptr || e->interfaceNumber < 0) {
        return UsbError{Return::badArgument, "openInterface: not a USB interface entry",
                        "not a USB interface"};
    }
    std::shared_ptr<DeviceState> device = core.openStateFor(e->device.get());
    if (!device) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", Return::notFound);
        return UsbError{Return::notFound,
                        "openInterface " + std::to_string(e->interfaceNumber) + " of " +
                            describe(e->device.get()) + ": the device is not open (" + code + ")",
                        "the device is not open"};
    }
    if (std::optional<UsbError> refused = claim(*device, e->interfaceNumber)) return *std::move(refused);
    auto state = std::make_shared<InterfaceState>();
    state->device = device;
    state->number = e->interfaceNumber;
    ConfigPtr config = activeConfig(e->device.get());
    const libusb_interface_descriptor* alt = config ? findInterface(*config, e->interfaceNumber) : nullptr;
    if (alt == nullptr) {
        core.releaseInterface(*device, e->interfaceNumber);
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", Return::notFound);
        return UsbError{Return::notFound,
                        "interface " + std::to_string(e->interfaceNumber) + " of " + device->name +
                            " is not in the active configuration (" + code + ")",
                        "the interface is not in the active configuration"};
    }
    for (int i = 0; i < alt->bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& ep = alt->endpoint[i];
        state->endpoints.push_back({ep.bLength, ep.bDescriptorType, ep.bEndpointAddress, ep.bmAttributes,
                                    ep.wMaxPacketSize, ep.bInterval});
    }
    state->entry = std::move(interface);
    return std::unique_ptr<Interface>(std::make_unique<InterfaceObject>(std::move(state)));
}

}  // namespace joyrelay::usb
