// Account lookups on a password file of 100,000 accounts (and a shadow file to match), looking
// up the last account, next to the C library's own lookups of the same files.
//
// Everything lives in a throw-away sandbox root. For the C library's side the generated files are
// bind-mounted over /etc/passwd and /etc/shadow inside a private mount namespace of this process
// only (needs root); the real files are never touched, and the mounts vanish with the process.
// Where that is impossible the comparison is skipped with the reason.
#include <fcntl.h>
#include <ftw.h>
#include <pwd.h>
#include <sched.h>
#include <shadow.h>
#include <sys/mount.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "Tarvok/PwCache.hpp"
#include "Tarvok/PwCache/Cache.hpp"
#include "Tarvok/PwCache/Find.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace {

constexpr int ACCOUNTS = 100000;

std::string g_root;
std::string g_passwd_text;
std::string g_last_name;
std::string g_last_uid;

std::string account_name(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "user%06d", i);
    return name;
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void generate_files() {
    char tmpl[] = "/tmp/tarvok-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    g_root = tmpl;
    mkdir((g_root + "/etc").c_str(), 0755);
    std::string passwd = "root:x:0:0:root:/root:/bin/bash\n";
    std::string shadow = "root:*:19000:0:99999:7:::\n";
    passwd.reserve(9'500'000);
    shadow.reserve(14'000'000);
    for (int i = 0; i < ACCOUNTS; ++i) {
        const std::string name = account_name(i);
        const std::string uid = std::to_string(100000 + i);
        passwd += name + ":x:" + uid + ":" + uid + ":Generated hosting account " + name.substr(4) +
                  ",,,:/home/" + name + ":/bin/bash\n";
        // A sha512-crypt-shaped hash: 16 salt bytes, 86 hash bytes.
        std::string hash = "$6$" + std::string(16, 's') + "$";
        for (int k = 0; k < 86; ++k)
            hash.push_back("./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                               [(i * 31 + k * 7) % 64]);
        shadow += name + ":" + hash + ":19000:0:99999:7:::\n";
    }
    g_last_name = account_name(ACCOUNTS - 1);
    g_last_uid = std::to_string(100000 + ACCOUNTS - 1);
    write_text(g_root + "/etc/passwd", passwd);
    write_text(g_root + "/etc/shadow", shadow);
    chmod((g_root + "/etc/shadow").c_str(), 0600);
    g_passwd_text = std::move(passwd);
    std::printf("Generated %d accounts: passwd %.1f MB, shadow %.1f MB in %s\n", ACCOUNTS + 1,
                g_passwd_text.size() / 1e6, shadow.size() / 1e6, g_root.c_str());
}

// Makes the C library read the generated files; returns why it cannot.
std::optional<std::string> mount_files_for_libc() {
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making / private: ") + std::strerror(errno);
    }
    for (const char* file : {"/etc/passwd", "/etc/shadow"}) {
        if (mount((g_root + file).c_str(), file, nullptr, MS_BIND, nullptr) != 0) {
            return std::string("bind-mounting over ") + file + ": " + std::strerror(errno);
        }
    }
    const passwd* pw = getpwnam(g_last_name.c_str());
    if (pw == nullptr || std::to_string(pw->pw_uid) != g_last_uid) {
        return "the C library does not see the generated password file (name service "
               "configuration?)";
    }
    return std::nullopt;
}

void remove_root() {
    nftw(
        g_root.c_str(),
        [](const char* p, const struct stat*, int flag, struct FTW*) {
            return flag == FTW_DP ? rmdir(p) : unlink(p);
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// ---- benchmarks ----

void BM_plain_memmem(benchmark::State& state) {
    const std::string needle = "\n" + g_last_name + ":";
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            memmem(g_passwd_text.data(), g_passwd_text.size(), needle.data(), needle.size()));
    }
}

void find_last(benchmark::State& state, std::size_t field, const std::string& value) {
    const Tarvok::UniqueFd fd(
        open(Tarvok::SysRoot::path("/etc/passwd").c_str(), O_RDONLY | O_CLOEXEC));
    for (auto _ : state) {
        lseek(fd.get(), 0, SEEK_SET);
        const auto fields =
            Tarvok::PwCache::Find::field_with_value_in_pw_file(fd.get(), field, value);
        if (fields.empty()) state.SkipWithError("not found");
    }
}
void BM_find_by_name(benchmark::State& state) {
    find_last(state, 0, g_last_name);
}
void BM_find_by_uid(benchmark::State& state) {
    find_last(state, 2, g_last_uid);
}

template <Tarvok::PwCache::UserRecord (*Lookup)(std::string_view)>
void cold_lookup(benchmark::State& state, const std::string& key) {
    for (auto _ : state) {
        Tarvok::PwCache::Cache::clear();
        const auto record = Lookup(key);
        if (record.size() != 13) state.SkipWithError("not found");
    }
}
void BM_pwcache_getpwnam_noshadow(benchmark::State& s) {
    cold_lookup<Tarvok::PwCache::getpwnam_noshadow>(s, g_last_name);
}
void BM_pwcache_getpwuid_noshadow(benchmark::State& s) {
    cold_lookup<Tarvok::PwCache::getpwuid_noshadow>(s, g_last_uid);
}
void BM_pwcache_getpwnam_with_shadow(benchmark::State& s) {
    cold_lookup<Tarvok::PwCache::getpwnam>(s, g_last_name);
}
void BM_pwcache_getpwuid_with_shadow(benchmark::State& s) {
    cold_lookup<Tarvok::PwCache::getpwuid>(s, g_last_uid);
}

void BM_libc_getpwnam(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(getpwnam(g_last_name.c_str()));
}
void BM_libc_getpwuid(benchmark::State& state) {
    const auto uid = static_cast<uid_t>(std::stoul(g_last_uid));
    for (auto _ : state) benchmark::DoNotOptimize(getpwuid(uid));
}
void BM_libc_getpwnam_getspnam(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(getpwnam(g_last_name.c_str()));
        benchmark::DoNotOptimize(getspnam(g_last_name.c_str()));
    }
}
void BM_libc_getpwuid_getspnam(benchmark::State& state) {
    const auto uid = static_cast<uid_t>(std::stoul(g_last_uid));
    for (auto _ : state) {
        const passwd* pw = getpwuid(uid);
        benchmark::DoNotOptimize(getspnam(pw->pw_name));
    }
}

