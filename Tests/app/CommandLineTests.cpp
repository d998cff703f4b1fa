// The program as a user runs it: replaying captures with printed keys, and refusing bad ones.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <map>
#include <chrono>
#include <regex>
#include <set>
#include <sstream>

#include "support/ChildProcess.hpp"
#include "support/TempDir.hpp"

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

namespace {

struct Exit {
    int status = -1;   // when it exited
    int signal = 0;    // when a signal ended it
    std::string out, err;
};

// Runs the program with standard output and standard error each either a file or a pipe whose
// reader is already gone, or closed (-1).
Exit runWith(const std::vector<std::string>& args, int outMode, int errMode) {
    joyrelay::testing::TempDir dir;
    const auto outPath = dir.path() / "out";
    const auto errPath = dir.path() / "err";
    auto target = [](int mode, const std::filesystem::path& file) {
        if (mode == 0) return ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (mode < 0) return -1;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
        ::close(fds[0]);  // nobody will ever read
        return fds[1];
    };
    const int out = target(outMode, outPath);
    const int err = target(errMode, errPath);
    std::vector<char*> argv;
    std::vector<std::string> all{binary};
    all.insert(all.end(), args.begin(), args.end());
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (out >= 0) ::dup2(out, 1); else ::close(1);
        if (err >= 0) ::dup2(err, 2); else ::close(2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    Exit e;
    if (WIFEXITED(raw)) e.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) e.signal = WTERMSIG(raw);
    e.out = joyrelay::testing::readFile(outPath);
    e.err = joyrelay::testing::readFile(errPath);
    return e;
}

}  // namespace

// --- Captures that are not plain files, or not captures at all ---------------------------------

TEST(CommandLine, AFifoAndAPipeArePlayedFromASingleRead) {
    TempDir dir;
    const auto fifo = dir.path() / "capture.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string keys = joyrelay::testing::readFile(std::string(JOYRELAY_SOURCE_DIR) + "/samples/demo.keys");
    const auto fromFifo = run("cat '" + demo + "' > '" + fifo.string() + "' & '" + binary + "' --replay '" +
                              fifo.string() + "' --print-keys --fast");
    EXPECT_EQ(fromFifo.status, 0) << fromFifo.err;
    EXPECT_EQ(fromFifo.out, keys);
    const auto fromPipe = run("cat '" + demo + "' | '" + binary + "' --replay /dev/stdin --print-keys --fast");
    EXPECT_EQ(fromPipe.status, 0) << fromPipe.err;
    EXPECT_EQ(fromPipe.out, keys);
    // A bad line met while a pipe plays ends the replay with the capture's exit status.
    const auto badLate = run("(cat '" + demo + "'; echo '999999 zz') | '" + binary +
                             "' --replay /dev/stdin --print-keys --fast");
    EXPECT_EQ(badLate.status, 2);
    EXPECT_NE(badLate.err.find("bad hex byte \"zz\""), std::string::npos) << badLate.err;
}

TEST(CommandLine, FoldersEmptyFilesDevicesAndHugeTimestampsExitWithStatusTwo) {
    TempDir dir;
    writeFile(dir.path() / "empty.gip", "");
    writeFile(dir.path() / "huge.gip", "0 20 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00\n" +
                                           std::string(50, '9') + " 20 00 00 00 00\n");
    const std::pair<std::string, std::string> cases[] = {
        {dir.path().string(), "is a folder"},
        {(dir.path() / "empty.gip").string(), "the capture is empty"},
        {"/dev/zero", "line longer than"},
        {"/dev/urandom", "/dev/urandom:"},
        {(dir.path() / "huge.gip").string(), "huge.gip:2: timestamp"},
    };
    for (const auto& [path, reason] : cases) {
        const auto r = run("'" + binary + "' --replay '" + path + "' --print-keys --fast");
        EXPECT_EQ(r.status, 2) << path;
        EXPECT_EQ(r.out, "") << path;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
    }
    // A newline in the path cannot split the message.
    const auto odd = run("'" + binary + "' --replay '" + (dir.path() / "a\nb.gip").string() + "' --print-keys");
    EXPECT_EQ(odd.status, 2);
    EXPECT_EQ(lines(odd.err).size(), 1u) << odd.err;
    EXPECT_NE(odd.err.find("a\\nb.gip: cannot read"), std::string::npos) << odd.err;
}

