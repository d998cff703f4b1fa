// The unmodified program, `tamberlo-joyrelay --headless --print-keys` on its default USB host (libusb),
// against sticks emulated on a umockdev bus: what it logs, what reaches the stick, which key
// transitions it prints, and what it records with --record.
//
// Key transitions are compared once the program has ended, so that the tests do not depend on how
// standard output is buffered; the order between a report and the next one is held by waiting, after
// each report, until the program has read the stick again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "TestbedTest.hpp"
#include "capture/Capture.hpp"
#include "support/Reports.hpp"
#include "support/TempDir.hpp"

using namespace fakestick;

namespace {

const Bytes kPowerOn{0x05, 0x20, 0x00, 0x01, 0x00};
const Bytes kLed{0x0A, 0x20, 0x01, 0x03, 0x00, 0x01, 0x14};
const Bytes kAuthDone{0x06, 0x20, 0x02, 0x02, 0x01, 0x00};
const std::vector<Bytes> kClaimPackets{kPowerOn, kLed, kAuthDone};
const std::string kDash = "\u2014";

Clock::time_point in(Clock::duration d) {
    return Clock::now() + d;
}

std::function<bool(const std::string&)> is(std::string text) {
    return [text](const std::string& line) { return line == text; };
}
std::function<bool(const std::string&)> startsWith(std::string text) {
    return [text](const std::string& line) { return line.rfind(text, 0) == 0; };
}

using joyrelay::testing::report;
constexpr std::uint8_t A = 0x10, B = 0x20, X = 0x40, Left = 0x04;

// "Space down", "z up", ... from printed lines "<ms> <key> down|up".
std::vector<std::string> transitions(const std::vector<Line>& lines) {
    static const std::regex printed(R"(^[0-9]+\.[0-9]+ (\S+) (down|up)$)");
    std::vector<std::string> out;
    for (const Line& l : lines) {
        std::smatch m;
        if (std::regex_match(l.text, m, printed)) out.push_back(m[1].str() + " " + m[2].str());
    }
    return out;
}

class ProgramTest : public TestbedTest {
protected:
    void SetUp() override {
        TestbedTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(temp.ok());
        dir = temp.path();
        std::filesystem::create_directories(dir / "state");
        std::filesystem::create_directories(dir / "runtime");
        chmod((dir / "runtime").c_str(), 0700);
    }
    void TearDown() override {
        programs.clear();  // programs go before the testbed that serves them
        TestbedTest::TearDown();
    }

    Program& start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {JOYRELAY_BINARY, "--headless", "--print-keys"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        programs.push_back(tb->spawn(argv, {"XDG_STATE_HOME=" + (dir / "state").string(),
                                            "XDG_RUNTIME_DIR=" + (dir / "runtime").string(), "DISPLAY="}));
        return *programs.back();
    }
    std::optional<Line> logged(const Program& p, const std::function<bool(const std::string&)>& match,
                               Clock::duration timeout = 10s, std::size_t from = 0) {
        return p.waitForStderrLine(match, in(timeout), from);
    }
    // Pushes a report and waits until the program has handled it and reads the stick again.
    void feed(FakeStick& stick, const Program& p, const Bytes& r) {
        const std::size_t before = stick.inTimings().size();
        stick.pushReport(r);
        const bool read =
            stick.waitFor([](const Stats& s) { return s.queuedReports == 0 && s.pendingIn == 1; }, in(10s));
        ASSERT_TRUE(read && stick.inTimings().size() == before + 1) << p.describe();
    }
    std::vector<std::string> logFile() const {
        std::ifstream in(dir / "state" / "Tamberlo Joyrelay.log");
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }

