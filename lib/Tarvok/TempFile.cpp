#include "Tarvok/TempFile.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "Tarvok/Debug.hpp"
#include "Tarvok/Destruct.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/Fcntl.hpp"
#include "Tarvok/PwCache.hpp"
#include "Tarvok/SafeDir/MK.hpp"
#include "Tarvok/SafeDir/RM.hpp"
#include "Tarvok/SysRoot.hpp"

namespace Tarvok {

std::optional<std::string> homedir;

namespace {

constexpr char NAME_SEPARATOR = '.';
// Closes the default alphabet of Tarvok::Rand::Get; stands for every non-word character of the
// program path in caller names.
constexpr char CALLERNAME_FILLER = '_';

bool _is_true(std::string_view value) {
    return !value.empty() && value != "0";
}

bool _is_word_char(unsigned char c) {
    return std::isalnum(c) || c == '_';
}

// The program's own path with every non-word character replaced and in upper case, e.g.
// "_USR_BIN_PEN_SAFE_CRONTAB". Worked out once per process (again only if the program path
// itself were changed).
const std::string& _callername() {
    static std::string source;
    static std::string name;
    static bool known = false;
    const char* program = program_invocation_name ? program_invocation_name : "";
    if (!known || source != program) {
        source = program;
        name.clear();
        for (unsigned char c : source) {
            name.push_back(_is_word_char(c) ? static_cast<char>(std::toupper(c))
                                            : CALLERNAME_FILLER);
        }
        known = true;
    }
    return name;
}

bool _exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Reports a name whose suffix could not be put last: it stays before the random trailer.
void _note_suffix_not_last(const std::string& name, std::string_view suffix) {
    const std::string text = "The suffix '" + std::string(suffix) +
                             "' cannot go at the end of a temporary name; it stays before the "
                             "random part in '" +
                             name + "'.\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

std::string _realpath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

}  // namespace

TempFile::TempFile(const Options& options) {
    set_opts(options);
    needunlink_[::getpid()];
}

TempFile::~TempFile() {
    if (Destruct::in_dangerous_global_destruction()) return;
    try {
        cleanup();
    } catch (const std::exception& failure) {
        // A destructor cannot hand the failure on; what could not be removed stays.
        Debug::log_warn(std::string("Cleaning up temporary entries failed: ") + failure.what());
    }
}

TempFile::TempFile(TempFile&& other) noexcept
    : opts_(std::move(other.opts_)), needunlink_(std::exchange(other.needunlink_, {})) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        try {
            cleanup();
        } catch (const std::exception& failure) {
            Debug::log_warn(std::string("Cleaning up temporary entries failed: ") + failure.what());
        }
        opts_ = std::move(other.opts_);
        needunlink_ = std::exchange(other.needunlink_, {});
    }
    return *this;
}

bool TempFile::set_opts(const Options& options) {
    static constexpr std::string_view accepted[] = {"create_path", "debug", "path", "prefix",
                                                    "suffix"};
    bool refused = false;
    for (const auto& [key, value] : options) {
        if (std::find(std::begin(accepted), std::end(accepted), key) == std::end(accepted)) {
            Debug::log_warn("Unknown option '" + key +
                            "' for a temporary file; no option was set.");
            refused = true;
        }
    }
    if (refused) return false;

    std::vector<std::string> lines;
    for (const auto& [key, value] : options) {
        opts_[key] = value;
        lines.push_back("Option " + key + " = '" + value + "'");
    }
    const auto debug = opts_.find("debug");
    Debug::level = (debug != opts_.end() && _is_true(debug->second)) ? 1 : 0;
    if (Debug::level) {
        for (const std::string& line : lines) Debug::log_debug(line);
    }
    return true;
}

std::string TempFile::_get_opt(const std::string& name, const Options& call) const {
    const auto own = call.find(name);
    if (own != call.end() && _is_true(own->second)) return own->second;
    const auto stored = opts_.find(name);
    return stored != opts_.end() ? stored->second : std::string();
}

