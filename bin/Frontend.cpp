#include "Frontend.hpp"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "Operations.hpp"
#include "Tarvok/BinCheck.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/PenSafe.hpp"
#include "Tarvok/Process.hpp"
#include "Tarvok/PwCache.hpp"

namespace PenSafeCrontab {
namespace {

std::optional<std::string> _non_empty_field(const Tarvok::PwCache::UserRecord& record,
                                            size_t position) {
    auto value = Tarvok::PwCache::field(record, position);
    if (value && value->empty()) return std::nullopt;
    return value;
}

void _look_up_user(Program& values) {
    namespace Pos = Tarvok::PwCache::Pos;
    // The encrypted password is of no use here: even root's lookup leaves the shadow file alone.
    const auto lookup = Tarvok::PwCache::lookup_uid_noshadow(std::to_string(geteuid()));
    // An account the database could not be asked about is not an unknown, hence unrestricted,
    // account: handing it to the system crontab would let a restricted account out.
    if (lookup.error != 0) {
        print(values.invocation_name + ": cannot look up your account: " + lookup.failure +
              "; nothing was done.\n");
        Tarvok::Process::exit(1);
    }
    values.username = _non_empty_field(lookup.record, Pos::NAME);
    values.shell = _non_empty_field(lookup.record, Pos::SHELL);
}

bool _has_argument(const std::vector<std::string>& arguments, std::string_view option) {
    for (const std::string& argument : arguments) {
        if (argument == option) return true;
    }
    return false;
}

}  // namespace

Program& program() {
    static Program values;
    return values;
}

void print(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void _usage() {
    print(USAGE_TEXT);
    Tarvok::Process::exit(1);
}

bool reset_ignored_sigchld(bool warn) {
    struct sigaction current {};
    if (sigaction(SIGCHLD, nullptr, &current) != 0 || current.sa_handler != SIG_IGN) return false;
    if (warn) Tarvok::Debug::log_warn("Can't ignore signal CHLD, forcing to default");
    std::signal(SIGCHLD, SIG_DFL);
    return true;
}

bool is_restricted_shell(const std::optional<std::string>& shell) {
    return shell && Tarvok::PenSafe::is_restricted_shell(*shell);
}

bool is_invalid_option(std::string_view argument) {
    return argument.size() >= 2 && argument[0] == '-' &&
           std::string_view("ler").find(argument[1]) == std::string_view::npos;
}

Operation dispatch_choice(const std::vector<std::string>& arguments) {
    if (_has_argument(arguments, EDIT_OPTION)) return Operation::edit;
    if (_has_argument(arguments, LIST_OPTION)) return Operation::list;
    if (_has_argument(arguments, REMOVE_OPTION)) return Operation::remove;
    for (const std::string& argument : arguments) {
        if (is_invalid_option(argument)) return Operation::invalid_option;
    }
    if (!arguments.empty() && !arguments.front().empty() && arguments.front() != STDIN_MARKER) {
        return Operation::install_from_file;
    }
    return Operation::install_from_stdin;
}

void hand_over(const std::string& path, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    execv(path.c_str(), argv.data());

    const int error = errno;
    const int status = Tarvok::Process::report_uncaught(
        "Could not start '" + path + "': " + std::strerror(error), error);
    Tarvok::Process::exit(status);
}

int real_main(int argc, char** argv) {
    // The reset itself always happens; saying so is only of interest while debugging.
    reset_ignored_sigchld(Tarvok::Debug::level > 0);

    Program& values = program();
    values.invocation_name = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    values.arguments.assign(argv + (argc > 0 ? 1 : 0), argv + argc);

    Tarvok::BinCheck::process(values.first_argument());

    _look_up_user(values);
    if (!is_restricted_shell(values.shell)) {
        // Without a real crontab to hand over to, the account is served like a restricted one.
        if (auto system_binary = Tarvok::PenSafe::get_system_binary(SYSTEM_COMMAND)) {
            hand_over(*system_binary, values.arguments);
        }
    }

    // Every operation fetches first, so a refused account or an unreachable daemon stops all.
    StatusText fetched = _get_crontab_text();
    values.crontab_fetch_result = fetched.status;
    values.crontab_text = std::move(fetched.text);
    if (!values.crontab_fetch_result) {
        print(values.crontab_text + "\n");
        Tarvok::Process::exit(1);
    }

    switch (dispatch_choice(values.arguments)) {
        case Operation::edit:
            _edit_crontab();
        case Operation::list:
            _display_crontab();
        case Operation::remove:
            _remove_crontab();
        case Operation::invalid_option:
            // Names the first argument, which need not be the invalid one.
            print("Invalid option: " + std::string(values.first_argument().value_or("")) + "\n");
            _usage();
        case Operation::install_from_file:
            _install_crontab_from_file();
            break;
        case Operation::install_from_stdin:
            _install_crontab_from_stdin();
            break;
    }
    return 0;
}

}  // namespace PenSafeCrontab
