// `crontab -l` and `crontab -e` end to end, from process start to exit: the sandbox
// pen_safe_crontab (restricted account, reference daemon already serving in a sandbox root) next
// to Debian's own crontab, both on a crontab of the same 50 lines for root, and next to the floor
// (bench/floor/list_floor: the same fetch exchange and nothing else, linked like the front end).
// Every round runs each program once, in an order that rotates from round to round. Prints the
// median and 90th percentile wall time and the median peak memory (max RSS from wait4) of each,
// and the ratios that count (medians of the same run):
//
//     crontab -l   pen_safe_crontab / crontab      wall time  at most 0.75
//     crontab -l   pen_safe_crontab / list_floor   wall time  at most 1.3
//     crontab -l   pen_safe_crontab / crontab      max RSS    at most 1.0
//     crontab -e   pen_safe_crontab / crontab      wall time  at most 1.0  (editor: true)
//
// The programs run with the environment a login session has (HOME, LOGNAME, USER, SHELL, PATH
// and LANG=C.UTF-8, which Debian's installer writes to /etc/default/locale and PAM puts in every
// session), and are started by vfork (see Start), so that the time of each is its own and not
// also the benchmark's fork, the same for all and a fifth of a listing here. For the record, the
// listings also run with only PATH set: Debian's crontab then reads no locale files.
//
// Debian's crontab reads the real spool, so everything runs in a forked child inside a private
// mount namespace where /var/spool/cron/crontabs is a fresh tmpfs: the real spool is never read
// or written. Needs root and the cron package (scripts/deps.sh installs it; its service is not
// started).
//
//     build-bench/bench/list_bench [runs]     # default 300 rounds
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ftw.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* SYSTEM_CRONTAB = "/usr/bin/crontab";
constexpr const char* REAL_SPOOL = "/var/spool/cron/crontabs";
constexpr int LINES = 50;

struct Sample {
    double wall_us;
    long max_rss_kb;
    double cpu_us;      // user and system time of the program itself
    long minor_faults;  // pages it touched for the first time
};

struct Program {
    std::string name;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::vector<Sample> samples;
    bool quiet = false;              // standard error goes where standard output goes
    std::vector<long> peak_kb = {};  // max RSS of forked runs
};

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "list_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

std::string crontab_text() {
    std::string text = "MAILTO=\"\"\nSHELL=/bin/sh\n";
    for (int i = 2; i < LINES; ++i) {
        text += std::to_string(i % 60) + " " + std::to_string(i % 24) +
                " * * mon-fri $HOME/bin/job-" + std::to_string(i) + " --quiet >/dev/null 2>&1\n";
    }
    return text;
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out || chmod(path.c_str(), mode) != 0) die("cannot write " + path);
}

void make_dirs(const std::string& path) {
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) die("cannot create " + part);
    }
}

std::vector<char*> pointers(std::vector<std::string>& items) {
    std::vector<char*> out;
    for (auto& item : items) out.push_back(item.data());
    out.push_back(nullptr);
    return out;
}

// How a run is started. vfork: the child borrows the benchmark's memory until it calls exec, so
// its time is the program's own (a fork would add copying the benchmark's page tables and the
// pages its child touches before exec; posix_spawn resets every signal disposition one system
// call at a time). fork: the peak memory (max RSS) of a vfork child counts the benchmark's
// memory too, so peak memory is taken from forked runs.
enum class Start { vfork, fork };

// Runs `program` once with `input` on standard input; its standard output goes to `out_fd`.
// Returns the sample and the exit status.
Sample run_once(Program& program, int out_fd, const std::string& input, int* status,
                Start how = Start::vfork) {
    int in_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0) die("pipe");
    auto argv = pointers(program.argv);
    auto envp = pointers(program.env);
    const bool quiet = program.quiet;
    const auto start = Clock::now();
    const pid_t pid = how == Start::vfork ? vfork() : fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_fd, 1);
        if (quiet) dup2(out_fd, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    if (!input.empty() && write(in_pipe[1], input.data(), input.size()) < 0) die("write");
    close(in_pipe[1]);
    int raw = 0;
    rusage usage{};
    while (wait4(pid, &raw, 0, &usage) < 0) {
        if (errno != EINTR) die("wait4");
    }
    const auto end = Clock::now();
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    const auto micros = [](const timeval& t) { return 1e6 * t.tv_sec + t.tv_usec; };
    return {std::chrono::duration<double, std::micro>(end - start).count(), usage.ru_maxrss,
            micros(usage.ru_utime) + micros(usage.ru_stime), usage.ru_minflt};
}

