// What the host's policy costs. A save of the largest crontab (1 MiB, 10,000 job lines of many
// different schedules) through the daemon's own request handling, with a policy in force against
// the same save without one (target: at most 1.5x), in alternating rounds so that a busy machine
// weighs on both alike. Then `tvwrapd --audit` over 10,000 restricted accounts, run as an
// administrator runs it, and its time. Everything happens in a throw-away system root.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "CrontabCheck.hpp"
#include "Service.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/Wire.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ROUNDS = 15;
constexpr int ACCOUNTS = 10000;
const std::string POLICY = "/etc/tvwrapd/policy.conf";

// Day fields as customers write them, the rare ones included; each job line pairs one with a
// minute and an hour of its own, so that the lines share few schedules.
const char* const DAYS[] = {
    "* * *",
    "* * 1-5",
    "1 * *",
    "1,15 * *",
    "* * 0",
    "*/2 * *",
    "29 2 *",
    "31 * *",
    "1 1 *",
    "13 * 5",
    "*/7 * mon",
    "15 */3 *",
    "28-31 * *",
    "1-7 * 1",
    "* jan,jul *",
    "30 4,6,9,11 *",
    "10-20/5 * sat,sun",
};

std::string crontab() {
    std::string text;
    for (int i = 0; i < static_cast<int>(Tvwrapd::CrontabCheck::MAX_LINES); ++i) {
        const std::string days = DAYS[i % std::size(DAYS)];
        std::string line = std::to_string(i % 60) + " " + std::to_string(i / 60 % 24) + " " + days +
                           " /home/customer/bin/job --task " + std::to_string(i) +
                           " >>/home/customer/logs/job.log 2>&1";
        // 104 bytes a line: 10,000 of them come as close to 1 MiB as fits.
        line.resize(103, ' ');
        text += line + "\n";
    }
    return text;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
    }
    return out + "\"";
}

void write(const std::string& root, const std::string& path, const std::string& content) {
    const std::string full = root + path;
    for (std::size_t slash = full.find('/', 1); slash != std::string::npos;
         slash = full.find('/', slash + 1)) {
        mkdir(full.substr(0, slash).c_str(), 0755);
    }
    FILE* file = std::fopen(full.c_str(), "w");
    if (file == nullptr || std::fwrite(content.data(), 1, content.size(), file) != content.size() ||
        std::fclose(file) != 0) {
        std::perror(full.c_str());
        std::exit(1);
    }
    chmod(full.c_str(), 0600);
}

double cpu_ms() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/policy-bench-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    setenv("TARVOK_SANDBOX_ROOT", root.c_str(), 1);
    Tarvok::SysRoot::init();
    const std::string uid = std::to_string(geteuid());
    std::string passwd = "customer:x:" + uid + ":" + uid + "::/home/customer:/bin/penshell\n";
    write(root, "/etc/group", "hosting:x:" + uid + ":\n");

    const std::string text = crontab();
    std::string request = std::string(R"({"serializer_version":"1.0","namespace":"Tarvok",)") +
                          R"("module":"Cron","function":"save","action":null,"env":{},)" +
                          R"("data":{"crontab":)" + json_string(text) + "}}";
    const std::string rules =
        "min_interval = 15m\nmax_jobs = 10000\nreboot = no\n"
        "[group hosting]\nmin_interval = 10m\n";
    write(root, "/etc/passwd", passwd);
    std::vector<double> plain;
    std::vector<double> policed;
    std::vector<double> plain_cpu;
    std::vector<double> policed_cpu;
    // The daemon's audit line of every save would drown the figures.
    std::fflush(stderr);
    const int saved_stderr = dup(2);
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(quiet, 2);
    for (int round = 0; round < 2 * ROUNDS + 2; ++round) {
        const bool with_policy = round % 2 == 1;
        if (with_policy) {
            write(root, POLICY, rules);
        } else {
            unlink((root + POLICY).c_str());
        }
        const double cpu_start = cpu_ms();
        const auto start = Clock::now();
        const std::string answer = Tvwrapd::Service::answer(geteuid(), request);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const double cpu = cpu_ms() - cpu_start;
        if (answer.find(R"("data":{"status":1)") == std::string::npos) {
            dup2(saved_stderr, 2);
            std::fprintf(stderr, "save refused: %s\n", answer.substr(0, 300).c_str());
            return 1;
        }
        if (round >= 2) {  // the first two warm up
            (with_policy ? policed : plain).push_back(ms);
            (with_policy ? policed_cpu : plain_cpu).push_back(cpu);
        }
    }
    dup2(saved_stderr, 2);
    std::printf(
        "save of %zu bytes, %zu job lines: %.2f ms without a policy, %.2f ms with one: "
        "%.2fx (target: at most 1.5x)\n",
        text.size(), Tvwrapd::CrontabCheck::MAX_LINES, median(plain), median(policed),
        median(policed) / median(plain));
    // On a busy machine the wall time is mostly waiting for a processor; the CPU time is not.
    std::printf("  its CPU time: %.2f ms without, %.2f ms with: %.2fx\n", median(plain_cpu),
                median(policed_cpu), median(policed_cpu) / median(plain_cpu));

    // The audit: 10,000 restricted accounts, each with a crontab of 20 lines.
    const std::string small = text.substr(0, 20 * 104);
    for (int i = 0; i < ACCOUNTS; ++i) {
        const std::string name = "customer" + std::to_string(i);
        passwd += name + ":x:" + uid + ":" + uid + "::/home/" + name + ":/bin/penshell\n";
        write(root, "/var/spool/cron/crontabs/" + name, small);
    }
    write(root, "/etc/passwd", passwd);
    write(root, POLICY, "min_interval = 2h\nmax_jobs = 10\n[account customer7]\nmax_jobs = 20\n");
    const std::string program = TARVOK_BUILD_DIR "/sandbox/bin/tvwrapd";
    std::fflush(stdout);
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, STDOUT_FILENO) < 0 || dup2(null, STDERR_FILENO) < 0) _exit(126);
        execl(program.c_str(), "tvwrapd", "--audit", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("tvwrapd --audit over %d accounts: %.2f s (exit %d)\n", ACCOUNTS + 1, seconds,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::filesystem::remove_all(root);
    return 0;
}
