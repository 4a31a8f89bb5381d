// Tarvok::Encoder::ASCII: printable renderings of arbitrary bytes, for messages that must quote
// input which may not be text at all.
#pragma once

#include <string>
#include <string_view>

namespace Tarvok::Encoder::ASCII {

/// Two lower-case hexadecimal digits per byte, nothing between them ("\xC3\xA9" gives "c3a9").
std::string to_hex(std::string_view bytes);

}  // namespace Tarvok::Encoder::ASCII
