// bench_usb: the program on an emulated stick against the smallest libusb program that reads it.
//
// One umockdev testbed, one emulated stick. In turns, bare_reader (a plain libusb read loop that prints
// every report) and `tamberlo-joyrelay --headless --print-keys` (which prints every key transition)
// read the same stick, with reports that each make exactly one line: the A button pressed, then let go.
// For each program:
//   answer->print  from the emulated device answering the program's read (the URB being reaped) to the
//                  program's line arriving here; median and 90th percentile of single reports, each
//                  pushed once the program reads again;
//   push->print    the same from the moment the report was pushed;
//   reports/s      a burst of reports pushed at once, over the time until the last line arrived.
// Then the ratio of the program to bare_reader (our target: latency at most 1.1 times the bare loop).
// Last, in this process: LibusbHost and the bridge reading the same stick, counting heap allocations
// (operator new) on the bridge queue and the USB event thread per report once warm.
//
// Figures only, read from the output; the exit status is not about them (1 only when a program could
// not be measured at all). Needs the umockdev preload in this process: started without it, bench_usb
// starts itself again through the tests' launcher. Options: --samples N (300), --burst N (2000),
// --rounds N (2); --benchmark_* options (as scripts/test.sh passes them to every bench) are ignored.
// JOYRELAY_BENCH_PROGRAM names another program to measure instead of the one built with the bench.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "FakeStick.hpp"
#include "queues/Queues.hpp"
#include "bridge/StickBridge.hpp"
#include "platform/linux/usb/LibusbHost.hpp"
#include "support/AllocationCounter.hpp"
#include "support/RecordingKeyEvents.hpp"

// Allocations on the USB event thread (named "joyrelay-usb") and the bridge queue's thread.
namespace {
[[maybe_unused]] const bool usbThreadMarked = (joyrelay::testing::markedThreadName = "joyrelay-usb", true);
}

using namespace fakestick;

