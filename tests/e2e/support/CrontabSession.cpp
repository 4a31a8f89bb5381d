#include "e2e/support/CrontabSession.hpp"

#include <sys/stat.h>

#include <stdexcept>

namespace E2E {

CrontabSession::CrontabSession() {
    root.mkdirs("/home/jail");
}

TestSupport::RunResult CrontabSession::run(const Args& args, std::string_view input,
                                           std::vector<std::string> extra_env,
                                           std::string_view invocation) const {
    return root.run_as(JAIL_UID, INSTALLED, args, input, std::move(extra_env), invocation);
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