// The output of one run, for the sanity check.
std::string output_of(Program& program, const std::string& input = {}) {
    char name[] = "/tmp/list-bench-out-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) die("mkstemp");
    unlink(name);
    int status = -1;
    run_once(program, fd, input, &status);
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(fd);
    if (status != 0) {
        std::fprintf(stderr, "list_bench: %s exited with %d: %s\n", program.name.c_str(), status,
                     text.c_str());
        std::exit(1);
    }
    return text;
}

template <class T, class Get>
T percentile(std::vector<Sample> samples, double p, Get get) {
    std::vector<T> values;
    for (const auto& s : samples) values.push_back(get(s));
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

double median_wall(const Program& p) {
    return percentile<double>(p.samples, 0.5, [](const Sample& s) { return s.wall_us; });
}
double p90_wall(const Program& p) {
    return percentile<double>(p.samples, 0.9, [](const Sample& s) { return s.wall_us; });
}
long median_rss(const Program& p) {
    std::vector<long> sorted = p.peak_kb;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
}
double mean_cpu(const Program& p) {
    double sum = 0;
    for (const Sample& s : p.samples) sum += s.cpu_us;
    return sum / static_cast<double>(p.samples.size());
}
long median_faults(const Program& p) {
    return percentile<long>(p.samples, 0.5, [](const Sample& s) { return s.minor_faults; });
}

void remove_tree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int flag, struct FTW*) {
            return flag == FTW_DP ? rmdir(p) : unlink(p);
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// A copy of the program at `path` in `dir`, written in one go as dpkg or an install writes it: the
// file as the linker left it sits in the page cache in small pieces, each mapped by a page fault
// of its own, and would cost it several faults that an installed program does not pay.
std::string installed_copy(const std::string& path, const std::string& dir) {
    const std::string copy = dir + "/" + std::filesystem::path(path).filename().string();
    std::error_code failure;
    std::filesystem::copy_file(path, copy, failure);
    if (failure) {
        errno = failure.value();
        die("cannot copy " + path);
    }
    return copy;
}

// Starts the sandbox daemon in `root` and waits until its socket answers.
pid_t start_daemon(const std::string& build, const std::string& root) {
    const std::string log = root + "/tvwrapd.log";
    const pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = open("/dev/null", O_RDWR);
        const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err, 2);
        std::vector<std::string> argv{build + "/sandbox/bin/tvwrapd"};
        std::vector<std::string> env{"TARVOK_SANDBOX_ROOT=" + root};
        auto a = pointers(argv);
        auto e = pointers(env);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    for (int i = 0; i < 400; ++i) {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        if (text.str().find("tvwrapd serving") != std::string::npos) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "list_bench: the daemon did not start\n");
    kill(pid, SIGTERM);
    std::exit(1);
}