    joyrelay::testing::TempDir temp{"joyrelay-usb"};
    std::filesystem::path dir;
    std::vector<std::unique_ptr<Program>> programs;
};

// A dongle of the stick's vendor and a device without a name are plugged when the program starts; the
// stick is plugged in later and claimed, powered on and read; unplugged while keys are held, it
// releases them; plugged in again, it is claimed again with a new power-on packet.
TEST_F(ProgramTest, FindsClaimsReadsReleasesAndReclaimsTheStick) {
    FakeStick& dongle =
        tb->plug({.product = 0x3106, .deviceClass = 0, .productName = "8BitDo Receiver", .devnum = 2});
    FakeStick& nameless = tb->plug(namelessPad(3));
    Program& p = start();
    const auto dongleLine = logged(p, is("[joyrelay] usb: 2dc8:3106 class 0 " + kDash + " 8BitDo Receiver"));
    ASSERT_TRUE(dongleLine) << p.describe();
    const auto skipped = logged(p, is("[joyrelay] skipping 2DC8 device of class 0 (not the Xbox stick " +
                                      kDash + " the 2.4G dongle cannot be used on a Mac)"));
    ASSERT_TRUE(skipped) << p.describe();
    EXPECT_EQ(skipped->index, dongleLine->index + 1);
    EXPECT_TRUE(logged(p, is("[joyrelay] usb: 045e:02ea class 0 " + kDash + " ?"))) << p.describe();

    FakeStick& stick = tb->plug({.devnum = 4});
    const std::string deviceLine = "[joyrelay] usb: 2dc8:2004 class 255 " + kDash + " Test Arcade Stick";
    const std::string claimLine =
        "[joyrelay] Test Arcade Stick (2dc8:2004) claimed: ep_in 0x82 ep_out 0x02 " + kDash +
        " typing keys into the frontmost browser";
    const auto device = logged(p, is(deviceLine));
    ASSERT_TRUE(device) << p.describe();
    const auto claimed = logged(p, is(claimLine));
    ASSERT_TRUE(claimed) << p.describe();
    EXPECT_EQ(claimed->index, device->index + 1) << "the claim runs right after the stick's device line";
    EXPECT_TRUE(logged(p, is("[joyrelay] Stick: connected " + kDash + " Test Arcade Stick (2dc8:2004)")))
        << p.describe();

    ASSERT_TRUE(stick.waitForOutWrites(3, in(5s))) << p.describe();
    EXPECT_EQ(stick.outWrites(), kClaimPackets);
    EXPECT_TRUE(logged(p, is("[joyrelay] power-on sent (5 bytes)"))) << p.describe();
    ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.pendingIn == 1; }, in(5s))) << p.describe();

    feed(stick, p, report(A));
    feed(stick, p, report(A, Left));
    feed(stick, p, report(A | B, Left));
    feed(stick, p, report(A, Left));  // Space and ArrowLeft stay down

    stick.unplug();
    const auto released = logged(p, startsWith("[joyrelay] stick released: "));
    ASSERT_TRUE(released) << p.describe();
    EXPECT_TRUE(released->text == "[joyrelay] stick released: stick unplugged" ||
                released->text == "[joyrelay] stick released: read error 0xe00002c0")
        << released->text;
    EXPECT_TRUE(stick.waitFor([](const Stats& s) { return s.openHandles == 0; }, in(5s))) << p.describe();

    stick.replug(7);
    ASSERT_TRUE(logged(p, is(claimLine), 10s, released->index)) << p.describe();
    ASSERT_TRUE(stick.waitForOutWrites(6, in(5s))) << p.describe();
    EXPECT_EQ(stick.outWrites(), (std::vector<Bytes>{kPowerOn, kLed, kAuthDone, kPowerOn, kLed, kAuthDone}));
    ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.pendingIn == 1; }, in(5s))) << p.describe();
    feed(stick, p, report(X));
    feed(stick, p, report(0));

    EXPECT_TRUE(p.terminate()) << p.describe();
    EXPECT_EQ(p.exitCode(), 0) << p.describe();
    EXPECT_EQ(transitions(p.stdoutLines()),
              (std::vector<std::string>{"Space down", "ArrowLeft down", "z down", "z up",  // first claim
                                        "ArrowLeft up", "Space up",  // released at the unplug
                                        "x down", "x up"}));         // claimed again
    EXPECT_EQ(dongle.stats().opensTotal, 0) << "the dongle is never opened";
    EXPECT_EQ(nameless.stats().claims, 0);
    EXPECT_EQ(stick.stats().unknownIoctls, 0);
}

