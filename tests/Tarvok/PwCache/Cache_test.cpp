#include "Tarvok/PwCache/Cache.hpp"

#include <gtest/gtest.h>

#include "PwCacheFixture.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/PwCache/Helpers.hpp"

namespace Cache = Tarvok::PwCache::Cache;
namespace Helpers = Tarvok::PwCache::Helpers;
using Tarvok::PwCache::UserRecord;

namespace {

Cache::CacheEntry entry(std::string name, std::string password) {
    return {1, 2, UserRecord{std::move(name), std::move(password), "5", "5"}};
}

}  // namespace

TEST(PwCacheCache, ReplaceRemoveAndClear) {
    TestSupport::reset_account_state();
    Cache::replace({{"0:a", entry("a", "$6$a")}, {"0:b", entry("b", "x")}});
    Cache::get_homedir_cache()["a"] = "/home/a";
    Cache::set_pwcache_inited(true);

    const auto removed = Cache::remove_key("0:a");
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->contents.at(1), "$6$a");
    EXPECT_FALSE(Cache::remove_key("0:a"));
    EXPECT_EQ(Cache::get_cache().size(), 1u);

    Cache::clear();
    EXPECT_TRUE(Cache::get_cache().empty());
    EXPECT_TRUE(Cache::get_homedir_cache().empty());
    EXPECT_FALSE(Cache::pwcache_inited());
}

TEST(PwCacheCache, MakingTheCacheSafeScrubsEveryPassword) {
    TestSupport::reset_account_state();
    Cache::replace({{"0:a", entry("a", "$6$a")}, {"2:5", entry("a", "$6$a")}});
    // Marked safe: nothing is touched.
    Cache::pwmksafecache();
    EXPECT_EQ(Cache::get_cache().at("0:a").contents.at(1), "$6$a");

    EXPECT_FALSE(Cache::is_safe(false));
    Cache::pwmksafecache();
    EXPECT_TRUE(Cache::is_safe());
    for (const auto& [key, cached] : Cache::get_cache()) EXPECT_EQ(cached.contents.at(1), "x");
    TestSupport::reset_account_state();
}

TEST(PwCacheHelpers, ReplacementCacheAndFlags) {
    TestSupport::reset_account_state();
    EXPECT_FALSE(Helpers::istied());
    EXPECT_EQ(Helpers::tiedto(), nullptr);
    Helpers::init({{"0:a", entry("a", "x")}}, true);
    EXPECT_TRUE(Helpers::istied());
    EXPECT_TRUE(Helpers::skip_uid_cache());
    ASSERT_NE(Helpers::tiedto(), nullptr);
    EXPECT_TRUE(Helpers::tiedto()->contains("0:a"));
    Helpers::deinit();
    EXPECT_EQ(Helpers::tiedto(), nullptr);
    Helpers::uid_cache();
    EXPECT_FALSE(Helpers::skip_uid_cache());
    EXPECT_EQ(Helpers::default_conf_dir(), "/etc");
}

TEST(PwCacheHelpers, WarningsCarryACallTraceAndKeepErrno) {
    testing::internal::CaptureStderr();
    errno = ENOENT;
    Helpers::cluck("something odd");
    EXPECT_EQ(errno, ENOENT);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(text.rfind("something odd\n", 0), 0u) << text;
    EXPECT_NE(text.find("\tcalled from "), std::string::npos) << text;

    try {
        Helpers::confess("fatal oddity");
        FAIL() << "nothing raised";
    } catch (const Tarvok::Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("fatal oddity\n", 0), 0u);
    }
}
