#include "Edit.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "Tarvok/Exception.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"
#include "Tarvok/FindBin.hpp"
#include "Tarvok/Process.hpp"
#include "Tarvok/PwCache.hpp"
#include "Tarvok/TempFile.hpp"

namespace PenSafeCrontab {
namespace {

constexpr std::string_view NO_TEMP_FILE = "Cannot create a temporary file to edit in.\n";
constexpr std::string_view NO_EDITOR =
    "no editor found: set VISUAL or EDITOR to the name of an editor installed on this system";
constexpr std::string_view NO_CHANGES = ": no changes made, nothing installed\n";
constexpr std::string_view RETRY_QUESTION = "Edit the refused crontab again? [y/n] ";
constexpr std::string_view RETRY_HINT = "Please answer y or n.\n";

// The signal that asked this process to stop while the editor ran; 0 while none did.
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void _on_stop_signal(int signal_number) {
    g_stop_signal = signal_number;
}

// For as long as the object lives: SIGINT and SIGQUIT ignored (they are meant for the editor), and
// SIGTERM and SIGHUP (a hung-up session) noted instead of ending this process at once, so that the
// editor is stopped first and the temporary file is cleaned up as on any other way out. A signal
// this process was started with ignored stays ignored. Then all as they were.
class EditorSignals {
  public:
    EditorSignals() {
        g_stop_signal = 0;
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &saved_int_);
        sigaction(SIGQUIT, &ignore, &saved_quit_);
        // No SA_RESTART: the wait for the editor returns, and the signal is passed on.
        struct sigaction note {};
        note.sa_handler = _on_stop_signal;
        sigemptyset(&note.sa_mask);
        for (const auto& [number, saved] :
             {std::pair{SIGTERM, &saved_term_}, {SIGHUP, &saved_hup_}}) {
            sigaction(number, nullptr, saved);
            if (saved->sa_handler != SIG_IGN) sigaction(number, &note, nullptr);
        }
    }
    ~EditorSignals() {
        sigaction(SIGINT, &saved_int_, nullptr);
        sigaction(SIGQUIT, &saved_quit_, nullptr);
        sigaction(SIGTERM, &saved_term_, nullptr);
        sigaction(SIGHUP, &saved_hup_, nullptr);
    }
    EditorSignals(const EditorSignals&) = delete;
    EditorSignals& operator=(const EditorSignals&) = delete;

  private:
    struct sigaction saved_int_ {};
    struct sigaction saved_quit_ {};
    struct sigaction saved_term_ {};
    struct sigaction saved_hup_ {};
};

// One line from `fd`, read a byte at a time so that nothing after it is taken from the input;
// a last line without a line end counts. Nothing at end of input or when the input fails.
std::optional<std::string> _read_line(int fd) {
    std::string line;
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        line += c;
        if (c == '\n') return line;
    }
    if (line.empty()) return std::nullopt;
    return line;
}

bool _contains_either(std::string_view text, char lower, char upper) {
    return text.find(lower) != std::string_view::npos || text.find(upper) != std::string_view::npos;
}

std::string _private_tmp_dir() {
    const Tarvok::PwCache::UserRecord me =
        Tarvok::PwCache::getpwuid_noshadow(std::to_string(geteuid()));
    const std::string home =
        Tarvok::PwCache::field(me, Tarvok::PwCache::Pos::HOME).value_or(std::string());
    return home + std::string(Tarvok::TempFile::PRIVATE_TMP_SUBDIR);
}

// The file to edit in, owned by `temp_obj`: in the default directory, or else in the account's
// private temporary directory. Only a failure to create the file in the default directory moves
// on to the second place; anything else, and any failure there, ends the run.
std::optional<Tarvok::Rand::TmpEntry> _create_temp_file(std::optional<Tarvok::TempFile>& temp_obj) {
    std::optional<Tarvok::Rand::TmpEntry> made;
    try {
        made = temp_obj.emplace().file();
    } catch (const Tarvok::Exception::TempCreateFailed&) {
        // /tmp is full or closed to this account: retry once in the private directory.
    }
    if (made && made->handle) return made;
    made.reset();
    return temp_obj.emplace(Tarvok::TempFile::Options{{"path", _private_tmp_dir()}}).file();
}

// What lies at a path instead of a regular file, in words.
std::string _kind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "no regular file";
}