// Held by another program: "busy", then claimed at the retry 5 s later once the other program let go.
TEST_F(ProgramTest, AStickHeldByAnotherProgramIsBusyAndRetried) {
    FakeStick& stick = tb->plug({.heldByOtherProgram = true});
    Program& p = start();
    const auto busy =
        logged(p, is("[joyrelay] Test Arcade Stick (2dc8:2004) is held by another program (exclusive "
                     "access) " +
                     kDash + " retrying in 5 s"));
    ASSERT_TRUE(busy) << p.describe();
    EXPECT_TRUE(logged(
        p, is("[joyrelay] Stick: in use by another program " + kDash + " Test Arcade Stick (2dc8:2004)")))
        << p.describe();
    EXPECT_TRUE(stick.outWrites().empty());
    stick.setHeldByOtherProgram(false);

    const auto claimed =
        logged(p, startsWith("[joyrelay] Test Arcade Stick (2dc8:2004) claimed: "), 10s, busy->index);
    ASSERT_TRUE(claimed) << p.describe();
    const auto waited = claimed->at - busy->at;
    EXPECT_GT(waited, 4s) << "retried by the 5 s rescan, not at once";
    EXPECT_LT(waited, 8s);
    EXPECT_TRUE(stick.waitForOutWrites(1, in(5s))) << p.describe();
    EXPECT_EQ(stick.stats().claimsRefused, 1);
}

// A product name with line feeds, format directives and 4 KB of text reaches the log as one line.
TEST_F(ProgramTest, AHostileProductNameCannotAddALineToTheLog) {
    FakeStick& stick = tb->plug({});
    const std::string evil = "Evil\n[joyrelay] stick released: forged\r\n%n%n%s%x" + std::string(4000, 'A');
    std::ofstream(tb->rootDir() + stick.syspath() + "/product", std::ios::binary | std::ios::trunc)
        << evil << "\n";
    Program& p = start();
    ASSERT_TRUE(logged(p, startsWith("[joyrelay] usb: 2dc8:2004 class 255 " + kDash + " Evil?[joyrelay]")))
        << p.describe();
    const auto claimed =
        logged(p, [](const std::string& l) { return l.find(") claimed: ep_in 0x82") != std::string::npos; });
    ASSERT_TRUE(claimed) << p.describe();
    EXPECT_TRUE(stick.waitForOutWrites(1, in(5s)));
    // Stopped once idle: the program's exit does not wait for a line another thread is still writing.
    EXPECT_TRUE(logged(p, is("[joyrelay] power-on sent (5 bytes)"))) << p.describe();
    EXPECT_TRUE(logged(p, startsWith("[joyrelay] Stick: connected " + kDash + " Evil?"))) << p.describe();
    for (const auto deadline = in(5s);
         logFile().size() < p.stderrLines().size() && Clock::now() < deadline;) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(p.terminate()) << p.describe();

    std::size_t programLines = 0;
    for (const Line& l : p.stderrLines()) {
        if (l.text.rfind("[joyrelay] ", 0) != 0) continue;  // a library's own warning, not a log line
        ++programLines;
        EXPECT_NE(l.text.rfind("[joyrelay] stick released", 0), 0u) << l.text;
        EXPECT_LT(l.text.size(), 400u) << "the name is cut short";
        // Control characters replaced; "%" directives printed as they are, never used as a format.
        if (l.text.find("forged") != std::string::npos) {
            EXPECT_NE(l.text.find("Evil?[joyrelay] stick released: forged??%n%n%s%xAAAA"), std::string::npos)
                << l.text;
        }
    }
    const std::vector<std::string> file = logFile();
    EXPECT_EQ(file.size(), programLines) << "one log line per message; " << p.describe() << "\nfile:\n"
                                         << [&] {
                                                std::string all;
                                                for (const std::string& l : file)
                                                    all += l.substr(0, 120) + "\n";
                                                return all;
                                            }();
    static const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d .*)");
    for (const std::string& l : file) {
        EXPECT_TRUE(std::regex_match(l, stamped)) << l;
        EXPECT_EQ(l.find('\r'), std::string::npos);
        EXPECT_NE(l.find(" stick released"), 19u) << "a forged line: " << l;
    }
}

