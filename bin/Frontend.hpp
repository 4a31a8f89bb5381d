// The command front end: everything pen_safe_crontab does after the system root is settled.
//
// One pass: self-check hook, user lookup, restricted-account test (an unrestricted account is
// handed over to the real system crontab, which replaces this process), the start-up fetch,
// dispatch to one operation, exit. The pieces of the pass that decide something are exposed
// here so that each decision can be tested on its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Tarvok/PenSafe.hpp"

namespace PenSafeCrontab {

/// The name of the system command this program stands in for.
inline constexpr std::string_view SYSTEM_COMMAND = "crontab";
using Tarvok::PenSafe::RESTRICTED_SHELL_PATTERN;
using Tarvok::PenSafe::RESTRICTED_SHELLS;
inline constexpr std::string_view EDIT_OPTION = "-e";
inline constexpr std::string_view LIST_OPTION = "-l";
inline constexpr std::string_view REMOVE_OPTION = "-r";
/// The argument that asks for installation from standard input.
inline constexpr std::string_view STDIN_MARKER = "-";
/// What _usage() prints.
inline constexpr std::string_view USAGE_TEXT =
    "usage: crontab file    replace your crontab with the contents of file\n"
    "       crontab [-]     replace your crontab with standard input\n"
    "       crontab -e      edit your crontab\n"
    "       crontab -l      list your crontab\n"
    "       crontab -r      remove your crontab\n";

/// The whole main flow; returns the exit status (or throws Tarvok::Process::ExitRequest).
int real_main(int argc, char** argv);

/// When the process was started with SIGCHLD ignored, puts it back to the default (an ignored
/// SIGCHLD makes the kernel reap children, so an editor's exit status would be lost).
/// `warn` adds a warning on standard error. Returns whether the disposition was reset.
bool reset_ignored_sigchld(bool warn);

/// True when `shell` is a restricted login shell; an absent shell is not.
bool is_restricted_shell(const std::optional<std::string>& shell);

/// The operations the arguments can ask for.
enum class Operation { edit, list, remove, invalid_option, install_from_file, install_from_stdin };

/// Which operation `arguments` (without the invocation name) select. -e, -l and -r win, in
/// that order, wherever they stand; then any argument matching "^-[^ler]" is an invalid option;
/// then a present, non-empty first argument other than "-" names a file to install; anything
/// else installs from standard input.
Operation dispatch_choice(const std::vector<std::string>& arguments);

/// True when `argument` matches "^-[^ler]": a dash, then a second character other than l, e, r.
bool is_invalid_option(std::string_view argument);

/// Replaces this process with `path`, started as `path` with `arguments` unchanged. When that
/// fails: a message naming the path and the OS error on standard error, exit status = errno.
[[noreturn]] void hand_over(const std::string& path, const std::vector<std::string>& arguments);

}  // namespace PenSafeCrontab
