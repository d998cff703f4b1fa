// JoyrelayCore: the stick's input model.
//
// Everything here is plain values and constants: the thirteen keys the stick can type, the map from
// report bits to keys, the stick's USB identity, the parsed input report, the lever and trigger
// latches, and the held-key bookkeeping that turns each wanted set into ordered key transitions.
// No I/O, no exceptions, and nothing on the per-report path allocates: key sets are 13-bit masks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace joyrelay {

// ---------------------------------------------------------------------------------------------------
// Keys

// One of the thirteen keys. The raw value is the macOS virtual key code of the ANSI layout; backends
// for other platforms translate it. Declaration order is the order of `allCases`.
enum class ArcadeKey : std::uint16_t {
    space = 49,
    enter = 36,
    escape = 53,
    shift = 56,
    arrowLeft = 123,
    arrowRight = 124,
    arrowDown = 125,
    arrowUp = 126,
    z = 6,
    x = 7,
    c = 8,
    one = 18,
    two = 19,
};

namespace keys {

inline constexpr std::size_t count = 13;

// Every key in declaration order.
inline constexpr std::array<ArcadeKey, count> allCases = {
    ArcadeKey::space,     ArcadeKey::enter,      ArcadeKey::escape,    ArcadeKey::shift,
    ArcadeKey::arrowLeft, ArcadeKey::arrowRight, ArcadeKey::arrowDown, ArcadeKey::arrowUp,
    ArcadeKey::z,         ArcadeKey::x,          ArcadeKey::c,         ArcadeKey::one,
    ArcadeKey::two,
};

// The names, indexed by declaration order.
inline constexpr std::array<std::string_view, count> names = {
    "Space", "Enter", "Escape", "Shift", "ArrowLeft", "ArrowRight", "ArrowDown",
    "ArrowUp", "z",   "x",      "c",     "1",         "2",
};

// Position of a key in declaration order (0 to 12).
constexpr std::size_t index(ArcadeKey key) {
    for (std::size_t i = 0; i < count; ++i) {
        if (allCases[i] == key) return i;
    }
    return count;  // unreachable for a valid key
}

// Declaration-order indices sorted by name (byte order), computed at compile time.
inline constexpr std::array<std::uint8_t, count> byName = [] {
    std::array<std::uint8_t, count> order{};
    for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint8_t>(i);
    for (std::size_t i = 1; i < count; ++i) {  // insertion sort; thirteen entries
        for (std::size_t j = i; j > 0 && names[order[j]] < names[order[j - 1]]; --j) {
            std::swap(order[j], order[j - 1]);
        }
    }
    return order;
}();

// Rank of each key in the order by name, indexed by declaration order.
inline constexpr std::array<std::uint8_t, count> rank = [] {
    std::array<std::uint8_t, count> r{};
    for (std::size_t i = 0; i < count; ++i) r[byName[i]] = static_cast<std::uint8_t>(i);
    return r;
}();

}  // namespace keys

constexpr std::uint16_t rawValue(ArcadeKey key) { return static_cast<std::uint16_t>(key); }

constexpr std::string_view name(ArcadeKey key) { return keys::names[keys::index(key)]; }

// The key whose virtual key code is `raw`, or nothing.
constexpr std::optional<ArcadeKey> arcadeKey(std::uint16_t raw) {
    for (ArcadeKey key : keys::allCases) {
        if (rawValue(key) == raw) return key;
    }
    return std::nullopt;
}

// Keys are ordered by name: "1" < "2" < "ArrowDown" < ... < "Space" < "c" < "x" < "z".
constexpr bool operator<(ArcadeKey a, ArcadeKey b) {
    return keys::rank[keys::index(a)] < keys::rank[keys::index(b)];
}
constexpr bool operator>(ArcadeKey a, ArcadeKey b) { return b < a; }
constexpr bool operator<=(ArcadeKey a, ArcadeKey b) { return !(b < a); }
constexpr bool operator>=(ArcadeKey a, ArcadeKey b) { return !(a < b); }

// A set of keys as a 13-bit mask (bit i is the key at declaration index i). Iteration walks the keys
// in the order by name, which is the order every list of transitions uses.
class KeySet {
public:
    constexpr KeySet() = default;
    constexpr KeySet(std::initializer_list<ArcadeKey> init) {
        for (ArcadeKey k : init) insert(k);
    }
    static constexpr KeySet fromMask(std::uint16_t mask) {
        KeySet s;
        s.mask_ = static_cast<std::uint16_t>(mask & fullMask);
        return s;
    }

