// Tvwrapd::Printable: bytes that came from a caller, made safe to quote in a one-line message or
// in the audit log. Printable ASCII stays as it is; every other byte becomes \xNN, so no caller can
// break a log line or send terminal escapes back through a message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Tvwrapd::Printable {

/// `bytes` with every byte outside printable ASCII written as \xNN; cut after `max` bytes of
/// input, marked with "...".
std::string printable(std::string_view bytes, std::size_t max = 64);

}  // namespace Tvwrapd::Printable
