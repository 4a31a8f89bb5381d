// Tarvok::JSON::Unicode: the pass that turns \uXXXX escapes in JSON text into UTF-8 bytes before
// the codec sees the text, so that a decoded string always holds UTF-8 bytes, whether a character
// arrived raw or escaped.
//
// An escape is a backslash, "u" and four hexadecimal digits, where the backslash is not itself
// escaped (it follows an even run of backslashes). Each escape is replaced by:
//   - a trail surrogate (DC00-DFFF) after a pending lead: the four UTF-8 bytes of the pair;
//   - a lead surrogate (D800-DBFF) directly followed by "\u": nothing; it becomes the pending
//     lead, replacing any earlier one;
//   - a control character (below 0020), a backslash or a double quote: the escape as it stands,
//     for the codec to decode;
//   - any other character: its UTF-8 bytes.
// A trail without a lead, a lead not directly followed by "\u", and a lead still pending at the
// end raise Tarvok::Error. The first two leave the text as it was; the last raises after the
// text has been rewritten.
#pragma once

#include <cstddef>
#include <string>

namespace Tarvok::JSON::Unicode {

/// Rewrites `text` in place as above; returns the number of escapes replaced (escapes that
/// are kept as they stand count too). Text without "\u" is left alone and gives 0.
std::size_t replace_unicode_escapes_with_utf8(std::string& text);

}  // namespace Tarvok::JSON::Unicode