namespace {

struct Settings {
    int samples = 300;
    int burst = 2000;
    int rounds = 2;
};

Bytes report(bool pressed) {
    Bytes r(18, 0);
    r[0] = 0x20;
    r[4] = pressed ? 0x10 : 0x00;  // A: Space
    return r;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Subject {
    std::string name;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::function<bool(const std::string&)> ready;                  // a stderr line once it reads
    std::function<bool(const std::string&, const Bytes&)> printed;  // its stdout line for a report
};

struct Figures {
    std::vector<Clock::duration> answerToPrint, pushToPrint;
    std::vector<double> rates;
    std::string problem;
};

bool waitReading(FakeStick& stick) {
    return stick.waitFor([](const Stats& s) { return s.pendingIn == 1 && s.queuedReports == 0; },
                         Clock::now() + 10s);
}

// One turn of one program on the stick.
void measure(Testbed& tb, FakeStick& stick, const Subject& subject, const Settings& settings, Figures& out) {
    auto p = tb.spawn(subject.argv, subject.env);
    if (!p->waitForStderrLine(subject.ready, Clock::now() + 15s) || !waitReading(stick)) {
        out.problem = subject.name + " did not start reading: " + p->describe();
        return;
    }
    bool pressed = true;
    auto single = [&](bool keep) {
        const Bytes r = report(pressed);
        pressed = !pressed;
        const std::size_t from = p->stdoutCount();
        const std::size_t answered = stick.inTimings().size();
        const Clock::time_point pushed = stick.pushReport(r);
        const auto line = p->waitForStdoutLine([&](const std::string& l) { return subject.printed(l, r); },
                                               pushed + 2s, from);
        if (!line) {
            out.problem = subject.name +
                          " printed nothing for a report within 2 s (is its output line-buffered?); " +
                          p->describe();
            return false;
        }
        const std::vector<InTiming> timings = stick.inTimings();
        if (keep && timings.size() > answered) {
            out.answerToPrint.push_back(line->at - timings[answered].delivered);
            out.pushToPrint.push_back(line->at - pushed);
        }
        return waitReading(stick);
    };
    for (int i = 0; i < 20; ++i) {
        if (!single(false)) return;
    }
    for (int i = 0; i < settings.samples; ++i) {
        if (!single(true)) return;
    }
    // A burst, pushed at once: each report waits for the program's next read.
    const std::size_t from = p->stdoutCount();
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < settings.burst; ++i) {
        stick.pushReport(report(pressed));
        pressed = !pressed;
    }
    const auto last = p->waitForStdoutLine([](const std::string&) { return true; }, Clock::now() + 60s,
                                           from + std::size_t(settings.burst) - 1);
    if (!last) {
        out.problem = subject.name + " did not print the whole burst; " + p->describe();
        return;
    }
    out.rates.push_back(settings.burst / std::chrono::duration<double>(last->at - t0).count());
    waitReading(stick);
    p->terminate();
    stick.waitFor([](const Stats& s) { return s.openHandles == 0; }, Clock::now() + 5s);
}

// The bridge on LibusbHost in this process: heap allocations per report on the bridge queue and the USB
// event thread, once warm.
std::optional<double> allocationsPerReport(FakeStick& stick, int reports, long long& whileClaiming) {
    using namespace joyrelay;
    AsioSerialQueue queue;
    ThreadMainQueue mainQueue;
    std::optional<double> result;
    {
        usb::LibusbHost host(queue);
        RecordingKeyEvents keys;
        keys.reserve(std::size_t(reports) * 2 + 1000);
        auto bridge = StickBridge::create(queue, mainQueue, host, keys, [] { return true; });
        const std::size_t powerOns = stick.outWrites().size();
        bridge->start();
        queue.async([] { joyrelay::testing::markedThread = 1; });
        if (stick.waitForOutWrites(powerOns + 1, Clock::now() + 10s) && waitReading(stick)) {
            bool pressed = true;
            auto one = [&] {  // pushed, handled (its key posted) and the stick read again
                stick.pushReport(report(pressed));
                pressed = !pressed;
                return waitReading(stick);
            };
            bool ok = true;
            for (int i = 0; i < 200 && ok; ++i) ok = one();
            const long long start = joyrelay::testing::allocationsOnMarkedThreads.load();
            whileClaiming = start;
            for (int i = 0; i < reports && ok; ++i) ok = one();
            if (ok) result = double(joyrelay::testing::allocationsOnMarkedThreads.load() - start) / reports;
        }
        bridge.reset();
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](int& into) {
            if (i + 1 < argc) into = std::max(1, std::atoi(argv[++i]));
        };
        if (a == "--samples")
            number(settings.samples);
        else if (a == "--burst")
            number(settings.burst);
        else if (a == "--rounds")
            number(settings.rounds);
        else if (a.rfind("--benchmark_", 0) == 0)
            continue;
        else {
            std::fprintf(stderr, "usage: bench_usb [--samples N] [--burst N] [--rounds N]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (std::string why = Testbed::preloadProblem(); !why.empty()) {
        if (!std::getenv("JOYRELAY_BENCH_USB_RELAUNCHED")) {
            setenv("JOYRELAY_BENCH_USB_RELAUNCHED", "1", 1);
            const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
            std::vector<char*> args = {const_cast<char*>(FAKESTICK_TEST_LAUNCHER),
                                       const_cast<char*>(self.c_str())};
            for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
            args.push_back(nullptr);
            execv(FAKESTICK_TEST_LAUNCHER, args.data());
            why += std::string("; relaunching through " FAKESTICK_TEST_LAUNCHER " failed: ") +
                   std::strerror(errno);
        }
        std::fprintf(stderr, "bench_usb: %s\n", why.c_str());
        return 1;
    }

    char dir[] = "/tmp/bench-usb-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string state = std::string(dir) + "/state", runtime = std::string(dir) + "/runtime";
    std::filesystem::create_directories(state);
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);

    const char* other = std::getenv("JOYRELAY_BENCH_PROGRAM");
    const std::string program = other && *other ? other : JOYRELAY_BINARY;
    Testbed tb;
    FakeStick& stick = tb.plug({});
    const std::vector<Subject> subjects = {
        {"bare_reader",
         {BARE_READER_PATH},
         {},
         [](const std::string& l) { return l == "reading"; },
         [](const std::string& l, const Bytes& r) { return parseReaderLine(l) == r; }},
        {"tamberlo-joyrelay",
         {program, "--headless", "--print-keys"},
         {"XDG_STATE_HOME=" + state, "XDG_RUNTIME_DIR=" + runtime, "DISPLAY="},
         [](const std::string& l) { return l.find(") claimed: ep_in") != std::string::npos; },
         [](const std::string& l, const Bytes& r) {
             const std::string want = r[4] ? " Space down" : " Space up";
             return l.size() > want.size() && l.compare(l.size() - want.size(), want.size(), want) == 0;
         }},
    };

    std::printf(
        "bench_usb: one emulated stick (umockdev); per program and round %d single reports and a burst of "
        "%d; "
        "%d rounds, programs alternating\n",
        settings.samples, settings.burst, settings.rounds);
    std::vector<Figures> figures(subjects.size());
    for (int round = 0; round < settings.rounds; ++round) {
        for (std::size_t s = 0; s < subjects.size(); ++s) {
            if (!figures[s].problem.empty()) continue;
            measure(tb, stick, subjects[s], settings, figures[s]);
        }
    }

    std::printf("%-18s %-34s %-34s %s\n", "program", "answer->print median / p90 (ms)",
                "push->print median / p90 (ms)", "reports/s");
    std::vector<double> medians(subjects.size()), rates(subjects.size());
    int status = 0;
    for (std::size_t s = 0; s < subjects.size(); ++s) {
        Figures& f = figures[s];
        if (!f.problem.empty()) {
            std::printf("%-18s not measured: %s\n", subjects[s].name.c_str(), f.problem.c_str());
            status = 1;
            continue;
        }
        const LatencySummary answer = summarize(f.answerToPrint), push = summarize(f.pushToPrint);
        double rate = 0;
        for (double r : f.rates) rate += r / double(f.rates.size());
        medians[s] = ms(answer.median);
        rates[s] = rate;
        char a[64], b[64];
        std::snprintf(a, sizeof a, "%.3f / %.3f", ms(answer.median), ms(answer.p90));
        std::snprintf(b, sizeof b, "%.3f / %.3f", ms(push.median), ms(push.p90));
        std::printf("%-18s %-34s %-34s %.0f\n", subjects[s].name.c_str(), a, b, rate);
    }
    if (status == 0) {
        std::printf(
            "ratio tamberlo-joyrelay / bare_reader: answer->print median %.2f (target <= 1.10), "
            "reports/s %.2f\n",
            medians[1] / medians[0], rates[1] / rates[0]);
    }

    long long warmup = 0;
    if (const auto perReport = allocationsPerReport(stick, 2000, warmup)) {
        std::printf(
            "in process, LibusbHost + bridge: %.3f heap allocations per report on the bridge queue and the "
            "USB event thread (2000 reports; %lld counted while claiming and warming up with 200)\n",
            *perReport, warmup);
    } else {
        std::printf("in process, LibusbHost + bridge: not measured (the stick was not read)\n");
        status = 1;
    }
    std::filesystem::remove_all(dir);
    return status;
}
