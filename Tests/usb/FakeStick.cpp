// fakestick implementation. See FakeStick.hpp for what is emulated and which thread runs what.
// Kernel behaviour mirrored here comes from drivers/usb/core/devio.c (usbdevfs): claims belong to
// an open file, the first URB on an unclaimed interface claims it implicitly, DISCARDURB of an URB
// that is no longer pending is EINVAL, and after a disconnect only reaping still works (handing back
// the killed URBs, then ENODEV).
#include "FakeStick.hpp"

#include <sys/ioctl.h>  // must precede linux/usbdevice_fs.h, or the USBDEVFS_* macros do not compile
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fakestick {
namespace {

// Owning reference to a GObject (UMockdevIoctlData is one too).
template <class T>
class GRef {
public:
    GRef() = default;
    static GRef adopt(T* p) { GRef r; r.p_ = p; return r; }
    static GRef share(T* p) { if (p) g_object_ref(p); return adopt(p); }
    GRef(GRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    GRef& operator=(GRef&& o) noexcept { if (this != &o) { reset(); p_ = std::exchange(o.p_, nullptr); } return *this; }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    ~GRef() { reset(); }
    void reset() { if (p_) g_object_unref(p_); p_ = nullptr; }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
private:
    T* p_ = nullptr;
};

GRef<UMockdevIoctlData> resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t len) {
    GError* e = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, offset, len, &e);
    if (e) g_error_free(e);
    return GRef<UMockdevIoctlData>::adopt(d);
}

using Result = std::pair<long, int>;  // ioctl return value, errno
constexpr Result kOk{0, 0};
Result fail(int e) { return {-1, e}; }

// What a Linux xHCI host reports, minus the features this emulation does not offer (mmap'ed
// buffers, scatter-gather, suspend, CONNINFO_EX).
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                        USBDEVFS_CAP_DROP_PRIVILEGES;

void le16(Bytes& b, unsigned v) { b.push_back(v & 0xff); b.push_back((v >> 8) & 0xff); }

Bytes deviceDescriptor(const DeviceSpec& s) {
    Bytes d{18, USB_DT_DEVICE};
    le16(d, 0x0200);
    d.insert(d.end(), {s.deviceClass, s.subClass, s.protocol, 64});
    le16(d, s.vendor);
    le16(d, s.product);
    le16(d, s.bcdDevice);
    d.insert(d.end(), {std::uint8_t(s.manufacturer ? 1 : 0), 2 /* iProduct, even when the name is absent */, 0, 1});
    return d;
}

void interfaceDescriptor(Bytes& c, const DeviceSpec& s, std::uint8_t number, std::uint8_t alt,
                         const std::vector<Endpoint>& endpoints) {
    c.insert(c.end(), {9, USB_DT_INTERFACE, number, alt, std::uint8_t(endpoints.size()), 0xff, s.subClass, s.protocol, 0});
    for (const Endpoint& e : endpoints) {
        c.insert(c.end(), {7, USB_DT_ENDPOINT, e.address, e.attributes});
        le16(c, e.maxPacketSize);
        c.push_back(e.interval);
    }
}

int interfaceCount(const DeviceSpec& s) { return s.gipInterfaces ? 3 : 1; }

Bytes configDescriptor(const DeviceSpec& s) {
    Bytes c{9, USB_DT_CONFIG, 0, 0, std::uint8_t(interfaceCount(s)), 1, 0, 0xa0, 0xfa};
    interfaceDescriptor(c, s, 0, 0, s.endpoints);
    if (s.gipInterfaces) {
        interfaceDescriptor(c, s, 1, 0, {});
        interfaceDescriptor(c, s, 1, 1, {{0x02, 228, 0x01, 1}, {0x82, 228, 0x01, 1}});  // isochronous
        interfaceDescriptor(c, s, 2, 0, {});
        interfaceDescriptor(c, s, 2, 1, {{0x03, 64, 0x02, 0}, {0x83, 64, 0x02, 0}});  // bulk
    }
    c[2] = c.size() & 0xff;
    c[3] = (c.size() >> 8) & 0xff;
    return c;
}

Bytes stringDescriptor(const std::string& utf8) {
    Bytes d{0, USB_DT_STRING};
    glong n = 0;
    gunichar2* u = g_utf8_to_utf16(utf8.c_str(), -1, nullptr, &n, nullptr);
    for (glong i = 0; u && i < n && d.size() + 2 <= 255; ++i) le16(d, u[i]);
    g_free(u);
    d[0] = std::uint8_t(d.size());
    return d;
}

std::string attrValue(const std::string& name, const std::string& v) {
    for (char ch : v)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == '\\')
            throw std::invalid_argument("fakestick: " + name + " must not contain control characters or '\\'");
    return v;
}

}  // namespace

// ============================================================================================
// The emulated device
// ============================================================================================
struct FakeStick::State {
    struct Urb {
        GRef<UMockdevIoctlData> urb, buf;  // client memory, resolved at submit
        UMockdevIoctlClient* client = nullptr;
        unsigned long addr = 0;            // the URB's address in the client
        std::uint8_t endpoint = 0, type = 0;
        int status = 0, actual = 0;        // written into the client's URB when it is reaped
        Bytes in;                          // data for the client's buffer (IN and control-IN)
        std::size_t dataOffset = 0;        // 8 for control transfers (setup packet first)
        std::optional<Clock::time_point> pushed;
    };
    struct Report { Bytes data; std::uint8_t endpoint; Clock::time_point pushed; };
    struct Client {                        // one open file of the device node (not referenced: see onConnected)
        int generation = -1;               // the plug it was opened in; -1: opened while unplugged
        bool claimed = false;
        unsigned otherClaims = 0;          // bit n: interface n (1 or 2) claimed
        std::deque<Urb> reapable;
    };

