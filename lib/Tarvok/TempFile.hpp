// Tarvok::TempFile: private temporary files and directories that go away with their owner.
//
// An object creates entries with unpredictable names (exclusively, through
// Tarvok::Rand::get_tmp_file_by_name: files 0600, directories 0700, whatever the umask) and
// removes them again, newest first, when it is destroyed during the run or cleaned up:
//
//     Tarvok::TempFile temp;                        // entries go to DEFAULT_PATH (/tmp)
//     std::optional<Tarvok::Rand::TmpEntry> made = temp.file();
//     // made->name == "/tmp/4711._USR_BIN_PEN_SAFE_CRONTAB--.Xa3_9qZk.tmp", made->handle
//     // open write-only; the entry is created under that very name, suffix last
//
// Where the default directory is unusable the creation raises TempCreateFailed; the edit
// operation then tries once more in the private directory of the home directory:
//
//     std::optional<Tarvok::TempFile> temp;
//     try {
//         made = temp.emplace().file();
//     } catch (const Tarvok::Exception::TempCreateFailed&) {
//         const std::string dir = home + std::string(Tarvok::TempFile::PRIVATE_TMP_SUBDIR);
//         made = temp.emplace(Tarvok::TempFile::Options{{"path", dir}}).file();
//     }
//
// Promises:
//   - The entries to remove are kept per process: a forked child sees none of its parent's
//     entries, so neither its cleanup() nor its copy's destruction removes them.
//   - The destructor removes nothing during the final teardown of the process
//     (Tarvok::Destruct::in_dangerous_global_destruction); an object that must clean up is
//     destroyed while the run unwinds (Tarvok::Process::exit).
//   - A directory that is the current working directory is left for its parent before it is
//     removed. A registered symbolic link is removed as a link, never followed.
//
// Options (texts; "" and "0" count as absent): `prefix` (caller's part of the name: letters,
// digits, "_", "-" and "." only), `suffix` (DEFAULT_SUFFIX), `path` (the directory; DEFAULT_PATH
// under the system root), `create_path` (make a missing directory, and remove it again),
// `debug` (switches the process-wide Tarvok::Debug::level to 1, or back to 0). A call's own
// options win over the object's where they are true.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Tarvok/Rand.hpp"

namespace Tarvok {

/// When set, the home directory that get_safe_tmp_file_or_dir uses instead of the effective
/// user's.
extern std::optional<std::string> homedir;

class TempFile {
  public:
    /// Option name -> value.
    using Options = std::map<std::string, std::string>;

    static constexpr int TYPE_FILE = Rand::TYPE_FILE;
    static constexpr int TYPE_DIR = Rand::TYPE_DIR;
    /// Always create the entry, never only pick a name.
    static constexpr int DO_OPEN = Rand::DO_OPEN;
    /// The directory of entries when no `path` is given (a fixed path: looked up through
    /// Tarvok::SysRoot).
    static constexpr std::string_view DEFAULT_PATH = "/tmp";
    static constexpr std::string_view DEFAULT_SUFFIX = "tmp";
    /// At most this many trailing characters of the caller name go into a name.
    static constexpr std::size_t MAX_CALLERNAME_LENGTH = 40;
    /// Put after the caller name in an entry name.
    static constexpr std::string_view CALLER_MARKER = "--";
    /// Stands for no file: never registered, never removed.
    static constexpr std::string_view SENTINEL_NAME = "/dev/null";
    /// The private temporary directory: the home directory followed by this.
    static constexpr std::string_view PRIVATE_TMP_SUBDIR = "/tmp";
    /// get_safe_tmp_file_or_dir's names: the home directory followed by this template...
    static constexpr std::string_view SAFE_TMP_TEMPLATE_TAIL = "/tmp/pen_safe_crontab";
    /// ...and this suffix.
    static constexpr std::string_view SAFE_TMP_SUFFIX = "temp";

    /// Builds an object with `options` (see set_opts; the object is built even when they are
    /// refused).
    explicit TempFile(const Options& options = {});
    /// The same, for a record written in place: TempFile temp({{"path", dir}}).
    TempFile(std::initializer_list<Options::value_type> options) : TempFile(Options(options)) {}
    /// Runs cleanup() unless the process is in its final teardown; a failure is only logged.
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    /// The moved-from object owns nothing.
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;

    /// Validates and stores options. An unknown name is warned about and refuses the whole
    /// record (nothing stored): false. Sets Tarvok::Debug::level from `debug`.
    bool set_opts(const Options& options = {});
    const Options& opts() const { return opts_; }

    /// Creates a file; its handle is open write-only. Nothing for a refused prefix.
    std::optional<Rand::TmpEntry> file(const Options& call = {});
    /// Creates a directory; returns its name. Nothing for a refused prefix.
    std::optional<std::string> dir(const Options& call = {});
    /// Creates a directory, then a file inside it; returns the file. Both are registered, the
    /// directory first, so the file is removed before it.
    std::optional<Rand::TmpEntry> file_in_dir(const Options& call = {});
    /// Like file(), with the handle reopened for reading and writing. A failed reopen raises
    /// through Tarvok::Debug::log_die.
    std::optional<Rand::TmpEntry> file_readwrite(const Options& call = {});
    /// Always fails (through Tarvok::Debug::log_die): a name without an open handle invites
    /// another process to take the name first.
    [[noreturn]] void filename_only();

    /// Registers `path` to be removed with the entries of the current process.
    void needunlink(std::string path);
    /// Stops removing `path` for the current process: the entry outlives the object (the edit
    /// operation leaves a refused crontab for the user this way). False when it was not
    /// registered.
    bool keep(std::string_view path);
    /// What the current process will remove, in registration order.
    std::vector<std::string> needunlink_list() const;
    /// Removes the current process's entries, newest first, and forgets them. Raises
    /// Tarvok::Error when a directory to remove is the working directory and cannot be left.
    void cleanup();

    /// An entry in the private temporary directory of the home directory (made when missing);
    /// never registered nor removed. Nothing when that directory cannot be made.
    static std::optional<Rand::TmpEntry> get_safe_tmp_file_or_dir(int type,
                                                                  int open_mode = DO_OPEN);
    static std::optional<Rand::TmpEntry> get_safe_tmpfile(int open_mode = DO_OPEN);
    static std::optional<std::string> get_safe_tmpdir(int open_mode = DO_OPEN);

  private:
    std::string _get_opt(const std::string& name, const Options& call) const;
    std::optional<Rand::TmpEntry> _dir_or_file(int kind, const Options& call);

    Options opts_;
    // Process id -> the paths that process registered.
    std::map<pid_t, std::vector<std::string>> needunlink_;
};

}  // namespace Tarvok
