#include "support/HostingRoot.hpp"

#include <sstream>

namespace TestSupport {

const std::string_view STAND_IN_CRONTAB =
    "#!/bin/sh\n"
    "echo 'stand-in crontab ran'\n"
    "printf '%s\\n' \"$0\" \"$@\"\n"
    "exit 42\n";

HostingRoot::HostingRoot(std::string_view more_accounts, std::string_view frontend) {
    const std::string passwd =
        "root:x:0:0:root:/root:/bin/bash\n"
        "jail:x:4001:4001::/home/jail:/usr/local/tarvok/bin/noshell\n"
        "plain:x:4002:4002::/home/plain:/bin/bash\n" +
        std::string(more_accounts);
    std::string shadow = "root:*:19000:0:99999:7:::\n";
    std::istringstream lines(passwd);
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(0, line.find(':'));
        if (name != "root") shadow += name + ":!:19000::::::\n";
    }
    write("/etc/passwd", passwd);
    write("/etc/shadow", shadow, 0640);
    write(frontend, read_file(built("sandbox/bin/pen_safe_crontab")), 0755);
}

RunResult HostingRoot::run_as(uid_t uid, std::string_view program,
                              const std::vector<std::string>& args, std::string_view input,
                              std::vector<std::string> extra_env,
                              std::string_view invocation) const {
    std::vector<std::string> argv{path(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    extra_env.push_back("TARVOK_SANDBOX_ROOT=" + dir());
    extra_env.push_back("PATH=/usr/bin:/bin");
    return run(argv, extra_env, input, std::string(invocation), RunAs{uid, uid});
}

void HostingRoot::install_stand_in_crontab(mode_t mode) const {
    write("/usr/bin/crontab", STAND_IN_CRONTAB, mode);
}

void HostingRoot::place_jail_home_inside_root() const {
    std::string passwd = read_file(path("/etc/passwd"));
    const std::string home = ":/home/jail:";
    passwd.replace(passwd.find(home), home.size(), ":" + path("/home/jail") + ":");
    write("/etc/passwd", passwd);
}

std::string stand_in_output(const std::string& path, const std::vector<std::string>& args) {
    std::string out = std::string(STAND_IN_MARK) + "\n" + path + "\n";
    for (const auto& arg : args) out += arg + "\n";
    return out;
}

}  // namespace TestSupport