    UMockdevTestbed* tb;
    int port;
    mutable std::mutex m;
    mutable std::condition_variable cv;
    DeviceSpec layout;
    Stats st;
    bool driverBound = false;
    std::vector<std::string> attachedNodes;
    std::vector<GRef<UMockdevIoctlBase>> handlers;   // never detached while the testbed lives
    std::map<UMockdevIoctlClient*, Client> clients;
    std::deque<Urb> pendingIn;
    std::deque<Urb> pendingOut;            // held OUT URBs (holdOutWrites)
    bool holdOut = false;
    bool ledSeen = false, authSeen = false, guideAcknowledged = false;  // since the plug
    std::vector<std::pair<unsigned, unsigned>> altSettings;
    bool inHalted = false;
    std::deque<Report> reports;
    std::vector<Bytes> outs;
    std::vector<std::array<std::uint8_t, 8>> setups;
    std::vector<InTiming> timings;

    State(UMockdevTestbed* t, int p, DeviceSpec s) : tb(t), port(p), layout(std::move(s)) {}
    ~State() {
        for (auto& h : handlers) g_signal_handlers_disconnect_by_data(h.get(), this);
        for (auto& [c, client] : clients) g_object_weak_unref(G_OBJECT(c), &State::closedThunk, this);
    }

    std::string devnode() const {
        char b[64];
        std::snprintf(b, sizeof b, "/dev/bus/usb/%03d/%03d", layout.busnum, layout.devnum);
        return b;
    }
    std::string syspath() const {
        return "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(layout.busnum) + "/" +
               std::to_string(layout.busnum) + "-" + std::to_string(port);
    }

    std::string description() const {
        char head[512];
        std::snprintf(head, sizeof head,
                      "P: %s\nN: bus/usb/%03d/%03d\nE: DEVNAME=%s\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                      "E: PRODUCT=%x/%x/%x\nE: TYPE=%d/%d/%d\nE: BUSNUM=%03d\nE: DEVNUM=%03d\nE: SUBSYSTEM=usb\n"
                      "A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\n"
                      "A: bNumConfigurations=1\\n\nA: bNumInterfaces= %d\\n\nA: idVendor=%04x\\n\nA: idProduct=%04x\\n\n"
                      "A: bDeviceClass=%02x\\n\n",
                      syspath().substr(4).c_str(), layout.busnum, layout.devnum, devnode().c_str(), layout.vendor,
                      layout.product, layout.bcdDevice, layout.deviceClass, layout.subClass, layout.protocol, layout.busnum,
                      layout.devnum, layout.busnum, layout.devnum, interfaceCount(layout), layout.vendor, layout.product,
                      layout.deviceClass);
        std::string d = head;
        if (layout.productName) d += "A: product=" + attrValue("productName", *layout.productName) + "\\n\n";
        if (layout.manufacturer) d += "A: manufacturer=" + attrValue("manufacturer", *layout.manufacturer) + "\\n\n";
        Bytes all = deviceDescriptor(layout);
        Bytes cfg = configDescriptor(layout);
        all.insert(all.end(), cfg.begin(), cfg.end());
        std::string h = hex(all);
        h.erase(std::remove(h.begin(), h.end(), ' '), h.end());
        return d + "H: descriptors=" + h + "\n";
    }

    // ---- plugging (test thread) ----
    void attachAndAdd() {
        const std::string node = devnode();
        if (std::find(attachedNodes.begin(), attachedNodes.end(), node) == attachedNodes.end()) {
            auto h = GRef<UMockdevIoctlBase>::adopt(umockdev_ioctl_base_new());
            g_signal_connect(h.get(), "handle-ioctl", G_CALLBACK(+[](UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer self) -> gboolean {
                                 return static_cast<State*>(self)->onIoctl(c);
                             }), this);
            g_signal_connect(h.get(), "client-connected", G_CALLBACK(+[](UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer self) {
                                 static_cast<State*>(self)->onConnected(c);
                             }), this);
            GError* e = nullptr;
            // Before the device is added: adding it sends the "add" uevent a program may act on at once.
            if (!umockdev_testbed_attach_ioctl(tb, node.c_str(), h.get(), &e)) {
                std::string msg = e ? e->message : "unknown error";
                if (e) g_error_free(e);
                throw std::runtime_error("fakestick: attach_ioctl(" + node + "): " + msg);
            }
            attachedNodes.push_back(node);
            handlers.push_back(std::move(h));
        }
        GError* e = nullptr;
        if (!umockdev_testbed_add_from_string(tb, description().c_str(), &e)) {
            std::string msg = e ? e->message : "unknown error";
            if (e) g_error_free(e);
            throw std::runtime_error("fakestick: adding " + node + ": " + msg);
        }
    }

    // ---- umockdev worker thread ----
    void onConnected(UMockdevIoctlClient* c) {
        {
            std::lock_guard lk(m);
            Client& cl = clients[c];
            cl.generation = st.plugged ? st.generation : -1;
            ++st.openHandles;
            ++st.opensTotal;
        }
        // umockdev 0.17 neither emits client-vanished nor notifies `connected` when a program closes
        // the node; the client object is released at that moment, though, so watch for that.
        g_object_weak_ref(G_OBJECT(c), &State::closedThunk, this);
        cv.notify_all();
    }

    static void closedThunk(gpointer self, GObject* client) {
        static_cast<State*>(self)->onClosed(reinterpret_cast<UMockdevIoctlClient*>(client));
    }
    void onClosed(UMockdevIoctlClient* c) {  // c is being finalized: identity only
        {
            std::lock_guard lk(m);
            auto it = clients.find(c);
            if (it == clients.end()) return;
            // Closing the file kills its URBs and releases its claims.
            pendingIn.erase(std::remove_if(pendingIn.begin(), pendingIn.end(), [c](const Urb& u) { return u.client == c; }),
                            pendingIn.end());
            pendingOut.erase(std::remove_if(pendingOut.begin(), pendingOut.end(), [c](const Urb& u) { return u.client == c; }),
                             pendingOut.end());
            clients.erase(it);
            --st.openHandles;
            refreshCounts();
        }
        cv.notify_all();
    }

