// The driver of scripts/torture.sh: runs the sandbox tvwrapd through the attacks it must withstand
// and prints one line per scenario. Runs as root: clients really run as the accounts they pose as,
// and the full-disk scenario mounts a small tmpfs in a private mount namespace.
//
//     torture TVWRAPD WORKDIR [scenario ...]   (scenarios: kill disk idle flood memory restore answers)
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;

constexpr uid_t FIRST_UID = 31000;
constexpr const char* SOCKET = "/usr/local/tarvok/var/tvwrapd.sock";

std::string g_daemon;
std::vector<pid_t> g_started;

std::string name_of(int account) {
    return "t" + std::to_string(account);
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string request(std::string_view function, std::string_view data = "null",
                    bool spaced = false) {
    return std::string(
               "{\"serializer_version\":\"1.0\",\"namespace\":\"Tarvok\",\"module\":"
               "\"Cron\",\"function\"") +
           (spaced ? " : " : ":") + json_string(function) + ",\"action\":null,\"env\":{}," +
           "\"data\":" + std::string(data) + "}\r\n\r\n";
}

std::string save_request(std::string_view crontab, bool spaced = false) {
    return request("save", "{\"crontab\":" + json_string(crontab) + "}", spaced);
}

/// A crontab that names its account and number on its first line, so a stored file can be checked
/// against what was sent.
std::string crontab_text(int account, int number, int lines = 40) {
    std::string text = "# torture " + std::to_string(account) + " " + std::to_string(number) + "\n";
    for (int line = 0; line < lines; ++line) {
        text += "# line " + std::to_string(line) + " of install " + std::to_string(number) + "\n";
    }
    return text + "@daily true " + std::to_string(number) + "\n";
}

/// A sandbox root with `accounts` accounts, traversable by them.
std::string make_root(const std::string& work, const std::string& name, int accounts) {
    const std::string root = work + "/" + name;
    fs::create_directories(root + "/etc");
    std::ofstream passwd(root + "/etc/passwd");
    passwd << "root:x:0:0:root:/root:/bin/bash\n";
    for (int a = 0; a < accounts; ++a) {
        passwd << name_of(a) << ":x:" << FIRST_UID + a << ":" << FIRST_UID + a
               << "::/tmp:/bin/penshell\n";
    }
    for (std::string dir = root; dir.size() > 1; dir = fs::path(dir).parent_path()) {
        chmod(dir.c_str(), 0755);
    }
    return root;
}

int connect_to(const std::string& root) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = root + SOCKET;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/// One request on a new connection; the answer, or "" when there was none.
std::string exchange(const std::string& root, std::string_view bytes) {
    const int fd = connect_to(root);
    if (fd < 0) return "";
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
    close(fd);
    return answer;
}

bool ok(const std::string& answer) {
    return answer.rfind("{\"status\":1", 0) == 0;
}

/// An answer that says the crontab was installed.
bool installed(const std::string& answer) {
    return answer.find("\"data\":{\"status\":1") != std::string::npos;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    return std::string{std::istreambuf_iterator<char>(file), {}};
}

pid_t start_daemon(const std::string& root) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int log =
            open((root + "/tvwrapd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(log, 2);
        const std::string env_root = "TARVOK_SANDBOX_ROOT=" + root;
        char* envp[] = {const_cast<char*>(env_root.c_str()), nullptr};
        char* argv[] = {const_cast<char*>(g_daemon.c_str()), nullptr};
        execve(g_daemon.c_str(), argv, envp);
        _exit(127);
    }
    g_started.push_back(pid);
    for (int i = 0; i < 500; ++i) {
        const int fd = connect_to(root);
        if (fd >= 0) {
            close(fd);
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "torture: tvwrapd did not start in '%s'\n", root.c_str());
    std::exit(1);
}

void stop(pid_t pid, int signal = SIGTERM) {
    kill(pid, signal);
    waitpid(pid, nullptr, 0);
    g_started.erase(std::remove(g_started.begin(), g_started.end(), pid), g_started.end());
}

/// Runs `body` in a child process as `account`; the child's output comes back as text.
struct AsAccount {
    pid_t pid = -1;
    int out = -1;
    AsAccount(int account, const std::function<std::string()>& body) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) std::exit(1);
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const uid_t uid = FIRST_UID + account;
            if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(3);
            const std::string result = body();
            if (write(fds[1], result.data(), result.size()) < 0) _exit(4);
            _exit(0);
        }
        close(fds[1]);
        out = fds[0];
    }
    std::string result() {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(out, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
        close(out);
        waitpid(pid, nullptr, 0);
        return text;
    }
};

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[at];
}

