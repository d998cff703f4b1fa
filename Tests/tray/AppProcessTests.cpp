// The program as a user starts it on a machine without a display: it runs headless by itself, only
// one copy uses the real stick, and SIGTERM or SIGINT end it with "quit" as the last log line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "ProgramSupport.hpp"

using namespace joyrelay::testing;

namespace {

const std::string demo = std::string(JOYRELAY_SOURCE_DIR) + "/samples/demo.gip";

}  // namespace

TEST(AppProcess, WithoutADisplayItRunsHeadlessAndSaysSo) {
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
        User session{"joyrelay-session"};
        auto program = session.start({}, "first");
        ASSERT_TRUE(program->started());
        ASSERT_TRUE(waitUntil([&] { return logHas(session.log(), "No display ("); }, 15s))
            << readFile(session.out("first"));
        const auto lines = logMessages(session.log());
        EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(Tamberlo Joyrelay \S+ starting \(.*tamberlo-joyrelay, headless\))")))
            << lines[0];
        EXPECT_EQ(lines[1], "No display (cannot open X display (DISPLAY is not set)) \u2014 running headless");
        EXPECT_TRUE(waitUntil([&] { return logHas(session.log(), "Key output: "); }, 10s));

        program->signal(sig);
        EXPECT_EQ(program->exitStatus(10s), std::optional<int>(0));
        EXPECT_EQ(logMessages(session.log()).back(), "quit");
    }
}

TEST(AppProcess, ASecondCopyOnTheRealStickSaysSoAndEndsWhileReplaysStillRun) {
    User session{"joyrelay-session"};
    auto first = session.start({"--headless"}, "first");
    ASSERT_TRUE(waitUntil([&] { return logHas(session.log(), "Key output: "); }, 15s)) << readFile(session.out("first"));

    auto second = session.start({"--headless"}, "second");
    EXPECT_EQ(second->exitStatus(15s), std::optional<int>(1));
    const std::string already = "Tamberlo Joyrelay is already running (pid " + std::to_string(first->pid()) +
                                ") \u2014 this copy ends";
    EXPECT_NE(readFile(session.out("second")).find(already), std::string::npos) << readFile(session.out("second"));
    auto tray = session.start({}, "third");  // a tray copy would be headless here, and is refused the same way
    EXPECT_EQ(tray->exitStatus(15s), std::optional<int>(1));

    // Replays do not touch the stick: they run while the first copy holds it.
    auto printed = session.start({"--replay", demo, "--print-keys", "--fast"}, "printed");
    EXPECT_EQ(printed->exitStatus(30s), std::optional<int>(0));
    std::string out = readFile(session.out("printed"));
    EXPECT_NE(out.find("120.000 Enter down\n"), std::string::npos) << out;
    auto replayed = session.start({"--headless", "--replay", demo, "--fast"}, "replayed");
    EXPECT_EQ(replayed->exitStatus(30s), std::optional<int>(0));
    out = readFile(session.out("replayed"));
    EXPECT_NE(out.find("[joyrelay] replay finished\n[joyrelay] quit\n"), std::string::npos) << out;

    EXPECT_FALSE(first->exitStatus().has_value()) << "the first copy keeps running";
    first->signal(SIGTERM);
    EXPECT_EQ(first->exitStatus(10s), std::optional<int>(0));
    EXPECT_EQ(logMessages(session.log()).back(), "quit");
}

TEST(AppProcess, ABadCaptureIsRefusedBeforeAnythingRuns) {
    User session{"joyrelay-session"};
    const std::filesystem::path bad = session.home.path() / "bad.gip";
    std::ofstream(bad) << "0 20 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00\n1 zz\n";
    auto program = session.start({"--replay", bad.string()}, "bad");
    EXPECT_EQ(program->exitStatus(15s), std::optional<int>(2));
    EXPECT_NE(readFile(session.out("bad")).find(bad.string() + ":2: bad hex byte \"zz\""), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(session.log())) << "nothing was logged";
}

TEST(AppProcess, HelpListsEveryOption) {
    User session{"joyrelay-session"};
    auto program = session.start({"--help"}, "help");
    EXPECT_EQ(program->exitStatus(10s), std::optional<int>(0));
    const std::string help = readFile(session.out("help"));
    for (const char* option : {"--headless", "--replay FILE", "--fast", "--print-keys", "--key-output KIND", "--record FILE",
                               "--version", "--help", "JOYRELAY_ANY_APP"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}
