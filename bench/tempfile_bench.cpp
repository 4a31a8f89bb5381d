// Cost of a pooled random name trailer and of a temporary file round trip, each next to the
// obvious alternative: 8 characters of the same alphabet from a std::mt19937_64 seeded once, and
// glibc's mkstemp plus unlink in the same directory. Prints both ratios at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "Tarvok/Rand/Get.hpp"

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

// Keeps the mean time per iteration of every benchmark, for the ratios.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                ns[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
    }
    std::map<std::string, double> ns;
};

void print_ratio(const Collector& c, const char* what, const char* ours, const char* theirs,
                 double target) {
    const auto a = c.ns.find(ours);
    const auto b = c.ns.find(theirs);
    if (a == c.ns.end() || b == c.ns.end() || b->second <= 0) return;
    const double ratio = a->second / b->second;
    std::printf("%-34s %.2fx (target <= %.1fx): %s\n", what, ratio, target,
                ratio <= target ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    char tmpl[] = "/tmp/tarvok-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    g_dir = tmpl;
    setenv("TARVOK_SANDBOX_ROOT", g_dir.c_str(), 1);

    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    std::printf("\n");
    print_ratio(collector, "pooled getranddata(8) / mt19937_64", "BM_getranddata8_pooled",
                "BM_mt19937_64_8chars", 2.0);
    rmdir(g_dir.c_str());
    return 0;
}