/// Fetch latencies (ms) of `count` fetches in a row by `account`, then the failures.
std::string timed_fetches(const std::string& root, int count) {
    std::string out;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const bool served = ok(exchange(root, request("fetch")));
        out += std::to_string(Millis(Clock::now() - start).count()) + "\n";
        failed += !served;
    }
    return out + "failed " + std::to_string(failed) + "\n";
}

struct Latencies {
    std::vector<double> ms;
    int failed = 0;
};

Latencies parse_latencies(const std::string& text) {
    Latencies out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("failed ", 0) == 0) {
            out.failed = std::stoi(line.substr(7));
        } else if (!line.empty()) {
            out.ms.push_back(std::stod(line));
        }
    }
    return out;
}

std::size_t peak_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6));
    }
    return 0;
}

// ---- scenarios -------------------------------------------------------------------------------

void kill_during_saves(const std::string& work) {
    constexpr int ACCOUNTS = 8;
    constexpr int KILLS = 20;
    const std::string root = make_root(work, "kill", ACCOUNTS);
    std::mt19937 random(42);
    int cut = 0;
    int torn = 0;
    for (int round = 0; round < KILLS; ++round) {
        const pid_t daemon = start_daemon(root);
        std::vector<AsAccount> clients;
        for (int a = 0; a < ACCOUNTS; ++a) {
            clients.emplace_back(a, [&root, a, round] {
                int failed = 0;
                for (int i = 0;; ++i) {
                    if (!ok(exchange(root, save_request(crontab_text(a, round * 100000 + i))))) {
                        ++failed;
                        const int probe = connect_to(root);
                        if (probe < 0) break;  // the daemon is gone
                        close(probe);
                    }
                }
                return std::to_string(failed);
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 250));
        stop(daemon, SIGKILL);
        for (auto& client : clients) cut += std::stoi(client.result());
        for (int a = 0; a < ACCOUNTS; ++a) {
            std::ifstream file(root + "/var/spool/cron/crontabs/" + name_of(a));
            if (!file) continue;
            const std::string stored{std::istreambuf_iterator<char>(file), {}};
            int account = -1;
            int number = -1;
            if (std::sscanf(stored.c_str(), "# torture %d %d", &account, &number) != 2 ||
                account != a || stored != crontab_text(a, number)) {
                ++torn;
            }
        }
    }
    // One more start: what the killed saves left behind in the spool.
    stop(start_daemon(root));
    int left = 0;
    for (const auto& entry : fs::directory_iterator(root + "/var/spool/cron/crontabs")) {
        left += entry.path().filename().string().rfind("t", 0) != 0;
    }
    std::printf(
        "kill -9 during saves: %d kills, %d saves cut off, %d torn files (target 0), "
        "%d temporary files left after restart\n",
        KILLS, cut, torn, left);
}

void full_disk(const std::string& work) {
    const std::string root = make_root(work, "disk", 1);
    const std::string spool = root + "/var/spool/cron";
    fs::create_directories(spool);
    // In a child with its own mount namespace: the tmpfs is nobody else's business and goes
    // away with it.
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount("tmpfs", spool.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0) {
            std::printf("full disk: not measured (cannot mount a tmpfs: %s)\n",
                        std::strerror(errno));
            _exit(0);
        }
        const pid_t daemon = start_daemon(root);
        const std::string a = crontab_text(0, 1);
        const std::string b = crontab_text(0, 2);
        auto install = [&root](const std::string& text) {
            return AsAccount(0, [&] { return exchange(root, save_request(text)); }).result();
        };
        const bool saved = ok(install(a)) && ok(install(b));
        {
            std::ofstream filler(spool + "/filler");
            const std::string block(4096, 'f');
            while (filler.write(block.data(), block.size())) {
            }
        }
        // Room for a small file (the backup of B), none for C.
        fs::resize_file(spool + "/filler", fs::file_size(spool + "/filler") - 16384);
        const std::string answer = install(crontab_text(0, 3, 2000));
        const bool refused = answer.find("\"data\":{\"status\":1") == std::string::npos;
        const bool kept = read_file(spool + "/crontabs/" + name_of(0)) == b;
        const bool backup = read_file(spool + "/tvwrapd-backup/" + name_of(0)) == a;
        stop(daemon);
        std::printf(
            "full disk: install %s, old crontab intact: %s, backup intact: %s "
            "(target yes)\n",
            !saved    ? "setup failed"
            : refused ? "refused"
                      : "claimed done",
            kept ? "yes" : "no", backup ? "yes" : "no");
        std::fflush(stdout);
        umount2(spool.c_str(), MNT_DETACH);
        _exit(0);
    }
    waitpid(child, nullptr, 0);
}

