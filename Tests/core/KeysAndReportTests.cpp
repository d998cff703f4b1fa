// Keys, their order, the key map and the input report parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "JoyrelayCore/GIP.hpp"
#include "support/Reports.hpp"

using namespace joyrelay;

namespace {

using joyrelay::testing::report;

std::vector<ArcadeKey> list(KeySet set) {
    std::vector<ArcadeKey> out;
    for (ArcadeKey k : set) out.push_back(k);
    return out;
}

}  // namespace

TEST(ArcadeKey, RawValuesRoundTripAndUnknownCodesYieldNothing) {
    EXPECT_EQ(arcadeKey(56), ArcadeKey::shift);
    EXPECT_EQ(arcadeKey(19), ArcadeKey::two);
    for (std::uint16_t raw : {0, 9, 50, 127, 65535}) EXPECT_FALSE(arcadeKey(raw)) << raw;
    for (ArcadeKey k : keys::allCases) EXPECT_EQ(arcadeKey(rawValue(k)), k);
    ASSERT_EQ(keys::allCases.size(), 13u);
    EXPECT_EQ(keys::allCases[0], ArcadeKey::space);
    EXPECT_EQ(keys::allCases[1], ArcadeKey::enter);
    EXPECT_EQ(keys::allCases[2], ArcadeKey::escape);
    EXPECT_EQ(name(ArcadeKey::one), "1");
    EXPECT_EQ(name(ArcadeKey::arrowLeft), "ArrowLeft");
    EXPECT_EQ(name(ArcadeKey::z), "z");
}

TEST(ArcadeKey, OrderIsByNameNotByDeclarationOrCode) {
    EXPECT_TRUE(ArcadeKey::shift < ArcadeKey::space);
    EXPECT_TRUE(ArcadeKey::one < ArcadeKey::arrowUp);
    EXPECT_TRUE(ArcadeKey::escape < ArcadeKey::c);
    EXPECT_TRUE(ArcadeKey::arrowUp < ArcadeKey::enter);
    EXPECT_FALSE(ArcadeKey::z < ArcadeKey::z);
    EXPECT_TRUE(ArcadeKey::z <= ArcadeKey::z);
    EXPECT_TRUE(ArcadeKey::z >= ArcadeKey::c);
    EXPECT_TRUE(ArcadeKey::z > ArcadeKey::c);

    std::vector<ArcadeKey> some = {ArcadeKey::z, ArcadeKey::one, ArcadeKey::shift, ArcadeKey::arrowUp};
    std::sort(some.begin(), some.end());
    EXPECT_EQ(some, (std::vector<ArcadeKey>{ArcadeKey::one, ArcadeKey::arrowUp, ArcadeKey::shift,
                                           ArcadeKey::z}));

    // The whole order, and the set iterates in it whatever the insertion order.
    const std::vector<ArcadeKey> byName = {
        ArcadeKey::one,   ArcadeKey::two,    ArcadeKey::arrowDown, ArcadeKey::arrowLeft, ArcadeKey::arrowRight,
        ArcadeKey::arrowUp, ArcadeKey::enter, ArcadeKey::escape,   ArcadeKey::shift,     ArcadeKey::space,
        ArcadeKey::c,     ArcadeKey::x,      ArcadeKey::z};
    std::vector<ArcadeKey> all(keys::allCases.begin(), keys::allCases.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, byName);
    EXPECT_EQ(list(KeySet::fromMask(KeySet::fullMask)), byName);
}

TEST(KeyMap, EveryTabledBitMapsAndNoOtherBitDoes) {
    // Byte 4 bits 0, 1 and byte 5 bits 6, 7 are unmapped.
    EXPECT_TRUE(InputReport::parse(report(0x03, 0xC0))->buttons.empty());
    const std::pair<int, ArcadeKey> byte4[] = {{2, ArcadeKey::enter}, {3, ArcadeKey::escape},
                                               {4, ArcadeKey::space}, {5, ArcadeKey::z},
                                               {6, ArcadeKey::x},     {7, ArcadeKey::c}};
    for (auto [bit, key] : byte4) {
        EXPECT_EQ(InputReport::parse(report(static_cast<std::uint8_t>(1 << bit), 0))->buttons, KeySet{key});
    }
    const std::pair<int, ArcadeKey> byte5[] = {{0, ArcadeKey::arrowUp},   {1, ArcadeKey::arrowDown},
                                               {2, ArcadeKey::arrowLeft}, {3, ArcadeKey::arrowRight},
                                               {4, ArcadeKey::shift},     {5, ArcadeKey::two}};
    for (auto [bit, key] : byte5) {
        EXPECT_EQ(InputReport::parse(report(0, static_cast<std::uint8_t>(1 << bit)))->buttons, KeySet{key});
    }
    const KeySet all = InputReport::parse(report(0xFF, 0xFF))->buttons;
    EXPECT_EQ(all.size(), 12u);
    EXPECT_FALSE(all.contains(ArcadeKey::one));
}

