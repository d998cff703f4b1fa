// `tamberlo-joyrelay --replay FILE --fast --print-keys` on a 10-report and a 1,000,000-report capture,
// written at start-up into a temporary folder: the program's peak resident memory for each (they
// should be within 2 MB of each other, whatever the capture's size) and the reports played per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// A capture of `reports` input reports, 4 ms apart, pressing and releasing buttons in turn.
std::filesystem::path writeCapture(const std::filesystem::path& folder, long reports) {
    const auto path = folder / ("capture-" + std::to_string(reports) + ".gip");
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (!out) return {};
    static const char* const masks[] = {"10", "00", "20", "00", "40", "00", "80", "00"};
    for (long i = 0; i < reports; ++i) {
        std::fprintf(out, "%ld.000 20 00 %02lx 0e %s 00 00 00 00 00 00 00 00 00 00 00 00 00\n", i * 4, i & 0xff,
                     masks[i % 8]);
    }
    std::fclose(out);
    return path;
}

struct Run {
    long peakKiB = 0;
    double seconds = 0;
    int status = -1;
};

Run replay(const std::filesystem::path& capture) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(JOYRELAY_BINARY, JOYRELAY_BINARY, "--replay", capture.c_str(), "--fast", "--print-keys",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int raw = 0;
    struct rusage usage {};
    ::wait4(pid, &raw, 0, &usage);
    Run r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peakKiB = usage.ru_maxrss;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

class Captures {
public:
    Captures() {
        std::string pattern = (std::filesystem::temp_directory_path() / "joyrelay-bench-XXXXXX").string();
        folder_ = ::mkdtemp(pattern.data());
        small_ = writeCapture(folder_, 10);
        large_ = writeCapture(folder_, 1000000);
    }
    ~Captures() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    const std::filesystem::path& small() const { return small_; }
    const std::filesystem::path& large() const { return large_; }

private:
    std::filesystem::path folder_, small_, large_;
};

const Captures& captures() {
    static const Captures c;
    return c;
}

void BM_ReplayPeakMemory(benchmark::State& state) {
    const auto& c = captures();
    const long reports = state.range(0);
    Run last;
    for (auto _ : state) {
        last = replay(reports == 10 ? c.small() : c.large());
        state.SetIterationTime(last.seconds);
    }
    if (last.status != 0) state.SkipWithError("the replay failed");
    state.counters["peak_rss_MB"] = static_cast<double>(last.peakKiB) / 1024.0;
    state.counters["reports_per_s"] = static_cast<double>(reports) / last.seconds;
}
BENCHMARK(BM_ReplayPeakMemory)->Arg(10)->Arg(1000000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
