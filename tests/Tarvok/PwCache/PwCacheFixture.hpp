// A sandbox root with small account files, and every piece of the account lookups' process-wide
// state put back to its start before and after each test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <ctime>
#include <string>

#include "Tarvok/NSCD/Check.hpp"
#include "Tarvok/PwCache.hpp"
#include "Tarvok/PwCache/Cache.hpp"
#include "Tarvok/PwCache/Helpers.hpp"
#include "Tarvok/UniqueFd.hpp"
#include "support/SandboxRoot.hpp"

namespace TestSupport {

inline constexpr const char* TEST_PASSWD =
    "root:x:0:0:root:/root:/bin/bash\n"
    "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
    "toor:x:0:0:uid 0 alias:/root:/bin/sh\n"
    "bygid:x:5000:100:gid is 100:/home/bygid:/bin/sh\n"
    "longer:x:1000:1000:uid 1000:/home/longer:/bin/sh\n"
    "hundred:x:100:100:the one:/home/hundred:/usr/local/bin/noshell\n"
    "noshell:x:1001:1001::/home/noshell:\n"
    "nopass:*:1002:1002:locked:/home/nopass:/bin/sh\n";

inline constexpr const char* TEST_SHADOW =
    "root:$6$rootHash:19000:0:99999:7:::\n"
    "hundred:$6$hundredHash:19001:0:99999:14:::\n";

inline constexpr std::time_t PASSWD_TIME = 1600000000;
inline constexpr std::time_t SHADOW_TIME = 1600000500;

inline void reset_account_state() {
    Tarvok::PwCache::Cache::clear();
    Tarvok::PwCache::Cache::is_safe(true);
    Tarvok::PwCache::Helpers::deinit();
    Tarvok::PwCache::Helpers::uid_cache();
    Tarvok::PwCache::set_effective_uid_source({});
    Tarvok::NSCD::Check::set_clock({});
    Tarvok::NSCD::Check::reset();
}

class PwCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_account_state();
        write_passwd(TEST_PASSWD, PASSWD_TIME);
        write_shadow(TEST_SHADOW, SHADOW_TIME);
        run_as(0);
    }
    void TearDown() override { reset_account_state(); }

    void run_as(uid_t euid) {
        Tarvok::PwCache::set_effective_uid_source([euid] { return euid; });
    }
    void write_passwd(std::string_view text, std::time_t mtime) {
        write_account_file("/etc/passwd", text, mtime);
    }
    void write_shadow(std::string_view text, std::time_t mtime) {
        write_account_file("/etc/shadow", text, mtime, 0600);
    }
    void write_account_file(std::string_view absolute, std::string_view text, std::time_t mtime,
                            mode_t mode = 0644) {
        root_.write(absolute, text, mode);
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        utimensat(AT_FDCWD, root_.path(absolute).c_str(), times, 0);
    }
    // Makes nscd "run": a listening socket where the probe connects.
    Tarvok::UniqueFd start_nscd() {
        root_.mkdirs("/var/run/nscd");
        const std::string path = root_.path("/var/run/nscd/socket");
        Tarvok::UniqueFd fd(socket(PF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = PF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(fd.get(), 8), 0);
        return fd;
    }

    SandboxRoot root_;
};

}  // namespace TestSupport
