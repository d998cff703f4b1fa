#include "platform/linux/usb/DeviceText.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/usb/LibusbHandles.hpp"

namespace joyrelay::usb {

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

std::string describe(libusb_device* d) {
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(d, &desc);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", desc.idVendor, desc.idProduct);
    return std::string(ids) + " at " + sysfsName(d);
}

namespace {

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

// The kernel read the product string when the device arrived and keeps it in sysfs, readable by
// everyone.
std::optional<std::string> sysfsProductName(libusb_device* d) {
    const std::string name = sysfsName(d);
    if (name.empty()) return std::nullopt;
    const std::string dir = "/sys/bus/usb/devices/" + name;
    const std::optional<std::string> devnum = readSmallFile(dir + "/devnum", 16);
    const bool same = !devnum || std::atoi(devnum->c_str()) == libusb_get_device_address(d);
    if (!same) return std::nullopt;
    std::optional<std::string> text = readSmallFile(dir + "/product", 4096);
    if (text && !text->empty() && text->back() == '\n') text->pop_back();
    return text;
}

}  // namespace

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

std::optional<std::string> productName(libusb_device* d, libusb_device_handle* openHandle) {
    if (std::optional<std::string> text = sysfsProductName(d)) return text;
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(d, &desc) != LIBUSB_SUCCESS || desc.iProduct == 0) return std::nullopt;
    if (openHandle != nullptr) return stringDescriptor(openHandle, desc.iProduct);
    libusb_device_handle* raw = nullptr;
    if (libusb_open(d, &raw) != LIBUSB_SUCCESS) return std::nullopt;
    HandlePtr handle(raw);
    return stringDescriptor(raw, desc.iProduct);
}

}  // namespace joyrelay::usb
