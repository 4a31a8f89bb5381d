// The daemon against Debian's own crontab (cron 3.0pl1): every text of a hand-picked corpus and of
// a seeded random grammar of crontab lines is sent to the daemon and checked by Debian's crontab
// (-n: check only). The daemon may refuse more than Debian does, never less, and what it stores
// is the text sent, with the last line end added when it was missing.
//
// Debian's crontab writes its scratch file into the spool, so the test runs in a private mount
// namespace with a temporary directory mounted over /var/spool/cron/crontabs: the real spool is
// never touched. Needs root and Debian's crontab (scripts/deps.sh installs cron).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Printable.hpp"
#include "daemon/support/DaemonClient.hpp"
#include "support/MountNamespace.hpp"
#include "support/SandboxRoot.hpp"

namespace {

using namespace std::string_literals;

constexpr uid_t ALICE = 1001;
constexpr const char* DEBIAN_CRONTAB = "/usr/bin/crontab";
constexpr const char* SPOOL = "/var/spool/cron/crontabs";
constexpr unsigned SEED = 15;
constexpr int RANDOM_TEXTS = 700;
const std::string INSTALLED = R"({"status":1,"statusmsg":"OK","data":{"status":1,"statusmsg":""}})";

// ---- the hand-picked texts --------------------------------------------------------------------

std::vector<std::string> hand_picked() {
    // Each in every time field of an otherwise plain job.
    const std::vector<std::string> fields = {
        "*",       "0",        "00",      "0005",       "59",           "60",
        "7",       "8",        "1-1",     "5-5/2",      "0-0",          "30-10",
        "1-70",    "*/0",      "*/1",     "*/90",       "*/4294967296", "*/4294967301",
        "*/x",     "*/",       "5/10",    "1,2,3",      "1,,2",         "1,",
        ",1",      "-5",       "1-",      "1-2-3",      "**",           "*5",
        "*-5",     "5.",       "5x",      "5\xff",      "*\xff",        "\xff",
        "jan",     "JAN",      "Jan-Mar", "jan/2",      "mon",          "MON-fri",
        "sun-sat", "fri-sun",  "sun,7",   "4294967301", "9999999999",   "a",
        "@",       "=",        "5=x",     "'",          "\"",           "%",
        "\x01",    "\xc3\xa9", "1-5/",    "1-5/0",      "0-59/15"};
    std::vector<std::string> texts;
    for (const std::string& token : fields) {
        for (int position = 0; position < 5; ++position) {
            std::string line;
            for (int i = 0; i < 5; ++i) line += (i == position ? token : "*") + " ";
            texts.push_back(line + "x\n");
        }
    }
    const std::vector<std::string> whole = {"* * * * * date\n",
                                            "* * * * *\n",
                                            "* * * * * \n",
                                            "* * * * * */5 x\n",
                                            "* * * * * * date\n",
                                            "@daily *date\n",
                                            "@daily\n",
                                            "@daily \n",
                                            "@daily x\n",
                                            "@DAILY x\n",
                                            "@dayly x\n",
                                            "@ x\n",
                                            "@reboot\tx\n",
                                            "@daily\fx\n",
                                            "@daily \xffx\n",
                                            "* * * * * \xffx\n",
                                            "* * * * * x\xff\n",
                                            "* * * * * x\r\n",
                                            "* * * * * a\rb\n",
                                            "# c\r\n",
                                            "* * * * * %\n",
                                            "\t * * * * * x\n",
                                            "\f* * * * * x\n",
                                            "\v\n",
                                            "  \t\n",
                                            "\n\n",
                                            "# only\n",
                                            "   # indented\n",
                                            "#\xff\n",
                                            "1 2 3\n",
                                            "1 2\n",
                                            "1\n",
                                            "x\n",
                                            "MAILTO=me\n",
                                            "MAILTO = me\n",
                                            "MAILTO=\n",
                                            "MAILTO= \n",
                                            "MAILTO=\"\"\n",
                                            "MAILTO=''\n",
                                            "A=\"b\n",
                                            "A='b' c\n",
                                            "A='b'  \n",
                                            "A=b c # d\n",
                                            "=x\n",
                                            "\"\"=x\n",
                                            "'A B'=x\n",
                                            "'A=B'=x\n",
                                            "A==b\n",
                                            "*=x\n",
                                            "5='x * * * * x\n",
                                            "A\xff=b\n",
                                            "A=\xff\n",
                                            "\xff=b\n",
                                            "A\f=b\n",
                                            "A = \"b\" \n",
                                            "\"A\n",
                                            "A='\n",
                                            "'\n",
                                            "\"\n",
                                            "A=b\0c\n"s,
                                            "* * * * * a\0b\n"s,
                                            "* * * * * x",
                                            "MAILTO=me\n* * * * * x\n61 * * * * y\n",
                                            "# a\n\n@hourly x\nPATH=/bin\n"};
    texts.insert(texts.end(), whole.begin(), whole.end());
    // Lines around the lengths cron reads in one go.
    for (std::size_t n = 996; n <= 1001; ++n) {
        texts.push_back("* * * * * " + std::string(n, 'x') + "\n");
        texts.push_back("@daily " + std::string(n, 'x') + "\n");
        texts.push_back("A=" + std::string(n - 2, 'x') + "\n");
        texts.push_back("A = " + std::string(n - 4, 'x') + "\n");
        texts.push_back("A=\"" + std::string(n - 4, 'x') + "\"\n");
        texts.push_back("A=\"" + std::string(n - 4, 'x') + "\" tail\n");
        texts.push_back("A=" + std::string(n - 6, ' ') + "xyz\n");
        texts.push_back(std::string(n, '0') + " * * * * x\n");
        texts.push_back("  " + std::string(n, '#') + "\n");
    }
    std::string lines;
    for (int i = 0; i < 10000; ++i) lines += "# line\n";
    texts.push_back(lines);
    texts.push_back(lines + "* * * * * x\n");
    return texts;
}

// ---- the random grammar -----------------------------------------------------------------------

class Grammar {
  public:
    explicit Grammar(unsigned seed) : rng_(seed) {}

