#include "Tarvok/JSON/Unicode.hpp"

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "Tarvok/Error.hpp"

namespace Tarvok::JSON::Unicode {
namespace {

constexpr std::uint32_t SURROGATE_MASK = 0xFC00;
constexpr std::uint32_t LEAD_SURROGATE = 0xD800;
constexpr std::uint32_t TRAIL_SURROGATE = 0xDC00;
constexpr std::uint32_t SURROGATE_OFFSET = 0x10000;
constexpr unsigned SURROGATE_SHIFT = 10;
constexpr std::size_t ESCAPE_LENGTH = 6;  // backslash, 'u', four digits

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four digits after "\u" at `at`, or -1 when they are not all hexadecimal.
long escape_value(std::string_view text, std::size_t at) {
    if (text.size() - at < ESCAPE_LENGTH) return -1;
    long value = 0;
    for (std::size_t i = at + 2; i < at + ESCAPE_LENGTH; ++i) {
        const int digit = hex_value(text[i]);
        if (digit < 0) return -1;
        value = (value << 4) | digit;
    }
    return value;
}

// A backslash at `at` starts an escape only when the run of backslashes before it is even.
bool backslash_is_escaped(std::string_view text, std::size_t at) {
    std::size_t run = 0;
    while (at > run && text[at - run - 1] == '\\') ++run;
    return run % 2 == 1;
}

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

[[noreturn]] void surrogate_error(const char* format, std::uint32_t value) {
    char text[128];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(value));
    throw Error(text);
}

}  // namespace

std::size_t replace_unicode_escapes_with_utf8(std::string& text) {
    const std::string_view in(text);
    std::size_t at = in.find("\\u");
    if (at == std::string_view::npos) return 0;

    // The result goes to a new buffer, so that a misplaced surrogate found halfway leaves the
    // caller's text as it was. Escapes only ever shrink, so the input size is enough.
    std::string out;
    out.reserve(in.size());
    std::size_t copied = 0;  // input before this position is already in `out`
    std::size_t replaced = 0;
    std::uint32_t pending_lead = 0;

    for (; at != std::string_view::npos; at = in.find("\\u", at)) {
        const long value = backslash_is_escaped(in, at) ? -1 : escape_value(in, at);
        if (value < 0) {
            at += 2;
            continue;
        }
        const auto n = static_cast<std::uint32_t>(value);
        const std::size_t end = at + ESCAPE_LENGTH;
        out.append(in, copied, at - copied);
        copied = end;
        ++replaced;

        if ((n & SURROGATE_MASK) == TRAIL_SURROGATE) {
            if (pending_lead == 0) {
                surrogate_error("Trail surrogate escape \\u%04X has no lead surrogate before it",
                                n);
            }
            append_utf8(out, SURROGATE_OFFSET +
                                 ((pending_lead - LEAD_SURROGATE) << SURROGATE_SHIFT) +
                                 (n - TRAIL_SURROGATE));
            pending_lead = 0;
        } else if ((n & SURROGATE_MASK) == LEAD_SURROGATE) {
            if (in.substr(end, 2) != "\\u") {
                surrogate_error("Lead surrogate escape \\u%04X is not followed by an escape", n);
            }
            pending_lead = n;
        } else if (n < 0x20 || n == '\\' || n == '"') {
            out.append(in, at, ESCAPE_LENGTH);
        } else {
            append_utf8(out, n);
        }
        at = end;
    }
    out.append(in, copied, std::string_view::npos);
    text.swap(out);

    if (pending_lead != 0) {
        surrogate_error("Lead surrogate escape \\u%04X has no trail surrogate after it",
                        pending_lead);
    }
    return replaced;
}

}  // namespace Tarvok::JSON::Unicode