    gboolean onIoctl(UMockdevIoctlClient* c) {
        Result r;
        {
            std::lock_guard lk(m);
            ++st.ioctls;
            r = dispatch(c, umockdev_ioctl_client_get_request(c), umockdev_ioctl_client_get_arg(c));
            refreshCounts();
        }
        cv.notify_all();
        umockdev_ioctl_client_complete(c, r.first, r.second);
        return TRUE;
    }

    void refreshCounts() {
        st.driverBound = driverBound;
        st.pendingIn = int(pendingIn.size());
        st.pendingOut = int(pendingOut.size());
        st.mostPendingOut = std::max(st.mostPendingOut, st.pendingOut);
        st.queuedReports = int(reports.size());
    }

    bool dead(const Client& cl) const { return !st.plugged || cl.generation != st.generation; }

    const Endpoint* endpoint(unsigned address) const {
        for (const Endpoint& e : layout.endpoints)
            if (e.address == address) return &e;
        return nullptr;
    }

    // Who holds interface 0, as USBDEVFS_GETDRIVER names it.
    std::string holder() const {
        if (layout.heldByOtherProgram) return "usbfs";
        for (const auto& [c, cl] : clients)
            if (cl.claimed && !dead(cl)) return "usbfs";
        return driverBound ? *layout.kernelDriver : std::string();
    }

    // Unbinds whoever holds interface 0 (USBDEVFS_DISCONNECT / DISCONNECT_CLAIM).
    void releaseHolder() {
        if (driverBound) { driverBound = false; ++st.detaches; return; }
        layout.heldByOtherProgram = false;
        for (auto& [c, cl] : clients) cl.claimed = false;
    }

    bool otherInterface(unsigned ifnum) const { return layout.gipInterfaces && (ifnum == 1 || ifnum == 2); }

    Result claim(Client& cl, unsigned ifnum) {
        if (otherInterface(ifnum)) {  // held by nobody else
            cl.otherClaims |= 1u << ifnum;
            return kOk;
        }
        if (ifnum != 0) return fail(ENOENT);
        if (cl.claimed) return kOk;
        if (!holder().empty()) { ++st.claimsRefused; return fail(EBUSY); }
        cl.claimed = true;
        ++st.claims;
        return kOk;
    }

    // Standard requests a stick answers; everything else stalls. Returns nullopt for a stall.
    std::optional<Bytes> control(const std::uint8_t* setup) {
        const unsigned type = setup[0], request = setup[1], value = setup[2] | setup[3] << 8;
        std::array<std::uint8_t, 8> s;
        std::copy(setup, setup + 8, s.begin());
        setups.push_back(s);
        ++st.controlTransfers;
        std::optional<Bytes> answer;
        if (type == USB_DIR_IN && request == USB_REQ_GET_DESCRIPTOR) {
            const unsigned kind = value >> 8, index = value & 0xff;
            if (kind == USB_DT_DEVICE) answer = deviceDescriptor(layout);
            else if (kind == USB_DT_CONFIG && index == 0) answer = configDescriptor(layout);
            else if (kind == USB_DT_STRING && index == 0) answer = Bytes{4, USB_DT_STRING, 0x09, 0x04};  // en-US
            else if (kind == USB_DT_STRING && index == 1 && layout.manufacturer) answer = stringDescriptor(*layout.manufacturer);
            else if (kind == USB_DT_STRING && index == 2 && layout.productName) answer = stringDescriptor(*layout.productName);
        } else if (type == USB_DIR_IN && request == USB_REQ_GET_STATUS) {
            answer = Bytes{0, 0};
        } else if (type == USB_DIR_IN && request == USB_REQ_GET_CONFIGURATION) {
            answer = Bytes{1};
        } else if (type == USB_DIR_OUT && request == USB_REQ_SET_CONFIGURATION && value == 1) {
            answer = Bytes{};
        }
        if (!answer) ++st.stalls;
        return answer;
    }

