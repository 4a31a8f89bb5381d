// A restricted hosting account's crontab session in a sandbox root (a HostingRoot): runs of the
// front end as jail, a real other uid, so that a daemon sees that uid on the connection.
//
// With the reference daemon:
//
//     CrontabSession session;
//     DaemonTest::DaemonProcess daemon(session.root);
//     ASSERT_TRUE(daemon.wait_until_serving());
//     EXPECT_EQ(session.run({"-l"}).out, "");
//
// With a scripted stand-in (ScriptedDaemon): fetch and save answers chosen by the test, every
// request recorded.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/FakeDaemon.hpp"
#include "support/HostingRoot.hpp"

namespace E2E {

using Args = std::vector<std::string>;

inline constexpr uid_t JAIL_UID = TestSupport::JAIL_UID;
inline constexpr std::string_view JAIL = "jail";
/// The name the front end is started as; messages begin with it.
inline constexpr std::string_view INVOCATION = "crontab";
/// Where the front end lies inside the root.
inline constexpr std::string_view INSTALLED = TestSupport::FRONTEND;
/// Where jail's crontab lies inside the root.
inline constexpr std::string_view JAIL_SPOOL = "/var/spool/cron/crontabs/jail";

class CrontabSession {
  public:
    CrontabSession();

    /// Runs the front end as jail with `args`, `input` on standard input and a clean
    /// environment (plus `extra_env`).
    TestSupport::RunResult run(const Args& args, std::string_view input = {},
                               std::vector<std::string> extra_env = {},
                               std::string_view invocation = INVOCATION) const;

    /// Writes a file that jail can read, at the system path `absolute` of the root; the path of
    /// the file as the front end sees it comes back.
    std::string jail_file(std::string_view absolute, std::string_view content,
                          mode_t mode = 0644) const;

    /// jail's stored crontab; "" when there is none.
    std::string stored() const;

    TestSupport::HostingRoot root;
};

/// A stand-in daemon at the root's socket that answers every fetch with `fetch_answer` and
/// every save with `save_answer`, and that every account can connect to.
std::unique_ptr<TestSupport::FakeDaemon> scripted_daemon(std::string fetch_answer,
                                                         std::string save_answer);

/// The fetch answer for `crontab` (raw JSON text of the string, quotes included).
std::string fetch_answer(std::string_view crontab_json);
/// The answer of a daemon that installed the text.
inline constexpr std::string_view SAVED =
    R"({"status":1,"statusmsg":"OK","data":{"status":1,"statusmsg":""}})";

/// True when `request` (as recorded by the stand-in) asks for `function`.
bool asks_for(std::string_view request, std::string_view function);

}  // namespace E2E
