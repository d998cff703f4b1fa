// The program as a user runs it: replaying captures with printed keys, and refusing bad ones.
#include <gtest/gtest.h>

#include <map>
#include <chrono>
#include <regex>
#include <set>
#include <sstream>

#include "TestSupport.hpp"

using joyrelay::testing::run;
using joyrelay::testing::TempDir;
using joyrelay::testing::writeFile;

namespace {

const std::string binary = JOYRELAY_BINARY;
const std::string demo = std::string(JOYRELAY_SOURCE_DIR) + "/samples/demo.gip";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

TEST(CommandLine, DemoReplayPrintsBalancedTransitionsInFormat) {
    const auto r = run("'" + binary + "' --replay '" + demo + "' --print-keys --fast");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::regex format(R"(^(\d+\.\d{3}) (Space|Enter|Escape|Shift|ArrowLeft|ArrowRight|ArrowDown|ArrowUp|z|x|c|1|2) (down|up)$)");
    std::map<std::string, bool> down;
    double last = 0;
    std::set<std::string> seen;
    for (const auto& line : lines(r.out)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, format)) << "unexpected stdout line: " << line;
        const double t = std::stod(m[1]);
        EXPECT_GE(t, last);
        last = t;
        const bool isDown = m[3] == "down";
        EXPECT_NE(down[m[2]], isDown) << "double " << m[3] << " of " << m[2] << " at " << m[1];
        down[m[2]] = isDown;
        seen.insert(m[2]);
    }
    for (const auto& [key, isDown] : down) EXPECT_FALSE(isDown) << key << " left down";
    EXPECT_EQ(seen.size(), 13u) << "the demo should exercise every key";
}

TEST(CommandLine, DemoReplayMatchesTheReviewedTranscript) {
    const auto r = run("'" + binary + "' --replay '" + demo + "' --print-keys --fast");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, joyrelay::testing::readFile(std::string(JOYRELAY_SOURCE_DIR) + "/samples/demo.keys"));
}

TEST(CommandLine, MalformedCapturesAreRefusedBeforeAnythingRuns) {
    TempDir dir;
    const std::pair<const char*, const char*> cases[] = {
        {"0 20 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00\n1 zz\n", ":2: bad hex byte \"zz\""},
        {"0 20 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00\n1 1ff\n", ":2: byte \"1ff\" is not two hex digits"},
        {"# c\n0 20 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00\n5 20\n3 20\n", ":4: timestamp 3 goes back"},
        {"0 20 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00\n9 replug\n", ":2: unknown word \"replug\""},
    };
    for (const auto& [text, reason] : cases) {
        const auto file = dir.path() / "bad.gip";
        writeFile(file, text);
        const auto r = run("'" + binary + "' --replay '" + file.string() + "' --print-keys --fast");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "") << "nothing may run before the capture is accepted";
        EXPECT_NE(r.err.find(file.string() + reason), std::string::npos) << r.err;
    }
    const auto missing = run("'" + binary + "' --replay /nonexistent/x.gip --print-keys");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("/nonexistent/x.gip: cannot read"), std::string::npos) << missing.err;
}

TEST(CommandLine, KeepsTheCaptureTimingUnlessFast) {
    TempDir dir;
    const auto file = dir.path() / "slow.gip";
    writeFile(file, "0 20 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00\n400 20 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n");
    const auto start = std::chrono::steady_clock::now();
    const auto r = run("'" + binary + "' --replay '" + file.string() + "' --print-keys");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0.000 Space down\n400.000 Space up\n");
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
}

TEST(CommandLine, HelpVersionAndBadOptions) {
    const auto help = run("'" + binary + "' --help");
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--replay", "--print-keys", "--fast", "--headless", "--record", "--key-output", "--version"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const auto version = run("'" + binary + "' --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex(R"(Tamberlo Joyrelay \d+\.\d+\.\d+\n)"))) << version.out;
    const auto bad = run("'" + binary + "' --frobnicate");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("unknown option: --frobnicate"), std::string::npos);
}