void idle_connections(const std::string& work) {
    constexpr int ATTACKERS = 20;
    constexpr int EACH = 60;
    const std::string root = make_root(work, "idle", ATTACKERS + 1);
    const pid_t daemon = start_daemon(root);
    Latencies idle =
        parse_latencies(AsAccount(ATTACKERS, [&] { return timed_fetches(root, 200); }).result());
    std::vector<AsAccount> attackers;
    int ready[2];
    if (pipe(ready) != 0) std::exit(1);
    for (int a = 0; a < ATTACKERS; ++a) {
        attackers.emplace_back(a, [&root, &ready] {
            std::vector<int> held;
            for (int i = 0; i < EACH; ++i) held.push_back(connect_to(root));
            char byte = 1;
            if (write(ready[1], &byte, 1) < 0) return std::string();
            std::this_thread::sleep_for(std::chrono::seconds(4));
            for (int fd : held) close(fd);
            return std::string();
        });
    }
    for (int a = 0; a < ATTACKERS; ++a) {
        char byte;
        if (read(ready[0], &byte, 1) != 1) break;
    }
    close(ready[0]);
    close(ready[1]);
    // Let the daemon take in the burst of connections: what is measured is service while they
    // are held.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Latencies loaded =
        parse_latencies(AsAccount(ATTACKERS, [&] { return timed_fetches(root, 200); }).result());
    for (auto& attacker : attackers) attacker.result();
    stop(daemon);
    std::printf(
        "%d accounts x %d idle connections: honest fetch p99 %.2f ms (idle %.2f ms), "
        "%d of %zu refused\n",
        ATTACKERS, EACH, percentile(loaded.ms, 0.99), percentile(idle.ms, 0.99), loaded.failed,
        loaded.ms.size());
}