std::optional<Rand::TmpEntry> TempFile::_dir_or_file(int kind, const Options& call) {
    std::string prefix = _get_opt("prefix", call);
    if (prefix.find('/') != std::string::npos) {
        Debug::log_warn(
            "The prefix of a temporary name must not contain a '/': it would name another "
            "directory.");
        return std::nullopt;
    }
    for (unsigned char c : prefix) {
        if (!_is_word_char(c) && c != '-' && c != '.') {
            Debug::log_warn(
                "The prefix '" + prefix +
                "' may only hold letters, digits, '_', '-' and '.'; nothing was created.");
            return std::nullopt;
        }
    }

    std::string caller = _callername();
    if (!caller.empty()) {
        if (caller.size() > MAX_CALLERNAME_LENGTH) {
            caller.erase(0, caller.size() - MAX_CALLERNAME_LENGTH);
        }
        prefix = caller + std::string(CALLER_MARKER) + prefix;
    }
    prefix = std::to_string(::getpid()) + NAME_SEPARATOR + prefix;

    std::string path = _get_opt("path", call);
    if (path.empty()) path = SysRoot::path(DEFAULT_PATH);
    std::string suffix = _get_opt("suffix", call);
    if (suffix.empty()) suffix = DEFAULT_SUFFIX;
    prefix = path + "/" + prefix;

    if (!_exists(path)) {
        if (_is_true(_get_opt("create_path", call))) {
            std::vector<std::string> created;
            const std::optional<int> made = SafeDir::MK::safemkdir(path, std::nullopt, &created);
            if (made && *made > 0 && _exists(path)) {
                Debug::log_info("Created the path '" + path + "'");
                // Registered before the entry, so removed after it.
                for (std::string& dir : created) needunlink(std::move(dir));
            } else {
                Debug::log_warn("Failed to create the path '" + path + "' for temporary files.");
            }
        } else {
            Debug::log_warn(
                "The directory '" + path +
                "' for temporary files does not exist (set create_path to have it made).");
        }
    }

    // The entry is made under its final name, suffix last, at once: putting the suffix last
    // afterwards would take a rename, a second step that can fail or meet someone else's entry.
    std::optional<Rand::TmpEntry> made =
        Rand::get_tmp_file_by_name_suffix_last(prefix, suffix, kind, DO_OPEN);
    if (!made) {
        made = Rand::get_tmp_file_by_name(prefix, suffix, kind, DO_OPEN);
        _note_suffix_not_last(made->name, suffix);
    }
    Rand::TmpEntry& entry = *made;
    if (entry.name == SENTINEL_NAME) return std::nullopt;
    needunlink(entry.name);
    return made;
}

std::optional<Rand::TmpEntry> TempFile::file(const Options& call) {
    return _dir_or_file(TYPE_FILE, call);
}

std::optional<std::string> TempFile::dir(const Options& call) {
    std::optional<Rand::TmpEntry> made = _dir_or_file(TYPE_DIR, call);
    if (!made) return std::nullopt;
    return std::move(made->name);
}

std::optional<Rand::TmpEntry> TempFile::file_in_dir(const Options& call) {
    const std::optional<std::string> inner = dir(call);
    if (!inner) return std::nullopt;
    Options with_dir = call;
    with_dir["path"] = *inner;
    return _dir_or_file(TYPE_FILE, with_dir);
}

std::optional<Rand::TmpEntry> TempFile::file_readwrite(const Options& call) {
    std::optional<Rand::TmpEntry> made = file(call);
    if (!made) return std::nullopt;
    made->handle.reset();
    // Neither created nor truncated, and not followed should the name have become a link.
    const int flags = Fcntl::or_flags({"O_RDWR", "O_NOFOLLOW"}) | O_CLOEXEC;
    made->handle.reset(::open(made->name.c_str(), flags, 0600));
    if (!made->handle) {
        Debug::log_die("Failed to reopen '" + made->name + "': " + std::strerror(errno) + ".");
    }
    return made;
}