    std::string text() {
        std::string out;
        const std::size_t lines = 1 + below(3);
        for (std::size_t i = 0; i < lines; ++i) out += line() + "\n";
        if (chance(15)) out.pop_back();
        return out;
    }

  private:
    std::size_t below(std::size_t n) { return rng_() % n; }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <typename T>
    const T& pick(const std::vector<T>& from) {
        return from[below(from.size())];
    }

    std::string blanks() {
        std::string out;
        do out += chance(70) ? ' ' : '\t';
        while (chance(25));
        return out;
    }

    std::string number(int low, int high) {
        if (chance(10)) return pick<std::string>({"4294967301", "99", "0", "000", "1000000"});
        std::string out =
            std::to_string(low + static_cast<int>(below(static_cast<std::size_t>(high - low + 2))));
        if (chance(10)) out = "0" + out;
        return out;
    }

    std::string value(int field) {
        static const std::vector<std::string> months = {"jan", "Feb", "MAR", "dec", "foo"};
        static const std::vector<std::string> days = {"sun", "Mon", "SAT", "fri", "thurs"};
        if (field == 3 && chance(30)) return pick(months);
        if (field == 4 && chance(30)) return pick(days);
        static constexpr int LOW[] = {0, 0, 1, 1, 0};
        static constexpr int HIGH[] = {59, 23, 31, 12, 7};
        return number(LOW[field], HIGH[field]);
    }

    std::string item(int field) {
        std::string out;
        const std::size_t shape = below(10);
        if (shape < 3) {
            out = "*";
        } else if (shape < 7) {
            out = value(field);
        } else {
            out = value(field) + "-" + value(field);
        }
        if (chance(20)) out += "/" + (chance(80) ? std::to_string(below(40)) : "x");
        return out;
    }

    std::string field(int index) {
        std::string out = item(index);
        while (chance(15)) out += "," + item(index);
        return out;
    }

    std::string command() {
        static const std::vector<std::string> words = {
            "date", "echo hi",         "/bin/run --x", "printf '%s' a",     "*",   "*/5",   "\xff",
            "x=1",  "# not a comment", "'quoted'",     "\xc3\xa9t\xc3\xa9", "a;b", "*date", ""};
        if (chance(4)) return std::string(990 + below(15), 'c');
        std::string out = pick(words);
        while (chance(30)) out += blanks() + pick(words);
        return out;
    }

