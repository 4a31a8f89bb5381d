// Cost of a pooled random name trailer and of a temporary file round trip, each next to the
// obvious alternative: 8 characters of the same alphabet from a std::mt19937_64 seeded once, and
// glibc's mkstemp plus unlink in the same directory. Prints both ratios at the end (wall-clock
// time per iteration; the median over --benchmark_repetitions=N), and the file ratio once more
// from round trips taken in turns, which a busy machine disturbs far less.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Tarvok/Rand/Get.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/TempFile.hpp"

namespace {

std::string g_dir;

void BM_getranddata8_pooled(benchmark::State& state) {
    Tarvok::Rand::Get::getranddata(8);
    for (auto _ : state) benchmark::DoNotOptimize(Tarvok::Rand::Get::getranddata(8));
}
BENCHMARK(BM_getranddata8_pooled);

void BM_mt19937_64_8chars(benchmark::State& state) {
    std::mt19937_64 engine(std::random_device{}());
    constexpr std::string_view alphabet = Tarvok::Rand::Get::DEFAULT_CHARACTERS;
    std::uniform_int_distribution<std::size_t> index(0, alphabet.size() - 1);
    for (auto _ : state) {
        std::string out;
        for (int i = 0; i < 8; ++i) out.push_back(alphabet[index(engine)]);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_mt19937_64_8chars);

void tempfile_round_trip(const Tarvok::TempFile::Options& options) {
    Tarvok::TempFile temp(options);
    benchmark::DoNotOptimize(temp.file());
}

bool mkstemp_round_trip(std::string& name, const std::string& pattern) {
    name = pattern;
    const int fd = mkstemp(name.data());
    if (fd < 0) return false;
    close(fd);
    unlink(name.c_str());
    return true;
}

void BM_tempfile_file_and_removal(benchmark::State& state) {
    const Tarvok::TempFile::Options options = {{"path", g_dir}};
    for (auto _ : state) tempfile_round_trip(options);
}
BENCHMARK(BM_tempfile_file_and_removal);

void BM_mkstemp_and_unlink(benchmark::State& state) {
    const std::string pattern = g_dir + "/bench.XXXXXX";
    std::string name;
    for (auto _ : state) {
        if (!mkstemp_round_trip(name, pattern)) {
            state.SkipWithError("mkstemp failed");
            break;
        }
    }
}
BENCHMARK(BM_mkstemp_and_unlink);

// The two round trips taken in turns, so that both meet the same load of a shared machine:
// the median of the per-round ratios.
double paired_round_trip_ratio(int rounds) {
    using Clock = std::chrono::steady_clock;
    const Tarvok::TempFile::Options options = {{"path", g_dir}};
    const std::string pattern = g_dir + "/bench.XXXXXX";
    std::string name;
    std::vector<double> ratios;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        tempfile_round_trip(options);
        const auto t1 = Clock::now();
        if (!mkstemp_round_trip(name, pattern)) return 0;
        const auto t2 = Clock::now();
        ratios.push_back(std::chrono::duration<double>(t1 - t0).count() /
                         std::chrono::duration<double>(t2 - t1).count());
    }
    std::sort(ratios.begin(), ratios.end());
    return ratios[ratios.size() / 2];
}

// Keeps the time per iteration of every run, for the ratios: the median over repetitions
// (--benchmark_repetitions=N) damps the noise of a shared machine.
class Collector : public benchmark::ConsoleReporter {
  public:
    Collector() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                times[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                // Only the aggregates are reported with --benchmark_report_aggregates_only.
                times[run.run_name.function_name] = {run.GetAdjustedRealTime()};
            }
        }
    }
    std::optional<double> median(const std::string& name) const {
        const auto found = times.find(name);
        if (found == times.end() || found->second.empty()) return std::nullopt;
        std::vector<double> sorted = found->second;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }

  private:
    std::map<std::string, std::vector<double>> times;
};

void print_ratio(const char* what, double ratio, double target) {
    std::printf("%-48s %.2fx (target <= %.1fx): %s\n", what, ratio, target,
                ratio <= target ? "met" : "NOT met");
}

void print_ratio(const Collector& c, const char* what, const char* ours, const char* theirs,
                 double target) {
    const std::optional<double> a = c.median(ours);
    const std::optional<double> b = c.median(theirs);
    if (a && b && *b > 0) print_ratio(what, *a / *b, target);
}
}  // namespace

int main(int argc, char** argv) {
    char tmpl[] = "/tmp/tarvok-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    g_dir = tmpl;
    setenv("TARVOK_SANDBOX_ROOT", g_dir.c_str(), 1);
    if (const auto why = Tarvok::SysRoot::init()) {
        std::fprintf(stderr, "%s\n", why->c_str());
        return 2;
    }

    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    std::printf("\n");
    print_ratio(collector, "pooled getranddata(8) / mt19937_64", "BM_getranddata8_pooled",
                "BM_mt19937_64_8chars", 2.0);
    print_ratio(collector, "TempFile::file + removal / mkstemp", "BM_tempfile_file_and_removal",
                "BM_mkstemp_and_unlink", 1.5);
    print_ratio("  the same, taken in turns (median of 2000)", paired_round_trip_ratio(2000), 1.5);
    rmdir(g_dir.c_str());
    return 0;
}
