#include "Tarvok/UTF8/Strict.hpp"

#include <cstdint>

#include "Tarvok/Encoder/ASCII.hpp"
#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"

namespace Tarvok::UTF8::Strict {
namespace {

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

bool is_well_formed(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        std::size_t length;
        std::uint32_t code;
        std::uint32_t smallest;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07, smallest = 0x10000;
        } else {
            return false;  // a stray continuation byte, or a lead byte no encoding uses
        }
        if (static_cast<std::size_t>(end - p) < length) return false;
        for (std::size_t i = 1; i < length; ++i) {
            if (!is_continuation(p[i])) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        p += length;
    }
    return true;
}

std::string& decode(std::string& text) {
    if (is_well_formed(text)) return text;
    std::string hex;
    {
        ErrnoGuard keep;
        hex = Encoder::ASCII::to_hex(text);
    }
    throw Error("Malformed UTF-8 in the JSON input: " + hex);
}

}  // namespace Tarvok::UTF8::Strict