    constexpr std::uint16_t mask() const { return mask_; }
    constexpr bool empty() const { return mask_ == 0; }
    constexpr std::size_t size() const {
        std::size_t n = 0;
        for (std::uint16_t m = mask_; m != 0; m &= static_cast<std::uint16_t>(m - 1)) ++n;
        return n;
    }
    constexpr bool contains(ArcadeKey k) const { return (mask_ & bit(k)) != 0; }
    constexpr void insert(ArcadeKey k) { mask_ = static_cast<std::uint16_t>(mask_ | bit(k)); }
    constexpr void erase(ArcadeKey k) { mask_ = static_cast<std::uint16_t>(mask_ & ~bit(k)); }

    constexpr KeySet operator|(KeySet o) const { return fromMask(mask_ | o.mask_); }
    constexpr KeySet operator&(KeySet o) const { return fromMask(mask_ & o.mask_); }
    constexpr KeySet minus(KeySet o) const { return fromMask(mask_ & ~o.mask_); }
    constexpr bool operator==(const KeySet&) const = default;

    // Iterates the members in the order by name.
    class iterator {
    public:
        constexpr iterator(std::uint16_t mask, std::size_t pos) : mask_(mask), pos_(pos) { skip(); }
        constexpr ArcadeKey operator*() const { return keys::allCases[keys::byName[pos_]]; }
        constexpr iterator& operator++() {
            ++pos_;
            skip();
            return *this;
        }
        constexpr bool operator==(const iterator& o) const { return pos_ == o.pos_; }

    private:
        constexpr void skip() {
            while (pos_ < keys::count && (mask_ & (1u << keys::byName[pos_])) == 0) ++pos_;
        }
        std::uint16_t mask_;
        std::size_t pos_;
    };
    constexpr iterator begin() const { return {mask_, 0}; }
    constexpr iterator end() const { return {mask_, keys::count}; }

    static constexpr std::uint16_t fullMask = (1u << keys::count) - 1;

private:
    static constexpr std::uint16_t bit(ArcadeKey k) {
        return static_cast<std::uint16_t>(1u << keys::index(k));
    }
    std::uint16_t mask_ = 0;
};

// ---------------------------------------------------------------------------------------------------
// Key map: report bits and triggers to keys.

namespace KeyMap {
// Indexed by bit number (mask 1 << n); an empty slot is an unmapped bit.
inline constexpr std::array<std::optional<ArcadeKey>, 8> byte4 = {
    std::nullopt,    std::nullopt,  ArcadeKey::enter, ArcadeKey::escape,
    ArcadeKey::space, ArcadeKey::z, ArcadeKey::x,     ArcadeKey::c,
};
inline constexpr std::array<std::optional<ArcadeKey>, 8> byte5 = {
    ArcadeKey::arrowUp, ArcadeKey::arrowDown, ArcadeKey::arrowLeft, ArcadeKey::arrowRight,
    ArcadeKey::shift,   ArcadeKey::two,       std::nullopt,         std::nullopt,
};
inline constexpr ArcadeKey leftTrigger = ArcadeKey::escape;
inline constexpr ArcadeKey rightTrigger = ArcadeKey::one;
}  // namespace KeyMap

// ---------------------------------------------------------------------------------------------------
// The stick's identity and its input report.

namespace StickID {
inline constexpr int vendorID = 0x2DC8;
inline constexpr std::array<int, 2> productIDs = {0x2004, 0x2005};
inline constexpr int deviceClassVendorSpecific = 0xFF;
inline constexpr std::array<std::uint8_t, 5> powerOn = {0x05, 0x20, 0x00, 0x01, 0x00};
inline constexpr std::uint8_t inputReportType = 0x20;
inline constexpr int minInputReportLength = 18;
}  // namespace StickID

// ---------------------------------------------------------------------------------------------------
// Messages to the stick, beyond the power-on.
//
// Every message starts with a four-byte header: command, flags, sequence number, payload length. A
// message whose flags carry `Gip::flagAcknowledge` asks the receiver for an acknowledgement.