void save_flood(const std::string& work) {
    constexpr int FLOODERS = 8;
    constexpr int CONNECTIONS = 16;
    const std::string root = make_root(work, "flood", FLOODERS + 1);
    const pid_t daemon = start_daemon(root);
    auto fetcher = [&] { return timed_fetches(root, 300); };
    Latencies idle = parse_latencies(AsAccount(FLOODERS, fetcher).result());
    std::atomic<bool>* flooding = static_cast<std::atomic<bool>*>(
        mmap(nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
             -1, 0));
    new (flooding) std::atomic<bool>(true);
    std::vector<AsAccount> flooders;
    for (int a = 0; a < FLOODERS; ++a) {
        flooders.emplace_back(a, [&root, a, flooding] {
            std::vector<std::thread> threads;
            std::atomic<int> saves{0};
            for (int t = 0; t < CONNECTIONS; ++t) {
                threads.emplace_back([&, t] {
                    for (int i = 0; *flooding; ++i) {
                        exchange(root, save_request(crontab_text(a, t * 100000 + i, 200), true));
                        ++saves;
                    }
                });
            }
            for (auto& thread : threads) thread.join();
            return std::to_string(saves.load());
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Latencies loaded = parse_latencies(AsAccount(FLOODERS, fetcher).result());
    *flooding = false;
    long saves = 0;
    for (auto& flooder : flooders) saves += std::stol(flooder.result());
    stop(daemon);
    const double p99 = percentile(loaded.ms, 0.99);
    const double base = percentile(idle.ms, 0.99);
    std::printf(
        "spaced-save flood (%d accounts x %d connections, %ld saves): other account's "
        "fetch p99 %.2f ms vs %.2f ms idle = %.1fx (target within 3x), %d failed\n",
        FLOODERS, CONNECTIONS, saves, p99, base, base > 0 ? p99 / base : 0, loaded.failed);
}

void memory_flood(const std::string& work) {
    constexpr int ACCOUNTS = 8;
    constexpr int EACH = 64;
    const std::string root = make_root(work, "memory", ACCOUNTS + 1);
    const pid_t daemon = start_daemon(root);
    exchange(root, request("fetch"));
    const std::size_t idle = peak_kib(daemon);
    std::vector<AsAccount> flooders;
    for (int a = 0; a < ACCOUNTS; ++a) {
        flooders.emplace_back(a, [&root] {
            const std::string body(1024 * 1024 - 16, ' ');
            std::vector<int> fds;
            std::vector<std::size_t> sent;
            for (int i = 0; i < EACH; ++i) {
                fds.push_back(connect_to(root));
                sent.push_back(0);
            }
            // Send what the daemon takes within 3 seconds, never the marker.
            const auto deadline = Clock::now() + std::chrono::seconds(3);
            while (Clock::now() < deadline) {
                bool more = false;
                for (std::size_t i = 0; i < fds.size(); ++i) {
                    if (fds[i] < 0 || sent[i] == body.size()) continue;
                    const ssize_t n = send(fds[i], body.data() + sent[i], body.size() - sent[i],
                                           MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (n > 0) sent[i] += n;
                    if (n < 0 && errno != EAGAIN) sent[i] = body.size();
                    more = true;
                }
                if (!more) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            for (int fd : fds) close(fd);
            return std::string();
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3300));
    const std::size_t peak = peak_kib(daemon);
    for (auto& flooder : flooders) flooder.result();
    const bool serving =
        ok(AsAccount(ACCOUNTS, [&] { return exchange(root, request("fetch")); }).result());
    stop(daemon);
    std::printf(
        "1 MiB-request flood (%d accounts x %d unfinished): daemon peak memory %.1f MB "
        "(idle %.1f MB, target under 256 MB), serving afterwards: %s\n",
        ACCOUNTS, EACH, peak / 1024.0, idle / 1024.0, serving ? "yes" : "no");
}

void restores_during_saves(const std::string& work) {
    constexpr int SAVES = 300;
    const std::string root = make_root(work, "restore", 1);
    const std::string crontab = root + "/var/spool/cron/crontabs/" + name_of(0);
    const std::string backup = root + "/var/spool/cron/tvwrapd-backup/" + name_of(0);
    const pid_t daemon = start_daemon(root);
    auto save = [&root](int number) {
        return installed(AsAccount(0, [&] {
                             return exchange(root, save_request(crontab_text(0, number)));
                         }).result());
    };
    // Two generations first, so that there is a backup to restore.
    const bool ready = save(0) && save(1);
    AsAccount saver(0, [&root] {
        int failed = 0;
        for (int i = 0; i < SAVES; ++i) {
            failed += !installed(exchange(root, save_request(crontab_text(0, 2 + i))));
        }
        return std::to_string(failed);
    });
    // The administrator's tvwrapd --restore, again and again while the saves go on.
    const std::string env_root = "TARVOK_SANDBOX_ROOT=" + root;
    const std::string account = name_of(0);
    int restores = 0;
    int failed_restores = 0;
    for (pollfd done{saver.out, POLLIN, 0}; poll(&done, 1, 0) == 0;) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int log = open((root + "/restore.log").c_str(),
                                 O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            dup2(log, 1);
            dup2(log, 2);
            char* envp[] = {const_cast<char*>(env_root.c_str()), nullptr};
            char* argv[] = {const_cast<char*>(g_daemon.c_str()), const_cast<char*>("--restore"),
                            const_cast<char*>(account.c_str()), nullptr};
            execve(g_daemon.c_str(), argv, envp);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ++restores;
        failed_restores += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    const int failed_saves = std::stoi(saver.result());
    // Rotated: no save or restore kept the previous backup instead of the text it replaced, and
    // the next save keeps the crontab it replaces as the backup.
    const std::string before = read_file(crontab);
    const bool rotated = ready && save(SAVES + 2) && read_file(backup) == before &&
                         read_file(crontab) == crontab_text(0, SAVES + 2);
    stop(daemon);
    const std::string logs = read_file(root + "/tvwrapd.log") + read_file(root + "/restore.log");
    const bool kept_old = logs.find("the previous backup stays") != std::string::npos;
    std::printf(
        "restores racing %d saves of one account: %d restores, %d failed saves (target 0), "
        "%d failed restores (target 0), backup rotated: %s\n",
        SAVES, restores, failed_saves, failed_restores, rotated && !kept_old ? "yes" : "no");
}

void answers_unread(const std::string& work) {
    constexpr int ACCOUNTS = 4;
    constexpr int EACH = 64;
    const std::string root = make_root(work, "answers", ACCOUNTS + 1);
    const pid_t daemon = start_daemon(root);
    exchange(root, request("fetch"));
    const std::size_t idle = peak_kib(daemon);
    // The largest crontab there is, every byte of it sent back in JSON's widest escape: 6 MiB
    // an answer.
    std::string escaped = "#";
    for (int i = 0; i < 1024 * 1024 - 2; ++i) escaped += "\\u0001";
    const std::string widest = request("save", "{\"crontab\":\"" + escaped + "\\n\"}");
    for (int a = 0; a < ACCOUNTS; ++a) {
        if (!ok(AsAccount(a, [&] { return exchange(root, widest); }).result())) {
            std::printf("answers held unread: not measured (the setup save was refused)\n");
            stop(daemon);
            return;
        }
    }
    std::vector<AsAccount> hostile;
    for (int a = 0; a < ACCOUNTS; ++a) {
        hostile.emplace_back(a, [&root] {
            std::vector<int> fds;
            const std::string fetch = request("fetch");
            for (int i = 0; i < EACH; ++i) {
                const int fd = connect_to(root);
                if (fd < 0) continue;
                if (send(fd, fetch.data(), fetch.size(), MSG_NOSIGNAL) > 0) shutdown(fd, SHUT_WR);
                fds.push_back(fd);
            }
            std::this_thread::sleep_for(std::chrono::seconds(4));
            for (int fd : fds) close(fd);
            return std::string();
        });
    }
    // Meanwhile another account installs 220 KB and reads it back.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::string honest = crontab_text(ACCOUNTS, 1, 9000);
    const bool saved =
        AsAccount(ACCOUNTS, [&] {
            const std::string answer = exchange(root, save_request(honest));
            const bool installed = answer.find("\"data\":{\"status\":1") != std::string::npos;
            return std::string(installed && exchange(root, request("fetch")).find("# line 8999") !=
                                                std::string::npos
                                   ? "yes"
                                   : "no");
        }).result() == "yes";
    for (auto& client : hostile) client.result();
    const std::size_t peak = peak_kib(daemon);
    stop(daemon);
    std::printf(
        "answers held unread (%d accounts x %d connections, 1 MiB crontab of \\x01): daemon "
        "peak memory %.1f MB (idle %.1f MB, target under 128 MB), another account's save "
        "accepted: %s\n",
        ACCOUNTS, EACH, peak / 1024.0, idle / 1024.0, saved ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || geteuid() != 0) {
        std::fprintf(stderr,
                     "usage (as root): torture TVWRAPD WORKDIR "
                     "[kill|disk|idle|flood|memory|restore|answers]...\n");
        return 2;
    }
    g_daemon = argv[1];
    const std::string work = argv[2];
    std::vector<std::string> chosen(argv + 3, argv + argc);
    if (chosen.empty()) chosen = {"kill", "disk", "idle", "flood", "memory", "restore", "answers"};
    signal(SIGPIPE, SIG_IGN);
    // Everything started here is in this process group: past the time limit, all of it goes.
    setpgid(0, 0);
    signal(SIGALRM, [](int) { kill(0, SIGKILL); });
    alarm(240);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (const std::string& name : chosen) {
        if (name == "kill") {
            kill_during_saves(work);
        } else if (name == "disk") {
            full_disk(work);
        } else if (name == "idle") {
            idle_connections(work);
        } else if (name == "flood") {
            save_flood(work);
        } else if (name == "memory") {
            memory_flood(work);
        } else if (name == "restore") {
            restores_during_saves(work);
        } else if (name == "answers") {
            answers_unread(work);
        } else {
            std::fprintf(stderr, "torture: unknown scenario '%s'\n", name.c_str());
        }
    }
    for (const pid_t pid : g_started) kill(pid, SIGKILL);
    return 0;
}
