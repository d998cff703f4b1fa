// The log file: whole lines under concurrency, survival of a deleted file or a missing folder,
// messages written verbatim.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "log/Log.hpp"
#include "support/ChildProcess.hpp"
#include "support/TempDir.hpp"

using namespace joyrelay;
using joyrelay::testing::readFile;
using joyrelay::testing::TempDir;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

const std::regex stamped(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*)$)");

std::string messageOf(const std::string& line) {
    std::smatch m;
    return std::regex_match(line, m, stamped) ? m[1].str() : "<unstamped: " + line + ">";
}

}  // namespace

TEST(LogFile, ConcurrentWritersProduceWholeLines) {
    TempDir dir;
    LogFile log(dir.path() / "Tamberlo Joyrelay.log", false);
    constexpr int threads = 8, perThread = 5000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) log.info("thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (auto& w : workers) w.join();
    const auto all = lines(readFile(log.path()));
    ASSERT_EQ(all.size(), static_cast<std::size_t>(threads * perThread));
    std::set<std::string> seen;
    std::vector<int> next(threads, 0);
    for (const auto& line : all) {
        const std::string msg = messageOf(line);
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(msg.c_str(), "thread %d line %d", &t, &i), 2) << line;
        ASSERT_EQ(i, next[t]++) << "lines of one thread out of order";
        seen.insert(msg);
    }
    EXPECT_EQ(seen.size(), all.size());
}

