#include "Printable.hpp"

namespace Tvwrapd::Printable {

std::string printable(std::string_view bytes, std::size_t max) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const bool cut = bytes.size() > max;
    if (cut) bytes = bytes.substr(0, max);
    std::string out;
    out.reserve(bytes.size() + 3);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            out.push_back(c);
        } else {
            out += "\\x";
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 0xf]);
        }
    }
    if (cut) out += "...";
    return out;
}

}  // namespace Tvwrapd::Printable