// --record while the stick is read, unplugged and plugged again; the replay of that capture prints the
// same transitions as the live run.
TEST_F(ProgramTest, ARecordedCaptureReplaysToTheTransitionsOfTheLiveRun) {
    FakeStick& stick = tb->plug({});
    const std::string capture = (dir / "stick.gip").string();
    Program& p = start({"--record", capture});
    const std::string claimPrefix = "[joyrelay] Test Arcade Stick (2dc8:2004) claimed: ";
    const auto first = logged(p, startsWith(claimPrefix));
    ASSERT_TRUE(first) << p.describe();
    EXPECT_TRUE(logged(p, is("[joyrelay] record: saving the stick's reports to " + capture))) << p.describe();
    ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.pendingIn == 1; }, in(5s))) << p.describe();

    const std::vector<Bytes> reports = {report(A),       report(A, Left), report(A | B, Left),
                                        report(A, Left), report(X),       report(X | A),
                                        report(0)};
    for (int i = 0; i < 4; ++i) feed(stick, p, reports[std::size_t(i)]);
    stick.unplug();
    const auto released = logged(p, startsWith("[joyrelay] stick released: "));
    ASSERT_TRUE(released) << p.describe();
    stick.replug();
    ASSERT_TRUE(logged(p, startsWith(claimPrefix), 10s, released->index)) << p.describe();
    ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.pendingIn == 1; }, in(5s))) << p.describe();
    for (std::size_t i = 4; i < reports.size(); ++i) feed(stick, p, reports[i]);
    ASSERT_TRUE(p.terminate()) << p.describe();
    const std::vector<std::string> live = transitions(p.stdoutLines());
    ASSERT_EQ(live.size(), 10u) << p.describe();

    // The capture: every report in order, the unplug and the plug.
    std::ifstream file(capture);
    ASSERT_TRUE(file) << "no capture at " << capture << "; " << p.describe();
    std::vector<std::string> lines;
    for (std::string l; std::getline(file, l);) {
        if (!l.empty() && l[0] != '#') lines.push_back(l.substr(l.find(' ') + 1));
    }
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        if (i == 4) {
            expected.push_back("unplug");
            expected.push_back("plug");
        }
        expected.push_back(hex(reports[i]));
    }
    EXPECT_EQ(lines, expected);

    auto replay = tb->spawn(
        {JOYRELAY_BINARY, "--replay", capture, "--print-keys", "--fast"},
        {"XDG_STATE_HOME=" + (dir / "state").string(), "XDG_RUNTIME_DIR=" + (dir / "runtime").string()});
    ASSERT_TRUE(replay->waitForExit(in(30s))) << replay->describe();
    EXPECT_EQ(replay->exitCode(), 0) << replay->describe();
    EXPECT_EQ(transitions(replay->stdoutLines()), live);
}


// --- Pads that need more than the power-on ------------------------------------------------------------

// The demo capture's key transcript, without the times.
std::vector<std::string> demoKeys() {
    std::ifstream file(JOYRELAY_SOURCE_DIR "/samples/demo.keys");
    std::vector<std::string> keys;
    for (std::string l; std::getline(file, l);) {
        if (!l.empty()) keys.push_back(l.substr(l.find(' ') + 1));
    }
    return keys;
}

// One transition a line, so that a mismatch shows as a diff.
std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

// Kilobytes of the program's resident memory.
long residentKb(const Program& p) {
    std::ifstream status("/proc/" + std::to_string(p.pid()) + "/status");
    for (std::string l; std::getline(status, l);) {
        if (l.rfind("VmRSS:", 0) == 0) return std::stol(l.substr(6));
    }
    return -1;
}