// What the editor left at the temporary file's path.
struct ReadBack {
    /// 0, EFBIG for a text over the cap, or the OS error that stopped the opening or the reading.
    int error = 0;
    /// What lies there instead of a regular file ("a FIFO"); empty for a regular file.
    std::string not_regular;
};

// Only a regular file is read back: a FIFO would block the open and then the read for ever, a
// device need never end, and a link leads wherever the editor chose. Nothing there is followed
// or waited for.
ReadBack _read_back(const std::string& path, std::string& text) {
    const Tarvok::UniqueFd fd(
        open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat st {};
    if (!fd) {
        const int error = errno;
        // A link refuses to be opened so, a socket at all.
        if ((error == ELOOP || error == ENXIO) && lstat(path.c_str(), &st) == 0 &&
            !S_ISREG(st.st_mode)) {
            return {0, _kind(st.st_mode)};
        }
        return {error, {}};
    }
    if (fstat(fd.get(), &st) != 0) return {errno, {}};
    if (!S_ISREG(st.st_mode)) return {0, _kind(st.st_mode)};
    return {read_crontab(fd.get(), text), {}};
}

EditorRun _spawn_editor(const std::string& editor, const std::string& file) {
    char* const argv[] = {const_cast<char*>(editor.c_str()), const_cast<char*>(file.c_str()),
                          nullptr};
    // The editor gets the interrupt and quit signals back at their defaults.
    posix_spawnattr_t attributes;
    if (const int error = posix_spawnattr_init(&attributes); error != 0) return {-1, error};
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    const EditorSignals while_editing;
    std::fflush(nullptr);
    // A spawn shares the memory until the editor starts instead of copying the page tables (and
    // then every page either side writes), and reports a failed start as its own result.
    pid_t child = -1;
    const int spawn_error =
        ::posix_spawn(&child, editor.c_str(), nullptr, &attributes, argv, ::environ);
    posix_spawnattr_destroy(&attributes);
    // As a child whose exec failed would have ended.
    if (spawn_error != 0) return {W_EXITCODE(127, 0), spawn_error};

    int wait_status = 0;
    pid_t waited = 0;
    int passed_on = 0;
    for (;;) {
        if (g_stop_signal != 0 && passed_on == 0) {
            passed_on = g_stop_signal;
            ::kill(child, passed_on);
        }
        waited = ::waitpid(child, &wait_status, 0);
        if (waited >= 0 || errno != EINTR) break;
    }
    if (waited < 0) return {-1, errno, passed_on};
    return {wait_status, 0, g_stop_signal != 0 ? static_cast<int>(g_stop_signal) : 0};
}

}  // namespace

