// The capture format: what is accepted, and how a bad line is refused.
#include <gtest/gtest.h>

#include <unistd.h>

#include "capture/Capture.hpp"
#include "log/Log.hpp"
#include "support/ChildProcess.hpp"
#include "support/TempDir.hpp"

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

TEST(Capture, TimestampsBeyondTheRangeAreRefusedNamingFileAndLine) {
    EXPECT_FALSE(parseCapture("0 20\n999999999999.999 20\n", "t.gip").error);
    const char* outside[] = {"1000000000000", "18446744073709551616",
                             "12345678901234567890123456789012345678901234567890"};
    for (const char* time : outside) {
        const auto parsed = parseCapture(std::string("0 20\n") + time + " 20 00\n", "t.gip");
        ASSERT_TRUE(parsed.error) << time;
        EXPECT_EQ(parsed.error->rfind("t.gip:2: timestamp \"", 0), 0u) << *parsed.error;
        EXPECT_NE(parsed.error->find("out of range"), std::string::npos) << *parsed.error;
    }
}

TEST(Capture, ALineLongerThanTheCapIsRefused) {
    const std::string longest = "0 #" + std::string(maxLineLength - 3, 'x');
    EXPECT_FALSE(parseCapture(longest + "\n", "t.gip").error);
    const auto parsed = parseCapture("0 20\n" + longest + "x\n", "t.gip");
    ASSERT_TRUE(parsed.error);
    EXPECT_EQ(*parsed.error, "t.gip:2: line longer than 262144 bytes");
}

TEST(Capture, PathsInMessagesHaveTheirControlCharactersEscaped) {
    EXPECT_EQ(printablePath("/tmp/a\nb\t\x1b.gip"), "/tmp/a\\nb\\t\\x1b.gip");
    EXPECT_EQ(printablePath("/home/zoë/demo.gip"), "/home/zoë/demo.gip");
    const auto parsed = parseCapture("x\n", "a\nb.gip");
    ASSERT_TRUE(parsed.error);
    EXPECT_EQ(parsed.error->find('\n'), std::string::npos) << *parsed.error;
    EXPECT_EQ(parsed.error->rfind("a\\nb.gip:1: bad timestamp", 0), 0u) << *parsed.error;
}

TEST(CaptureReader, FoldersEmptyCapturesAndEndlessDevicesAreRefusedAtOnce) {
    joyrelay::testing::TempDir dir;
    joyrelay::testing::writeFile(dir.path() / "empty.gip", "");
    joyrelay::testing::writeFile(dir.path() / "comments.gip", "# nothing but\n\n# comments\n");
    const std::pair<std::string, std::string> cases[] = {
        {dir.path().string(), ": is a folder, not a capture"},
        {(dir.path() / "empty.gip").string(), ": the capture is empty"},
        {(dir.path() / "comments.gip").string(), ": the capture is empty"},
        {"/dev/zero", "/dev/zero:1: line longer than 262144 bytes"},
        {"/dev/urandom", "/dev/urandom:1: "},
    };
    for (const auto& [path, reason] : cases) {
        std::string error;
        EXPECT_FALSE(CaptureReader::open(path, error)) << path;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

// A pipe can be read only once: events come as they are read, and a bad line further on ends the
// capture there with its reason.
TEST(CaptureReader, APipeIsReadOnceAsItStreams) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string text = "0 20 00\n# a comment\n5 unplug\n6 plug\n7 zz\n8 20\n";
    ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fds[1]);
    std::string error;
    auto reader = CaptureReader::open("/dev/fd/" + std::to_string(fds[0]), error);
    ::close(fds[0]);
    ASSERT_TRUE(reader) << error;
    CaptureEvent e;
    std::vector<Kind> kinds;
    while (reader->next(e)) kinds.push_back(e.kind);
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::transfer, Kind::unplug, Kind::plug}));
    ASSERT_TRUE(reader->error());
    EXPECT_NE(reader->error()->find(":5: bad hex byte \"zz\""), std::string::npos) << *reader->error();
}

// A regular file is checked to its end before its first event is handed out.
TEST(CaptureReader, ARegularFileWithABadLineIsRefusedBeforeAnyEvent) {
    joyrelay::testing::TempDir dir;
    std::string text;
    for (int i = 0; i < 5000; ++i) text += std::to_string(i) + " 20 00 00 00 10\n";
    joyrelay::testing::writeFile(dir.path() / "good.gip", text);
    joyrelay::testing::writeFile(dir.path() / "bad.gip", text + "5000 1ff\n");
    std::string error;
    EXPECT_FALSE(CaptureReader::open((dir.path() / "bad.gip").string(), error));
    EXPECT_NE(error.find("bad.gip:5001: byte \"1ff\""), std::string::npos) << error;
    auto reader = CaptureReader::open((dir.path() / "good.gip").string(), error);
    ASSERT_TRUE(reader) << error;
    CaptureEvent e;
    int count = 0;
    while (reader->next(e)) ++count;
    EXPECT_EQ(count, 5000);
    EXPECT_FALSE(reader->error());
    EXPECT_EQ(e.line, 5000);
}
