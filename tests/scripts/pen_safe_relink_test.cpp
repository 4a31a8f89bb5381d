// Runs the administrator's relinking tool (as installed, with --root) against sandbox roots that
// hold a stand-in system crontab, an empty dpkg database and the sandbox build of the front end,
// then runs the front end through the link as the accounts that will meet it.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>

#include "support/HostingRoot.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using TestSupport::RunResult;
using Args = std::vector<std::string>;

constexpr std::string_view kFrontend = TARVOK_FRONTEND_INSTALLED;
const std::string_view kStandIn = TestSupport::STAND_IN_CRONTAB;
// What an installed front end's link says: /usr/bin is two levels below the root.
const std::string kOurLinkText = "../.." + std::string(kFrontend);

// One directory entry as far as the tool may change it.
struct Entry {
    mode_t mode = 0;
    ino_t inode = 0;
    std::string link_text;  ///< symbolic links
    std::string content;    ///< regular files
    bool operator==(const Entry&) const = default;
};
using Listing = std::map<std::string, Entry>;

void PrintTo(const Entry& e, std::ostream* os) {
    *os << std::oct << e.mode << std::dec << " ino " << e.inode;
    if (!e.link_text.empty()) *os << " -> " << e.link_text;
}

// A hosting server's root before relinking: a stand-in system crontab (setgid, as Debian ships
// it), an empty dpkg database and the front end installed where the tool expects it.
class RelinkSandbox {
  public:
    RelinkSandbox() {
        root.install_stand_in_crontab(02755);
        root.mkdirs("/var/lib/dpkg");
    }

    // dpkg's diversion of /usr/bin/crontab in this root ("LOCAL /usr/bin/crontab.penorig.N"),
    // "" when there is none.
    std::string diversion() const {
        auto line = [&](const char* query) {
            std::string out = divert({query, "/usr/bin/crontab"}).out;
            if (!out.empty() && out.back() == '\n') out.pop_back();
            return out;
        };
        const std::string owner = line("--listpackage");
        return owner.empty() ? "" : owner + " " + line("--truename");
    }