TEST(LogFile, DeletedFileIsRecreatedWithOnlyLaterLines) {
    TempDir dir;
    LogFile log(dir.path() / "Tamberlo Joyrelay.log", false);
    log.info("first");
    log.info("second");
    std::filesystem::remove(log.path());
    log.info("third");
    log.info("fourth");
    const auto all = lines(readFile(log.path()));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(messageOf(all[0]), "third");
    EXPECT_EQ(messageOf(all[1]), "fourth");
    // The creating write leaves no temporary file behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(LogFile, MissingFolderIsCreatedAndEachMessageIsOneLineWhateverItHolds) {
    TempDir dir;
    LogFile log(dir.path() / "a" / "b" / "Tamberlo Joyrelay.log", false);
    std::vector<std::string> heard;
    log.setListener([&](std::string_view line) { heard.emplace_back(line); });
    log.info("%@ %d %n %s");
    log.info("");
    // A SWAYSOCK that carries a line of its own, a terminal command, a C1 CSI and a stray byte.
    log.info("Focus: sway at /run/user/1000/sway.sock\n2026-01-01 00:00:00 Key output: uinput\r\x1b[2J\xc2\x9b" "1m\xff\\n");
    log.info("caf\u00e9 \u2014 \U0001F3AE\tok");
    const auto all = lines(readFile(log.path()));
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(messageOf(all[0]), "%@ %d %n %s");
    EXPECT_TRUE(std::regex_match(all[1], std::regex(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} $)")));
    const std::string forged =
        "Focus: sway at /run/user/1000/sway.sock\\n2026-01-01 00:00:00 Key output: uinput\\r\\x1b[2J\\u009b1m\\xff\\n";
    EXPECT_EQ(messageOf(all[2]), forged);
    EXPECT_EQ(messageOf(all[3]), "caf\u00e9 \u2014 \U0001F3AE\\tok") << "UTF-8 text is kept";
    ASSERT_EQ(heard.size(), 4u);
    EXPECT_EQ(heard[2], forged) << "listeners get the line as written";
}

TEST(LogFile, UnusableFolderCostsOnlyTheFileCopy) {
    TempDir dir;
    // A plain file where the folder should be: nothing can be created below it, even by root.
    joyrelay::testing::writeFile(dir.path() / "blocked", "not a folder");
    LogFile log(dir.path() / "blocked" / "Tamberlo Joyrelay.log", false);
    for (int i = 0; i < 100; ++i) log.info("nowhere to go");
    EXPECT_EQ(readFile(dir.path() / "blocked"), "not a folder");
    if (::geteuid() != 0) {  // a read-only folder stops everyone but root
        const auto folder = dir.path() / "locked";
        std::filesystem::create_directory(folder);
        ::chmod(folder.c_str(), 0500);
        LogFile locked(folder / "Tamberlo Joyrelay.log", false);
        locked.info("nowhere to go");
        EXPECT_FALSE(std::filesystem::exists(locked.path()));
    }
}

// The log's location follows XDG_STATE_HOME, and the console gets every line even when the file
// cannot be written.
TEST(Log, ConsoleMirrorGetsEveryLineWhenTheFileCannotBeWritten) {
    TempDir dir;
    joyrelay::testing::writeFile(dir.path() / "state", "a file where the log folder should be");
    ::setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
    EXPECT_EQ(Log::defaultPath(), dir.path() / "state" / "Tamberlo Joyrelay.log");
    ::unsetenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (home) {
        EXPECT_EQ(Log::defaultPath(), std::filesystem::path(home) / ".local/state/Tamberlo Joyrelay.log");
    }

    // Capture our own stderr while logging through a file that cannot exist.
    fflush(stderr);
    const auto captured = dir.path() / "stderr";
    const int saved = ::dup(2);
    const int fd = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    {
        LogFile log(dir.path() / "state" / "Tamberlo Joyrelay.log", true);
        log.info("%n%s one");
        log.info("two");
    }
    ::dup2(saved, 2);
    ::close(fd);
    ::close(saved);
    EXPECT_EQ(readFile(captured), "[joyrelay] %n%s one\n[joyrelay] the log cannot be written to " +
                                      (dir.path() / "state" / "Tamberlo Joyrelay.log").string() +
                                      " \u2014 Not a directory; its lines go to the console only\n[joyrelay] two\n");
}

// --- Hostile places for the log ------------------------------------------------------------------

TEST(LogFile, ALinkOrAFifoInPlaceOfTheFileIsNeverWrittenThrough) {
    TempDir dir;
    joyrelay::testing::writeFile(dir.path() / "victim", "precious\n");
    std::filesystem::create_symlink(dir.path() / "victim", dir.path() / "linked.log");
    LogFile linked(dir.path() / "linked.log", false);
    linked.info("planted");
    EXPECT_EQ(readFile(dir.path() / "victim"), "precious\n");

    const auto fifo = dir.path() / "fifo.log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for reading too: a FIFO with a reader opens at once and must still be skipped.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    LogFile piped(fifo, false);
    piped.info("into a fifo");  // returns: neither blocks nor writes
    char byte;
    EXPECT_EQ(::read(reader, &byte, 1), 0);
    ::close(reader);
    piped.info("into a fifo nobody reads");
}

// What reaches standard error while `body` runs.
template <class Body>
std::string consoleOf(const std::filesystem::path& capture, Body body) {
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int fd = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    body();
    ::dup2(saved, 2);
    ::close(fd);
    ::close(saved);
    return readFile(capture);
}

TEST(LogFile, AFileThatCannotBeWrittenIsSaidOnceOnTheConsole) {
    TempDir dir;
    joyrelay::testing::writeFile(dir.path() / "victim", "precious\n");
    std::filesystem::create_symlink(dir.path() / "victim", dir.path() / "linked.log");
    joyrelay::testing::writeFile(dir.path() / "blocked", "not a folder");
    const auto folder = dir.path() / "locked";
    std::filesystem::create_directory(folder);
    ::chmod(folder.c_str(), 0500);
    const bool rootIgnoresModes = ::geteuid() == 0;
    const std::string out = consoleOf(dir.path() / "stderr", [&] {
        LogFile linked(dir.path() / "linked.log");
        LogFile blocked(dir.path() / "blocked" / "x.log");
        LogFile locked(folder / "x.log");
        for (int i = 0; i < 3; ++i) {
            linked.info("one");
            blocked.info("two");
            locked.info("three");
        }
    });
    const auto all = lines(out);
    const auto count = [&](const std::string& part) {
        return std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.find(part) != l.npos; });
    };
    EXPECT_EQ(count("[joyrelay] one"), 3);
    EXPECT_EQ(count("the log cannot be written to " + (dir.path() / "linked.log").string() +
                    " \u2014 it is a symbolic link, which the log never follows; its lines go to the console only"),
              1)
        << out;
    EXPECT_EQ(count("blocked/x.log \u2014 Not a directory"), 1) << out;
    EXPECT_EQ(count("locked/x.log \u2014 Permission denied"), rootIgnoresModes ? 0 : 1) << out;
    EXPECT_EQ(all.size(), rootIgnoresModes ? 11u : 12u) << out;
    EXPECT_EQ(readFile(dir.path() / "victim"), "precious\n");
    ::chmod(folder.c_str(), 0700);
}

TEST(LogFile, ALineCutShortIsFollowedByALineOfItsOwn) {
    TempDir dir;
    const auto path = dir.path() / "Tamberlo Joyrelay.log";
    joyrelay::testing::writeFile(path, "2024-01-01 00:00:00 cut sho");
    LogFile log(path, false);
    log.info("next");
    const auto all = lines(readFile(path));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], "2024-01-01 00:00:00 cut sho");
    EXPECT_EQ(messageOf(all[1]), "next");
}

TEST(Log, WithoutHomeTheLogGoesToThePasswordDatabasesHomeNeverTmp) {
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const bool hadHome = std::getenv("HOME") != nullptr;
    ::unsetenv("XDG_STATE_HOME");
    ::unsetenv("HOME");
    const std::filesystem::path home = homeFolder();
    const std::filesystem::path path = Log::defaultPath();
    if (hadHome) ::setenv("HOME", savedHome.c_str(), 1);
    struct passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(home, std::filesystem::path(entry->pw_dir));
    EXPECT_EQ(path, std::filesystem::path(entry->pw_dir) / ".local/state/Tamberlo Joyrelay.log");
    EXPECT_NE(path.string().rfind("/tmp/", 0), 0u);
}