    Result dispatch(UMockdevIoctlClient* c, unsigned long req, UMockdevIoctlData* arg) {
        auto found = clients.find(c);
        if (found == clients.end()) return fail(EBADF);
        Client& cl = found->second;

        if (req == USBDEVFS_REAPURBNDELAY) return reap(cl, arg);   // the only thing that works after unplug
        if (dead(cl)) return fail(ENODEV);

        GRef<UMockdevIoctlData> data;
        if (const std::size_t size = _IOC_SIZE(req); size > 0) {
            data = resolve(arg, 0, size);
            if (!data) return fail(EFAULT);
        }
        void* p = data ? static_cast<void*>(data->data) : nullptr;

        switch (req) {
        case USBDEVFS_GET_CAPABILITIES:
            *static_cast<std::uint32_t*>(p) = kCapabilities;
            return kOk;
        case USBDEVFS_CLAIMINTERFACE:
            return claim(cl, *static_cast<unsigned*>(p));
        case USBDEVFS_RELEASEINTERFACE:
            if (const unsigned n = *static_cast<unsigned*>(p); otherInterface(n)) {
                if (!(cl.otherClaims & (1u << n))) return fail(EINVAL);
                cl.otherClaims &= ~(1u << n);
                return kOk;
            }
            if (*static_cast<unsigned*>(p) != 0 || !cl.claimed) return fail(EINVAL);
            cl.claimed = false;
            ++st.releases;
            return kOk;
        case USBDEVFS_DISCONNECT_CLAIM: {
            auto* dc = static_cast<usbdevfs_disconnect_claim*>(p);
            if (otherInterface(dc->interface)) return claim(cl, dc->interface);
            if (dc->interface != 0) return fail(EINVAL);
            const std::string drv = holder();
            if (!drv.empty()) {
                const bool same = std::strncmp(dc->driver, drv.c_str(), sizeof dc->driver) == 0;
                if (((dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !same) ||
                    ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && same)) {
                    ++st.claimsRefused;
                    return fail(EBUSY);
                }
                releaseHolder();
            }
            return claim(cl, 0);
        }
        case USBDEVFS_GETDRIVER: {
            auto* gd = static_cast<usbdevfs_getdriver*>(p);
            if (otherInterface(gd->interface)) return fail(ENODATA);
            if (gd->interface != 0) return fail(EINVAL);
            const std::string drv = holder();
            if (drv.empty()) return fail(ENODATA);
            std::snprintf(gd->driver, sizeof gd->driver, "%s", drv.c_str());
            return kOk;
        }
        case USBDEVFS_IOCTL: {
            auto* io = static_cast<usbdevfs_ioctl*>(p);
            if (otherInterface(unsigned(io->ifno))) return io->ioctl_code == int(USBDEVFS_CONNECT) ? kOk : fail(ENODATA);
            if (io->ifno != 0) return fail(EINVAL);
            if (io->ioctl_code == int(USBDEVFS_DISCONNECT)) {
                if (holder().empty()) return fail(ENODATA);
                releaseHolder();
                return kOk;
            }
            if (io->ioctl_code == int(USBDEVFS_CONNECT)) {
                if (layout.kernelDriver && holder().empty()) {
                    driverBound = true;
                    ++st.reattaches;
                }
                return kOk;
            }
            return fail(ENOTTY);
        }
        case USBDEVFS_SETINTERFACE: {
            auto* si = static_cast<usbdevfs_setinterface*>(p);
            if (Result r = claim(cl, si->interface); r.first) return r;
            if (si->altsetting != 0 && !(otherInterface(si->interface) && si->altsetting == 1)) return fail(EINVAL);
            altSettings.emplace_back(si->interface, si->altsetting);
            return kOk;
        }
        case USBDEVFS_SETCONFIGURATION:
            return *static_cast<int*>(p) == 1 ? kOk : fail(EINVAL);
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            const unsigned address = *static_cast<unsigned*>(p);
            if (!endpoint(address)) return fail(ENOENT);
            if (Result r = claim(cl, 0); r.first) return r;
            if (req == USBDEVFS_CLEAR_HALT && (address & USB_DIR_IN)) {
                ++st.clearHalts;
                inHalted = false;
            }
            return kOk;
        }
        case USBDEVFS_RESET:
            ++st.resets;
            return kOk;
        case USBDEVFS_CONNECTINFO: {
            auto* ci = static_cast<usbdevfs_connectinfo*>(p);
            ci->devnum = unsigned(layout.devnum);
            ci->slow = 0;
            return kOk;
        }
        case USBDEVFS_GET_SPEED:
            return {USB_SPEED_FULL, 0};
        case USBDEVFS_DROP_PRIVILEGES:
            return kOk;
        case USBDEVFS_CONTROL:
            return syncControl(data.get());
        case USBDEVFS_SUBMITURB:
            return submit(cl, c, std::move(data));
        case USBDEVFS_DISCARDURB:
            return discard(c, cl, *reinterpret_cast<unsigned long*>(arg->data));
        default:  // includes the blocking REAPURB and USBDEVFS_BULK, which libusb never uses
            ++st.unknownIoctls;
            st.lastUnknownIoctl = req;
            return fail(ENOTTY);
        }
    }

    Result syncControl(UMockdevIoctlData* data) {
        auto* ct = reinterpret_cast<usbdevfs_ctrltransfer*>(data->data);
        std::uint8_t setup[8] = {ct->bRequestType, ct->bRequest, std::uint8_t(ct->wValue), std::uint8_t(ct->wValue >> 8),
                                 std::uint8_t(ct->wIndex), std::uint8_t(ct->wIndex >> 8), std::uint8_t(ct->wLength),
                                 std::uint8_t(ct->wLength >> 8)};
        std::optional<Bytes> answer = control(setup);
        if (!answer) return fail(EPIPE);
        const std::size_t n = std::min<std::size_t>(answer->size(), ct->wLength);
        if ((ct->bRequestType & USB_DIR_IN) && n > 0) {
            auto buf = resolve(data, offsetof(usbdevfs_ctrltransfer, data), ct->wLength);
            if (!buf) return fail(EFAULT);
            std::memcpy(buf->data, answer->data(), n);
        }
        return {long((ct->bRequestType & USB_DIR_IN) ? n : ct->wLength), 0};
    }

    Result submit(Client& cl, UMockdevIoctlClient* c, GRef<UMockdevIoctlData> data) {
        auto* u = reinterpret_cast<usbdevfs_urb*>(data->data);
        const bool isControl = u->type == USBDEVFS_URB_TYPE_CONTROL;
        if (isControl ? (u->endpoint & 0x7f) != 0 || u->buffer_length < 8 : (u->endpoint & 0x7f) == 0) return fail(EINVAL);
        if (!isControl) {
            const Endpoint* e = endpoint(u->endpoint);
            if (!e) return fail(ENOENT);
            const bool intEp = (e->attributes & 0x03) == USB_ENDPOINT_XFER_INT;
            if (u->type == USBDEVFS_URB_TYPE_ISO || (u->type == USBDEVFS_URB_TYPE_INTERRUPT && !intEp)) return fail(EINVAL);
            if (Result r = claim(cl, 0); r.first) return r;  // the kernel claims implicitly
        }
        Urb x;
        x.client = c;
        x.addr = data->client_addr;
        x.endpoint = u->endpoint;
        x.type = u->type;
        if (u->buffer_length > 0) {
            x.buf = resolve(data.get(), offsetof(usbdevfs_urb, buffer), std::size_t(u->buffer_length));
            if (!x.buf) return fail(EFAULT);
        }
        x.urb = std::move(data);
        ++st.submitted;

        if (isControl) {
            const std::uint8_t* setup = x.buf->data;
            const unsigned wLength = setup[6] | setup[7] << 8;
            std::optional<Bytes> answer = control(setup);
            if (!answer) {
                x.status = -EPIPE;
            } else if (setup[0] & USB_DIR_IN) {
                x.in = std::move(*answer);
                x.in.resize(std::min<std::size_t>({x.in.size(), wLength, std::size_t(x.buf->data_len - 8)}));
                x.dataOffset = 8;
                x.actual = int(x.in.size());
            } else {
                x.actual = int(wLength);
            }
            cl.reapable.push_back(std::move(x));
        } else if (!(x.endpoint & USB_DIR_IN)) {
            outs.emplace_back(x.buf ? x.buf->data : nullptr, x.buf ? x.buf->data + x.buf->data_len : nullptr);
            firmwareSaw(outs.back());
            x.actual = x.buf ? x.buf->data_len : 0;
            if (holdOut) pendingOut.push_back(std::move(x));
            else cl.reapable.push_back(std::move(x));
            matchReports();
        } else {
            pendingIn.push_back(std::move(x));
            matchReports();
        }
        return kOk;
    }

    void firmwareSaw(const Bytes& out) {
        if (!out.empty() && out[0] == 0x0A) ledSeen = true;
        if (!out.empty() && out[0] == 0x06) authSeen = true;
        if (out == kGuideAcknowledgement) guideAcknowledged = true;
    }

    // Pairs queued reports with pending IN URBs, oldest first, once the firmware lets reports go.
    void matchReports() {
        if (layout.firmware == Firmware::waitsForLedAndAuth && !(ledSeen && authSeen)) return;
        if (layout.firmware == Firmware::guideUntilAcknowledged && !guideAcknowledged) {
            for (Urb& urb : pendingIn) {
                urb.in = kGuideRequest;
                urb.actual = int(urb.in.size());
                ++st.guideRequests;
                if (auto c = clients.find(urb.client); c != clients.end()) c->second.reapable.push_back(std::move(urb));
            }
            pendingIn.clear();
            return;
        }
        for (auto urb = pendingIn.begin(); urb != pendingIn.end() && !reports.empty();) {
            auto rep = std::find_if(reports.begin(), reports.end(), [&](const Report& r) { return r.endpoint == urb->endpoint; });
            if (rep == reports.end()) { ++urb; continue; }
            const std::size_t room = urb->buf ? std::size_t(urb->buf->data_len) : 0;
            urb->in = std::move(rep->data);
            if (urb->in.size() > room) {  // what the host controller reports for a babbling device
                urb->in.resize(room);
                urb->status = -EOVERFLOW;
            }
            urb->actual = int(urb->in.size());
            urb->pushed = rep->pushed;
            reports.erase(rep);
            if (auto c = clients.find(urb->client); c != clients.end()) c->second.reapable.push_back(std::move(*urb));
            urb = pendingIn.erase(urb);
        }
    }

    // While halted, every pending IN URB completes with a stall.
    void stallIn() {
        if (!inHalted) return;
        for (Urb& urb : pendingIn) {
            urb.status = -EPIPE;
            urb.actual = 0;
            ++st.inStalls;
            if (auto c = clients.find(urb.client); c != clients.end()) c->second.reapable.push_back(std::move(urb));
        }
        pendingIn.clear();
    }

    Result reap(Client& cl, UMockdevIoctlData* arg) {
        stallIn();
        matchReports();
        if (cl.reapable.empty()) return fail(dead(cl) ? ENODEV : EAGAIN);
        auto out = resolve(arg, 0, sizeof(void*));
        if (!out) return fail(EFAULT);
        Urb x = std::move(cl.reapable.front());
        cl.reapable.pop_front();
        auto* u = reinterpret_cast<usbdevfs_urb*>(x.urb->data);
        u->status = x.status;
        u->actual_length = x.actual;
        if (!x.in.empty()) std::memcpy(x.buf->data + x.dataOffset, x.in.data(), x.in.size());
        umockdev_ioctl_data_set_ptr(out.get(), 0, x.urb.get());  // the client's pointer now names its URB
        ++st.reaped;
        if (x.pushed) timings.push_back({*x.pushed, Clock::now()});
        return kOk;
    }

    Result discard(UMockdevIoctlClient* c, Client& cl, unsigned long addr) {
        auto match = [&](const Urb& u) { return u.client == c && u.addr == addr; };
        if (auto out = std::find_if(pendingOut.begin(), pendingOut.end(), match); out != pendingOut.end()) {
            out->status = -ENOENT;
            out->actual = 0;
            cl.reapable.push_back(std::move(*out));
            pendingOut.erase(out);
            ++st.discarded;
            return kOk;
        }
        auto it = std::find_if(pendingIn.begin(), pendingIn.end(), match);
        if (it == pendingIn.end()) return fail(EINVAL);
        it->status = -ENOENT;
        it->actual = 0;
        cl.reapable.push_back(std::move(*it));
        pendingIn.erase(it);
        ++st.discarded;
        return kOk;
    }
};

