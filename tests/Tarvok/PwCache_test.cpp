#include "Tarvok/PwCache.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "PwCache/PwCacheFixture.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/PwCache/Cache.hpp"
#include "Tarvok/PwCache/Helpers.hpp"

namespace PwCache = Tarvok::PwCache;
using PwCache::UserRecord;
using TestSupport::PASSWD_TIME;
using TestSupport::SHADOW_TIME;

namespace {

using PwCacheLookup = TestSupport::PwCacheTest;

std::string pos(const UserRecord& record, std::size_t i) {
    if (i >= record.size()) return "<out of range>";
    return record[i] ? *record[i] : "<absent>";
}

const std::string passwd_time = std::to_string(PASSWD_TIME);
const std::string shadow_time = std::to_string(SHADOW_TIME);

}  // namespace

TEST_F(PwCacheLookup, UnacceptableArgumentsReadNoFile) {
    root_.write("/etc/passwd", "");
    unlink(root_.path("/etc/passwd").c_str());
    testing::internal::CaptureStderr();
    for (std::string_view uid : {"", "12a", "-1", " 0", "0 "}) {
        EXPECT_TRUE(PwCache::getpwuid(uid).empty()) << uid;
        EXPECT_FALSE(PwCache::getpwuid_name(uid)) << uid;
    }
    for (std::string_view name : {"", "a:b", "a\nb", "ro ot", "../x"}) {
        EXPECT_TRUE(PwCache::getpwnam(name).empty()) << name;
        EXPECT_FALSE(PwCache::getpwnam_uid(name)) << name;
    }
    // Nothing tried to open the (missing) password file: that would have warned.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    EXPECT_TRUE(PwCache::getpwuid_noshadow("0").empty());
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find(root_.path("/etc")), std::string::npos) << warning;
    EXPECT_NE(warning.find(std::strerror(ENOENT)), std::string::npos) << warning;
    EXPECT_TRUE(PwCache::Cache::get_cache().empty());
}

TEST_F(PwCacheLookup, RecordFromThePasswordFile) {
    const UserRecord record = PwCache::getpwuid_noshadow("100");
    EXPECT_EQ(record, (UserRecord{"hundred", "x", "100", "100", "", "", "the one", "/home/hundred",
                                  "/usr/local/bin/noshell", "-1", "-1", passwd_time, passwd_time}));
    EXPECT_EQ(PwCache::getpwuid_name("1000"), "longer");
    EXPECT_EQ(PwCache::getpwnam_uid("bygid"), "5000");
    EXPECT_EQ(PwCache::getpwnam_noshadow_uid("hundred"), "100");
    EXPECT_EQ(PwCache::getpwuid_noshadow_name("0"), "root");
    EXPECT_FALSE(PwCache::getpwuid_name("4242"));
    EXPECT_FALSE(PwCache::getpwnam_uid("ghost"));

    // An empty shell is absent, not an empty string; an empty gecos in the middle stays.
    const UserRecord noshell = PwCache::getpwnam_noshadow("noshell");
    ASSERT_EQ(noshell.size(), 13u);
    EXPECT_FALSE(noshell[8]);
    EXPECT_EQ(noshell[6], "");
}

TEST_F(PwCacheLookup, OnlyTheSuperuserGetsTheShadowFields) {
    run_as(1000);
    EXPECT_EQ(pos(PwCache::getpwuid("100"), 1), "x");
    PwCache::Cache::clear();

    run_as(0);
    EXPECT_EQ(pos(PwCache::getpwuid_noshadow("100"), 1), "x");
    EXPECT_TRUE(PwCache::Cache::is_safe());
    // The cached record lacks the password, so the files are read again.
    const UserRecord record = PwCache::getpwuid("100");
    EXPECT_EQ(record, (UserRecord{"hundred", "$6$hundredHash", "100", "100", "", "", "the one",
                                  "/home/hundred", "/usr/local/bin/noshell", "14", "19001",
                                  passwd_time, shadow_time}));
    EXPECT_FALSE(PwCache::Cache::is_safe());
    EXPECT_EQ(pos(PwCache::getpwnam("hundred"), 1), "$6$hundredHash");
    EXPECT_EQ(pos(PwCache::Cache::get_cache().at("0:hundred").contents, 1), "$6$hundredHash");
    EXPECT_EQ(PwCache::Cache::get_cache().at("2:100").hcachetime, SHADOW_TIME);

    PwCache::Cache::pwmksafecache();
    EXPECT_TRUE(PwCache::Cache::is_safe());
    EXPECT_EQ(pos(PwCache::Cache::get_cache().at("0:hundred").contents, 1), "x");
    EXPECT_EQ(pos(PwCache::Cache::get_cache().at("2:100").contents, 1), "x");

    // The single-value forms never ask for the password.
    PwCache::Cache::clear();
    EXPECT_EQ(PwCache::getpwnam_uid("hundred"), "100");
    EXPECT_EQ(pos(PwCache::Cache::get_cache().at("0:hundred").contents, 1), "x");
}