    std::string setting() {
        static const std::vector<std::string> names = {"MAILTO", "PATH", "A",    "'Q N'",
                                                       "\"X\"",  "",     "SHELL"};
        static const std::vector<std::string> values = {
            "me",    "",      "\"\"",          "''", "'a b'", "\"open",
            "'x' y", "a b  ", "/bin:/usr/bin", "=",  "\xff"};
        std::string out =
            pick(names) + (chance(20) ? blanks() : "") + "=" + (chance(20) ? blanks() : "");
        if (chance(4)) return out + std::string(985 + below(20), 'v');
        return out + pick(values);
    }

    std::string job() {
        static const std::vector<std::string> shortcuts = {"@reboot",   "@yearly", "@annually",
                                                           "@monthly",  "@weekly", "@daily",
                                                           "@midnight", "@hourly", "@often"};
        std::string out = chance(10) ? blanks() : "";
        if (chance(15)) {
            out += pick(shortcuts);
        } else {
            const int count = chance(90) ? 5 : static_cast<int>(3 + below(4));
            for (int i = 0; i < count; ++i) out += (i ? blanks() : "") + field(std::min(i, 4));
        }
        if (chance(95)) out += blanks();
        return out + command();
    }

    // One byte that cron reads in a way of its own, somewhere in the line.
    void mutate(std::string& line) {
        static const std::vector<std::string> bytes = {"\r",
                                                       "\xff",
                                                       "\f",
                                                       "\v",
                                                       "*",
                                                       "#",
                                                       "=",
                                                       "'",
                                                       "\"",
                                                       ",",
                                                       "-",
                                                       "/",
                                                       "%",
                                                       "@",
                                                       "\x01",
                                                       " ",
                                                       "\t",
                                                       "\xc3\xa9",
                                                       std::string(1, '\0')};
        line.insert(below(line.size() + 1), pick(bytes));
    }

    std::string line() {
        const std::size_t kind = below(20);
        std::string out;
        if (kind < 12) {
            out = job();
        } else if (kind < 16) {
            out = setting();
        } else if (kind < 18) {
            out = (chance(50) ? blanks() : "") + "# comment";
        } else {
            out = chance(50) ? blanks() : "";
        }
        if (chance(10)) mutate(out);
        return out;
    }

    std::mt19937 rng_;
};

// ---- the judges -------------------------------------------------------------------------------

/// A mount that is undone when the object goes.
struct Mount {
    Mount(const std::string& source, const std::string& target, const char* type,
          unsigned long flags, const char* options = nullptr)
        : target_(target) {
        if (mount(source.c_str(), target.c_str(), type, flags, options) != 0) {
            throw std::runtime_error("mount " + target + ": " + std::strerror(errno));
        }
    }
    ~Mount() { umount2(target_.c_str(), MNT_DETACH); }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    std::string target_;
};

/// Whether Debian's crontab takes each text, as the daemon would store it (last line ended).
/// A few checks run at once; each takes a few milliseconds.
std::vector<bool> debian_takes(const std::vector<std::string>& texts, const std::string& dir) {
    std::vector<bool> taken(texts.size());
    std::map<pid_t, std::size_t> running;
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    const auto settle_one = [&] {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) throw std::runtime_error("waitpid failed");
        taken[running.at(pid)] = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        running.erase(pid);
    };
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::string text = texts[i];
        if (text.back() != '\n') text += '\n';
        const std::string file = dir + "/" + std::to_string(i);
        TestSupport::write_file(file, text);
        std::vector<std::string> args = {"crontab", "-n", "-u", "root", file};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        char locale[] = "LC_ALL=C";
        char* envp[] = {locale, nullptr};
        if (running.size() == 4) settle_one();
        pid_t pid = -1;
        if (posix_spawn(&pid, DEBIAN_CRONTAB, &quiet, nullptr, argv.data(), envp) != 0) {
            throw std::runtime_error("cannot start Debian's crontab");
        }
        running[pid] = i;
    }
    while (!running.empty()) settle_one();
    posix_spawn_file_actions_destroy(&quiet);
    return taken;
}

