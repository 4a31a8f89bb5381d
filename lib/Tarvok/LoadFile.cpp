#include "Tarvok/LoadFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/LoadFile/ReadFast.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::LoadFile {
namespace {

using Tarvok::Exception::create;

// Gives the caller back its errno when the scope is left normally; a failure being raised keeps
// the errno that explains it, since that errno decides the exit status of an uncaught failure.
class KeepErrnoOnReturn {
  public:
    explicit KeepErrnoOnReturn(bool clear = false)
        : saved_(errno), unwinding_(std::uncaught_exceptions()) {
        if (clear) errno = 0;
    }
    ~KeepErrnoOnReturn() {
        if (std::uncaught_exceptions() == unwinding_) errno = saved_;
    }
    KeepErrnoOnReturn(const KeepErrnoOnReturn&) = delete;
    KeepErrnoOnReturn& operator=(const KeepErrnoOnReturn&) = delete;

  private:
    int saved_;
    int unwinding_;
};

UniqueFd _open_for_reading(std::string_view path) {
    return UniqueFd(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

Lines _split_lines(const std::string& content) {
    Lines lines;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        end = (end == std::string::npos) ? content.size() : end + 1;
        lines.emplace_back(content, start, end - start);
        start = end;
    }
    return lines;
}

// The worker of the loadfile family. On failure errno says why; on success it is untouched.
std::optional<Loaded> _load_file(std::string_view path, const LoadOptions& options) {
    const int caller_errno = errno;
    UniqueFd fd = _open_for_reading(path);
    if (!fd) return std::nullopt;
    // Binary mode (options.binmode) is what every Linux descriptor already reads in.

    std::string content;
    int failure = 0;
    try {
        ReadFast::read_all_fast(fd.get(), content);
    } catch (const Error&) {
        failure = errno;
    }
    fd.reset();
    if (options.array_ref) {
        // The lines read before a failure are still handed back.
        errno = failure ? failure : caller_errno;
        return Loaded(_split_lines(content));
    }
    if (failure) {
        errno = failure;
        return std::nullopt;
    }
    errno = caller_errno;
    return Loaded(std::move(content));
}

std::optional<UniqueFd> _open_if_exists(std::string_view path) {
    KeepErrnoOnReturn keep;
    UniqueFd fd = _open_for_reading(path);
    if (fd) return fd;
    const int error = errno;
    if (error == _ENOENT) return std::nullopt;
    throw create<Tarvok::Exception::OpenFailed>(Tarvok::Exception::Params{
        {"path", std::string(path)}, {"error", error}, {"mode", std::string(READ_MODE)}});
}

std::optional<UniqueFd> _open(std::string_view path) {
    std::optional<UniqueFd> fd = _open_if_exists(path);
    if (fd) return fd;
    errno = _ENOENT;
    throw create<Tarvok::Exception::FileNotFound>(
        Tarvok::Exception::Params{{"path", std::string(path)}, {"error", _ENOENT}});
}

void _warn_close_failed(std::string_view path, int error) {
    std::string text = "Failed to close the file handle opened on '";
    text += path;
    text += "' for reading it whole: ";
    text += std::strerror(error);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

using Opener = std::optional<UniqueFd> (*)(std::string_view);

// Shared by the four load functions: false when the opener found no file.
bool _load_r(Opener opener, std::string_view path, std::string& content, off_t offset,
             std::optional<std::size_t> length) {
    std::optional<UniqueFd> fd = opener(path);
    if (!fd) return false;
    KeepErrnoOnReturn keep(/*clear=*/true);

    if (offset != 0 && ::lseek(fd->get(), offset, SEEK_SET) == static_cast<off_t>(-1)) {
        const int error = errno;
        throw create<Tarvok::Exception::SeekFailed>(
            Tarvok::Exception::Params{{"path", std::string(path)},
                                      {"position", static_cast<long long>(offset)},
                                      {"whence", SEEK_SET},
                                      {"error", error}});
    }

    content.clear();
    ReadFast::read_all_fast(fd->get(), content, length.value_or(FHUtils::WholeIO::NO_LIMIT));

    // Retried interruptions leave EINTR behind; they are no failure.
    if (errno != 0 && errno != ReadFast::_EINTR) {
        const int error = errno;
        throw create<Tarvok::Exception::ReadFailed>(
            Tarvok::Exception::Params{{"path", std::string(path)}, {"error", error}});
    }
    if (fd->close() != 0) _warn_close_failed(path, errno);
    return true;
}

}  // namespace

std::optional<Loaded> loadfile_r(std::string_view path, const LoadOptions& options) {
    return _load_file(path, options);
}

std::optional<std::string> loadfile(std::string_view path, const LoadOptions& options) {
    std::optional<Loaded> loaded = _load_file(path, options);
    if (!loaded) return std::nullopt;
    if (auto* text = std::get_if<std::string>(&*loaded)) return std::move(*text);
    return std::nullopt;
}

std::optional<std::string> loadbinfile(std::string_view path) {
    return loadfile(path, LoadOptions{.binmode = true});
}

std::optional<Lines> loadfileasarrayref(std::string_view path) {
    std::optional<Loaded> loaded = _load_file(path, LoadOptions{.array_ref = true});
    if (!loaded) return std::nullopt;
    return std::get<Lines>(std::move(*loaded));
}

void slurpfile(int out_fd, std::string_view path) {
    std::optional<std::string> content = loadfile(path);
    if (content) FHUtils::WholeIO::write_all(FHUtils::Handle{out_fd}, *content);
}

std::string load(std::string_view path, off_t offset, std::optional<std::size_t> length) {
    std::string content;
    _load_r(_open, path, content, offset, length);
    return content;
}

void load_r(std::string_view path, std::string& content, off_t offset,
            std::optional<std::size_t> length) {
    _load_r(_open, path, content, offset, length);
}

std::optional<std::string> load_if_exists(std::string_view path, off_t offset,
                                          std::optional<std::size_t> length) {
    std::string content;
    if (!_load_r(_open_if_exists, path, content, offset, length)) return std::nullopt;
    return content;
}

bool load_r_if_exists(std::string_view path, std::string& content, off_t offset,
                      std::optional<std::size_t> length) {
    return _load_r(_open_if_exists, path, content, offset, length);
}

}  // namespace Tarvok::LoadFile