TEST_F(PwCacheLookup, MissingShadowDataLeavesThePlaceholderWithWarnings) {
    testing::internal::CaptureStderr();
    const UserRecord longer = PwCache::getpwnam("longer");
    const std::string one_warning = testing::internal::GetCapturedStderr();
    EXPECT_EQ(pos(longer, 1), "x");
    EXPECT_EQ(pos(longer, 9), "-1");
    EXPECT_EQ(pos(longer, 12), shadow_time);
    EXPECT_NE(one_warning.find("longer"), std::string::npos) << one_warning;
    EXPECT_TRUE(PwCache::Cache::get_cache().contains("0:longer"));

    unlink(root_.path("/etc/shadow").c_str());
    PwCache::Cache::clear();
    testing::internal::CaptureStderr();
    const UserRecord hundred = PwCache::getpwuid("100");
    const std::string two_warnings = testing::internal::GetCapturedStderr();
    EXPECT_EQ(pos(hundred, 1), "x");
    EXPECT_EQ(pos(hundred, 12), passwd_time);
    EXPECT_NE(two_warnings.find(std::strerror(ENOENT)), std::string::npos) << two_warnings;
    EXPECT_NE(two_warnings.find("'hundred'"), std::string::npos) << two_warnings;
    EXPECT_TRUE(PwCache::Cache::is_safe());
}

TEST_F(PwCacheLookup, ChangedPasswordFileEmptiesBothCaches) {
    EXPECT_EQ(pos(PwCache::getpwuid_noshadow("100"), 7), "/home/hundred");
    EXPECT_EQ(PwCache::gethomedir("longer"), "/home/longer");
    EXPECT_EQ(PwCache::getpwnam_uid("daemon"), "1");
    ASSERT_EQ(PwCache::Cache::get_homedir_cache().size(), 1u);

    write_passwd("hundred:x:100:100:moved:/srv/hundred:/bin/sh\n", PASSWD_TIME + 60);
    const UserRecord moved = PwCache::getpwuid_noshadow("100");
    EXPECT_EQ(pos(moved, 7), "/srv/hundred");
    EXPECT_EQ(pos(moved, 11), std::to_string(PASSWD_TIME + 60));
    EXPECT_TRUE(PwCache::Cache::get_homedir_cache().empty());
    EXPECT_FALSE(PwCache::Cache::get_cache().contains("0:daemon"));
    EXPECT_FALSE(PwCache::getpwnam_uid("daemon"));

    // A changed shadow file makes the superuser's password lookups start over too.
    EXPECT_EQ(pos(PwCache::getpwuid("100"), 1), "$6$hundredHash");
    write_shadow("hundred:$6$newHash:19500:0:99999:7:::\n", SHADOW_TIME + 60);
    EXPECT_EQ(pos(PwCache::getpwuid("100"), 1), "$6$newHash");
    write_shadow("hundred:$6$newerHash:19501:0:99999:7:::\n", SHADOW_TIME + 120);
    EXPECT_EQ(pos(PwCache::getpwuid("100"), 1), "$6$newerHash");
}

TEST_F(PwCacheLookup, FixedAccountsAreNeverCheckedAgain) {
    EXPECT_EQ(pos(PwCache::getpwnam_noshadow("root"), 7), "/root");
    write_passwd("root:x:0:0:root:/elsewhere:/bin/sh\n", PASSWD_TIME + 60);
    EXPECT_EQ(pos(PwCache::getpwnam_noshadow("root"), 7), "/root");
    EXPECT_EQ(pos(PwCache::getpwuid_noshadow("0"), 7), "/root");
    EXPECT_TRUE(PwCache::Cache::get_cache().contains("2:0"));
    // Also when the file has gone altogether.
    unlink(root_.path("/etc/passwd").c_str());
    EXPECT_EQ(PwCache::getpwuid_name("0"), "root");
}

TEST_F(PwCacheLookup, UidZeroAliasIsCachedUnderItsNameOnly) {
    EXPECT_EQ(pos(PwCache::getpwnam_noshadow("toor"), 2), "0");
    EXPECT_TRUE(PwCache::Cache::get_cache().contains("0:toor"));
    EXPECT_FALSE(PwCache::Cache::get_cache().contains("2:0"));
    EXPECT_EQ(PwCache::getpwuid_name("0"), "root");
    EXPECT_EQ(pos(PwCache::Cache::get_cache().at("2:0").contents, 0), "root");

    // Listed before root, the alias is what a lookup of uid 0 finds, as in the file; it must not
    // take root's key, which is served without looking at the file again.
    write_passwd("toor:x:0:0:alias:/root:/bin/sh\nroot:x:0:0:root:/root:/bin/bash\n",
                 PASSWD_TIME + 60);
    PwCache::Cache::clear();
    EXPECT_EQ(PwCache::getpwuid_name("0"), "toor");
    write_passwd("root:x:0:0:root:/root:/bin/bash\n", PASSWD_TIME + 120);
    EXPECT_EQ(PwCache::getpwuid_name("0"), "root");
}