namespace Gip {
inline constexpr std::uint8_t flagAcknowledge = 0x10;
inline constexpr std::uint8_t commandAcknowledge = 0x01;
inline constexpr std::uint8_t commandGuide = 0x07;  // the guide button; never a key
inline constexpr std::size_t headerLength = 4;
inline constexpr std::size_t maxPacketLength = 16;  // the longest message the program sends

// One message to send, held by value.
struct Packet {
    std::array<std::uint8_t, maxPacketLength> bytes{};
    std::uint8_t size = 0;
    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
    bool operator==(const Packet&) const = default;
};

// What the claim sends after the power-on, in this order; byte 2, the sequence number, is filled in
// as each is queued. `name` names the packet in the log line of a failed write.
struct ClaimPacket {
    std::string_view name;
    Packet packet;
};
inline constexpr std::array<ClaimPacket, 2> afterPowerOn = {{
    {"LED", {{0x0A, 0x20, 0x00, 0x03, 0x00, 0x01, 0x14}, 7}},
    {"authentication-done", {{0x06, 0x20, 0x00, 0x02, 0x01, 0x00}, 6}},
}};

// The acknowledgement: byte 2 is the acknowledged message's sequence number, byte 5 its command,
// bytes 7 and 8 its payload length (little-endian).
inline constexpr Packet acknowledgementTemplate = {
    {commandAcknowledge, 0x20, 0x00, 0x09, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 13};

// Sequence numbers of the messages the program sends after the power-on (whose number is 0):
// 1, 2, ... 255, then 1 again; 0 is never given.
class SequenceCounter {
public:
    std::uint8_t next() {
        last_ = last_ == 0xFF ? 1 : static_cast<std::uint8_t>(last_ + 1);
        return last_;
    }

private:
    std::uint8_t last_ = 0;
};

// The acknowledgement that `message` asks for, or nothing when it asks for none or is shorter than a
// header. Whatever the command, input reports included.
std::optional<Packet> acknowledgement(std::span<const std::uint8_t> message);
}  // namespace Gip

// One parsed input report (Xbox One GIP message 0x20).
//
//   offset  width  content
//   0       1      message type, 0x20
//   1..3    3      flags, sequence, payload length (not examined)
//   4       1      buttons: bit2 Menu, bit3 View, bit4 A, bit5 B, bit6 X, bit7 Y
//   5       1      buttons: bit0 up, bit1 down, bit2 left, bit3 right, bit4 LB, bit5 RB
//   6       2      left trigger, unsigned little-endian
//   8       2      right trigger, unsigned
//   10..17  2 each left X, left Y, right X, right Y, signed (positive X right, positive Y up)
//   18..    any    ignored
struct InputReport {
    KeySet buttons;
    std::uint16_t leftTrigger = 0;
    std::uint16_t rightTrigger = 0;
    std::int16_t leftX = 0;
    std::int16_t leftY = 0;
    std::int16_t rightX = 0;
    std::int16_t rightY = 0;

    bool operator==(const InputReport&) const = default;

    // The report in `bytes`, or nothing when they are too short or of another message type.
    // Never reads past the span.
    static std::optional<InputReport> parse(std::span<const std::uint8_t> bytes);
};

// ---------------------------------------------------------------------------------------------------
// Latches

// The latched direction of one lever: each axis engages at magnitude 12000 and lets go below 8000.
class Lever {
public:
    static constexpr int on = 12000;
    static constexpr int off = 8000;

    int dx() const { return dx_; }
    int dy() const { return dy_; }

    // Updates both axes (x first) and returns the new (dx, dy).
    std::pair<int, int> update(std::int16_t x, std::int16_t y);

private:
    static int step(int direction, std::int16_t value);
    int dx_ = 0;
    int dy_ = 0;
};

// The latched state of one trigger: engages at 512, lets go at 256 or below.
class TriggerLatch {
public:
    static constexpr std::uint16_t on = 512;
    static constexpr std::uint16_t off = 256;

    bool pressed() const { return pressed_; }
    bool update(std::uint16_t value);

private:
    bool pressed_ = false;
};

// The latches of one stick.
class StickState {
public:
    // The keys that should be held after report `r`; updates all four latches.
    KeySet wanted(const InputReport& r);

private:
    Lever leverL_;
    Lever leverR_;
    TriggerLatch lt_;
    TriggerLatch rt_;
};

// ---------------------------------------------------------------------------------------------------
// Held keys

struct KeyTransition {
    ArcadeKey key;
    bool down;
    bool operator==(const KeyTransition&) const = default;
};

// A list of transitions. It never names a key twice, so it fits in thirteen slots.
class TransitionList {
public:
    void push(KeyTransition t) {
        if (count_ < items_.size()) items_[count_++] = t;
    }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const KeyTransition& operator[](std::size_t i) const { return items_[i]; }
    const KeyTransition* begin() const { return items_.data(); }
    const KeyTransition* end() const { return items_.data() + count_; }

private:
    std::array<KeyTransition, keys::count> items_{};
    std::size_t count_ = 0;
};

// The keys the program has pressed and not yet released.
class KeyState {
public:
    KeySet held() const { return held_; }

    // With the focus gate open: releases of held keys that are no longer wanted, then presses of
    // wanted keys not yet held, each group in the order by name. With it closed: a release for every
    // held key and no press, so that nothing held while the gate was open auto-repeats into whatever
    // has focus now; nothing goes down until it opens again.
    TransitionList apply(KeySet wanted, bool gate);

    // A release for every held key, in the order by name; nothing is held afterwards.
    TransitionList releaseAll();

private:
    KeySet held_;
};

}  // namespace joyrelay