TEST(InputReport, LengthAndTypeDecideWhetherBytesAreAReport) {
    EXPECT_FALSE(InputReport::parse(report(0x10, 0, 17)));
    EXPECT_TRUE(InputReport::parse(report(0x10, 0, 18)));
    EXPECT_FALSE(InputReport::parse({}));
    for (std::uint8_t type : {0x07, 0x03, 0x00, 0x21}) {
        auto bytes = report(0x10, 0, 64);
        bytes[0] = type;
        EXPECT_FALSE(InputReport::parse(bytes)) << int(type);
    }
    // Bytes past 18 never matter, and the parser must not look beyond the span it is given.
    auto longReport = report(0x10, 0, 64);
    auto same = longReport;
    std::fill(same.begin() + 18, same.end(), 0xAB);
    EXPECT_EQ(InputReport::parse(longReport), InputReport::parse(same));
    EXPECT_FALSE(InputReport::parse(std::span(longReport).first(17)));
}

TEST(InputReport, FieldsAreLittleEndianWithSignedLevers) {
    auto bytes = report(0x10, 0x00);
    bytes[6] = 0xFF; bytes[7] = 0x03;    // left trigger 1023
    bytes[8] = 0x00; bytes[9] = 0x04;    // right trigger 1024
    bytes[10] = 0x00; bytes[11] = 0x80;  // left X -32768
    bytes[12] = 0xFF; bytes[13] = 0x7F;  // left Y 32767
    bytes[14] = 0x01; bytes[15] = 0x00;  // right X 1
    bytes[16] = 0x18; bytes[17] = 0xFC;  // right Y -1000
    const InputReport r = *InputReport::parse(bytes);
    EXPECT_EQ(r.buttons, KeySet{ArcadeKey::space});
    EXPECT_EQ(r.leftTrigger, 1023);
    EXPECT_EQ(r.rightTrigger, 1024);
    EXPECT_EQ(r.leftX, -32768);
    EXPECT_EQ(r.leftY, 32767);
    EXPECT_EQ(r.rightX, 1);
    EXPECT_EQ(r.rightY, -1000);
}

// Messages to the stick: the acknowledgement of any message that asks for one, and the sequence numbers
// of the packets the program originates.
TEST(Gip, AcknowledgementsEchoSequenceCommandAndPayloadLength) {
    using Bytes = std::vector<std::uint8_t>;
    auto ack = [](Bytes message) -> Bytes {
        const auto packet = Gip::acknowledgement(message);
        if (!packet) return {};
        const auto bytes = packet->view();
        return Bytes(bytes.begin(), bytes.end());
    };
    // The guide press of newer firmware, and the same for an input report that asks.
    EXPECT_EQ(ack({0x07, 0x30, 0x01, 0x02, 0x01, 0x5b}),
              (Bytes{0x01, 0x20, 0x01, 0x09, 0x00, 0x07, 0x20, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
    Bytes asking = report(0x10);
    asking[1] = 0x10;
    asking[2] = 0xC3;
    asking[3] = 0x0E;
    EXPECT_EQ(ack(asking), (Bytes{0x01, 0x20, 0xC3, 0x09, 0x00, 0x20, 0x20, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(InputReport::parse(asking)) << "the report is read as well";
    // A payload length of two bytes (base 128): 0x3A + 0x02 * 128 = 0x13A.
    EXPECT_EQ(ack({0x04, 0xF0, 0x05, 0xBA, 0x02}),
              (Bytes{0x01, 0x20, 0x05, 0x09, 0x00, 0x04, 0x20, 0x3A, 0x01, 0x00, 0x00, 0x00, 0x00}));
    // Nothing asked, or no whole header.
    EXPECT_EQ(ack({0x07, 0x20, 0x01, 0x02, 0x01, 0x5b}), Bytes{});
    EXPECT_EQ(ack(report(0xFF, 0xFF)), Bytes{});
    EXPECT_EQ(ack({0x07, 0x30, 0x01}), Bytes{});
    // The guide button is no key: its message is not an input report.
    EXPECT_FALSE(InputReport::parse(Bytes{0x07, 0x30, 0x01, 0x02, 0x01, 0x5b}));
}

TEST(Gip, ClaimPacketsAndTheirSequenceNumbersWhichSkipZero) {
    EXPECT_EQ(Gip::afterPowerOn[0].name, "LED");
    EXPECT_EQ(Gip::afterPowerOn[1].name, "authentication-done");
    Gip::SequenceCounter sequence;
    std::vector<int> numbers;
    for (int i = 0; i < 257; ++i) numbers.push_back(sequence.next());
    EXPECT_EQ(numbers.front(), 1);
    EXPECT_EQ(numbers[254], 255);
    EXPECT_EQ(numbers[255], 1) << "0 belongs to the power-on";
    EXPECT_EQ(numbers[256], 2);
}
