// tvwrapd under load: 32 clients at once doing fetch and save against the sandbox daemon, next
// to a trivial echo server on a UNIX socket (connect, write the same bytes, read them back) as the
// floor a round trip cannot beat. Prints requests per second and the 50th and 99th percentile
// latency of each, and how the fetch round trip at the 99th percentile compares with the echo's.
//
//     build/bench/daemon_bench             # needs build/sandbox/bin/tvwrapd
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ftw.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tarvok/Wire.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int CLIENTS = 32;

std::string g_root;
std::string g_daemon_socket;
std::string g_echo_socket;
pid_t g_daemon = -1;
pid_t g_echo = -1;

const std::string FETCH =
    "{\"serializer_version\":\"1.0\",\"namespace\":\"Tarvok\",\"module\":\"Cron\",\"function\":"
    "\"fetch\",\"action\":null,\"env\":{\"REMOTE_ADDR\":\"10.0.0.1\"},\"data\":null}\r\n\r\n";

std::string save_request() {
    std::string crontab;
    for (int i = 0; i < 20; ++i) {
        crontab += "*/5 " + std::to_string(i) + " * * mon-fri /usr/local/bin/job-" +
                   std::to_string(i) + " >/dev/null 2>&1\\n";
    }
    return "{\"serializer_version\":\"1.0\",\"namespace\":\"Tarvok\",\"module\":\"Cron\","
           "\"function\":\"save\",\"action\":null,\"env\":{},\"data\":{\"crontab\":\"" +
           crontab + "\"}}\r\n\r\n";
}

sockaddr_un address_of(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

/// One request as the front end makes it: connect, write, shut down writing, read to the end.
std::size_t round_trip(const std::string& path, const std::string& bytes) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = address_of(path);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return 0;
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    char buffer[65536];
    std::size_t total = 0;
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        total += static_cast<std::size_t>(n);
    close(fd);
    return total;
}

[[noreturn]] void echo_server(const std::string& path) {
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = address_of(path);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        _exit(1);
    }
    std::string data;
    char buffer[65536];
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        data.clear();
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            data.append(buffer, static_cast<std::size_t>(n));
        }
        for (std::size_t sent = 0; sent < data.size();) {
            const ssize_t n = write(fd, data.data() + sent, data.size() - sent);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        close(fd);
    }
}

