// Decoding the daemon's fetch answer: Tarvok::AdminBin::Serializer::Load against a plain
// RapidJSON parse of the same text, for a 20 KB crontab sent as it is and with every non-ASCII
// character sent as a \uXXXX escape. Prints the two ratios at the end (targets: 1.25 and 2).
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <map>
#include <string>

#include "Tarvok/AdminBin/Serializer.hpp"

namespace {

constexpr std::size_t CRONTAB_SIZE = 20 * 1024;

// A crontab with comments in several languages, so that a fair share of it is not ASCII.
std::string make_crontab() {
    static const char* const kLines[] = {
        "# Nächtliche Sicherung der Datenbank für den Kunden Müller\n",
        "17 3 * * * /usr/local/bin/backup --target /srv/backup/db >/dev/null 2>&1\n",
        "# Сбор статистики посещений каждые пять минут\n",
        "*/5 * * * * php -q /home/user/public_html/stats/collect.php\n",
        "# Nettoyage des fichiers temporaires créés par l'éditeur\n",
        "30 4 * * 1-5 find /home/user/tmp -type f -mtime +7 -delete\n",
        "# 毎週月曜日にログを圧縮する\n",
        "0 6 * * 1 gzip -9 /home/user/logs/access.log.1\n",
        "MAILTO=\"ops@example.com\"\n",
    };
    std::string crontab;
    for (std::size_t i = 0; crontab.size() < CRONTAB_SIZE; ++i) {
        crontab += kLines[i % std::size(kLines)];
    }
    return crontab;
}

// The fetch answer carrying `crontab`, written with non-ASCII characters raw or as escapes.
std::string make_answer(const std::string& crontab, bool escape_non_ascii) {
    std::string body;
    for (std::size_t i = 0; i < crontab.size();) {
        const auto c = static_cast<unsigned char>(crontab[i]);
        if (c == '\n') {
            body += "\\n", ++i;
        } else if (c == '"' || c == '\\') {
            body += '\\', body += static_cast<char>(c), ++i;
        } else if (c < 0x80 || !escape_non_ascii) {
            body += static_cast<char>(c), ++i;
        } else {
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            unsigned code = c & (0xFF >> (length + 1));
            for (std::size_t k = 1; k < length; ++k) {
                code = (code << 6) | (static_cast<unsigned char>(crontab[i + k]) & 0x3F);
            }
            char escape[16];
            std::snprintf(escape, sizeof escape, "\\u%04X", code);
            body += escape;
            i += length;
        }
    }
    return R"({"status":1,"statusmsg":"OK","data":{"crontab":")" + body + R"(","denied":0}})";
}

const std::string& answer(bool escaped) {
    static const std::string crontab = make_crontab();
    static const std::string plain = make_answer(crontab, false);
    static const std::string with_escapes = make_answer(crontab, true);
    return escaped ? with_escapes : plain;
}

// Both loops copy the answer into a reused buffer first, since Load rewrites its text.
void BM_SerializerLoad(benchmark::State& state) {
    const std::string& source = answer(state.range(0) != 0);
    std::string text;
    text.reserve(source.size());
    for (auto _ : state) {
        text.assign(source);
        Tarvok::AdminBin::Serializer::Loaded value = Tarvok::AdminBin::Serializer::Load(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}

void BM_RapidJSONParse(benchmark::State& state) {
    const std::string& source = answer(state.range(0) != 0);
    std::string text;
    text.reserve(source.size());
    for (auto _ : state) {
        text.assign(source);
        rapidjson::Document document;
        document.Parse(text.data(), text.size());
        if (document.HasParseError()) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}

BENCHMARK(BM_SerializerLoad)->ArgName("escaped")->Arg(0)->Arg(1);
BENCHMARK(BM_RapidJSONParse)->ArgName("escaped")->Arg(0)->Arg(1);

// Keeps each benchmark's CPU time per iteration (the median when repetitions are asked for),
// to print the ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                times_[name] = run.GetAdjustedCPUTime();
            } else if (run.run_type == Run::RT_Iteration) {
                times_[name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void print_ratio(const char* what, const std::string& arg, double target) const {
        const auto ours = times_.find("BM_SerializerLoad/escaped:" + arg);
        const auto plain = times_.find("BM_RapidJSONParse/escaped:" + arg);
        if (ours == times_.end() || plain == times_.end()) return;
        const double ratio = ours->second / plain->second;
        std::printf("%-44s %.3fx  (target %.2fx: %s)\n", what, ratio, target,
                    ratio <= target ? "met" : "MISSED");
    }

  private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("answer: %zu bytes as sent, %zu bytes with \\u escapes\n", answer(false).size(),
                answer(true).size());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratio("Load / RapidJSON parse, crontab as it is:", "0", 1.25);
    reporter.print_ratio("Load / RapidJSON parse, non-ASCII escaped:", "1", 2.0);
    benchmark::Shutdown();
    return 0;
}