/// "bad minute" out of "line 3: bad minute '61' (0-59)": the kind of refusal.
std::string kind_of(const std::string& reason) {
    std::string kind = reason.substr(reason.find(": ") + 2);
    kind = kind.substr(0, kind.find_first_of("'(0123456789"));
    while (!kind.empty() && kind.back() == ' ') kind.pop_back();
    return kind;
}

std::string reason_of(const std::string& answer) {
    const std::string key = R"("statusmsg":")";
    const auto start = answer.rfind(key);
    if (start == std::string::npos) return answer;
    const auto from = start + key.size();
    return answer.substr(from, answer.rfind("\"}") - from);
}

}  // namespace

TEST(CrontabCheckAgainstDebian, RefusesAllDebianRefusesAndStoresWhatWasSent) {
    if (geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    struct stat status {};
    if (access(DEBIAN_CRONTAB, X_OK) != 0 || stat(SPOOL, &status) != 0) {
        GTEST_SKIP() << "Debian's crontab is not installed (scripts/deps.sh installs cron)";
    }
    // Before any thread starts: a process shares its mount namespace with its threads.
    ASSERT_EQ(TestSupport::enter_private_mount_namespace(), "");

    TestSupport::SandboxRoot root;
    // Memory, not disk: both sides sync every file they write. Root's alone, as the daemon
    // wants every directory above its socket.
    const Mount memory("none", root.dir(), "tmpfs", 0, "mode=0755");
    TestSupport::make_dirs(root.dir() + "/debian-spool");
    TestSupport::make_dirs(root.dir() + "/texts");
    const Mount spool(root.dir() + "/debian-spool", SPOOL, nullptr, MS_BIND);
    root.write("/etc/passwd",
               "root:x:0:0:root:/root:/bin/bash\nalice:x:1001:1001::/home/alice:/bin/penshell\n");
    root.write("/etc/group", "crontab:x:107:\n");

    std::vector<std::string> texts = hand_picked();
    const std::size_t picked = texts.size();
    Grammar grammar(SEED);
    for (int i = 0; i < RANDOM_TEXTS; ++i) {
        std::string text = grammar.text();
        if (!text.empty()) texts.push_back(text);
    }
    const std::vector<bool> debian = debian_takes(texts, root.dir() + "/texts");

    DaemonTest::ServerThread server;
    const std::string stored_path = root.path("/var/spool/cron/crontabs/alice");
    std::size_t both_take = 0, both_refuse = 0, only_debian_takes = 0;
    std::map<std::string, std::size_t> deliberate;
    std::vector<std::string> faults;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string& text = texts[i];
        const std::string shown = Tvwrapd::Printable::printable(text, 120);
        const std::string answer = server.exchange(DaemonTest::save_request(text), ALICE);
        const bool installed = answer == INSTALLED;
        if (installed && !debian[i]) {
            faults.push_back("accepted, but Debian refuses: " + shown);
        } else if (installed) {
            ++both_take;
            const std::string expected = text.back() == '\n' ? text : text + "\n";
            if (TestSupport::read_file(stored_path) != expected) {
                faults.push_back("stored otherwise than sent: " + shown);
            }
        } else if (debian[i]) {
            ++only_debian_takes;
            ++deliberate[kind_of(reason_of(answer))];
        } else {
            ++both_refuse;
        }
    }

    std::cout << texts.size() << " texts (" << picked << " hand-picked, the rest from seed " << SEED
              << ")\n  taken by both: " << both_take << "\n  refused by both: " << both_refuse
              << "\n  refused by the daemon only (deliberately): " << only_debian_takes << "\n";
    for (const auto& [kind, count] : deliberate)
        std::cout << "    " << kind << ": " << count << "\n";
    std::cout << "  faults (taken though Debian refuses, or stored altered): " << faults.size()
              << "\n";
    for (std::size_t i = 0; i < faults.size() && i < 30; ++i) ADD_FAILURE() << faults[i];
    // Both judges must have had something to say, or the comparison proves nothing.
    EXPECT_GT(both_take, 0u);
    EXPECT_GT(both_refuse, 0u);
}