TEST_F(PwCacheLookup, NonSuperuserIsServedByTheSystemWhileNscdRuns) {
    run_as(1000);
    const auto nscd = start_nscd();
    // The system's own database answers; only its shape is ours to check.
    for (const UserRecord& record : {PwCache::getpwuid("0"), PwCache::getpwnam("root")}) {
        ASSERT_EQ(record.size(), 13u);
        EXPECT_EQ(pos(record, 0), "root");
        EXPECT_EQ(pos(record, 2), "0");
        EXPECT_EQ((UserRecord(record.begin() + 9, record.end())),
                  (UserRecord{"-1", "-1", "0", "0"}));
    }
    EXPECT_EQ(PwCache::getpwuid_name("0"), "root");
    EXPECT_EQ(PwCache::getpwnam_uid("root"), "0");
    EXPECT_TRUE(PwCache::Cache::get_cache().empty());
    EXPECT_TRUE(PwCache::getpwuid("4294967296").empty());

    // A key already cached is served from the cache, with the file times.
    run_as(0);
    PwCache::getpwnam_uid("hundred");
    run_as(1000);
    EXPECT_EQ(pos(PwCache::getpwnam("hundred"), 11), passwd_time);
}

TEST_F(PwCacheLookup, NonSuperuserReadsTheFilesWithoutNscd) {
    run_as(1000);
    const UserRecord record = PwCache::getpwuid("100");
    EXPECT_EQ(pos(record, 0), "hundred");
    EXPECT_EQ(pos(record, 11), passwd_time);
    EXPECT_TRUE(PwCache::Cache::get_cache().contains("2:100"));
}

TEST_F(PwCacheLookup, HomeDirectoriesAreRememberedEvenWhenMissing) {
    run_as(100);
    EXPECT_EQ(PwCache::gethomedir(), "/home/hundred");
    EXPECT_EQ(PwCache::getusername(), "hundred");
    EXPECT_EQ(PwCache::getusername("1000"), "longer");
    EXPECT_EQ(PwCache::gethomedir("daemon"), "/usr/sbin");

    EXPECT_FALSE(PwCache::gethomedir("ghost"));
    write_passwd(std::string(TestSupport::TEST_PASSWD) + "ghost:x:7:7::/home/ghost:/bin/sh\n",
                 PASSWD_TIME);
    EXPECT_FALSE(PwCache::gethomedir("ghost"));
    PwCache::Cache::clear();
    EXPECT_EQ(PwCache::gethomedir("ghost"), "/home/ghost");
}

TEST_F(PwCacheLookup, ReplacementCacheIsTheOnlySource) {
    PwCache::Cache::CacheMap map;
    map["0:only"] = {1, 1, UserRecord{"only", "x", "77", "77", "", "", "", "/only", "/bin/sh"}};
    PwCache::Helpers::tiedto(map);
    EXPECT_TRUE(PwCache::getpwnam("hundred").empty());
    EXPECT_FALSE(PwCache::getpwuid_name("0"));
    EXPECT_EQ(PwCache::gethomedir("only"), "/only");
    EXPECT_TRUE(PwCache::Cache::get_cache().empty());

    PwCache::Helpers::deinit();
    EXPECT_EQ(PwCache::getpwnam_uid("hundred"), "100");
}

TEST_F(PwCacheLookup, ReadErrorPropagatesAndCachesNothing) {
    unlink(root_.path("/etc/passwd").c_str());
    root_.mkdirs("/etc/passwd");
    EXPECT_THROW(PwCache::getpwnam_uid("hundred"), Tarvok::Error);
    EXPECT_TRUE(PwCache::Cache::get_cache().empty());
}