// Remembers each benchmark's time per iteration for the ratio table.
class Collector : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> micros;      // real time per lookup
    std::map<std::string, double> cpu_micros;  // CPU time: steadier on a busy machine
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                micros[run.benchmark_name()] = run.GetAdjustedRealTime();
                cpu_micros[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    generate_files();
    setenv("TARVOK_SANDBOX_ROOT", g_root.c_str(), 1);
    Tarvok::SysRoot::reset();
    // Measure the file engine: as the superuser nothing ever goes to the name service.
    Tarvok::PwCache::set_effective_uid_source([] { return uid_t(0); });

    const std::optional<std::string> why_no_libc = mount_files_for_libc();

    benchmark::Initialize(&argc, argv);
    auto add = [](const char* name, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMicrosecond);
    };
    add("plain_memmem_whole_file", BM_plain_memmem);
    add("find_by_name", BM_find_by_name);
    add("find_by_uid", BM_find_by_uid);
    add("pwcache_getpwnam_noshadow", BM_pwcache_getpwnam_noshadow);
    add("pwcache_getpwuid_noshadow", BM_pwcache_getpwuid_noshadow);
    add("pwcache_getpwnam_with_shadow", BM_pwcache_getpwnam_with_shadow);
    add("pwcache_getpwuid_with_shadow", BM_pwcache_getpwuid_with_shadow);
    if (!why_no_libc) {
        add("libc_getpwnam", BM_libc_getpwnam);
        add("libc_getpwuid", BM_libc_getpwuid);
        add("libc_getpwnam_getspnam", BM_libc_getpwnam_getspnam);
        add("libc_getpwuid_getspnam", BM_libc_getpwuid_getspnam);
    }
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const auto& t = collector.micros;
    const auto& c = collector.cpu_micros;
    auto show = [&](const char* ours, const char* theirs) {
        if (!t.contains(ours)) return;
        std::printf("  %-29s %8.3f ms (cpu %6.3f)", ours, t.at(ours) / 1000, c.at(ours) / 1000);
        if (t.contains(theirs)) {
            std::printf("  %-23s %8.3f ms (cpu %6.3f)  %5.1fx faster (cpu %4.1fx)", theirs,
                        t.at(theirs) / 1000, c.at(theirs) / 1000, t.at(theirs) / t.at(ours),
                        c.at(theirs) / c.at(ours));
        }
        std::printf("\n");
    };
    std::printf("\nLast of %d accounts, time per lookup:\n", ACCOUNTS + 1);
    show("plain_memmem_whole_file", "");
    show("find_by_name", "libc_getpwnam");
    show("find_by_uid", "libc_getpwuid");
    show("pwcache_getpwnam_noshadow", "libc_getpwnam");
    show("pwcache_getpwuid_noshadow", "libc_getpwuid");
    show("pwcache_getpwnam_with_shadow", "libc_getpwnam_getspnam");
    show("pwcache_getpwuid_with_shadow", "libc_getpwuid_getspnam");
    for (const char* ours : {"find_by_name", "find_by_uid"}) {
        if (t.contains("plain_memmem_whole_file") && t.contains(ours)) {
            std::printf(
                "  %s (reads included) vs one plain memmem over the file in memory: "
                "%.1fx faster (cpu %.1fx)\n",
                ours, t.at("plain_memmem_whole_file") / t.at(ours),
                c.at("plain_memmem_whole_file") / c.at(ours));
        }
    }
    if (why_no_libc) std::printf("C library comparison skipped: %s\n", why_no_libc->c_str());
    remove_root();
    return 0;
}
