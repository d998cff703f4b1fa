// The capture format: what is accepted, and how a bad line is refused.
#include <gtest/gtest.h>

#include "Capture.hpp"

using namespace joyrelay;
using Kind = CaptureEvent::Kind;

TEST(Capture, ParsesTransfersPlugsCommentsAndEmptyTransfers) {
    const auto c = parseCapture(
        "# a capture\n"
        "\n"
        "0 20 00 01 0E FF\n"
        "12.5   # a transfer of zero bytes\n"
        "12.5 unplug\n"
        "  40\tplug  \r\n"
        "41 03 20",
        "t.gip");
    ASSERT_FALSE(c.error) << *c.error;
    ASSERT_EQ(c.events.size(), 5u);
    EXPECT_EQ(c.events[0].bytes, (std::vector<std::uint8_t>{0x20, 0x00, 0x01, 0x0E, 0xFF}));
    EXPECT_EQ(c.events[0].line, 3);
    EXPECT_DOUBLE_EQ(c.events[1].timeMs, 12.5);
    EXPECT_TRUE(c.events[1].bytes.empty());
    EXPECT_EQ(c.events[1].kind, Kind::transfer);
    EXPECT_EQ(c.events[2].kind, Kind::unplug);
    EXPECT_EQ(c.events[3].kind, Kind::plug);
    EXPECT_EQ(c.events[4].bytes, (std::vector<std::uint8_t>{0x03, 0x20}));
}

TEST(Capture, RefusesAMalformedLineWithFileLineAndReason) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"0 20\n1 2g\n", "t.gip:2: bad hex byte \"2g\""},
        {"0 20\n\n5 100\n", "t.gip:3: byte \"100\" is not two hex digits"},
        {"5 20\n4 20\n", "t.gip:2: timestamp 4 goes back in time"},
        {"0 unplugged\n", "t.gip:1: unknown word \"unplugged\""},
        {"0 20 plug\n", "t.gip:1: \"plug\" must stand alone"},
        {"-1 20\n", "t.gip:1: bad timestamp \"-1\""},
        {"1. 20\n", "t.gip:1: bad timestamp \"1.\""},
        {"abc\n", "t.gip:1: bad timestamp \"abc\""},
        {"0 2\n", "t.gip:1: byte \"2\" is not two hex digits"},
    };
    for (const Case& c : cases) {
        const auto parsed = parseCapture(c.text, "t.gip");
        ASSERT_TRUE(parsed.error) << c.text;
        EXPECT_EQ(parsed.error->rfind(c.expected, 0), 0u) << *parsed.error;
        EXPECT_TRUE(parsed.events.empty());
    }
}

TEST(Capture, LinesWrittenForRecordingParseBack) {
    const std::uint8_t bytes[] = {0x20, 0x00, 0xab};
    const std::string text = captureLine(1.25, bytes, 3) + "\n" + captureLine(2, Kind::unplug) + "\n" +
                             captureLine(3, Kind::plug) + "\n" + captureLine(4, nullptr, 0) + "\n";
    EXPECT_EQ(text, "1.250 20 00 ab\n2.000 unplug\n3.000 plug\n4.000\n");
    const auto c = parseCapture(text, "r");
    ASSERT_FALSE(c.error);
    ASSERT_EQ(c.events.size(), 4u);
    EXPECT_EQ(c.events[0].bytes, (std::vector<std::uint8_t>(bytes, bytes + 3)));
}
