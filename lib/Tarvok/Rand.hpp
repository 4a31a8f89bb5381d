// Tarvok::Rand: unpredictable temporary names, and the entries made under them.
//
// A name is a template, a suffix and an 8-character random trailer:
//
//     auto [name, fd] = Tarvok::Rand::get_tmp_file_by_name("/tmp/edit", "cron");
//     // name == "/tmp/edit.cron.Xa3_9qZk", fd open write-only on a new file of mode 0600
//
// Promises:
//   - The entry is created exclusively: a file with O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600, a
//     directory with mode 0700, whatever the process umask (cleared while trying, restored
//     afterwards). Whatever already lies at a name, a file or a symbolic link planted by someone
//     else, is never opened or followed: a fresh name is tried instead.
//   - The final path component never exceeds 255 bytes.
//   - At most 49 names are tried; then TempCreateFailed carries the last name tried (`path`)
//     and why it failed (`error`), and errno holds that error.
//   - A name is only returned once the entry under it was made (or, with SKIP_OPEN, once
//     nothing was found under it).
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "Tarvok/Rand/Get.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::Rand {

/// Entry kinds.
inline constexpr int TYPE_FILE = 0;
inline constexpr int TYPE_DIR = 1;
/// Create the entry.
inline constexpr int DO_OPEN = 0;
/// Only find a name under which nothing exists yet; create nothing.
inline constexpr int SKIP_OPEN = 1;
/// Attempt counter limit: at most MAX_TMPFILE_CREATE_ATTEMPTS - 1 names are tried.
inline constexpr int MAX_TMPFILE_CREATE_ATTEMPTS = 50;
/// Characters of random text at the end of a name.
inline constexpr std::size_t RAND_TRAILER_LENGTH = 8;
/// Longest generated final path component.
inline constexpr std::size_t MAX_NAME_LENGTH = 255;

/// The suffix used when none is given.
inline constexpr std::string_view DEFAULT_SUFFIX = "tvtmp";
/// The template of gettmpfile and gettmpdir (a fixed path: looked up through Tarvok::SysRoot).
inline constexpr std::string_view DEFAULT_TEMPLATE = "/tmp/tarvok.tmp";

/// A created entry. `handle` is open write-only for a file made with DO_OPEN and empty
/// otherwise; a caller that only wants the name takes `name` (the handle then closes with it).
struct TmpEntry {
    std::string name;
    UniqueFd handle;
};

/// Forwards to Tarvok::Rand::Get::getranddata.
std::string getranddata(std::size_t wanted = 0, const Get::Alphabet& alphabet = {},
                        std::size_t preload_count = 0);
std::string getranddata(std::string_view wanted, const Get::Alphabet& alphabet = {},
                        std::size_t preload_count = 0);

/// A record with one key, "random_data": getranddata of the record's "length" (16 when it is
/// absent, empty or 0). Raises BadArgument for a length that is not a count.
std::map<std::string, std::string> api2_getranddata(const std::map<std::string, std::string>& args);

/// A copy of the registry entry for `function` (only "getranddata" is registered), or nothing.
std::optional<std::map<std::string, std::string>> api2(std::string_view function);

/// Creates (or with SKIP_OPEN only finds) "TEMPLATE.SUFFIX.RANDOM". `suffix` defaults to
/// DEFAULT_SUFFIX; a "." is put in front of it when it does not begin with one.
TmpEntry get_tmp_file_by_name(std::string_view template_path, std::string_view suffix = {},
                              int type = TYPE_FILE, int open_mode = DO_OPEN);

/// The same with the suffix last, "TEMPLATE.RANDOM.SUFFIX", made under that name at once (the
/// limit of 255 bytes counts the same). Nothing when the suffix holds a "/" or does not fit whole
/// into a name.
std::optional<TmpEntry> get_tmp_file_by_name_suffix_last(std::string_view template_path,
                                                         std::string_view suffix = {},
                                                         int type = TYPE_FILE,
                                                         int open_mode = DO_OPEN);

/// Creates a directory "TEMPLATE.SUFFIX.RANDOM"; returns its name.
std::string get_tmp_dir_by_name(std::string_view template_path, std::string_view suffix = {});

/// get_tmp_file_by_name with DEFAULT_TEMPLATE.
TmpEntry gettmpfile();
/// get_tmp_dir_by_name with DEFAULT_TEMPLATE.
std::string gettmpdir();

}  // namespace Tarvok::Rand