    RunResult divert(const Args& args) const {
        Args argv{"/usr/bin/dpkg-divert", "--root", root.dir()};
        argv.insert(argv.end(), args.begin(), args.end());
        return TestSupport::run(argv, {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
    }

    RunResult tool(const Args& args) const {
        Args argv{"/bin/bash", TestSupport::built("scripts/pen-safe-relink"), "--root", root.dir()};
        argv.insert(argv.end(), args.begin(), args.end());
        return TestSupport::run(argv, {"PATH=/usr/bin:/bin"});
    }

    // Runs /usr/bin/crontab of the root the way an account types "crontab ...".
    RunResult crontab_as(uid_t uid, const Args& args) const {
        return root.run_as(uid, "/usr/bin/crontab", args);
    }

    Listing listing(std::string_view dir = "/usr/bin") const {
        Listing entries;
        const std::string path = root.path(dir);
        DIR* d = opendir(path.c_str());
        if (d == nullptr) return entries;
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string full = path + "/" + name;
            struct stat st {};
            if (lstat(full.c_str(), &st) != 0) continue;
            Entry entry{st.st_mode, st.st_ino, {}, {}};
            if (S_ISLNK(st.st_mode)) {
                char text[4096];
                const ssize_t n = readlink(full.c_str(), text, sizeof text);
                entry.link_text.assign(text, n > 0 ? static_cast<size_t>(n) : 0);
            } else if (S_ISREG(st.st_mode)) {
                entry.content = TestSupport::read_file(full);
            }
            entries[name] = entry;
        }
        closedir(d);
        return entries;
    }

    // Everything the tool could touch: /usr/bin, the front end's directory, dpkg's database.
    std::vector<Listing> state() const {
        const std::string frontend_dir(kFrontend.substr(0, kFrontend.rfind('/')));
        return {listing(), listing(frontend_dir), listing("/var/lib/dpkg")};
    }

    void link_crontab_to(const std::string& text) const {
        unlink(root.path("/usr/bin/crontab").c_str());
        ASSERT_EQ(symlink(text.c_str(), root.path("/usr/bin/crontab").c_str()), 0);
    }

    TestSupport::HostingRoot root{"", kFrontend};
};

// The one renamed copy in /usr/bin; fails the test when there is not exactly one.
std::string only_copy(const Listing& bin) {
    std::vector<std::string> copies;
    for (const auto& [name, entry] : bin) {
        if (name != "crontab") copies.push_back(name);
    }
    EXPECT_EQ(copies.size(), 1u) << ::testing::PrintToString(bin);
    return copies.empty() ? std::string() : copies.front();
}

TEST(PenSafeRelink, RelinkedCrontabHandsOrdinaryAccountsOverAndRevertRestoresTheOriginal) {
    RelinkSandbox box;
    const Entry original = box.listing().at("crontab");

    const RunResult relinked = box.tool({});
    ASSERT_EQ(relinked.status, 0) << relinked.out << relinked.err;
    EXPECT_EQ(relinked.err, "");

    const Listing bin = box.listing();
    ASSERT_EQ(bin.size(), 2u) << "a temporary link was left behind";
    EXPECT_TRUE(S_ISLNK(bin.at("crontab").mode));
    EXPECT_EQ(bin.at("crontab").link_text, kOurLinkText);
    const std::string copy = only_copy(bin);
    EXPECT_THAT(copy, MatchesRegex("crontab\\.penorig\\.[0-9]+"));
    EXPECT_EQ(bin.at(copy), original) << "the real binary must keep its inode, mode and bytes";
    EXPECT_EQ(box.diversion(), "LOCAL /usr/bin/" + copy) << "cron upgrades must go to the copy";

    // An ordinary account reaches the real binary through the link, with its arguments as given.
    const Args args{"-l", "with space", "", "-e"};
    const RunResult ordinary = box.crontab_as(TestSupport::PLAIN_UID, args);
    EXPECT_EQ(ordinary.out, TestSupport::stand_in_output(box.root.path("/usr/bin/" + copy), args));
    EXPECT_EQ(ordinary.err, "");
    EXPECT_EQ(ordinary.status, 42);

    // A restricted account reaches the front end and never the real binary.
    const RunResult restricted = box.crontab_as(TestSupport::JAIL_UID, {"-l"});
    EXPECT_EQ(restricted.status, 1);
    EXPECT_THAT(restricted.out, Not(HasSubstr(TestSupport::STAND_IN_MARK)));

    const RunResult reverted = box.tool({"--revert"});
    ASSERT_EQ(reverted.status, 0) << reverted.out << reverted.err;
    EXPECT_EQ(reverted.err, "");
    const Listing after = box.listing();
    ASSERT_EQ(after.size(), 1u) << ::testing::PrintToString(after);
    EXPECT_EQ(after.at("crontab"), original);
    EXPECT_EQ(after.at("crontab").mode & 07777, 02755u);
    EXPECT_EQ(box.diversion(), "");

    const RunResult direct = box.crontab_as(TestSupport::PLAIN_UID, {"-r"});
    EXPECT_EQ(direct.out, TestSupport::stand_in_output(box.root.path("/usr/bin/crontab"), {"-r"}));
}

TEST(PenSafeRelink, ASecondRunChangesNothingAndSaysSo) {
    RelinkSandbox box;
    EXPECT_EQ(box.tool({"--status"}).status, 3);

    ASSERT_EQ(box.tool({}).status, 0);
    const auto relinked = box.state();
    const RunResult again = box.tool({});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("nothing changed"));
    EXPECT_EQ(box.state(), relinked);
    const RunResult status = box.tool({"--status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_THAT(status.out, HasSubstr(only_copy(relinked[0])));
    EXPECT_EQ(box.state(), relinked);

    ASSERT_EQ(box.tool({"--revert"}).status, 0);
    const auto reverted = box.state();
    const RunResult revert_again = box.tool({"--revert"});
    EXPECT_EQ(revert_again.status, 0) << revert_again.err;
    EXPECT_THAT(revert_again.out, HasSubstr("nothing changed"));
    EXPECT_EQ(box.state(), reverted);
    EXPECT_EQ(box.tool({"--status"}).status, 3);
}

struct Refusal {
    const char* what;
    Args args;
    std::function<void(const RelinkSandbox&)> arrange;
};

TEST(PenSafeRelink, RefusesWhatItDoesNotRecogniseAndChangesNothing) {
    auto write_bin = [](const char* name, std::string_view content, mode_t mode = 0755) {
        return [=](const RelinkSandbox& box) {
            box.root.write(std::string("/usr/bin/") + name, content, mode);
        };
    };
    const std::vector<Refusal> refusals{
        {"a link to another program",
         {},
         [](const RelinkSandbox& box) { box.link_crontab_to("/usr/lib/other-cron/crontab"); }},
        {"a directory",
         {},
         [](const RelinkSandbox& box) {
             unlink(box.root.path("/usr/bin/crontab").c_str());
             box.root.mkdirs("/usr/bin/crontab");
         }},
        {"missing",
         {},
         [](const RelinkSandbox& box) { unlink(box.root.path("/usr/bin/crontab").c_str()); }},
        {"not executable",
         {},
         [](const RelinkSandbox& box) { chmod(box.root.path("/usr/bin/crontab").c_str(), 0644); }},
        {"another diversion of the system crontab",
         {},
         [](const RelinkSandbox& box) {
             box.divert({"--local", "--no-rename", "--divert", "/usr/bin/crontab.real", "--add",
                         "/usr/bin/crontab"});
         }},
        {"another package's diversion to a renamed-copy name",
         {},
         [](const RelinkSandbox& box) {
             box.divert({"--package", "cron-extra", "--no-rename", "--divert",
                         "/usr/bin/crontab.penorig.5", "--add", "/usr/bin/crontab"});
         }},
        {"another package's diversion, its file in place beside our link",
         {},
         [](const RelinkSandbox& box) {
             ASSERT_EQ(rename(box.root.path("/usr/bin/crontab").c_str(),
                              box.root.path("/usr/bin/crontab.penorig.5").c_str()),
                       0);
             box.link_crontab_to(kOurLinkText);
             box.divert({"--package", "cron-extra", "--no-rename", "--divert",
                         "/usr/bin/crontab.penorig.5", "--add", "/usr/bin/crontab"});
         }},
        {"two renamed copies with the same number beside a real crontab",
         {},
         [](const RelinkSandbox& box) {
             box.root.write("/usr/bin/crontab.penorig.5", kStandIn, 0755);
             box.root.write("/usr/bin/crontab.penorig-old.5", kStandIn, 0755);
         }},
        {"our link without a renamed copy",
         {},
         [](const RelinkSandbox& box) { box.link_crontab_to(kOurLinkText); }},
        {"a link to another front end",
         {},
         [](const RelinkSandbox& box) {
             box.root.write("/opt/other/pen_safe_crontab", kStandIn, 0755);
             box.link_crontab_to("/opt/other/pen_safe_crontab");
             box.root.write("/usr/bin/crontab.penorig.5", kStandIn, 0755);
         }},
        {"no front end installed",
         {},
         [](const RelinkSandbox& box) { unlink(box.root.path(kFrontend).c_str()); }},
        {"a front end other accounts cannot run",
         {},
         [](const RelinkSandbox& box) { chmod(box.root.path(kFrontend).c_str(), 0750); }},
        {"a front end that fails its self-check",
         {},
         [](const RelinkSandbox& box) {
             box.root.write(kFrontend, "#!/bin/sh\necho 'wrong C library'\nexit 1\n", 0755);
         }},
        {"a front end path the front end would not recognise",
         {"--frontend", "/usr/bin/crontab"},
         [](const RelinkSandbox&) {}},
        {"a relative front end path",
         {"--frontend", "usr/local/tarvok/bin/pen_safe_crontab"},
         [](const RelinkSandbox&) {}},
        {"revert: a link to another program",
         {"--revert"},
         [](const RelinkSandbox& box) {
             box.link_crontab_to("/usr/lib/other-cron/crontab");
             box.root.write("/usr/bin/crontab.penorig.5", kStandIn, 0755);
         }},
        {"revert: missing crontab",
         {"--revert"},
         [](const RelinkSandbox& box) {
             ASSERT_EQ(rename(box.root.path("/usr/bin/crontab").c_str(),
                              box.root.path("/usr/bin/crontab.penorig.5").c_str()),
                       0);
         }},
        {"revert: another diversion of the system crontab",
         {"--revert"},
         [](const RelinkSandbox& box) {
             box.link_crontab_to(kOurLinkText);
             box.root.write("/usr/bin/crontab.penorig.5", kStandIn, 0755);
             box.divert({"--package", "cron-extra", "--no-rename", "--divert",
                         "/usr/bin/crontab.penorig.5", "--add", "/usr/bin/crontab"});
         }},
        {"revert: our link without a renamed copy",
         {"--revert"},
         [](const RelinkSandbox& box) { box.link_crontab_to(kOurLinkText); }},
        {"revert: a real crontab beside a renamed copy",
         {"--revert"},
         write_bin("crontab.penorig.5", kStandIn)},
        {"revert: two copies with the same number",
         {"--revert"},
         [](const RelinkSandbox& box) {
             box.link_crontab_to(kOurLinkText);
             box.root.write("/usr/bin/crontab.penorig.7", kStandIn, 0755);
             box.root.write("/usr/bin/crontab.penorig-old.7", kStandIn, 0755);
         }},
        {"revert: a renamed copy that is not executable",
         {"--revert"},
         [](const RelinkSandbox& box) {
             box.link_crontab_to(kOurLinkText);
             box.root.write("/usr/bin/crontab.penorig.9", kStandIn, 0644);
         }},
    };
    for (const Refusal& refusal : refusals) {
        RelinkSandbox box;
        refusal.arrange(box);
        const auto before = box.state();
        const RunResult r = box.tool(refusal.args);
        EXPECT_EQ(r.status, 1) << refusal.what << "\n" << r.out << r.err;
        EXPECT_THAT(r.err, HasSubstr("nothing was changed")) << refusal.what;
        EXPECT_EQ(box.state(), before) << refusal.what;
    }
}

TEST(PenSafeRelink, CompletesARelinkThatStoppedAfterTheSecondName) {
    RelinkSandbox box;
    const Entry original = box.listing().at("crontab");
    ASSERT_EQ(link(box.root.path("/usr/bin/crontab").c_str(),
                   box.root.path("/usr/bin/crontab.penorig.77").c_str()),
              0);

    const RunResult r = box.tool({});
    EXPECT_EQ(r.status, 0) << r.err;
    const Listing bin = box.listing();
    EXPECT_EQ(bin.at("crontab").link_text, kOurLinkText);
    EXPECT_EQ(only_copy(bin), "crontab.penorig.77");
    EXPECT_EQ(bin.at("crontab.penorig.77").inode, original.inode);
    EXPECT_EQ(box.diversion(), "LOCAL /usr/bin/crontab.penorig.77");
}

struct Repair {
    const char* what;
    std::function<void(const RelinkSandbox&)> arrange;
    const char* copy;     ///< the renamed copy after the repair
    std::string content;  ///< of that copy: the newest system crontab
};

// What an older version of this tool left (no diversion), what a cron upgrade makes of that, and a
// relink that stopped after recording the diversion: --status says so and how to repair it, and a
// plain run repairs it, keeping the newest system crontab behind the link.
TEST(PenSafeRelink, RepairsRelinksLeftByOlderVersionsAndCronUpgrades) {
    const std::string upgraded = "#!/bin/sh\necho upgraded\n";
    const std::vector<Repair> repairs{
        {"relinked without a diversion",
         [](const RelinkSandbox& box) {
             ASSERT_EQ(rename(box.root.path("/usr/bin/crontab").c_str(),
                              box.root.path("/usr/bin/crontab.penorig.5").c_str()),
                       0);
             box.link_crontab_to(kOurLinkText);
         },
         "crontab.penorig.5", std::string(kStandIn)},
        {"a cron upgrade over a relink without a diversion",
         [&](const RelinkSandbox& box) {
             box.root.write("/usr/bin/crontab.penorig.5", kStandIn, 0755);
             box.root.write("/usr/bin/crontab.penorig.3", kStandIn, 0755);
             box.root.write("/usr/bin/crontab", upgraded, 02755);
         },
         "crontab.penorig.5", upgraded},
        {"stopped after recording the diversion",
         [](const RelinkSandbox& box) {
             box.divert({"--local", "--no-rename", "--divert", "/usr/bin/crontab.penorig.6",
                         "--add", "/usr/bin/crontab"});
         },
         "crontab.penorig.6", std::string(kStandIn)},
    };
    for (const Repair& repair : repairs) {
        RelinkSandbox box;
        repair.arrange(box);
        const RunResult status = box.tool({"--status"});
        EXPECT_EQ(status.status, 1) << repair.what;
        EXPECT_THAT(status.out, HasSubstr("repair: run 'pen-safe-relink'")) << repair.what;

        const RunResult r = box.tool({});
        EXPECT_EQ(r.status, 0) << repair.what << "\n" << r.out << r.err;
        const Listing bin = box.listing();
        EXPECT_EQ(bin.at("crontab").link_text, kOurLinkText) << repair.what;
        ASSERT_EQ(bin.count(repair.copy), 1u) << repair.what;
        EXPECT_EQ(bin.at(repair.copy).content, repair.content) << repair.what;
        EXPECT_EQ(box.diversion(), "LOCAL /usr/bin/" + std::string(repair.copy)) << repair.what;
        EXPECT_EQ(box.tool({"--status"}).status, 0) << repair.what;
    }
}

TEST(PenSafeRelink, RevertPutsBackTheCopyTheFrontEndHandsOverTo) {
    RelinkSandbox box;
    box.link_crontab_to(kOurLinkText);
    box.root.write("/usr/bin/crontab.penorig.20", "#!/bin/sh\necho twenty\n", 0755);
    box.root.write("/usr/bin/crontab.penorig.100", "#!/bin/sh\necho hundred\n", 0755);

    // Numbers compare as numbers: 100 is the later relink.
    const RunResult used = box.crontab_as(TestSupport::PLAIN_UID, {});
    EXPECT_EQ(used.out, "hundred\n");

    const RunResult r = box.tool({"--revert"});
    EXPECT_EQ(r.status, 0) << r.err;
    const Listing bin = box.listing();
    EXPECT_EQ(bin.at("crontab").content, "#!/bin/sh\necho hundred\n");
    EXPECT_EQ(bin.count("crontab.penorig.100"), 0u);
    EXPECT_EQ(bin.count("crontab.penorig.20"), 1u);
    EXPECT_THAT(r.err, HasSubstr("crontab.penorig.20"));
}

TEST(PenSafeRelink, BadArgumentsAndMissingRootRights) {
    RelinkSandbox box;
    const auto before = box.state();

    const RunResult unknown = box.tool({"--frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_THAT(unknown.err, HasSubstr("--frobnicate"));
    EXPECT_THAT(unknown.err, HasSubstr("usage:"));
    EXPECT_EQ(box.tool({"--frontend"}).status, 2);

    for (const std::string& bad_root : {std::string("relative/dir"), box.root.path("/missing")}) {
        const RunResult r = TestSupport::run(
            {"/bin/bash", TestSupport::built("scripts/pen-safe-relink"), "--root", bad_root},
            {"PATH=/usr/bin:/bin"});
        EXPECT_EQ(r.status, 1) << bad_root;
        EXPECT_THAT(r.err, HasSubstr(bad_root));
    }

    // Without --root the tool would act on the real /usr/bin: only root may do that, and an
    // ordinary account is stopped before anything is looked at.
    box.root.write("/usr/local/sbin/pen-safe-relink",
                   TestSupport::read_file(TestSupport::built("scripts/pen-safe-relink")), 0755);
    const RunResult not_root = TestSupport::run(
        {"/bin/bash", box.root.path("/usr/local/sbin/pen-safe-relink")}, {"PATH=/usr/bin:/bin"}, {},
        {}, TestSupport::RunAs{TestSupport::PLAIN_UID, TestSupport::PLAIN_UID});
    EXPECT_EQ(not_root.status, 1);
    EXPECT_THAT(not_root.err, HasSubstr("root"));

    const RunResult help = box.tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr(std::string(kFrontend)));
    const RunResult version = box.tool({"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out, "pen-safe-relink " TARVOK_VERSION "\n");
    EXPECT_EQ(box.listing(), before[0]);
}

}  // namespace