// --- Output --------------------------------------------------------------------------------------

TEST(CommandLine, AFullDiskIsAnErrorAndAClosedPipeEndsQuietly) {
    const auto full = run("{ '" + binary + "' --replay '" + demo + "' --print-keys --fast > /dev/full; }");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("cannot write the keys to standard output: No space left on device"),
              std::string::npos)
        << full.err;
    const Exit closed = runWith({"--replay", demo, "--print-keys", "--fast"}, 1, 0);
    EXPECT_EQ(closed.signal, SIGPIPE);
    EXPECT_EQ(closed.err.find("cannot write"), std::string::npos) << closed.err;
}

// --- Standard error -------------------------------------------------------------------------------

TEST(CommandLine, AClosedOrReaderlessStandardErrorChangesNothingButTheConsoleCopy) {
    const std::string keys = joyrelay::testing::readFile(std::string(JOYRELAY_SOURCE_DIR) + "/samples/demo.keys");
    for (const int errMode : {-1, 1}) {
        const Exit e = runWith({"--replay", demo, "--print-keys", "--fast"}, 0, errMode);
        EXPECT_EQ(e.signal, 0) << "standard error " << (errMode < 0 ? "closed" : "without a reader");
        EXPECT_EQ(e.status, 0);
        EXPECT_EQ(e.out, keys);
    }
}

// A FIFO where the log file should be is left alone, and the console copy says so.
TEST(CommandLine, AFifoInPlaceOfTheLogFileIsSkipped) {
    TempDir dir;
    const auto fifo = dir.path() / "Tamberlo Joyrelay.log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto r = run("XDG_STATE_HOME='" + dir.path().string() + "' '" + binary + "' --replay '" + demo +
                       "' --print-keys --fast");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(fifo.string() + " is not a regular file"), std::string::npos) << r.err;
}

// Started with standard error closed, the program must not take the first file it opens (here the
// lock file) for standard error.
TEST(CommandLine, ClosedStandardErrorIsNotTheNextFileOpened) {
    TempDir dir;
    const auto runtime = dir.path() / "runtime";
    const auto state = dir.path() / "state";
    std::filesystem::create_directories(runtime);
    std::filesystem::create_directories(state);
    ::chmod(runtime.c_str(), 0700);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        ::setenv("DISPLAY", "", 1);
        ::unsetenv("WAYLAND_DISPLAY");
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::close(2);
        ::execl(binary.c_str(), binary.c_str(), "--headless", "--print-keys", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto log = state / "Tamberlo Joyrelay.log";
    const bool started = joyrelay::testing::waitUntil(
        [&] { return joyrelay::testing::readFile(log).find("starting") != std::string::npos; }, std::chrono::seconds(20));
    const std::string lock = joyrelay::testing::readFile(runtime / "tamberlo-joyrelay.lock");
    ::kill(pid, SIGTERM);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    ASSERT_TRUE(started) << "the program did not log its start";
    EXPECT_EQ(lock, std::to_string(pid) + "\n") << "the lock file got console lines";
}

// --record onto a FIFO nobody reads, or a device, is refused at once (it used to wait for a reader
// before looking for the stick, deaf to SIGTERM), and leaves the stick alone.
TEST(CommandLine, RecordingOntoAFifoOrADeviceIsRefusedAtOnce) {
    TempDir dir;
    const auto fifo = dir.path() / "capture.gip";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directories(dir.path() / "runtime");
    ::chmod((dir.path() / "runtime").c_str(), 0700);
    const std::string env = "DISPLAY= WAYLAND_DISPLAY= XDG_STATE_HOME='" + dir.path().string() + "' XDG_RUNTIME_DIR='" +
                            (dir.path() / "runtime").string() + "' timeout -s KILL 30 '" + binary + "' --headless --record ";
    for (const std::string& target : {fifo.string(), std::string("/dev/null")}) {
        const auto r = run(env + "'" + target + "'");
        EXPECT_EQ(r.status, 2) << target << "\n" << r.err;
        EXPECT_NE(r.err.find("record: cannot record to " + target + " \u2014 not a regular file"), std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("usb:"), std::string::npos) << "the bus was not looked at\n" << r.err;
    }
}
