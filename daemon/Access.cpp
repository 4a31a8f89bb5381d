#include "Access.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "SmallFile.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tvwrapd::Access {
namespace {

enum class Listed { yes, no, no_file, unreadable };

// One account name a line; surrounding blanks and comment lines are ignored.
bool _lists(std::string_view content, std::string_view account) {
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string_view::npos) end = content.size();
        std::string_view line = content.substr(start, end - start);
        start = end + 1;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || line[first] == '#') continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        if (line == account) return true;
    }
    return false;
}

Listed _listed(std::string_view list, std::string_view account) {
    const std::string path = Tarvok::SysRoot::path(list);
    Tarvok::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) return Listed::no_file;
        Tarvok::Debug::log_warn("cannot read '" + path + "': " + std::strerror(errno));
        return Listed::unreadable;
    }
    std::string content;
    try {
        content = SmallFile::read_all(fd.get());
    } catch (const Tarvok::Error& failure) {
        Tarvok::Debug::log_warn("cannot read '" + path + "': " + failure.what());
        return Listed::unreadable;
    }
    return _lists(content, account) ? Listed::yes : Listed::no;
}

}  // namespace

bool may_use_cron(std::string_view account, uid_t uid) {
    if (uid == 0) return true;
    switch (_listed(CRON_ALLOW, account)) {
        case Listed::yes:
            return true;
        case Listed::no:
        case Listed::unreadable:
            return false;
        case Listed::no_file:
            break;
    }
    const Listed denied = _listed(CRON_DENY, account);
    return denied == Listed::no_file || denied == Listed::no;
}

}  // namespace Tvwrapd::Access
