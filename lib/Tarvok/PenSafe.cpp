#include "Tarvok/PenSafe.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "Tarvok/SysRoot.hpp"

namespace Tarvok::PenSafe {
namespace {

bool _is_executable(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

bool _is_wrapper_link(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    std::string target(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096, '\0');
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return false;
    target.resize(static_cast<size_t>(length));
    return target.find(WRAPPER_LINK_MARK) != std::string::npos;
}

// Relink numbers are compared as decimal numbers of any length, so a stamp wider than 64 bits
// neither overflows nor loses to a shorter one.
std::string_view _without_leading_zeros(std::string_view digits) {
    const size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : digits.substr(first);
}

bool _numerically_less(std::string_view a, std::string_view b) {
    a = _without_leading_zeros(a);
    b = _without_leading_zeros(b);
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

// The relink pattern is `name`, RELINK_POSTFIX and RELINK_TAIL, searched anywhere in an entry
// name, with `name` and the postfix taken as the texts they are. The tail, ".*?(\d+)$", is matched
// here by hand: its lazy ".*?" leaves the longest run of digits at the end to the capture, and
// may not cross a line end ("." never matches one). A later place of `name`+postfix is tried
// only when the text after an earlier one crosses a line end.
std::optional<std::string_view> _relink_number(std::string_view entry, std::string_view marker) {
    for (size_t at = entry.find(marker); at != std::string_view::npos;
         at = entry.find(marker, at + 1)) {
        const std::string_view tail = entry.substr(at + marker.size());
        const size_t digits = tail.find_last_not_of("0123456789") + 1;  // npos + 1 == 0
        if (digits == tail.size()) return std::nullopt;  // no later place ends otherwise
        if (tail.substr(0, digits).find_first_of("\n\r") == std::string_view::npos) {
            return tail.substr(digits);
        }
    }
    return std::nullopt;
}

std::optional<std::string> _latest_relinked(std::string_view name, const std::string& root_bin) {
    const std::string marker = std::string(name) + std::string(RELINK_POSTFIX);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(root_bin.c_str()), closedir);
    if (!dir) return std::nullopt;

    std::optional<std::string> candidate;
    std::string candidate_number;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view entry_name = entry->d_name;
        const auto found = _relink_number(entry_name, marker);
        if (!found) continue;
        const std::string number(*found);
        if (!candidate || _without_leading_zeros(candidate_number).empty() ||
            _numerically_less(candidate_number, number)) {
            candidate = entry_name;
            candidate_number = number;
        }
    }
    if (!candidate) return std::nullopt;
    return root_bin + "/" + *candidate;
}

}  // namespace

bool is_restricted_shell(std::string_view shell) {
    // The pattern is two fixed texts, searched for as such: a std::regex would set up the whole
    // locale machinery on every start, which costs more than the rest of a listing.
    for (const std::string_view restricted : RESTRICTED_SHELLS) {
        if (shell.find(restricted) != std::string_view::npos) return true;
    }
    return false;
}

std::optional<std::string> get_system_binary(std::string_view name) {
    if (name.empty()) return std::nullopt;
    const std::string root_bin = SysRoot::path(ROOT_BIN);
    const std::string system_path = root_bin + "/" + std::string(name);
    if (!_is_executable(system_path)) return std::nullopt;
    if (!_is_wrapper_link(system_path)) return system_path;

    const auto relinked = _latest_relinked(name, root_bin);
    if (relinked && _is_executable(*relinked)) return relinked;
    return std::nullopt;
}

}  // namespace Tarvok::PenSafe