class GipPadTest : public ProgramTest {
protected:
    bool consumed(FakeStick& stick) {
        return stick.waitFor([](const Stats& s) { return s.queuedReports == 0 && s.pendingIn == 1; }, in(60s));
    }
    // Plays the demo capture on `stick` as the stick itself would send it: every transfer pushed in order,
    // `between` called after each, the unplug and the plug done on the stick (the transfers in between are
    // never read). Returns once the program has read everything, then ends it and returns its transitions.
    // `atEnd` runs once everything is read, before the program is ended.
    std::vector<std::string> playDemo(FakeStick& stick, Program& p, const std::function<void()>& between = {},
                                      const std::function<void()>& atEnd = {}) {
        const joyrelay::CaptureParse demo = joyrelay::loadCapture(JOYRELAY_SOURCE_DIR "/samples/demo.gip");
        EXPECT_FALSE(demo.error) << *demo.error;
        auto claimed = logged(p, startsWith("[joyrelay] Stick: connected "));
        EXPECT_TRUE(claimed) << p.describe();
        bool plugged = true;
        for (const joyrelay::CaptureEvent& e : demo.events) {
            if (e.kind == joyrelay::CaptureEvent::Kind::unplug) {
                EXPECT_TRUE(consumed(stick)) << p.describe();
                stick.unplug();
                plugged = false;
                const auto released = logged(p, startsWith("[joyrelay] stick released: "));
                EXPECT_TRUE(released) << p.describe();
                if (!released) return {};
                claimed = released;
            } else if (e.kind == joyrelay::CaptureEvent::Kind::plug) {
                stick.replug();
                plugged = true;
                claimed = logged(p, startsWith("[joyrelay] Stick: connected "), 10s, claimed->index);
                EXPECT_TRUE(claimed) << p.describe();
                if (!claimed) return {};
            } else if (plugged) {
                stick.pushReport(e.bytes);
                if (between) between();
            }
        }
        EXPECT_TRUE(consumed(stick)) << p.describe();
        if (atEnd) atEnd();
        EXPECT_TRUE(p.terminate()) << p.describe();
        return transitions(p.stdoutLines());
    }
};

// A pad that reports nothing until it has had the LED and authentication-done packets, and one that
// repeats a guide press asking for an acknowledgement until it has one: each types the demo's keys
// exactly, with the power-on, LED and authentication-done packets in that order at each claim, the
// acknowledgement right, and alternate setting 0 of the audio interface selected at each claim.
TEST_F(GipPadTest, PadsThatWaitForTheClaimPacketsOrForAnAcknowledgementTypeTheDemoKeys) {
    {
        FakeStick& stick = tb->plug(gipPad(Firmware::waitsForLedAndAuth, 2));
        Program& p = start();
        EXPECT_EQ(joined(playDemo(stick, p)), joined(demoKeys())) << p.describe();
        EXPECT_EQ(stick.outWrites(), (std::vector<Bytes>{kPowerOn, kLed, kAuthDone, kPowerOn, kLed, kAuthDone}));
        EXPECT_TRUE(logged(p, startsWith("[joyrelay] Test Arcade Stick (2dc8:2004) claimed: ep_in 0x81 ep_out 0x01")));
        for (const Line& l : p.stderrLines()) {
            EXPECT_EQ(l.text.find("failed"), std::string::npos) << l.text;
            EXPECT_EQ(l.text.find("not selected"), std::string::npos) << l.text;
        }
        EXPECT_EQ(stick.alternateSettings(), (std::vector<std::pair<unsigned, unsigned>>{{1, 0}, {1, 0}}));
        EXPECT_EQ(stick.stats().unknownIoctls, 0);
        programs.clear();
    }
    FakeStick& stick = tb->plug(gipPad(Firmware::guideUntilAcknowledged, 3));
    Program& p = start();
    EXPECT_EQ(joined(playDemo(stick, p)), joined(demoKeys())) << p.describe();
    EXPECT_EQ(stick.outWrites(), (std::vector<Bytes>{kPowerOn, kLed, kAuthDone, kGuideAcknowledgement, kPowerOn, kLed,
                                                     kAuthDone, kGuideAcknowledgement}));
    EXPECT_EQ(stick.stats().guideRequests, 2) << "answered at the first time of asking, at each claim";
}