TEST_F(PwCacheLookup, PasswordlessSnapshotServesEveryLookup) {
    ASSERT_TRUE(PwCache::init_passwdless_pwcache());
    EXPECT_TRUE(PwCache::Helpers::istied());
    const UserRecord hundred = PwCache::getpwuid("100");
    EXPECT_EQ(hundred,
              (UserRecord{"hundred", "x", "100", "100", "", "", "the one", "/home/hundred",
                          "/usr/local/bin/noshell", "-1", "-1", passwd_time, passwd_time}));
    EXPECT_EQ(pos(PwCache::getpwnam("nopass"), 1), "x");
    EXPECT_EQ(PwCache::getpwuid_name("0"), "root");
    EXPECT_EQ(PwCache::getpwnam_uid("toor"), "0");
    EXPECT_FALSE(PwCache::getpwnam(std::string("noshell")).at(8));
    // Later changes of the files are not seen.
    write_passwd("late:x:9:9::/late:/bin/sh\n", PASSWD_TIME + 60);
    EXPECT_FALSE(PwCache::getpwnam_uid("late"));
    EXPECT_EQ(PwCache::getpwnam_uid("longer"), "1000");

    PwCache::Helpers::deinit();
    unlink(root_.path("/etc/passwd").c_str());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(PwCache::init_passwdless_pwcache());
    EXPECT_NE(testing::internal::GetCapturedStderr().find(std::strerror(ENOENT)),
              std::string::npos);
    EXPECT_FALSE(PwCache::Helpers::istied());
}

TEST_F(PwCacheLookup, SharedNamesAndUidsAnswerAsTheFileDoes) {
    // The first line with a name or a uid is the one a lookup finds, whatever was looked up
    // before: a name that leads to another uid must not be served back as this one's.
    write_passwd(
        "jail:x:4001:4001::/a:/bin/sh\njail:x:4010:4010::/b:/bin/sh\n"
        "first:x:5000:5000::/c:/bin/sh\nsecond:x:5000:5000::/d:/bin/sh\n",
        PASSWD_TIME);
    for (bool names_first : {false, true}) {
        PwCache::Cache::clear();
        if (names_first) {
            EXPECT_EQ(PwCache::getpwnam_noshadow_uid("second"), "5000");
        }
        EXPECT_EQ(PwCache::getpwuid_noshadow_name("4010"), "jail");
        EXPECT_EQ(PwCache::getpwnam_noshadow_uid("jail"), "4001") << names_first;
        EXPECT_EQ(PwCache::getpwuid_noshadow_name("5000"), "first") << names_first;
        EXPECT_EQ(PwCache::getpwnam_noshadow_uid("second"), "5000");
    }
}

TEST_F(PwCacheLookup, RewritesWithinOneSecondAreSeen) {
    // Two rewrites within one second keep the whole-second time; what tells them apart differs.
    enum class Change { nanoseconds, size, inode };
    struct Case {
        std::string_view file, before, after;  // `after` replaces `before` in the file
        std::size_t position;
    };
    const Case files[] = {{"/etc/passwd", "the one", "the two", 6},
                          {"/etc/shadow", "$6$hundredHash", "$6$hundredHasH", 1}};
    for (const Case& c : files) {
        for (Change change : {Change::nanoseconds, Change::size, Change::inode}) {
            SCOPED_TRACE(std::string(c.file) + " " + std::to_string(static_cast<int>(change)));
            const bool passwd = c.file == "/etc/passwd";
            const std::time_t base = passwd ? PASSWD_TIME : SHADOW_TIME;
            write_passwd(TestSupport::TEST_PASSWD, PASSWD_TIME);
            write_shadow(TestSupport::TEST_SHADOW, SHADOW_TIME);
            PwCache::Cache::clear();
            ASSERT_EQ(pos(PwCache::getpwuid("100"), c.position), c.before);

            std::string text = passwd ? TestSupport::TEST_PASSWD : TestSupport::TEST_SHADOW;
            const std::string after = std::string(c.after) + (change == Change::size ? " too" : "");
            text.replace(text.find(c.before), c.before.size(), after);
            const std::string path = root_.path(c.file);
            if (change == Change::inode) {
                TestSupport::write_file(path + ".new", text, 0600);
                ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
            } else {
                TestSupport::write_file(path, text, 0600);
            }
            const timespec times[2] = {{base, 0}, {base, change == Change::nanoseconds ? 1 : 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
            EXPECT_EQ(pos(PwCache::getpwuid("100"), c.position), after);
        }
    }
}

TEST_F(PwCacheLookup, LookupsWithoutThePasswordNeverGetTheCachedOne) {
    ASSERT_EQ(pos(PwCache::getpwuid("100"), 1), "$6$hundredHash");
    ASSERT_EQ(pos(PwCache::getpwnam("root"), 1), "$6$rootHash");  // a fixed key
    EXPECT_EQ(pos(PwCache::getpwuid_noshadow("100"), 1), "x");
    EXPECT_EQ(pos(PwCache::getpwnam_noshadow("hundred"), 1), "x");
    EXPECT_EQ(pos(PwCache::getpwuid_noshadow("0"), 1), "x");
    run_as(1000);
    EXPECT_EQ(pos(PwCache::getpwuid("100"), 1), "x");
    // The lookup that wants it still gets it.
    run_as(0);
    EXPECT_EQ(pos(PwCache::getpwnam("hundred"), 1), "$6$hundredHash");
}
