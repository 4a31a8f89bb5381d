// The operations of the front end and the program-wide values they share.
//
// The main flow (Frontend.cpp) sets the values of program() once, before any operation runs;
// the operations take no arguments and only read them. Every operation prints to standard
// output (failure messages included) and ends the run through Tarvok::Process::exit(), except
// the two installs, which return on success (the run then ends with status 0). An install or a
// removal that did not happen ends with status 1, whatever the message.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Tarvok/Wire.hpp"

namespace PenSafeCrontab {

/// The values of one run.
struct Program {
    /// argv[0] exactly as the program was started; most messages begin with it.
    std::string invocation_name;
    /// argv without argv[0].
    std::vector<std::string> arguments;
    /// Account name of the effective uid; absent for an unknown uid.
    std::optional<std::string> username;
    /// Login shell of the effective uid; absent for an unknown uid or an empty shell field.
    std::optional<std::string> shell;
    /// Whether the start-up fetch succeeded.
    bool crontab_fetch_result = false;
    /// The current crontab after a successful fetch, the failure message otherwise.
    std::string crontab_text;

    /// The first argument, if any.
    std::optional<std::string_view> first_argument() const {
        if (arguments.empty()) return std::nullopt;
        return arguments.front();
    }
};

/// The process-wide values (set by the main flow; tests set them directly).
Program& program();

/// A (status, text) pair: the fetch result and the install result. `text` carries no line end.
struct StatusText {
    bool status = false;
    std::string text;
};

/// Writes `text` to standard output as it stands.
void print(std::string_view text);

// Failures, one way each: an operation's outcome is a StatusText or the run's exit status; a
// step that calls the system returns the errno of the call that failed (0 when none did) as
// its value, or as the `error` member of what it returns, and never leaves it in errno for the
// caller to find; what the library raises travels up uncaught, except the one failure the edit
// operation catches to retry elsewhere.

/// The daemon's crontab module and its two functions (Tarvok/Wire.hpp).
using Tarvok::Wire::CRON_MODULE;
using Tarvok::Wire::FETCH_FUNCTION;
using Tarvok::Wire::SAVE_FUNCTION;
/// The most bytes of a new crontab taken from a file, standard input or the editor: a guard
/// against endless input (crontab /dev/zero), not a limit on crontabs. It lies well above any
/// crontab a cron takes (Debian's takes 10,000 lines), so that the daemon, whichever it is, is
/// the judge of how large one may be (the reference daemon takes 1 MiB).
inline constexpr std::size_t MAX_CRONTAB_LENGTH = 32 * 1024 * 1024;

/// Reads `fd` to its end into `text`, but no further than just past MAX_CRONTAB_LENGTH bytes (an
/// endless input such as /dev/zero ends there too): 0, EFBIG for a longer input, or the OS error
/// of the read that failed.
int read_crontab(int fd, std::string& text);
/// read_crontab of the file `path`, or the OS error that stopped the opening.
int load_crontab(const std::string& path, std::string& text);
/// Why a new crontab longer than MAX_CRONTAB_LENGTH is not sent, as the user reads it.
std::string too_large_notice();

/// Sends `text` (possibly empty: that removes the crontab) to the daemon as the account's new
/// crontab: (true, success notice) or (false, failure text). Never prints, never exits.
StatusText _install_new_crontab(std::string_view text);

/// Asks the daemon for the account's crontab: (true, crontab) or (false, message).
StatusText _get_crontab_text();
/// -l: prints the fetched crontab byte for byte; exit 0.
[[noreturn]] void _display_crontab();
/// -r: installs the empty crontab, prints the installer's message; exit 0, or 1 when the
/// crontab was not removed.
[[noreturn]] void _remove_crontab();
/// -e: edits the crontab in the account's editor until an install succeeds (exit 0) or the user
/// stops (exit 1); an unchanged text installs nothing (exit 0).
[[noreturn]] void _edit_crontab();
/// Installs the file named by the first argument; returns on success, exit 1 otherwise.
void _install_crontab_from_file();
/// Installs standard input; returns on success, exit 1 otherwise.
void _install_crontab_from_stdin();
/// Prints the usage text; exit 1.
[[noreturn]] void _usage();

}  // namespace PenSafeCrontab