void TempFile::filename_only() {
    Debug::log_die(
        "Tarvok::TempFile does not hand out a bare temporary name: another process could "
        "take the name before it is used. Create the entry with file() or dir() and use "
        "the handle that comes with it.");
}

void TempFile::needunlink(std::string path) {
    needunlink_[::getpid()].push_back(std::move(path));
}

bool TempFile::keep(std::string_view path) {
    const auto mine = needunlink_.find(::getpid());
    if (mine == needunlink_.end()) return false;
    return std::erase(mine->second, path) > 0;
}

std::vector<std::string> TempFile::needunlink_list() const {
    const auto mine = needunlink_.find(::getpid());
    return mine != needunlink_.end() ? mine->second : std::vector<std::string>();
}

void TempFile::cleanup() {
    const auto mine = needunlink_.find(::getpid());
    if (mine == needunlink_.end()) return;
    std::vector<std::string>& list = mine->second;
    // Newest first; each path is forgotten before it is handled, so a failure part way leaves
    // only the older ones for a later cleanup.
    while (!list.empty()) {
        const std::string path = std::move(list.back());
        list.pop_back();
        if (path.find('/') == std::string::npos) {
            Debug::log_warn("Not removing '" + path +
                            "': a path without a directory part is never removed.");
            continue;
        }
        if (path == SENTINEL_NAME) {
            Debug::log_warn("Not removing the name that stands for no file at all.");
            continue;
        }
        // lstat: a link put in place of an entry is removed as a link, never followed.
        struct stat st {};
        const bool existed = ::lstat(path.c_str(), &st) == 0;
        const bool is_dir = existed && S_ISDIR(st.st_mode);
        const char* kind = is_dir ? "directory" : "file";
        bool gone = false;
        if (!existed) {
            if (Debug::level) {
                Debug::log_debug(std::string("The temporary ") + kind + " '" + path +
                                 "' no longer exists, so there is nothing to remove for it.");
            }
        } else if (is_dir) {
            const std::string here = _realpath(".");
            if (!here.empty() && here == _realpath(path)) {
                Debug::log_warn("The directory '" + path +
                                "' to remove is the working directory; moving to '" + path +
                                "/..' first.");
                const std::string parent = path + "/..";
                if (::chdir(parent.c_str()) != 0) {
                    const int error = errno;
                    throw Error("Could not leave '" + path + "': " + std::strerror(error));
                }
            }
            // The process's pending exit status stays what it was.
            gone = SafeDir::RM::remove_directory(path);
        } else {
            gone = ::unlink(path.c_str()) == 0;
        }
        if (Debug::level) Debug::log_debug(std::string(gone ? "-" : "!") + " " + kind + " " + path);
    }
}

std::optional<Rand::TmpEntry> TempFile::get_safe_tmp_file_or_dir(int type, int open_mode) {
    std::optional<std::string> home = homedir ? homedir : PwCache::gethomedir();
    if (!home || home->empty()) {
        Debug::log_warn("No home directory is known for the private temporary directory.");
        return std::nullopt;
    }
    const std::string private_dir = *home + std::string(PRIVATE_TMP_SUBDIR);
    struct stat st {};
    if (::stat(private_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (::mkdir(private_dir.c_str(), 0755) != 0) {
            Debug::log_warn("Failed to create " + *home + std::string(PRIVATE_TMP_SUBDIR) + ": " +
                            std::strerror(errno));
            return std::nullopt;
        }
    }
    return Rand::get_tmp_file_by_name(*home + std::string(SAFE_TMP_TEMPLATE_TAIL), SAFE_TMP_SUFFIX,
                                      type, open_mode);
}

std::optional<Rand::TmpEntry> TempFile::get_safe_tmpfile(int open_mode) {
    return get_safe_tmp_file_or_dir(TYPE_FILE, open_mode);
}

std::optional<std::string> TempFile::get_safe_tmpdir(int open_mode) {
    std::optional<Rand::TmpEntry> made = get_safe_tmp_file_or_dir(TYPE_DIR, open_mode);
    if (!made) return std::nullopt;
    return std::move(made->name);
}

}  // namespace Tarvok
