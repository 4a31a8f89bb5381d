#include "Tarvok/Rand.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "Tarvok/Exception.hpp"
#include "Tarvok/SV.hpp"
#include "Tarvok/SysRoot.hpp"

namespace Tarvok::Rand {
namespace {

using Tarvok::Exception::create;

/// The length api2_getranddata draws when none is asked for.
constexpr std::size_t API2_DEFAULT_LENGTH = 16;

const std::map<std::string, std::map<std::string, std::string>>& _api() {
    static const std::map<std::string, std::map<std::string, std::string>> registry = {
        {"getranddata", {{"function", "api2_getranddata"}, {"arguments", "length"}}},
    };
    return registry;
}

std::string _rand_trailer(std::size_t n) {
    return Get::getranddata(n);
}

// `root` with its runs of "/" collapsed and its last component cut to the bytes that leave
// room for the separator and the random trailer.
std::string _name_base(std::string_view root) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = root.find('/', start);
        parts.push_back(
            root.substr(start, slash == std::string_view::npos ? slash : slash - start));
        if (slash == std::string_view::npos) break;
        start = root.find_first_not_of('/', slash);
        if (start == std::string_view::npos) break;
    }
    constexpr std::size_t keep = MAX_NAME_LENGTH - RAND_TRAILER_LENGTH - 1;
    std::string_view& last = parts.back();
    if (last.size() > keep) last = last.substr(last.size() - keep);

    std::string base;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) base += '/';
        base += parts[i];
    }
    return base;
}

// Clears the umask so that the modes given to mkdir and open are exactly what the entry gets.
class ClearedUmask {
  public:
    ClearedUmask() : old_(::umask(0)) {}
    ~ClearedUmask() { ::umask(old_); }
    ClearedUmask(const ClearedUmask&) = delete;
    ClearedUmask& operator=(const ClearedUmask&) = delete;

  private:
    mode_t old_;
};

// One try under `name`; false with errno telling why it failed.
bool _try_name(const std::string& name, int type, int open_mode, UniqueFd& handle) {
    if (open_mode != DO_OPEN) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) == 0) {
            errno = EEXIST;
            return false;
        }
        return true;
    }
    if (type == TYPE_DIR) return ::mkdir(name.c_str(), 0700) == 0;
    handle.reset(::open(name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    return handle.valid();
}

void _check_kind(int type, int open_mode) {
    if ((type != TYPE_FILE && type != TYPE_DIR) ||
        (open_mode != DO_OPEN && open_mode != SKIP_OPEN)) {
        throw create<Tarvok::Exception::BadArgument>(
            "Unknown kind %s or open mode %s for a temporary name.",
            std::vector<std::string>{std::to_string(type), std::to_string(open_mode)});
    }
}

std::string _dotted(std::string_view suffix) {
    std::string dotted(suffix.empty() ? DEFAULT_SUFFIX : suffix);
    if (dotted.front() != '.') dotted.insert(0, 1, '.');
    return dotted;
}

// Tries names head + "." + RANDOM + tail until one can be made (see the header).
TmpEntry _create_exclusively(const std::string& head, const std::string& tail, int type,
                             int open_mode) {
    const auto generate = [&] {
        return SV::untaint(head + "." + _rand_trailer(RAND_TRAILER_LENGTH) + tail);
    };
    const int caller_errno = errno;
    TmpEntry entry;
    std::string name = generate();
    std::string last_tried;
    int last_error = 0;
    bool made = false;
    {
        ClearedUmask cleared;
        for (int attempts = 1; attempts < MAX_TMPFILE_CREATE_ATTEMPTS; ++attempts) {
            if (_try_name(name, type, open_mode, entry.handle)) {
                made = true;
                break;
            }
            last_error = errno;
            last_tried = std::move(name);
            if (attempts + 1 < MAX_TMPFILE_CREATE_ATTEMPTS) name = generate();
        }
    }
    if (!made) {
        errno = last_error;
        throw create<Tarvok::Exception::TempCreateFailed>(
            Tarvok::Exception::Params{{"path", last_tried}, {"error", last_error}});
    }
    errno = caller_errno;
    entry.name = std::move(name);
    return entry;
}

}  // namespace

std::string getranddata(std::size_t wanted, const Get::Alphabet& alphabet,
                        std::size_t preload_count) {
    return Get::getranddata(wanted, alphabet, preload_count);
}

std::string getranddata(std::string_view wanted, const Get::Alphabet& alphabet,
                        std::size_t preload_count) {
    return Get::getranddata(wanted, alphabet, preload_count);
}

std::map<std::string, std::string> api2_getranddata(
    const std::map<std::string, std::string>& args) {
    const auto length = args.find("length");
    const bool absent =
        length == args.end() || length->second.find_first_not_of('0') == std::string::npos;
    return {{"random_data", absent ? Get::getranddata(API2_DEFAULT_LENGTH)
                                   : Get::getranddata(std::string_view(length->second))}};
}

std::optional<std::map<std::string, std::string>> api2(std::string_view function) {
    const auto found = _api().find(std::string(function));
    if (found == _api().end()) return std::nullopt;
    return found->second;
}

TmpEntry get_tmp_file_by_name(std::string_view template_path, std::string_view suffix, int type,
                              int open_mode) {
    _check_kind(type, open_mode);
    return _create_exclusively(_name_base(std::string(template_path) + _dotted(suffix)), "", type,
                               open_mode);
}

std::optional<TmpEntry> get_tmp_file_by_name_suffix_last(std::string_view template_path,
                                                         std::string_view suffix, int type,
                                                         int open_mode) {
    _check_kind(type, open_mode);
    const std::string dotted = _dotted(suffix);
    const std::string base = _name_base(std::string(template_path) + dotted);
    // Only a suffix that the length limit leaves whole can be put last.
    if (dotted.find('/') != std::string::npos ||
        dotted.size() > MAX_NAME_LENGTH - RAND_TRAILER_LENGTH - 1) {
        return std::nullopt;
    }
    return _create_exclusively(base.substr(0, base.size() - dotted.size()), dotted, type,
                               open_mode);
}

std::string get_tmp_dir_by_name(std::string_view template_path, std::string_view suffix) {
    return get_tmp_file_by_name(template_path, suffix, TYPE_DIR, DO_OPEN).name;
}

TmpEntry gettmpfile() {
    return get_tmp_file_by_name(SysRoot::path(DEFAULT_TEMPLATE));
}

std::string gettmpdir() {
    return get_tmp_dir_by_name(SysRoot::path(DEFAULT_TEMPLATE));
}

}  // namespace Tarvok::Rand
