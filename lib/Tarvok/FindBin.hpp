// Tarvok::FindBin: looks a bare command name up in fixed system directories, never in the
// caller's PATH, so a restricted account cannot slip its own program in (the editor comes from
// here).
//
// findbin() returns the first executable directory/name, in directory order, and remembers every
// success for the rest of the process in bin_cache(); failures are not remembered. It reports
// only through two warnings on standard error: a file that exists but is not executable, and an
// existence test that failed for another reason than a missing file. Directories are reached
// through Tarvok::SysRoot, so the sandbox build looks below its root.
//
// The forms of the call:
//
//     findbin("vim");                      // default_path(), cached
//     findbin("vim", {.nocache = true});   // default_path(); the cache is neither read nor filled
//     findbin("vim", {.path = dirs});      // `dirs` in order (an empty list: default_path())
//
// A cached answer stands for the name whatever directories a later call names.
//
// `name` is appended to each directory as it is: a name with a directory part is looked up below
// each directory, and a name with spaces is one file name.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tarvok::FindBin {

/// What a lookup may be told besides the name.
struct Options {
    /// The directories to search, in order; absent or empty means default_path().
    std::optional<std::vector<std::string>> path = std::nullopt;
    /// "nocache": neither answer from bin_cache() nor store the result there.
    bool nocache = false;
};

/// /usr/bin, /usr/local/bin, /bin, /sbin, /usr/sbin, /usr/local/sbin (system paths, before the
/// root of this build is put in front of them).
const std::vector<std::string>& default_path();

/// The directories a lookup with `options` searches: options.path unless it is absent or empty,
/// default_path() otherwise.
std::vector<std::string> get_path(const Options& options = {});

/// The path of the first executable called `name`, or nothing. An empty name finds nothing.
std::optional<std::string> findbin(std::string_view name, const Options& options = {});

/// Name -> path of every successful cached lookup of this process.
const std::map<std::string, std::string, std::less<>>& bin_cache();
/// Empties bin_cache() (tests only: the program itself never forgets a lookup).
void reset_bin_cache();

}  // namespace Tarvok::FindBin