FakeStick::FakeStick(std::unique_ptr<State> state) : s_(std::move(state)) {}
FakeStick::~FakeStick() = default;

DeviceSpec FakeStick::layout() const { std::lock_guard lk(s_->m); return s_->layout; }
std::string FakeStick::devnode() const { std::lock_guard lk(s_->m); return s_->devnode(); }
std::string FakeStick::syspath() const { std::lock_guard lk(s_->m); return s_->syspath(); }

Clock::time_point FakeStick::pushReport(Bytes report, std::uint8_t endpoint) {
    const auto now = Clock::now();
    {
        std::lock_guard lk(s_->m);
        if (!s_->st.plugged) throw std::logic_error("fakestick: pushReport() to an unplugged stick");
        if (endpoint == 0) {
            for (const Endpoint& e : s_->layout.endpoints)
                if (e.address & USB_DIR_IN) { endpoint = e.address; break; }
        }
        // Matched with an IN URB by the worker thread at the next reap; see the header.
        s_->reports.push_back({std::move(report), endpoint, now});
        s_->refreshCounts();
    }
    return now;
}

std::vector<Bytes> FakeStick::outWrites() const { std::lock_guard lk(s_->m); return s_->outs; }
std::vector<std::array<std::uint8_t, 8>> FakeStick::controlSetups() const { std::lock_guard lk(s_->m); return s_->setups; }
std::vector<InTiming> FakeStick::inTimings() const { std::lock_guard lk(s_->m); return s_->timings; }
Stats FakeStick::stats() const { std::lock_guard lk(s_->m); return s_->st; }