StatusText _get_editor_bin() {
    // (variable, value) for VISUAL and EDITOR, then the fallbacks without a variable.
    std::vector<std::pair<std::string_view, std::string>> candidates;
    for (const char* variable : {"VISUAL", "EDITOR"}) {
        const char* value = std::getenv(variable);
        candidates.emplace_back(variable, value != nullptr ? value : "");
    }
    for (const std::string_view fallback : FALLBACK_EDITORS) {
        candidates.emplace_back(std::string_view(), fallback);
    }

    std::vector<std::string> ignored;
    StatusText chosen{false, std::string(NO_EDITOR)};
    for (const auto& [variable, name] : candidates) {
        // findbin appends the name to each system directory as it is, so "../../home/x/tool"
        // would reach a program the account put there itself.
        if (name.find('/') != std::string::npos) {
            ignored.push_back(std::string(variable) + "=" + name);
            continue;
        }
        if (auto path = Tarvok::FindBin::findbin(name)) {
            chosen = {true, *path};
            break;
        }
    }
    // Without a word, EDITOR=/usr/bin/nano opening vi would look like a fault.
    for (const std::string& setting : ignored) {
        const std::string line =
            program().invocation_name + ": ignoring " + setting +
            ": an editor is named, not given as a path, and is looked up in the system "
            "directories; " +
            (chosen.status ? "opening " + chosen.text + " instead" : "no other editor was found") +
            "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    return chosen;
}

RetryAnswer retry_answer(std::string_view line) {
    if (_contains_either(line, 'n', 'N')) return RetryAnswer::no;
    if (_contains_either(line, 'y', 'Y')) return RetryAnswer::yes;
    return RetryAnswer::unclear;
}

bool ask_to_retry(int in_fd) {
    for (;;) {
        print(RETRY_QUESTION);
        std::fflush(stdout);
        const std::optional<std::string> line = _read_line(in_fd);
        if (!line) {
            // Nobody is there to answer; finish the question's line.
            print("\n");
            return false;
        }
        switch (retry_answer(*line)) {
            case RetryAnswer::yes:
                return true;
            case RetryAnswer::no:
                return false;
            case RetryAnswer::unclear:
                print(RETRY_HINT);
                break;
        }
    }
}

int write_and_close(Tarvok::UniqueFd fd, std::string_view text) {
    if (const auto wrote = Tarvok::FHUtils::WholeIO::write_all(fd, text); !wrote) {
        return wrote.error;
    }
    // A full disk or an exceeded quota may only show here (NFS reports at close).
    if (fd.close() != 0) return errno;
    return 0;
}

EditorRun run_editor(const std::string& editor, const std::string& file) {
    const EditorRun run = _spawn_editor(editor, file);
    if (run.wait_status != -1) Tarvok::Process::set_child_status(run.wait_status);
    return run;
}

std::string editor_failure(const EditorRun& run) {
    if (run.error != 0) return std::strerror(run.error);
    if (run.wait_status == -1) return "it could not be run";
    if (WIFSIGNALED(run.wait_status)) {
        return "killed by signal " + std::to_string(WTERMSIG(run.wait_status));
    }
    return "exited with status " + std::to_string(WEXITSTATUS(run.wait_status));
}

void _edit_crontab() {
    const Program& values = program();
    const std::string& name = values.invocation_name;

    std::optional<Tarvok::TempFile> temp_obj;
    std::optional<Tarvok::Rand::TmpEntry> made = _create_temp_file(temp_obj);
    if (!made || !made->handle) {
        print(NO_TEMP_FILE);
        Tarvok::Process::exit(1);
    }
    const std::string temp_file = made->name;

    // A cut file in the editor would become the new crontab once saved: stop before it opens.
    if (const int error = write_and_close(std::move(made->handle), values.crontab_text)) {
        print(name + ": cannot write your crontab to '" + temp_file + "': " + std::strerror(error) +
              "; nothing was changed\n");
        Tarvok::Process::exit(1);
    }

    const StatusText editor = _get_editor_bin();
    if (!editor.status) {
        print(name + ": " + editor.text + "\n");
        Tarvok::Process::exit(1);
    }
    const std::string& editor_bin = editor.text;

    for (;;) {
        const EditorRun run = run_editor(editor_bin, temp_file);
        if (run.stop_signal != 0) {
            // Asked to stop (a hung-up session, a kill): nothing is installed, and the file goes
            // with the rest of the edit on the way out.
            print(name + ": stopped by signal " + std::to_string(run.stop_signal) +
                  " while editing; nothing was installed\n");
            Tarvok::Process::exit(1);
        }
        if (run.wait_status != 0) {
            print(name + ": the editor failed: " + editor_bin + ": " + editor_failure(run) + "\n");
            Tarvok::Process::exit(1);
        }

        std::string text;
        const ReadBack read_back = _read_back(temp_file, text);
        if (!read_back.not_regular.empty()) {
            // Whatever the editor left is the user's: it stays where it is.
            temp_obj->keep(temp_file);
            print(name + ": the editor left " + read_back.not_regular + " at '" + temp_file +
                  "', not a regular file; nothing was installed, and it is left where it is.\n");
            Tarvok::Process::exit(1);
        }
        const int error = read_back.error;
        const bool too_large = error == EFBIG;
        if (error != 0 && !too_large) {
            print(name + ": cannot read the edited file '" + temp_file +
                  "': " + std::strerror(error) + ".\n");
            Tarvok::Process::exit(1);
        }

        // Always against the text fetched at start-up: a refused text saved again unchanged is
        // still a change, and is sent again.
        if (!too_large && text == values.crontab_text) {
            print(name + std::string(NO_CHANGES));
            Tarvok::Process::exit(0);
        }

        // A text over the cap is not sent, and is refused like any other: it can be edited again
        // or is left where it is.
        const StatusText installed =
            too_large ? StatusText{false, too_large_notice()} : _install_new_crontab(text);
        print(installed.text + "\n");
        if (installed.status) Tarvok::Process::exit(0);

        if (!ask_to_retry(STDIN_FILENO)) {
            // The refused text is the user's work: leave it where they can take it up again.
            temp_obj->keep(temp_file);
            print(name + ": your edits are left in " + temp_file + "\n");
            Tarvok::Process::exit(1);
        }
    }
}

}  // namespace PenSafeCrontab