bool wait_for(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = address_of(path);
        const bool up =
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void write_file(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

bool start_servers() {
    char dir[] = "/tmp/tvwrapd-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return false;
    g_root = dir;
    mkdir((g_root + "/etc").c_str(), 0755);
    write_file(g_root + "/etc/passwd", "root:x:0:0:root:/root:/bin/bash\nbench:x:" +
                                           std::to_string(geteuid()) + ":0::/tmp:/bin/penshell\n");
    g_daemon_socket = g_root + std::string(Tarvok::Wire::TVWRAPD_SOCKET_PATH);
    g_echo_socket = g_root + "/echo.sock";

    // Both servers are started before any thread exists.
    // A client whose server hangs up early must see EPIPE, as the real client does.
    signal(SIGPIPE, SIG_IGN);
    g_echo = fork();
    if (g_echo == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        echo_server(g_echo_socket);
    }
    g_daemon = fork();
    if (g_daemon == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);  // one audit line per request: written, not kept
        const std::string program = std::string(TARVOK_BUILD_DIR) + "/sandbox/bin/tvwrapd";
        const std::string env = "TARVOK_SANDBOX_ROOT=" + g_root;
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        char* envp[] = {const_cast<char*>(env.c_str()), nullptr};
        execve(program.c_str(), argv, envp);
        _exit(127);
    }
    if (!wait_for(g_echo_socket) || !wait_for(g_daemon_socket)) return false;
    // Fetches read a real crontab.
    return round_trip(g_daemon_socket, save_request()) > 0;
}

void stop_servers() {
    for (pid_t pid : {g_daemon, g_echo}) {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    if (!g_root.empty()) {
        nftw(
            g_root.c_str(),
            [](const char* p, const struct stat*, int flag, struct FTW*) {
                return flag == FTW_DP ? rmdir(p) : unlink(p);
            },
            16, FTW_DEPTH | FTW_PHYS);
    }
}

struct Samples {
    std::vector<double> latencies_us;
    double busy_seconds = 0;        ///< wall time the clients were running
    double server_cpu_seconds = 0;  ///< CPU the server spent meanwhile
};

std::mutex g_samples_mutex;
std::map<std::string, Samples> g_samples;

double cpu_seconds(pid_t pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr) return 0;
    char buffer[1024] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    // Fields 14 and 15 (utime, stime) follow the command name in parentheses.
    const char* rest = std::strrchr(buffer, ')');
    if (rest == nullptr || n == 0) return 0;
    unsigned long utime = 0, stime = 0;
    std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Each kind runs in several short rounds, interleaved with the others, so that every kind meets
// the same background load of the machine; the samples of all rounds are pooled.
void run_round_trips(benchmark::State& state, const std::string& kind, pid_t server,
                     const std::string& path, const std::string& bytes) {
    static double cpu_before = 0;
    static Clock::time_point wall_before;
    if (state.thread_index() == 0) {
        cpu_before = cpu_seconds(server);
        wall_before = Clock::now();
    }
    std::vector<double> mine;
    std::size_t failures = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (round_trip(path, bytes) == 0) ++failures;
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations());
    if (failures) state.SkipWithError("a round trip got no answer");
    {
        std::lock_guard hold(g_samples_mutex);
        auto& pool = g_samples[kind].latencies_us;
        pool.insert(pool.end(), mine.begin(), mine.end());
    }
    if (state.thread_index() == 0) {
        // Every thread has left the loop (its final barrier); only the last stragglers' sample
        // copies may still be on their way, which the totals below do not need.
        std::lock_guard hold(g_samples_mutex);
        g_samples[kind].busy_seconds +=
            std::chrono::duration<double>(Clock::now() - wall_before).count();
        g_samples[kind].server_cpu_seconds += cpu_seconds(server) - cpu_before;
    }
}

void BM_EchoRoundTrip(benchmark::State& state) {
    run_round_trips(state, "echo", g_echo, g_echo_socket, FETCH);
}
void BM_DaemonFetch(benchmark::State& state) {
    run_round_trips(state, "fetch", g_daemon, g_daemon_socket, FETCH);
}
void BM_DaemonSave(benchmark::State& state) {
    static const std::string save = save_request();
    run_round_trips(state, "save", g_daemon, g_daemon_socket, save);
}

constexpr int ROUNDS = 4;
constexpr int ROUND_TRIPS_PER_CLIENT = 400;

void register_benchmarks() {
    for (int round = 0; round < ROUNDS; ++round) {
        benchmark::RegisterBenchmark("echo_round_trip", BM_EchoRoundTrip)
            ->Threads(CLIENTS)
            ->Iterations(ROUND_TRIPS_PER_CLIENT)
            ->UseRealTime();
        benchmark::RegisterBenchmark("daemon_fetch", BM_DaemonFetch)
            ->Threads(CLIENTS)
            ->Iterations(ROUND_TRIPS_PER_CLIENT)
            ->UseRealTime();
    }
    // Every save of one account waits for the one before it: the disk's flush time sets the pace.
    benchmark::RegisterBenchmark("daemon_save", BM_DaemonSave)
        ->Threads(CLIENTS)
        ->Iterations(5)
        ->UseRealTime();
}

double percentile(const std::vector<double>& sorted, int p) {
    return sorted[std::min(sorted.size() - 1, sorted.size() * static_cast<std::size_t>(p) / 100)];
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!start_servers()) {
        std::fprintf(stderr, "daemon_bench: the echo server or the sandbox daemon did not start\n");
        stop_servers();
        return 1;
    }
    register_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stop_servers();

    std::printf("\n%d concurrent clients, one connection per request, rounds interleaved\n",
                CLIENTS);
    std::printf("%-6s %9s %12s %10s %10s %16s\n", "", "requests", "requests/s", "p50 us", "p99 us",
                "server CPU/req us");
    std::map<std::string, double> p99;
    for (const char* kind : {"echo", "fetch", "save"}) {
        auto it = g_samples.find(kind);
        if (it == g_samples.end() || it->second.latencies_us.empty()) continue;
        auto& s = it->second;
        std::sort(s.latencies_us.begin(), s.latencies_us.end());
        const double count = static_cast<double>(s.latencies_us.size());
        p99[kind] = percentile(s.latencies_us, 99);
        std::printf("%-6s %9.0f %12.0f %10.1f %10.1f %16.1f\n", kind, count, count / s.busy_seconds,
                    percentile(s.latencies_us, 50), p99[kind], 1e6 * s.server_cpu_seconds / count);
    }
    if (p99.count("echo") && p99.count("fetch") && p99["echo"] > 0) {
        const double ratio = p99["fetch"] / p99["echo"];
        std::printf("fetch p99 / echo p99 = %.2f (target: at most 1.50): %s\n", ratio,
                    ratio <= 1.5 ? "met" : "NOT met");
    }
    return 0;
}