bool FakeStick::waitForOutWrites(std::size_t count, Clock::time_point deadline) const {
    std::unique_lock lk(s_->m);
    return s_->cv.wait_until(lk, deadline, [&] { return s_->outs.size() >= count; });
}

bool FakeStick::waitFor(const std::function<bool(const Stats&)>& condition, Clock::time_point deadline) const {
    std::unique_lock lk(s_->m);
    return s_->cv.wait_until(lk, deadline, [&] { return condition(s_->st); });
}

void FakeStick::setHeldByOtherProgram(bool held) { std::lock_guard lk(s_->m); s_->layout.heldByOtherProgram = held; }

void FakeStick::holdOutWrites(bool hold) {
    {
        std::lock_guard lk(s_->m);
        s_->holdOut = hold;
        if (hold) return;
        // Reaped by the worker thread like any other completed URB.
        for (auto& u : s_->pendingOut) {
            if (auto c = s_->clients.find(u.client); c != s_->clients.end()) c->second.reapable.push_back(std::move(u));
        }
        s_->pendingOut.clear();
        s_->refreshCounts();
    }
    s_->cv.notify_all();
}

std::vector<std::pair<unsigned, unsigned>> FakeStick::alternateSettings() const {
    std::lock_guard lk(s_->m);
    return s_->altSettings;
}

void FakeStick::haltIn() { std::lock_guard lk(s_->m); s_->inHalted = true; }

void FakeStick::unplug() {
    std::string path;
    {
        std::lock_guard lk(s_->m);
        if (!s_->st.plugged) throw std::logic_error("fakestick: unplug() of a stick that is not plugged");
        s_->st.plugged = false;
        // The kernel first kills every URB in flight, then announces the removal.
        for (auto& u : s_->pendingIn) {
            u.status = -ESHUTDOWN;
            u.actual = 0;
            ++s_->st.failedByUnplug;
            if (auto c = s_->clients.find(u.client); c != s_->clients.end()) c->second.reapable.push_back(std::move(u));
        }
        s_->pendingIn.clear();
        for (auto& u : s_->pendingOut) {
            u.status = -ESHUTDOWN;
            u.actual = 0;
            ++s_->st.failedByUnplug;
            if (auto c = s_->clients.find(u.client); c != s_->clients.end()) c->second.reapable.push_back(std::move(u));
        }
        s_->pendingOut.clear();
        s_->ledSeen = s_->authSeen = s_->guideAcknowledged = false;  // the firmware starts again
        s_->reports.clear();
        s_->refreshCounts();
        path = s_->syspath();
    }
    s_->cv.notify_all();
    umockdev_testbed_uevent(s_->tb, path.c_str(), "remove");
    umockdev_testbed_remove_device(s_->tb, path.c_str());
}

void FakeStick::replug(std::optional<int> newDevnum) {
    {
        std::lock_guard lk(s_->m);
        if (s_->st.plugged) throw std::logic_error("fakestick: replug() of a stick that is plugged");
        if (newDevnum) s_->layout.devnum = *newDevnum;
        ++s_->st.generation;
        s_->st.plugged = true;
        s_->driverBound = s_->layout.kernelDriver.has_value();
        s_->st.driverBound = s_->driverBound;
    }
    s_->attachAndAdd();
}

// ============================================================================================
// Testbed
// ============================================================================================
struct Testbed::Impl {
    UMockdevTestbed* tb = nullptr;
    std::vector<std::unique_ptr<FakeStick>> sticks;
    int nextPort = 1;
};

Testbed::Testbed() : p_(std::make_unique<Impl>()) {
    p_->tb = umockdev_testbed_new();
    if (!p_->tb) throw std::runtime_error("fakestick: umockdev_testbed_new() failed");
}

Testbed::~Testbed() {
    // Programs should be gone by now; give their file handles a moment to close so that no ioctl
    // is in flight when the handlers go away.
    for (auto& s : p_->sticks) s->waitFor([](const Stats& st) { return st.openHandles == 0; }, Clock::now() + 2s);
    g_object_unref(p_->tb);  // stops serving the sockets and removes /tmp/umockdev.XXXXXX
    p_->sticks.clear();
}

FakeStick& Testbed::plug(DeviceSpec layout) {
    for (const auto& s : p_->sticks) {
        const DeviceSpec o = s->layout();
        if (o.busnum == layout.busnum && o.devnum == layout.devnum)
            throw std::invalid_argument("fakestick: bus/dev " + std::to_string(layout.busnum) + "/" +
                                        std::to_string(layout.devnum) + " is taken");
    }
    auto state = std::make_unique<FakeStick::State>(p_->tb, p_->nextPort++, std::move(layout));
    state->st.plugged = true;
    state->st.generation = 1;
    state->driverBound = state->layout.kernelDriver.has_value();
    state->st.driverBound = state->driverBound;
    state->attachAndAdd();
    p_->sticks.push_back(std::unique_ptr<FakeStick>(new FakeStick(std::move(state))));
    return *p_->sticks.back();
}

