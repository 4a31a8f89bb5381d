// The password-file search against a plain line-by-line reading of the same bytes, and the raw
// vectorised substring search against std::string_view::find.
//
// Input: one byte choosing the field (0 to 3), the value up to the first 0xff byte, then the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Tarvok/PwCache/Find.hpp"
#include "Tarvok/PwCache/FindDetail.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Find = Tarvok::PwCache::Find;

namespace {

std::vector<std::string> reference(std::string_view file, std::size_t field,
                                   std::string_view value) {
    if (!Find::is_single_field_value(value)) return {};
    while (!file.empty()) {
        const std::size_t end = file.find('\n');
        const std::string_view line = file.substr(0, end);
        std::vector<std::string_view> fields;
        for (std::string_view rest = line;;) {
            const std::size_t colon = rest.find(':');
            fields.push_back(rest.substr(0, colon));
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
        // A name is only a name when a separator follows it.
        const bool complete = field > 0 || fields.size() > 1;
        if (complete && fields.size() > field && fields[field] == value) {
            return Find::split_pw_line(line);
        }
        if (end == std::string_view::npos) break;
        file.remove_prefix(end + 1);
    }
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t field = static_cast<unsigned char>(input[0]) % 4;
    std::string_view rest = input.substr(1);
    const std::size_t cut = rest.find('\xff');
    const std::string_view value = rest.substr(0, cut);
    const std::string_view file =
        cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);

    if (!value.empty()) {
        for (std::size_t from : {std::size_t(0), file.size() / 3}) {
            const std::size_t expected = file.find(value, from);
            if (Find::detail::find_needle(file, value, from) != expected) abort();
            if (Find::detail::find_needle_baseline(file, value, from) != expected) abort();
        }
    }

    Tarvok::UniqueFd fd(memfd_create("fuzz", MFD_CLOEXEC));
    if (!fd || write(fd.get(), file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
        return 0;
    }
    lseek(fd.get(), 0, SEEK_SET);
    if (Find::field_with_value_in_pw_file(fd.get(), field, value) !=
        reference(file, field, value)) {
        abort();
    }
    return 0;
}
