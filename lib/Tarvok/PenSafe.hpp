// Tarvok::PenSafe: finds the real system binary of a command for accounts that may use it.
//
// On a server that protects restricted accounts, the installer of a restricted-safe wrapper moves
// the real binary aside and puts a link in its place:
//
//     /usr/bin/crontab                   -> /usr/local/tarvok/bin/pen_safe_crontab
//     /usr/bin/crontab.penorig.1712345678   (the real crontab, renamed)
//
// The renamed file is the command name, then RELINK_POSTFIX, then any text that ends in a decimal
// number (the installer uses the time of the relink, so the highest number is the latest). The
// command name and the postfix are found in an entry name as the texts they are, anywhere in it.
// A link is recognised as pointing at a wrapper when its text, as stored, contains "/pen_safe_".
//
// get_system_binary() never reports and never throws: every failure is "nothing", and the caller
// then treats the account as restricted. Every directory is reached through Tarvok::SysRoot, so
// the sandbox build looks below its root.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Tarvok::PenSafe {

/// The system directory of user commands; also the first directory findbin() searches.
inline constexpr std::string_view ROOT_BIN = "/usr/bin";
/// Marks a relinked binary inside ROOT_BIN: <command>.penorig<tail>.
inline constexpr std::string_view RELINK_POSTFIX = ".penorig";
/// The tail after RELINK_POSTFIX, as a regular expression: any text on one line, then the trailing
/// number, which is the one capture group ("crontab.penorig.42", "crontab.penorig-v2.42" both give
/// 42).
inline constexpr std::string_view RELINK_TAIL = ".*?(\\d+)$";
/// The system's local-installation command directory; findbin()'s second directory.
inline constexpr std::string_view SYSTEM_USR_LOCAL_BIN_DIR = "/usr/local/bin";
/// The system command directory; findbin()'s third directory.
inline constexpr std::string_view SYSTEM_BIN_DIR = "/bin";
/// The text in a link's target that marks a restricted-safe wrapper.
inline constexpr std::string_view WRAPPER_LINK_MARK = "/pen_safe_";
/// A login shell matching this (case-sensitive, anywhere in the path) marks a restricted account.
inline constexpr std::string_view RESTRICTED_SHELL_PATTERN = "/(?:no|pen)shell";
/// What the pattern matches: either text anywhere in the shell's path.
inline constexpr std::string_view RESTRICTED_SHELLS[] = {"/noshell", "/penshell"};

/// True when `shell` is a restricted login shell: the front end serves such an account through
/// the daemon, and the daemon's policy governs it.
bool is_restricted_shell(std::string_view shell);

/// The path of the real system binary for the command `name` (e.g. "crontab"), or nothing:
/// ROOT_BIN/name itself unless it is a link to a wrapper, else the relinked binary with the
/// highest number. Only executable regular files are returned. An empty name finds nothing.
std::optional<std::string> get_system_binary(std::string_view name);

}  // namespace Tarvok::PenSafe