std::string Testbed::rootDir() const {
    gchar* d = umockdev_testbed_get_root_dir(p_->tb);
    std::string r = d;
    g_free(d);
    return r;
}

std::vector<std::string> Testbed::environment(const std::vector<std::string>& extra) const {
    constexpr const char* kPreload = "libumockdev-preload.so.0";
    std::vector<std::string> env;
    std::string preload = kPreload;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("LD_PRELOAD=", 0) == 0) {
            std::string old = v.substr(11);
            if (!old.empty() && old.find(kPreload) == std::string::npos) preload += ":" + old;
        } else if (v.rfind("UMOCKDEV_DIR=", 0) != 0) {
            env.push_back(std::move(v));
        }
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("UMOCKDEV_DIR=" + rootDir());
    for (const std::string& x : extra) {
        const std::string name = x.substr(0, x.find('=') + 1);
        env.erase(std::remove_if(env.begin(), env.end(), [&](const std::string& v) { return v.rfind(name, 0) == 0; }), env.end());
        env.push_back(x);
    }
    return env;
}

std::unique_ptr<Program> Testbed::spawn(std::vector<std::string> argv, const std::vector<std::string>& extraEnv) const {
    return std::make_unique<Program>(std::move(argv), environment(extraEnv));
}

std::string Testbed::preloadProblem() {
    // umockdev_in_mock_environment() says false even under umockdev-wrapper (0.17.16); look for
    // the library among the loaded objects instead.
    const bool preloaded = dl_iterate_phdr(+[](dl_phdr_info* info, std::size_t, void*) {
        return info->dlpi_name && std::strstr(info->dlpi_name, "libumockdev-preload") ? 1 : 0;
    }, nullptr) != 0;
    if (!preloaded)
        return "this test process does not run with libumockdev-preload.so.0, so the testbed cannot send "
               "uevents (plug/unplug would go unnoticed); run it as `Tests/usb/run-under-umockdev.sh TEST` "
               "or `umockdev-wrapper TEST` (ctest does)";
    static const std::string problem = [] {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.emplace_back(*e);
        env.emplace_back("LD_PRELOAD=libumockdev-preload.so.0");
        try {
            Program probe({"true"}, env);
            if (!probe.waitForExit(Clock::now() + 10s)) return std::string("probe `true` did not finish");
            for (const Line& l : probe.stderrLines())
                if (l.text.find("cannot be preloaded") != std::string::npos)
                    return "libumockdev-preload.so.0 cannot be loaded (" + l.text +
                           "); install the umockdev package (scripts/install-deps.sh)";
        } catch (const std::exception& e) {
            return std::string("cannot run the preload probe: ") + e.what();
        }
        return std::string();
    }();
    return problem;
}

// ============================================================================================
// Program
// ============================================================================================
struct Program::Impl {
    pid_t pid = -1;
    int outFd = -1, errFd = -1, stopR = -1, stopW = -1;
    mutable std::mutex m;
    mutable std::condition_variable cv;
    std::vector<Line> out, err;
    bool exited = false, drained = false;
    int status = 0;
    std::thread reader, waiter;

    static void split(std::string& partial, std::vector<Line>& lines, const char* data, std::size_t n, Clock::time_point at) {
        partial.append(data, n);
        for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
            lines.push_back({partial.substr(0, nl), at, lines.size()});
            partial.erase(0, nl + 1);
        }
    }

    void readLoop() {
        std::string partOut, partErr;
        pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {stopR, POLLIN, 0}};
        int open = 2;
        while (open > 0) {
            if (poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[2].revents) break;
            for (int i = 0; i < 2; ++i) {
                if (!fds[i].revents) continue;
                char buf[4096];
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                const auto at = Clock::now();
                std::lock_guard lk(m);
                if (n > 0) {
                    split(i == 0 ? partOut : partErr, i == 0 ? out : err, buf, std::size_t(n), at);
                } else if (n == 0 || errno != EINTR) {
                    std::string& part = i == 0 ? partOut : partErr;
                    if (!part.empty()) split(part, i == 0 ? out : err, "\n", 1, at);
                    fds[i].fd = -1;  // poll ignores it from now on
                    --open;
                }
            }
            cv.notify_all();
        }
        std::lock_guard lk(m);
        drained = true;
        cv.notify_all();
    }

    void waitLoop() {
        siginfo_t info{};
        // Wait without reaping, so that terminate() never signals a recycled pid.
        while (waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {}
        std::lock_guard lk(m);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        exited = true;
        cv.notify_all();
    }

    std::optional<Line> waitLine(const std::vector<Line>& lines, const std::function<bool(const std::string&)>& match,
                                 Clock::time_point deadline, std::size_t from) const {
        std::unique_lock lk(m);
        std::optional<Line> hit;
        cv.wait_until(lk, deadline, [&] {
            for (; from < lines.size(); ++from)
                if (match(lines[from].text)) { hit = lines[from]; return true; }
            return drained;
        });
        return hit;
    }
};

