// What the operations say about a daemon answer they cannot use.
//
// The daemon's answers are JSON of any shape; the operations read a few members and must end
// with a plain message, never a crash, whatever kind of value sits where a map or a text should:
//
//     unusable_answer("data", value)  // "... cannot be used: its data is a list."
#pragma once

#include <string>
#include <string_view>

#include "Tarvok/JSON.hpp"

namespace PenSafeCrontab {

/// The kind of `value` in words: "a list", "a map", "a number", "true or false", "a text",
/// "null".
std::string_view kind_of(const Tarvok::JSON::Value& value);

/// The failure text for an answer whose `member` holds a value of a kind the operation cannot
/// use.
std::string unusable_answer(std::string_view member, const Tarvok::JSON::Value& value);

}  // namespace PenSafeCrontab