// Everything that runs inside the private mount namespace.
int measure(const std::string& build, int runs) {
    if (unshare(CLONE_NEWNS) != 0) die("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("mount private");
    if (mount("list-bench", REAL_SPOOL, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1730") != 0) {
        die(std::string("tmpfs over ") + REAL_SPOOL);
    }
    const std::string crontab = crontab_text();
    write_file(std::string(REAL_SPOOL) + "/root", crontab, 0600);

    static char dir[] = "/tmp/list-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) die("mkdtemp");
    // Also when a run fails: every way out of this process goes through exit().
    std::atexit([] { remove_tree(dir); });
    const std::string root = dir;
    chmod(root.c_str(), 0755);
    make_dirs(root + "/etc");
    write_file(root + "/etc/passwd", "root:x:0:0:root:/root:/usr/local/tarvok/bin/penshell\n",
               0644);
    write_file(root + "/etc/shadow", "root:*:19000:0:99999:7:::\n", 0640);
    const pid_t daemon = start_daemon(build, root);

    // The editor that exits at once, where the sandbox front end looks for editors, and the
    // directory its temporary file goes to.
    make_dirs(root + "/usr/bin");
    make_dirs(root + "/tmp");
    chmod((root + "/tmp").c_str(), 01777);
    if (symlink("/bin/true", (root + "/usr/bin/true").c_str()) != 0) die("symlink true");

    const std::vector<std::string> bare{"PATH=/usr/bin:/bin", "TARVOK_SANDBOX_ROOT=" + root};
    std::vector<std::string> env = bare;
    env.insert(env.end(),
               {"HOME=/root", "LOGNAME=root", "USER=root", "SHELL=/bin/bash", "LANG=C.UTF-8"});
    std::vector<std::string> edit_env = env;
    edit_env.push_back("VISUAL=true");
    const std::string ours_path = installed_copy(build + "/sandbox/bin/pen_safe_crontab", root);
    Program ours{"pen_safe_crontab -l", {ours_path, "-l"}, env, {}};
    Program theirs{"crontab -l", {SYSTEM_CRONTAB, "-l"}, env, {}};
    Program floor{"list_floor", {installed_copy(build + "/bench/floor/list_floor", root)}, env, {}};
    Program ours_edit{"pen_safe_crontab -e", {ours_path, "-e"}, edit_env, {}, true};
    Program theirs_edit{"crontab -e", {SYSTEM_CRONTAB, "-e"}, edit_env, {}, true};
    Program ours_bare{"pen_safe_crontab -l *", {ours_path, "-l"}, bare, {}};
    Program theirs_bare{"crontab -l *", {SYSTEM_CRONTAB, "-l"}, bare, {}};

    // The same crontab on both sides, installed through the front end itself.
    Program install{"pen_safe_crontab (install)", {ours_path}, env, {}};
    output_of(install, crontab);
    for (Program* p : {&ours, &theirs, &floor, &ours_bare, &theirs_bare}) {
        if (output_of(*p) != crontab) {
            std::fprintf(stderr, "list_bench: %s does not list the crontab\n", p->name.c_str());
            return 1;
        }
    }
    output_of(ours_edit);
    output_of(theirs_edit);

    std::vector<Program*> programs{&ours,        &theirs,    &floor,      &ours_edit,
                                   &theirs_edit, &ours_bare, &theirs_bare};
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int status = 0;
    for (int i = 0; i < 20; ++i) {  // warm caches on every side; peak memory from forked runs
        for (Program* p : programs) {
            p->peak_kb.push_back(run_once(*p, null, {}, &status, Start::fork).max_rss_kb);
        }
    }
    for (int i = 0; i < runs; ++i) {
        // Rotate the order, so that none always follows the same one.
        for (size_t k = 0; k < programs.size(); ++k) {
            Program& p = *programs[(i + k) % programs.size()];
            p.samples.push_back(run_once(p, null, {}, &status));
            if (status != 0) {
                std::fprintf(stderr, "list_bench: %s exited with %d\n", p.name.c_str(), status);
                return 1;
            }
        }
    }
    close(null);
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);

    std::printf("crontab of %d lines (%zu bytes), %d rounds\n", LINES, crontab.size(), runs);
    // CPU time and page faults are the program's own work, whatever else the machine runs;
    // CPU time ticks coarsely, hence the mean.
    std::printf("%-20s %12s %10s %13s %13s %7s\n", "", "median (us)", "p90 (us)", "max RSS (kB)",
                "mean CPU (us)", "faults");
    for (const Program* p : programs) {
        std::printf("%-20s %12.0f %10.0f %13ld %13.0f %7ld\n", p->name.c_str(), median_wall(*p),
                    p90_wall(*p), median_rss(*p), mean_cpu(*p), median_faults(*p));
    }
    auto ratio = [](const char* what, double value, double target) {
        std::printf("%-46s %5.2f  (target <= %.2f) %s\n", what, value, target,
                    value <= target ? "met" : "MISSED");
    };
    ratio("-l wall time, pen_safe_crontab / crontab", median_wall(ours) / median_wall(theirs),
          0.75);
    ratio("-l wall time, pen_safe_crontab / list_floor", median_wall(ours) / median_wall(floor),
          1.3);
    ratio("-l max RSS,   pen_safe_crontab / crontab",
          static_cast<double>(median_rss(ours)) / static_cast<double>(median_rss(theirs)), 1.0);
    ratio("-e wall time, pen_safe_crontab / crontab (true)",
          median_wall(ours_edit) / median_wall(theirs_edit), 1.0);
    std::printf("%-46s %5.2f  (* only PATH set: no target)\n", "-l wall time, same, only PATH set",
                median_wall(ours_bare) / median_wall(theirs_bare));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    if (geteuid() != 0) {
        std::fprintf(stderr, "list_bench: needs root (a private mount namespace for the spool)\n");
        return 1;
    }
    struct stat status {};
    if (stat(SYSTEM_CRONTAB, &status) != 0 || stat(REAL_SPOOL, &status) != 0) {
        std::fprintf(stderr, "list_bench: Debian's cron is not installed (scripts/deps.sh)\n");
        return 1;
    }
    // The namespace and its mounts live and die with this child.
    const pid_t child = fork();
    if (child < 0) die("fork");
    if (child == 0) {
        const int result = measure(TARVOK_BUILD_DIR, runs);
        std::fflush(stdout);
        std::exit(result);  // runs the clean-up measure() registered
    }
    int raw = 0;
    while (waitpid(child, &raw, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 1;
}