Program::Program(std::vector<std::string> argv, std::vector<std::string> environment) : p_(std::make_unique<Impl>()) {
    if (argv.empty()) throw std::invalid_argument("fakestick: Program needs a command");
    int outP[2], errP[2], stopP[2];
    if (pipe2(outP, O_CLOEXEC) || pipe2(errP, O_CLOEXEC) || pipe2(stopP, O_CLOEXEC))
        throw std::runtime_error(std::string("fakestick: pipe2: ") + std::strerror(errno));
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outP[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errP[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args, envs;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : environment) envs.push_back(e.data());
    envs.push_back(nullptr);
    const int rc = posix_spawnp(&p_->pid, args[0], &fa, &attr, args.data(), envs.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(outP[1]);
    close(errP[1]);
    p_->outFd = outP[0];
    p_->errFd = errP[0];
    p_->stopR = stopP[0];
    p_->stopW = stopP[1];
    if (rc != 0) {
        for (int fd : {p_->outFd, p_->errFd, p_->stopR, p_->stopW}) close(fd);
        throw std::runtime_error("fakestick: cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    p_->reader = std::thread([this] { p_->readLoop(); });
    p_->waiter = std::thread([this] { p_->waitLoop(); });
}

Program::~Program() {
    terminate();
    p_->waiter.join();
    {
        // Output still arriving (a grandchild holding the pipes) must not keep us here.
        std::unique_lock lk(p_->m);
        p_->cv.wait_until(lk, Clock::now() + 1s, [&] { return p_->drained; });
    }
    const char x = 'x';
    (void)!write(p_->stopW, &x, 1);
    p_->reader.join();
    for (int fd : {p_->outFd, p_->errFd, p_->stopR, p_->stopW}) close(fd);
}

pid_t Program::pid() const { return p_->pid; }

std::optional<Line> Program::waitForStdoutLine(const std::function<bool(const std::string&)>& match, Clock::time_point deadline,
                                               std::size_t fromIndex) const {
    return p_->waitLine(p_->out, match, deadline, fromIndex);
}
std::optional<Line> Program::waitForStderrLine(const std::function<bool(const std::string&)>& match, Clock::time_point deadline,
                                               std::size_t fromIndex) const {
    return p_->waitLine(p_->err, match, deadline, fromIndex);
}
std::vector<Line> Program::stdoutLines() const { std::lock_guard lk(p_->m); return p_->out; }
std::vector<Line> Program::stderrLines() const { std::lock_guard lk(p_->m); return p_->err; }
std::size_t Program::stdoutCount() const { std::lock_guard lk(p_->m); return p_->out.size(); }

bool Program::waitForExit(Clock::time_point deadline) const {
    std::unique_lock lk(p_->m);
    if (!p_->cv.wait_until(lk, deadline, [&] { return p_->exited; })) return false;
    p_->cv.wait_until(lk, deadline, [&] { return p_->drained; });  // so callers see the last lines
    return true;
}

bool Program::running() const { std::lock_guard lk(p_->m); return !p_->exited; }

std::optional<int> Program::exitCode() const {
    std::lock_guard lk(p_->m);
    if (p_->exited && WIFEXITED(p_->status)) return WEXITSTATUS(p_->status);
    return std::nullopt;
}

std::optional<int> Program::exitSignal() const {
    std::lock_guard lk(p_->m);
    if (p_->exited && WIFSIGNALED(p_->status)) return WTERMSIG(p_->status);
    return std::nullopt;
}

bool Program::terminate(Clock::duration grace) {
    std::unique_lock lk(p_->m);
    bool polite = true;
    if (!p_->exited) {
        kill(p_->pid, SIGTERM);
        if (!p_->cv.wait_until(lk, Clock::now() + grace, [&] { return p_->exited; })) {
            kill(p_->pid, SIGKILL);
            p_->cv.wait(lk, [&] { return p_->exited; });
            polite = false;
        }
    }
    // So that callers see the last lines (a grandchild holding the pipes must not keep us here).
    p_->cv.wait_until(lk, Clock::now() + 2s, [&] { return p_->drained; });
    return polite;
}

std::string Program::describe() const {
    std::lock_guard lk(p_->m);
    std::ostringstream o;
    o << "pid " << p_->pid << ": ";
    if (!p_->exited) o << "running";
    else if (WIFEXITED(p_->status)) o << "exited with code " << WEXITSTATUS(p_->status);
    else if (WIFSIGNALED(p_->status)) o << "killed by signal " << WTERMSIG(p_->status);
    o << "; " << p_->out.size() << " stdout lines; last stderr:";
    for (std::size_t i = p_->err.size() > 12 ? p_->err.size() - 12 : 0; i < p_->err.size(); ++i) o << "\n  " << p_->err[i].text;
    return o.str();
}

// ============================================================================================
// Helpers
// ============================================================================================
std::string hex(const Bytes& bytes) {
    std::string s;
    char b[4];
    for (std::uint8_t v : bytes) {
        std::snprintf(b, sizeof b, s.empty() ? "%02x" : " %02x", v);
        s += b;
    }
    return s;
}

std::optional<Bytes> parseReaderLine(const std::string& line) {
    std::istringstream in(line);
    std::string tok;
    if (!(in >> tok) || tok.find('.') == std::string::npos) return std::nullopt;
    Bytes out;
    while (in >> tok) {
        if (tok.size() != 2 || !std::isxdigit(static_cast<unsigned char>(tok[0])) || !std::isxdigit(static_cast<unsigned char>(tok[1])))
            return std::nullopt;
        out.push_back(std::uint8_t(std::stoul(tok, nullptr, 16)));
    }
    return out;
}

std::optional<Clock::duration> pushToLineLatency(FakeStick& stick, const Program& program, const Bytes& report,
                                                 const std::function<bool(const std::string&)>& isEcho, Clock::duration timeout) {
    const std::size_t from = program.stdoutCount();
    const Clock::time_point pushed = stick.pushReport(report);
    const auto line = program.waitForStdoutLine(isEcho, pushed + timeout, from);
    if (!line) return std::nullopt;
    return line->at - pushed;
}

LatencySummary summarize(std::vector<Clock::duration> v) {
    LatencySummary s;
    s.samples = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.max = v.back();
    s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    s.p90 = v[std::min(v.size() - 1, v.size() * 9 / 10)];
    return s;
}

std::string LatencySummary::toString() const {
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    char b[160];
    std::snprintf(b, sizeof b, "n=%zu min=%.3fms median=%.3fms p90=%.3fms max=%.3fms", samples, ms(min), ms(median), ms(p90),
                  ms(max));
    return b;
}

}  // namespace fakestick
