#include "GIP.hpp"

namespace joyrelay {

namespace {

std::uint16_t readU16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::int16_t readS16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::int16_t>(readU16(b, at));  // two's complement, well defined in C++20
}

KeySet decode(std::uint8_t byte, const std::array<std::optional<ArcadeKey>, 8>& table) {
    KeySet set;
    for (std::size_t bit = 0; bit < table.size(); ++bit) {
        if (table[bit] && (byte & (1u << bit)) != 0) set.insert(*table[bit]);
    }
    return set;
}

}  // namespace

std::optional<InputReport> InputReport::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < static_cast<std::size_t>(StickID::minInputReportLength)) return std::nullopt;
    if (bytes[0] != StickID::inputReportType) return std::nullopt;
    InputReport r;
    r.buttons = decode(bytes[4], KeyMap::byte4) | decode(bytes[5], KeyMap::byte5);
    r.leftTrigger = readU16(bytes, 6);
    r.rightTrigger = readU16(bytes, 8);
    r.leftX = readS16(bytes, 10);
    r.leftY = readS16(bytes, 12);
    r.rightX = readS16(bytes, 14);
    r.rightY = readS16(bytes, 16);
    return r;
}

std::optional<Gip::Packet> Gip::acknowledgement(std::span<const std::uint8_t> message) {
    if (message.size() < headerLength || (message[1] & flagAcknowledge) == 0) return std::nullopt;
    // The payload length is a base-128 number, low group first; a second byte follows when bit 7 of
    // the first is set.
    std::uint32_t length = message[3] & 0x7F;
    if ((message[3] & 0x80) != 0 && message.size() > headerLength) length |= (message[4] & 0x7Fu) << 7;
    Packet ack = acknowledgementTemplate;
    ack.bytes[2] = message[2];
    ack.bytes[5] = message[0];
    ack.bytes[7] = static_cast<std::uint8_t>(length & 0xFF);
    ack.bytes[8] = static_cast<std::uint8_t>(length >> 8);
    return ack;
}

int Lever::step(int direction, std::int16_t value) {
    const int v = value;  // widened, so the magnitude of -32768 is 32768
    const int m = v < 0 ? -v : v;
    if (direction != 0 && m < off) return 0;
    if (m >= on) return v > 0 ? 1 : -1;
    return direction;
}

std::pair<int, int> Lever::update(std::int16_t x, std::int16_t y) {
    dx_ = step(dx_, x);
    dy_ = step(dy_, y);
    return {dx_, dy_};
}

bool TriggerLatch::update(std::uint16_t value) {
    pressed_ = pressed_ ? value > off : value >= on;
    return pressed_;
}

KeySet StickState::wanted(const InputReport& r) {
    KeySet set = r.buttons;
    if (rt_.update(r.rightTrigger)) set.insert(KeyMap::rightTrigger);
    if (lt_.update(r.leftTrigger)) set.insert(KeyMap::leftTrigger);
    leverL_.update(r.leftX, r.leftY);
    leverR_.update(r.rightX, r.rightY);
    for (const Lever* lever : {&leverL_, &leverR_}) {
        if (lever->dx() > 0) set.insert(ArcadeKey::arrowRight);
        if (lever->dx() < 0) set.insert(ArcadeKey::arrowLeft);
        if (lever->dy() > 0) set.insert(ArcadeKey::arrowUp);
        if (lever->dy() < 0) set.insert(ArcadeKey::arrowDown);
    }
    return set;
}

TransitionList KeyState::apply(KeySet wanted, bool gate) {
    if (!gate) return releaseAll();
    TransitionList list;
    for (ArcadeKey k : held_.minus(wanted)) list.push({k, false});
    for (ArcadeKey k : wanted.minus(held_)) list.push({k, true});
    held_ = wanted;
    return list;
}

TransitionList KeyState::releaseAll() {
    TransitionList list;
    for (ArcadeKey k : held_) list.push({k, false});
    held_ = KeySet{};
    return list;
}

}  // namespace joyrelay
