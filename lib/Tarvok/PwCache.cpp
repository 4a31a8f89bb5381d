// Interim lookups over the password file (no cache, no shadow, no nscd): replaced by the real
// engine.
#include "Tarvok/PwCache.hpp"

#include <unistd.h>

#include <fstream>

#include "Tarvok/SysRoot.hpp"

namespace Tarvok::PwCache {
namespace {

UserRecord find(std::string_view value, size_t field) {
    std::ifstream in(SysRoot::path("/etc/passwd"));
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            size_t colon = line.find(':', start);
            fields.push_back(line.substr(start, colon - start));
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
        while (!fields.empty() && fields.back().empty()) fields.pop_back();
        if (fields.size() <= field || fields[field] != value) continue;
        fields.resize(7);
        UserRecord r{fields[0], fields[1], fields[2], fields[3], "", "", fields[4], fields[5],
                     fields[6], "-1", "-1", "0", "0"};
        for (size_t i : {6, 7, 8})
            if (r[i] && r[i]->empty()) r[i].reset();
        return r;
    }
    return {};
}

std::optional<std::string> at(const UserRecord& r, size_t i) {
    return r.size() > i ? r[i] : std::nullopt;
}

}  // namespace

UserRecord getpwuid(std::string_view uid) { return find(uid, 2); }
std::optional<std::string> getpwuid_name(std::string_view uid) { return at(find(uid, 2), 0); }
UserRecord getpwnam(std::string_view name) { return find(name, 0); }
std::optional<std::string> getpwnam_uid(std::string_view name) { return at(find(name, 0), 2); }
UserRecord getpwuid_noshadow(std::string_view uid) { return find(uid, 2); }
std::optional<std::string> getpwuid_noshadow_name(std::string_view uid) {
    return at(find(uid, 2), 0);
}
UserRecord getpwnam_noshadow(std::string_view name) { return find(name, 0); }
std::optional<std::string> getpwnam_noshadow_uid(std::string_view name) {
    return at(find(name, 0), 2);
}
std::optional<std::string> getusername(std::optional<std::string_view> uid) {
    return at(find(uid ? *uid : std::to_string(geteuid()), 2), 0);
}
std::optional<std::string> gethomedir(std::optional<std::string_view> who) {
    std::string key = who ? std::string(*who) : std::to_string(geteuid());
    bool digits = !key.empty() && key.find_first_not_of("0123456789") == std::string::npos;
    return at(find(key, digits ? 2 : 0), 7);
}

}  // namespace Tarvok::PwCache
