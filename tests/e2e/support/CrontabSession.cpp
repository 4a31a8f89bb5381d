#include "e2e/support/CrontabSession.hpp"

#include <sys/stat.h>

#include <stdexcept>

namespace E2E {

CrontabSession::CrontabSession() {
    root.write("/etc/passwd",
               "root:x:0:0:root:/root:/bin/bash\n"
               "jail:x:4001:4001:restricted:/home/jail:/usr/local/tarvok/bin/noshell\n"
               "plain:x:4002:4002:ordinary:/home/plain:/bin/bash\n");
    root.write("/etc/shadow",
               "root:*:19000:0:99999:7:::\njail:!:19000::::::\nplain:!:19000::::::\n", 0640);
    root.mkdirs("/home/jail");
    // Installed inside the root, so that jail can start it wherever the build directory lies.
    root.write(INSTALLED,
               TestSupport::read_file(TestSupport::built("sandbox/bin/pen_safe_crontab")), 0755);
}

TestSupport::RunResult CrontabSession::run(const Args& args, std::string_view input,
                                           std::vector<std::string> extra_env,
                                           std::string_view invocation) const {
    Args argv{root.path(INSTALLED)};
    argv.insert(argv.end(), args.begin(), args.end());
    extra_env.push_back("TARVOK_SANDBOX_ROOT=" + root.dir());
    extra_env.push_back("PATH=/usr/bin:/bin");
    return TestSupport::run(argv, extra_env, input, std::string(invocation),
                            TestSupport::RunAs{JAIL_UID, JAIL_UID});
}

std::string CrontabSession::jail_file(std::string_view absolute, std::string_view content,
                                      mode_t mode) const {
    root.write(absolute, content, mode);
    return root.path(absolute);
}

std::string CrontabSession::stored() const {
    struct stat status {};
    if (lstat(root.path(JAIL_SPOOL).c_str(), &status) != 0) return {};
    return TestSupport::read_file(root.path(JAIL_SPOOL));
}

std::unique_ptr<TestSupport::FakeDaemon> scripted_daemon(std::string fetch_answer,
                                                         std::string save_answer) {
    auto daemon = std::make_unique<TestSupport::FakeDaemon>(
        [fetch_answer, save_answer](TestSupport::FakeDaemon& self, int connection) {
            const std::string request = self.read_request(connection);
            self.send_all(connection, asks_for(request, "save") ? save_answer : fetch_answer);
        });
    // The front end runs as jail, and connecting takes write permission on the socket.
    if (chmod(daemon->socket_path().c_str(), 0666) != 0) {
        throw std::runtime_error("cannot open up " + daemon->socket_path());
    }
    return daemon;
}

std::string fetch_answer(std::string_view crontab_json) {
    return R"({"status":1,"statusmsg":"OK","data":{"crontab":)" + std::string(crontab_json) +
           R"(,"denied":0}})";
}

bool asks_for(std::string_view request, std::string_view function) {
    return request.find("\"function\":\"" + std::string(function) + "\"") != std::string::npos;
}

}  // namespace E2E
