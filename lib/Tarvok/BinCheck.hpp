// Tarvok::BinCheck: the self-check hook of an installed binary.
//
// Checked before anything else, and only against the first argument:
//
//     pen_safe_crontab --bincheck   prints "BinCheck ok" and exits 0 when the C library the
//                                   process runs on is at least the one it was built against
//                                   (glibc __GLIBC__.__GLIBC_MINOR__ at build time versus
//                                   gnu_get_libc_version() at run time). An older loaded library
//                                   is the mismatch: the running version is printed and the
//                                   run ends as an uncaught failure. The installed front end
//                                   links its C library in (a static PIE), so there the two
//                                   agree and the check confirms the program starts at all.
//     pen_safe_crontab --basemem    prints the resident memory of the process, one
//                                   "Base memory in kB: N" line per VmRSS line of
//                                   /proc/<pid>/status, and exits 0 (also when that file cannot
//                                   be read).
//
// Every other first argument (or none) lets the program go on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Tarvok::BinCheck {

inline constexpr std::string_view BINCHECK_OPTION = "--bincheck";
inline constexpr std::string_view BASEMEM_OPTION = "--basemem";
/// A status-file line carrying this marker and a number is a memory line.
inline constexpr std::string_view MEMORY_MARKER = "VmRSS:";

/// Runs bincheck() or basemem() when `first_argument` names one; returns otherwise.
void process(std::optional<std::string_view> first_argument);

/// Build self-check (see above). Never returns.
[[noreturn]] void bincheck();
/// Memory report (see above). Never returns.
[[noreturn]] void basemem();

/// The C library version the program was built against, "major.minor".
std::string built_libc_version();
/// The C library version loaded into this process.
std::string running_libc_version();
/// True when `running` ("2.36") is older than major.minor, or is no version at all.
bool libc_older_than(std::string_view running, int major, int minor);
/// The report lines basemem() prints for the text of a status file.
std::string memory_report(std::string_view status_text);

}  // namespace Tarvok::BinCheck
