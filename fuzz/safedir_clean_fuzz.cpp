// Feeds arbitrary bytes to the directory-path cleaning of Tarvok::SafeDir::MK and checks that a
// path it accepts never leaves its start and holds only plain parts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Tarvok/SafeDir/MK/detail.hpp"

namespace {

using Tarvok::SafeDir::MK::detail::clean_path;
using Tarvok::SafeDir::MK::detail::CleanStatus;

[[noreturn]] void fail(const char* what, std::string_view input) {
    std::fprintf(stderr, "%s for input of %zu bytes\n", what, input.size());
    std::abort();
}

std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool only_dots(std::string_view part) {
    return !part.empty() && part.find_first_not_of('.') == std::string_view::npos;
}

// What the input means, walked part by part with a stack of names.
struct Walk {
    bool absolute = false;
    bool escapes = false;    // a ".." with nothing of the path's own left to cancel
    bool dots_only = false;  // a part of three or more dots, before any escape
    bool parent_part = false;
    std::vector<std::string_view> names;
};

Walk walk(std::string_view input) {
    Walk w;
    w.absolute = input.starts_with('/');
    for (std::string_view part : split(input)) {
        if (part == "..") w.parent_part = true;
        if (w.escapes || w.dots_only || part.empty() || part == ".") continue;
        if (part == "..") {
            if (w.names.empty()) {
                w.escapes = true;
            } else {
                w.names.pop_back();
            }
        } else if (only_dots(part)) {
            w.dots_only = true;
        } else {
            w.names.push_back(part);
        }
    }
    return w;
}

void check_clean_path(std::string_view path, bool absolute, std::string_view input) {
    if (path.empty()) fail("empty accepted path", input);
    if (path.starts_with('/') != absolute) fail("absoluteness changed", input);
    if (path == "/") return;
    if (path.find('\0') != std::string_view::npos) fail("NUL byte kept", input);
    for (std::string_view part : split(absolute ? path.substr(1) : path)) {
        if (part.empty()) fail("empty part", input);
        if (only_dots(part)) fail("part of dots only", input);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto cleaned = clean_path(input);

    if (input.find('\0') != std::string_view::npos) {
        if (cleaned.status != CleanStatus::NulByte) fail("NUL byte not refused", input);
        return 0;
    }
    const Walk expected = walk(input);
    if (cleaned.had_dot_dot != expected.parent_part) fail("parent part not noticed", input);

    switch (cleaned.status) {
        case CleanStatus::Path: {
            if (expected.escapes) fail("escaping path accepted", input);
            if (expected.dots_only) fail("dots-only part accepted", input);
            check_clean_path(cleaned.path, expected.absolute, input);
            std::string want = expected.absolute ? "/" : "";
            for (std::size_t i = 0; i < expected.names.size(); ++i) {
                if (i > 0) want.push_back('/');
                want.append(expected.names[i]);
            }
            if (cleaned.path != want) fail("path differs from its meaning", input);
            const auto again = clean_path(cleaned.path);
            if (again.status != CleanStatus::Path || again.path != cleaned.path ||
                again.had_dot_dot)
                fail("cleaning is not stable", input);
            break;
        }
        case CleanStatus::SelfEntry:
        case CleanStatus::Empty:
            if (expected.escapes || expected.dots_only || !expected.names.empty() ||
                expected.absolute)
                fail("path with a meaning discarded", input);
            break;
        case CleanStatus::Climbs:
            if (!expected.escapes) fail("path refused as climbing without climbing", input);
            break;
        case CleanStatus::DotsOnly:
            if (!expected.dots_only) fail("path refused for dots it lacks", input);
            break;
        case CleanStatus::NulByte:
            fail("NUL byte reported where there is none", input);
    }
    return 0;
}