// 10,000 requests for an acknowledgement, woven into the demo, while the stick takes no writes: the
// keys come out exactly, no more than the power-on and four more writes are ever in flight, and the
// program's memory stays flat. Once the stick takes writes again, a new request is answered.
TEST_F(GipPadTest, AFloodOfAcknowledgementRequestsKeepsMemoryFlatAndTheKeysExact) {
    FakeStick& stick = tb->plug(gipPad());
    Program& p = start();
    ASSERT_TRUE(stick.waitForOutWrites(3, in(10s))) << p.describe();
    ASSERT_TRUE(consumed(stick)) << p.describe();
    stick.holdOutWrites(true);
    int requests = 0;
    auto ask = [&](int n) {
        for (int k = 0; k < n && requests < 10000; ++k, ++requests) {
            stick.pushReport({0x07, 0x30, std::uint8_t(requests), 0x02, std::uint8_t(requests & 1), 0x5b});
        }
    };
    ask(200);  // what the program allocates once is in the first figure
    ASSERT_TRUE(consumed(stick)) << p.describe();
    const long before = residentKb(p);
    long after = -1;
    // The demo's last report again, asking for an acknowledgement: it changes no key.
    const Bytes lastAsking{0x20, 0x10, 0xEE, 0x0e, 0x00, 0x20, 0x00, 0x00, 0x20, 0x03, 0, 0, 0, 0, 0, 0, 0x58, 0x9e};
    const Bytes lastAck{0x01, 0x20, 0xEE, 0x09, 0x00, 0x20, 0x20, 0x0e, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<std::string> keys = playDemo(stick, p, [&] { ask(150); }, [&] {
        ask(10000);
        ASSERT_TRUE(consumed(stick)) << p.describe();
        after = residentKb(p);
        EXPECT_LE(stick.stats().mostPendingOut, 5);
        stick.holdOutWrites(false);
        stick.pushReport(lastAsking);
        const auto deadline = in(10s);
        for (std::vector<Bytes> w = stick.outWrites(); std::find(w.begin(), w.end(), lastAck) == w.end();
             w = stick.outWrites()) {
            ASSERT_TRUE(stick.waitForOutWrites(w.size() + 1, deadline)) << "the last request was not answered";
        }
        ASSERT_TRUE(consumed(stick)) << p.describe();
    });
    EXPECT_EQ(requests, 10000);
    EXPECT_EQ(joined(keys), joined(demoKeys())) << p.describe();
    ASSERT_GT(before, 0);
    EXPECT_LT(after - before, 2048) << "kB of resident memory grew from " << before << " to " << after;
    const std::vector<Bytes> writes = stick.outWrites();
    EXPECT_LT(writes.size(), 60u) << "requests beyond the bounded queue are not answered";
    for (const Bytes& w : writes) {
        if (w[0] != 0x01 || w == lastAck) continue;
        ASSERT_EQ(w.size(), 13u);
        EXPECT_EQ(Bytes(w.begin() + 3, w.end()), (Bytes{0x09, 0x00, 0x07, 0x20, 0x02, 0, 0, 0, 0, 0}));
    }
}

}  // namespace

// A halted IN endpoint stays halted until it is cleared: the program clears it once, keeps its claim
// and reads on, with the keys held before the stall still held.
TEST_F(ProgramTest, APersistentStallIsClearedOnceAndTheStickReadsOn) {
    FakeStick& stick = tb->plug({.devnum = 4});
    Program& p = start();
    ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.pendingIn == 1; }, in(10s))) << p.describe();
    feed(stick, p, report(A));
    ASSERT_TRUE(p.waitForStdoutLine([](const std::string& l) { return l.find("Space down") != std::string::npos; },
                                    in(5s)))
        << p.describe();
    stick.haltIn();
    ASSERT_TRUE(logged(p, is("[joyrelay] the stick's IN endpoint stalled " + kDash + " clearing the halt")))
        << p.describe();
    ASSERT_TRUE(stick.waitFor([](const Stats& s) { return s.clearHalts == 1 && s.pendingIn == 1; }, in(10s)))
        << p.describe();
    feed(stick, p, report(0, 0));
    ASSERT_TRUE(p.waitForStdoutLine([](const std::string& l) { return l.find("Space up") != std::string::npos; },
                                    in(5s)))
        << p.describe();
    const Stats stats = stick.stats();
    EXPECT_EQ(stats.inStalls, 1);
    EXPECT_EQ(stats.clearHalts, 1);
    EXPECT_EQ(stats.claims, 1) << "never released and claimed again";
    for (const Line& l : p.stderrLines()) EXPECT_EQ(l.text.find("stick released"), std::string::npos) << l.text;
}

