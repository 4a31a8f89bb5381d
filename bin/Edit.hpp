// The edit operation (-e): the current crontab goes into a private temporary file, the account's
// editor runs on it, and the result is installed; a refused text can be edited again.
//
//     crontab -e
//     (editor runs on /tmp/4711._USR_BIN_PEN_SAFE_CRONTAB--.Xa3_9qZk.tmp)
//     line 2: bad minute '61' (0-59)
//     Edit the refused crontab again? [y/n] n
//     crontab: your edits are left in /tmp/4711._USR_BIN_PEN_SAFE_CRONTAB--.Xa3_9qZk.tmp
//
// Promises:
//   - The editor only ever sees the whole current crontab: when it cannot be written to the
//     temporary file in full, the run ends (status 1) before any editor starts.
//   - The editor is a bare name found in the fixed system directories (Tarvok::FindBin), never a
//     path the account chose, and it runs without a shell with the file as its one argument.
//   - Every pass compares with the crontab fetched at start-up; an unchanged file installs
//     nothing.
//   - A refused text the user does not edit again is left on disk, and its path is printed, and
//     the run ends with status 1: an edit that was not installed is no success.
//
// The pieces below decide something on their own and are exposed for tests.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "Operations.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace PenSafeCrontab {

/// Editors tried, in this order, when neither VISUAL nor EDITOR names an installed one: Debian's
/// alternatives name for the administrator's choice, the friendliest common editor, then the
/// vi family, which nearly every system has.
inline constexpr std::array<std::string_view, 4> FALLBACK_EDITORS = {"editor", "nano", "vim", "vi"};

/// The editor to run: (true, its path) or (false, why there is none). Candidates are VISUAL,
/// EDITOR, then FALLBACK_EDITORS, each looked up by Tarvok::FindBin::findbin; an unset or empty
/// variable, a value with a "/" in it (an absolute path, or a relative one that could climb out
/// of the system directories) and a name installed nowhere are passed over. A variable passed
/// over for its "/" is named on standard error, with the reason and the editor used instead.
StatusText _get_editor_bin();

/// What a line typed at the retry question says.
enum class RetryAnswer { yes, no, unclear };

/// An "n" in either case anywhere: no; otherwise a "y" in either case: yes; otherwise unclear.
RetryAnswer retry_answer(std::string_view line);

/// Asks whether to edit the refused text again, reading answers from `in_fd` one line at a time
/// (never more, so whatever follows stays for the editor) until one is clear. End of input, or
/// input that can no longer be read, answers no.
bool ask_to_retry(int in_fd);

/// Writes all of `text` to `fd` (short writes continued, interrupted writes repeated), then
/// closes it. Returns 0, or the errno of the write or the close that failed; `fd` is closed
/// either way.
int write_and_close(Tarvok::UniqueFd fd, std::string_view text);

/// How one run of the editor ended.
struct EditorRun {
    /// The wait status; -1 when no child was made or waited for.
    int wait_status = -1;
    /// Why the editor could not be started, or the child not made or waited for; 0 when it ran.
    int error = 0;
    /// SIGTERM or SIGHUP when one came while the editor ran (it was passed on to the editor); 0
    /// otherwise. The edit must stop then, whatever the editor did.
    int stop_signal = 0;
};

/// Runs `editor` with `file` as its one argument in a child process, without a shell, and waits
/// for it. Meanwhile this process ignores SIGINT and SIGQUIT (restored afterwards), so a ^C
/// meant for the editor cannot end the run and lose the file; the editor gets both at their
/// defaults. A SIGTERM or SIGHUP meanwhile is passed on to the editor and reported in
/// `stop_signal` once it has ended. The wait status is also recorded with
/// Tarvok::Process::set_child_status.
EditorRun run_editor(const std::string& editor, const std::string& file);

/// Why a run whose wait status is not 0 failed, in a few words: the OS error when there is one,
/// else how the editor ended ("exited with status 2", "killed by signal 9").
std::string editor_failure(const EditorRun& run);

}  // namespace PenSafeCrontab
