// Talking to the crontab service: the request every operation sends, and how the operations
// read the answer.
//
// The daemon's answers are JSON of any shape; the operations read a few members and must end
// with a plain message, never a crash, whatever kind of value sits where a map or a text should:
//
//     const Tarvok::Wrap::Result fetched = ask_crontab_service(FETCH_FUNCTION);
//     unusable_answer("data", value)  // "... cannot be used: its data is a list."
#pragma once

#include <string>
#include <string_view>

#include "Tarvok/JSON.hpp"
#include "Tarvok/Wrap.hpp"

namespace PenSafeCrontab {

/// Sends the crontab module's `function` (FETCH_FUNCTION, SAVE_FUNCTION) with `data` and the
/// allow-listed environment to the daemon, and returns its answer.
Tarvok::Wrap::Result ask_crontab_service(std::string_view function,
                                         Tarvok::JSON::Document data = {});

/// Whether `value` says nothing: absent, null or an empty text. Printed, it would be an empty
/// line that tells the user nothing.
bool says_nothing(const Tarvok::JSON::Value* value);

/// The kind of `value` in words: "a list", "a map", "a number", "true or false", "a text",
/// "null".
std::string_view kind_of(const Tarvok::JSON::Value& value);

/// The failure text for an answer whose `member` holds a value of a kind the operation cannot
/// use.
std::string unusable_answer(std::string_view member, const Tarvok::JSON::Value& value);

}  // namespace PenSafeCrontab
